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
// writes, a descr npy_item_size does not know, a Fortran-ordered array, or data whose size is
// not the one its shape and descr give (worked out without overflow).
NpyArray read_npy(std::string_view bytes);

// Sets `count` to the element count of `shape`; false when that does not fit 63 bits.
bool element_count(const std::vector<std::int64_t>& shape, std::uint64_t& count);

}  // namespace zelka::io
