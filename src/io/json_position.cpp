#include "io/json_position.hpp"

namespace tarnivel {
namespace {

bool json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_space(std::string_view text, std::size_t i) {
  while (i < text.size() && json_space(text[i])) ++i;
  return i;
}

// Byte offset of the start of array item `index` (or of the document itself) in a text that parsed
// as JSON. The walk only steps over strings, so it stops at the first item that is not a string even
// when `index` lies further on.
std::size_t item_offset(std::string_view text, std::size_t index) {
  std::size_t i = skip_space(text, 0);
  if (index == kDocument || i >= text.size() || text[i] != '[') return i;
  ++i;
  for (std::size_t k = 0;; ++k) {
    i = skip_space(text, i);
    if (k == index || i >= text.size() || text[i] != '"') return i;
    for (++i; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\') ++i;
    }
    i = skip_space(text, i + 1);
    if (i >= text.size() || text[i] != ',') return i;
    ++i;
  }
}

// " at line {line} column {column}" of a byte offset, columns counted in characters from 1, as the
// JSON parser counts them.
std::string position_text(std::string_view text, std::size_t offset) {
  std::size_t line = 1;
  std::size_t column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++column;
    }
  }
  return " at line " + std::to_string(line) + " column " + std::to_string(column);
}

}  // namespace

std::string item_position(std::string_view text, std::size_t index) {
  return position_text(text, item_offset(text, index));
}

}  // namespace tarnivel
