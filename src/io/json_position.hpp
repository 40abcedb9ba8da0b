#pragma once
// Positions in the text of a vocabulary file (a JSON array of strings), for the errors found after
// the text has parsed.
#include <cstddef>
#include <string>
#include <string_view>

namespace tarnivel {

// Item indexes of item_position with a special meaning: the document itself, and the first item that
// is not a string.
inline constexpr std::size_t kDocument = std::string::npos;
inline constexpr std::size_t kFirstNonString = std::string::npos - 1;

// " at line {line} column {column}" of the start of array item `index` (or of the document) in a text
// that parsed as JSON; columns count characters from 1, as the JSON parser counts them. The walk only
// steps over strings, so it stops at the first item that is not a string even when `index` lies
// further on.
std::string item_position(std::string_view text, std::size_t index);

}  // namespace tarnivel
