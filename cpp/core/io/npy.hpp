// The .npy array format (version 1.0, and 2.0 for long headers) for arrays of numeric and
// bool element types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zelka::io {

// The size in bytes of one element of the dtype `descr` (numpy's dtype.str: "|b1", "|i1",
// "|u1", and "<" or ">" followed by i2, i4, i8, u2, u4, u8, f2, f4, f8, c8 or c16); 0 for
// any other.
std::size_t npy_item_size(std::string_view descr);

// The header of a C-ordered array: magic, version, and the dict of descr, fortran_order and
// shape padded with spaces to a newline so that the data starts at a multiple of 64 bytes.
std::string npy_header(std::string_view descr, const std::vector<std::int64_t>& shape);

struct NpyArray {
  std::string descr;
  std::vector<std::int64_t> shape;
  std::string_view data;  // inside the bytes read
};

// The array that `bytes` holds.  ValueError saying what is wrong: no .npy magic, a version
// other than 1.0 and 2.0, a header that reaches past the bytes or is not the dict numpy
// writes, a descr npy_item_size does not know, a Fortran-ordered array, a shape no numpy array
// takes (more than max_array_dimensions, or too many bytes: array_bytes), or data whose size is
// not the one its shape and descr give.
NpyArray read_npy(std::string_view bytes);

// The most dimensions a numpy array has (numpy's NPY_MAXDIMS).
inline constexpr std::size_t max_array_dimensions = 64;

// Sets `bytes` to the size of the data of an array of `shape` with items of `item_size` bytes;
// false for a shape no numpy array takes: a negative size, or sizes whose product (zeros left
// out) times the item size passes 2**63 - 1, as numpy refuses even for an empty array.
bool array_bytes(const std::vector<std::int64_t>& shape, std::size_t item_size,
                 std::uint64_t& bytes);

// A shape as Python writes the tuple: "(2, 3)", "(4,)", "()".
std::string shape_text(const std::vector<std::int64_t>& shape);

}  // namespace zelka::io
