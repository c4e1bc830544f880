#include "core/io/npy.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

#include "core/errors.hpp"
#include "core/io/quoted.hpp"
#include "core/io/zip_records.hpp"
#include "core/value/python_literal.hpp"

namespace zelka::io {
namespace {

constexpr std::string_view magic = "\x93NUMPY";
constexpr std::size_t alignment = 64;

[[noreturn]] void fail(const std::string& what) {
  throw ValueError(what);
}

// The header dict as numpy writes it: {'descr': '<f4', 'fortran_order': False, 'shape': (3,), }
class HeaderParser {
 public:
  explicit HeaderParser(std::string_view text) : text_(text) {}

  NpyArray parse() {
    NpyArray out;
    bool has_descr = false, has_order = false, has_shape = false;
    expect('{');
    while (true) {
      skip_space();
      if (take('}')) break;
      const std::string key = quoted_text();
      expect(':');
      skip_space();
      if (key == "descr" && !has_descr) {
        out.descr = quoted_text();
        has_descr = true;
      } else if (key == "fortran_order" && !has_order) {
        if (text_.substr(pos_, 5) == "False") {
          pos_ += 5;
        } else if (text_.substr(pos_, 4) == "True") {
          fail("the array is in Fortran order, which zelka does not write");
        } else {
          bad("fortran_order is not True or False");
        }
        has_order = true;
      } else if (key == "shape" && !has_shape) {
        out.shape = shape();
        has_shape = true;
      } else {
        bad("unexpected or repeated key " + quoted(key));
      }
      skip_space();
      if (take('}')) break;
      expect(',');
    }
    skip_space();
    if (pos_ != text_.size()) bad("text after the dict");
    if (!has_descr || !has_order || !has_shape) bad("descr, fortran_order or shape missing");
    return out;
  }

 private:
  [[noreturn]] void bad(const std::string& what) const {
    fail("the .npy header is not the dict numpy writes: " + what);
  }

  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n')) ++pos_;
  }

  bool take(char c) {
    if (pos_ < text_.size() && text_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }

  void expect(char c) {
    skip_space();
    if (!take(c)) bad(std::string("expected '") + c + "'");
  }

  std::string quoted_text() {
    if (!take('\'')) bad("expected a quoted string");
    const std::size_t end = text_.find('\'', pos_);
    if (end == std::string_view::npos) bad("unterminated string");
    std::string s(text_.substr(pos_, end - pos_));
    pos_ = end + 1;
    return s;
  }

  std::vector<std::int64_t> shape() {
    if (!take('(')) bad("shape is not a tuple");
    std::vector<std::int64_t> dims;
    while (true) {
      skip_space();
      if (take(')')) return dims;
      std::int64_t d = 0;
      const auto [end, ec] = std::from_chars(text_.data() + pos_, text_.data() + text_.size(), d);
      if (ec != std::errc() || d < 0) bad("shape holds something other than sizes");
      pos_ = static_cast<std::size_t>(end - text_.data());
      dims.push_back(d);
      skip_space();
      if (take(')')) {
        if (dims.size() == 1) bad("a one-item shape lacks its comma");
        return dims;
      }
      if (!take(',')) bad("expected ',' in the shape");
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

std::string shape_text(const std::vector<std::int64_t>& shape) {
  value::Tuple t;
  for (std::int64_t d : shape) t.items.emplace_back(d);
  return value::python_literal(value::Value(std::move(t)));
}

std::size_t npy_item_size(std::string_view descr) {
  if (descr == "|b1" || descr == "|i1" || descr == "|u1") return 1;
  if (descr.size() < 3 || (descr[0] != '<' && descr[0] != '>')) return 0;
  const std::string_view type = descr.substr(1);
  // the digits after the kind are the size in bytes
  for (std::string_view known : {"i2", "i4", "i8", "u2", "u4", "u8", "f2", "f4", "f8", "c8", "c16"})
    if (type == known) return static_cast<std::size_t>(std::stoi(std::string(type.substr(1))));
  return 0;
}

bool array_bytes(const std::vector<std::int64_t>& shape, std::size_t item_size,
                 std::uint64_t& bytes) {
  // numpy's rule: the item size times every size but zeros fits 63 bits, also when a size is 0
  std::uint64_t addressed = item_size;
  bool empty = false;
  for (std::int64_t d : shape) {
    if (d < 0) return false;
    if (d == 0) {
      empty = true;
      continue;
    }
    if (__builtin_mul_overflow(addressed, static_cast<std::uint64_t>(d), &addressed) ||
        addressed > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
      return false;
  }
  bytes = empty ? 0 : addressed;
  return true;
}

std::string npy_header(std::string_view descr, const std::vector<std::int64_t>& shape) {
  std::string dict = "{'descr': '" + std::string(descr) + "', 'fortran_order': False, 'shape': (";
  for (std::size_t i = 0; i < shape.size(); ++i) dict += (i ? ", " : "") + std::to_string(shape[i]);
  dict += shape.size() == 1 ? ",), }" : "), }";
  const bool long_header = magic.size() + 4 + dict.size() + 1 > 0xffff;
  const std::size_t prefix = magic.size() + 2 + (long_header ? 4 : 2);
  const std::size_t unpadded = prefix + dict.size() + 1;
  dict.append((alignment - unpadded % alignment) % alignment, ' ');
  dict += '\n';
  std::string out(magic);
  out += static_cast<char>(long_header ? 2 : 1);
  out += '\0';
  if (long_header)
    zip::put32(out, static_cast<std::uint32_t>(dict.size()));
  else
    zip::put16(out, static_cast<std::uint16_t>(dict.size()));
  return out + dict;
}

NpyArray read_npy(std::string_view bytes) {
  if (bytes.size() < magic.size() + 4 || bytes.substr(0, magic.size()) != magic)
    fail("not a .npy array (no \\x93NUMPY magic)");
  const auto major = static_cast<unsigned char>(bytes[6]);
  const auto minor = static_cast<unsigned char>(bytes[7]);
  if ((major != 1 && major != 2) || minor != 0)
    fail(".npy version " + std::to_string(major) + "." + std::to_string(minor) +
         " is not read (1.0 and 2.0 are)");
  const std::size_t length_size = major == 1 ? 2 : 4;
  if (bytes.size() < 8 + length_size) fail("the .npy header is cut short");
  const std::uint64_t header_length =
      major == 1 ? zip::get16(bytes, 8) : std::uint64_t{zip::get32(bytes, 8)};
  const std::uint64_t data_at = 8 + length_size + header_length;
  if (data_at > bytes.size())
    fail("the .npy header of " + std::to_string(header_length) + " bytes reaches past the " +
         std::to_string(bytes.size()) + " bytes of the array");
  NpyArray array = HeaderParser(bytes.substr(8 + length_size, header_length)).parse();
  const std::size_t item_size = npy_item_size(array.descr);
  if (item_size == 0)
    fail("dtype " + quoted(array.descr) + " is not one zelka reads (numeric and bool dtypes only)");
  if (array.shape.size() > max_array_dimensions)
    fail("the .npy shape has " + std::to_string(array.shape.size()) + " dimensions, more than " +
         "the " + std::to_string(max_array_dimensions) + " of any numpy array");
  std::uint64_t data_size = 0;
  if (!array_bytes(array.shape, item_size, data_size)) {
    const std::string shown = "the .npy shape " + shape_text(array.shape);
    if (std::find(array.shape.begin(), array.shape.end(), 0) == array.shape.end())
      fail(shown + " declares more elements than any file holds");
    fail(shown + " is one numpy refuses even for an empty array: its sizes other than 0 " +
         "times the item size pass 2**63 - 1 bytes");
  }
  const std::uint64_t present = bytes.size() - data_at;
  if (data_size != present)
    fail("the .npy header declares " + std::to_string(data_size) + " bytes of data, the array " +
         "holds " + std::to_string(present));
  array.data = bytes.substr(data_at);
  return array;
}

}  // namespace zelka::io
