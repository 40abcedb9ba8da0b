#pragma once
// NPY 1.0 float32 matrix files: writing, tolerant header reading, and the data offset of a file held
// in memory. Failures throw ValueError with the messages users see.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarnivel {

// The header dictionary text for a rows x cols little-endian float32 C-order matrix.
std::string npy_header_dict(uint64_t rows, uint64_t cols);

// Writes the file (0o666 before umask), flushes and fsyncs it; every write error is reported.
void write_matrix(const std::string& path, uint64_t rows, uint64_t cols, std::span<const float> data);

// write_matrix to the new temporary file `tmp` of a save that replaces `final_name` (created as
// create_temp_file does: nothing at `tmp` is written through, the mode of `final_name` is kept);
// "failed to create {tmp}: {error}" or write_matrix's errors. Sets `created` once `tmp` is this save's.
void write_matrix_temp(const std::string& tmp, const std::string& final_name, uint64_t rows, uint64_t cols,
                       std::span<const float> data, bool& created);

// Reads at most the first 512 bytes and returns (rows, cols) from the header's shape.
std::pair<uint64_t, uint64_t> read_header(const std::string& path);

// The header of a matrix file: its shape and the dictionary text (padding included).
struct NpyHeader {
  uint64_t rows = 0;
  uint64_t cols = 0;
  std::string text;
};

// read_header, keeping the header text for check_matrix_layout.
NpyHeader read_npy_header(const std::string& path);

// Refuses a header whose data are not little-endian float32 in C order ('descr' '<f4',
// 'fortran_order' False), the only layout read as rows of floats: ValueError "unsupported npy ...".
void check_matrix_layout(std::string_view header);

// Offset of the first data byte of a whole file in memory (magic and version checked).
std::size_t data_offset(std::span<const uint8_t> bytes);

// Refuses a matrix whose row count differs from its word count:
// ValueError "npy shape mismatch: rows={rows} != vocab={words}".
void check_pair_rows(uint64_t rows, uint64_t words);

// The rows x cols float32 values of an NPY matrix file whose header gave that shape:
// ValueError "npy size mismatch" and the layout and read errors of the NPY format.
std::vector<float> read_matrix_values(const std::string& name, uint64_t rows, uint64_t cols);

}  // namespace tarnivel
