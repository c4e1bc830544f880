#include "core/value/json_reader.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/text/utf8.hpp"

namespace zelka::value {
namespace {

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

class Parser {
 public:
  Parser(std::string_view text, std::size_t max_depth) : text_(text), max_depth_(max_depth) {}

  Value parse() {
    std::optional<Value> done;
    while (!done) {
      skip_space();
      std::optional<Value> v = begin_value();
      while (v) {
        if (open_.empty()) {
          done = std::move(v);
          break;
        }
        v = add_to_open(std::move(*v));
      }
    }
    skip_space();
    if (pos_ != text_.size()) fail("text after the end of the value");
    return std::move(*done);
  }

 private:
  // An array or object being read, with the member names seen so far.
  struct Open {
    Value container;
    std::string key;
    std::unordered_set<std::string> keys;
  };

  [[noreturn]] void fail(const std::string& what) const {
    throw ValueError("invalid JSON at byte " + std::to_string(pos_) + ": " + what);
  }

  void skip_space() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r'))
      ++pos_;
  }

  bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }

  void expect(char c) {
    skip_space();
    if (!at(c)) fail(std::string("expected '") + c + "'");
    ++pos_;
  }

  bool take_word(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  // A scalar value, or nothing when an array or object was opened (its members follow).
  std::optional<Value> begin_value() {
    if (pos_ >= text_.size()) fail("unexpected end of the text");
    const char c = text_[pos_];
    if (c == '[' || c == '{') {
      if (open_.size() >= max_depth_)
        fail("arrays and objects nested more than " + std::to_string(max_depth_) + " deep");
      ++pos_;
      open_.push_back({c == '[' ? Value(List{}) : Value(Map{}), {}, {}});
      skip_space();
      if (at(c == '[' ? ']' : '}')) {
        ++pos_;
        Value empty = std::move(open_.back().container);
        open_.pop_back();
        return empty;
      }
      if (c == '{') read_key();
      return std::nullopt;
    }
    if (c == '"') return Value(read_string());
    if (take_word("true")) return Value(true);
    if (take_word("false")) return Value(false);
    if (take_word("null")) return Value(Null{});
    if (take_word("NaN")) return Value(std::numeric_limits<double>::quiet_NaN());
    if (take_word("Infinity")) return Value(std::numeric_limits<double>::infinity());
    if (take_word("-Infinity")) return Value(-std::numeric_limits<double>::infinity());
    if (c == '-' || is_digit(c)) return read_number();
    fail("expected a value");
  }

  void read_key() {
    skip_space();
    if (!at('"')) fail("expected a member name");
    Open& o = open_.back();
    o.key = read_string();
    if (!o.keys.insert(o.key).second) fail("member name \"" + o.key + "\" repeated");
    expect(':');
  }

  // Adds `v` to the innermost open container; returns that container when `v` closed it.
  std::optional<Value> add_to_open(Value v) {
    Open& o = open_.back();
    const bool map = o.container.is<Map>();
    if (map)
      o.container.as<Map>().entries.emplace_back(Value(std::move(o.key)), std::move(v));
    else
      o.container.as<List>().push_back(std::move(v));
    skip_space();
    if (at(',')) {
      ++pos_;
      if (map) read_key();
      return std::nullopt;
    }
    expect(map ? '}' : ']');
    Value closed = std::move(o.container);
    open_.pop_back();
    return closed;
  }

  Value read_number() {
    const std::size_t start = pos_;
    if (at('-')) ++pos_;
    if (at('0')) {
      ++pos_;
    } else if (pos_ < text_.size() && is_digit(text_[pos_])) {
      while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    } else {
      fail("expected a digit");
    }
    bool integer = true;
    const auto digits = [&] {
      if (pos_ >= text_.size() || !is_digit(text_[pos_])) fail("expected a digit");
      while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    };
    if (at('.')) {
      integer = false;
      ++pos_;
      digits();
    }
    if (at('e') || at('E')) {
      integer = false;
      ++pos_;
      if (at('+') || at('-')) ++pos_;
      digits();
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    if (integer) {
      std::int64_t i = 0;
      if (std::from_chars(first, last, i).ec == std::errc()) return Value(i);
      return Value(BigInt{std::string(first, last)});
    }
    double d = 0;
    if (std::from_chars(first, last, d).ec != std::errc()) {
      pos_ = start;
      fail("number out of the double range");
    }
    return Value(d);
  }

  char32_t read_hex4() {
    if (pos_ + 4 > text_.size()) fail("unexpected end of a \\u escape");
    char32_t unit = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = text_[pos_++];
      unit <<= 4;
      if (is_digit(c))
        unit |= static_cast<char32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        unit |= static_cast<char32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        unit |= static_cast<char32_t>(c - 'A' + 10);
      else
        fail("expected a hexadecimal digit");
    }
    return unit;
  }

  char32_t read_escape() {
    const char c = text_[pos_++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        return static_cast<char32_t>(c);
      case 'b':
        return '\b';
      case 'f':
        return '\f';
      case 'n':
        return '\n';
      case 'r':
        return '\r';
      case 't':
        return '\t';
      case 'u':
        break;
      default:
        --pos_;
        fail("unknown escape");
    }
    const char32_t unit = read_hex4();
    if (unit >= 0xdc00 && unit <= 0xdfff) fail("lone low surrogate escape");
    if (unit < 0xd800 || unit > 0xdbff) return unit;
    if (!take_word("\\u")) fail("high surrogate escape without its low surrogate");
    const char32_t low = read_hex4();
    if (low < 0xdc00 || low > 0xdfff) fail("high surrogate escape without its low surrogate");
    return 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
  }

  std::string read_string() {
    ++pos_;  // the opening quote
    std::string out;
    while (true) {
      if (pos_ >= text_.size()) fail("unterminated string");
      const auto c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c < 0x20) fail("control character in a string");
      if (c == '\\') {
        ++pos_;
        if (pos_ >= text_.size()) fail("unterminated string");
        append_utf8(out, read_escape());
      } else if (c < 0x80) {
        out += static_cast<char>(c);
        ++pos_;
      } else {
        const std::size_t start = pos_;
        const char32_t cp = text::next_code_point(text_, pos_);
        if (cp == 0xfffd && pos_ - start == 1) {
          pos_ = start;
          fail("text that is not UTF-8");
        }
        out.append(text_.substr(start, pos_ - start));
      }
    }
  }

  std::string_view text_;
  std::size_t max_depth_;
  std::size_t pos_ = 0;
  std::vector<Open> open_;
};

}  // namespace

Value parse_json(std::string_view text, std::size_t max_depth) {
  return Parser(text, max_depth).parse();
}

}  // namespace zelka::value
