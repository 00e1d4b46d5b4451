// The reader of JsonValue's text form: one JSON document into a value, or an
// error naming the problem, its line and its column (the value model and the
// writer are in json.cpp, which says why the project carries its own).
//
// Reader choices: an unpaired UTF-16 surrogate in a \u escape is an error, as
// is invalid UTF-8 anywhere in a string; a number too large for a double
// (such as 1e400) is an error, since floats are always finite, while one too
// small for a double reads as zero of its sign. Error positions count lines
// from 1 (a line ends at a line feed) and columns in bytes from 1.
#include "core/records/json.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace hovra {

namespace {

constexpr int kMaxDepth = 127;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Length of the well-formed UTF-8 sequence starting at s[0] (a byte >= 0x80),
// or 0 when it is malformed, overlong, a surrogate, beyond U+10FFFF or cut
// short by the end of the text.
std::size_t utf8_sequence_length(std::string_view s) {
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char lead = at(0);
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  if (at(1) < lo || at(1) > hi) return 0;
  for (std::size_t i = 2; i < len; ++i) {
    if (at(i) < 0x80 || at(i) > 0xBF) return 0;
  }
  return len;
}

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  bool read_document(JsonValue& out, std::string& error) {
    JsonValue value;
    skip_space();
    bool ok = read_value(value, 0);
    if (ok) {
      skip_space();
      if (pos_ < text_.size()) ok = fail("trailing characters", pos_);
    }
    if (!ok) {
      error = error_;
      return false;
    }
    out = std::move(value);
    return true;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::string error_;

  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }
  bool starts_with(std::size_t at, std::string_view word) const {
    return at <= text_.size() && text_.substr(at).substr(0, word.size()) == word;
  }

  void skip_space() {
    while (!at_end() && is_space(peek())) ++pos_;
  }

  // Records "<what> at line L column C" for the byte at offset `at`.
  bool fail(const char* what, std::size_t at) {
    std::size_t line = 1, line_start = 0;
    for (std::size_t i = 0; i < at && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        line_start = i + 1;
      }
    }
    error_ =
        std::string(what) + " at line " + std::to_string(line) + " column " + std::to_string(at - line_start + 1);
    return false;
  }

  // Fails with `what`, or with the end-of-input message when the text ran out.
  bool fail_here(const char* what) { return fail(at_end() ? "unexpected end of input" : what, pos_); }

  bool read_value(JsonValue& out, int depth) {
    if (at_end()) return fail_here("expected value");
    switch (peek()) {
      case '{':
        return read_object(out, depth + 1);
      case '[':
        return read_array(out, depth + 1);
      case '"': {
        std::string s;
        if (!read_string(s)) return false;
        out = JsonValue::string(std::move(s));
        return true;
      }
      case 't':
        return read_word("true", JsonValue::boolean(true), out);
      case 'f':
        return read_word("false", JsonValue::boolean(false), out);
      case 'n':
        return read_word("null", JsonValue::null(), out);
      case 'N':
        if (starts_with(pos_, "NaN")) return fail("NaN is not allowed", pos_);
        return fail_here("expected value");
      case 'I':
        if (starts_with(pos_, "Infinity")) return fail("Infinity is not allowed", pos_);
        return fail_here("expected value");
      default:
        if (peek() == '-' || is_digit(peek())) return read_number(out);
        return fail_here("expected value");
    }
  }

  bool read_word(std::string_view word, JsonValue value, JsonValue& out) {
    for (char expected : word) {
      if (at_end()) return fail_here("");
      if (peek() != expected) return fail("invalid literal", pos_);
      ++pos_;
    }
    out = std::move(value);
    return true;
  }

  bool enter(int depth) {
    if (depth > kMaxDepth) return fail("nesting deeper than 127 levels", pos_);
    return true;
  }

  bool read_array(JsonValue& out, int depth) {
    if (!enter(depth)) return false;
    ++pos_;  // '['
    JsonValue::Array items;
    skip_space();
    if (!at_end() && peek() == ']') {
      ++pos_;
      out = JsonValue::array(std::move(items));
      return true;
    }
    for (;;) {
      skip_space();
      JsonValue item;
      if (!read_value(item, depth)) return false;
      items.push_back(std::move(item));
      skip_space();
      if (at_end() || (peek() != ',' && peek() != ']')) return fail_here("expected ',' or ']'");
      if (text_[pos_++] == ']') break;
    }
    out = JsonValue::array(std::move(items));
    return true;
  }

  bool read_object(JsonValue& out, int depth) {
    if (!enter(depth)) return false;
    ++pos_;  // '{'
    JsonValue::Object members;
    skip_space();
    if (!at_end() && peek() == '}') {
      ++pos_;
      out = JsonValue::object(std::move(members));
      return true;
    }
    for (;;) {
      skip_space();
      if (at_end() || peek() != '"') return fail_here("expected string key");
      std::string key;
      if (!read_string(key)) return false;
      skip_space();
      if (at_end() || peek() != ':') return fail_here("expected ':'");
      ++pos_;
      skip_space();
      JsonValue value;
      if (!read_value(value, depth)) return false;
      members.insert_or_assign(std::move(key), std::move(value));
      skip_space();
      if (at_end() || (peek() != ',' && peek() != '}')) return fail_here("expected ',' or '}'");
      if (text_[pos_++] == '}') break;
    }
    out = JsonValue::object(std::move(members));
    return true;
  }

  // Reads the string whose opening quote is at pos_.
  bool read_string(std::string& out) {
    ++pos_;  // opening quote
    for (;;) {
      std::size_t run = pos_;
      while (!at_end() && is_plain_string_byte(peek())) ++pos_;
      out.append(text_.data() + run, pos_ - run);
      if (at_end()) return fail_here("");
      unsigned char c = static_cast<unsigned char>(peek());
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (c == '\\') {
        if (!read_escape(out)) return false;
      } else if (c < 0x20) {
        return fail("control character in string", pos_);
      } else {
        std::size_t len = utf8_sequence_length(text_.substr(pos_));
        if (len == 0) return fail("invalid UTF-8 in string", pos_);
        out.append(text_.data() + pos_, len);
        pos_ += len;
      }
    }
  }

  static bool is_plain_string_byte(char ch) {
    unsigned char c = static_cast<unsigned char>(ch);
    return c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
  }

  // Reads the escape whose backslash is at pos_.
  bool read_escape(std::string& out) {
    ++pos_;  // backslash
    if (at_end()) return fail_here("");
    char c = text_[pos_];
    switch (c) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '/':
        out += '/';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u':
        return read_unicode_escape(out);
      default:
        return fail("invalid escape", pos_);
    }
    ++pos_;
    return true;
  }

  // Reads four hex digits at pos_ into unit.
  bool read_hex4(std::uint32_t& unit) {
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      if (at_end()) return fail_here("");
      int h = hex_value(peek());
      if (h < 0) return fail("invalid \\u escape", pos_);
      unit = unit * 16 + static_cast<std::uint32_t>(h);
      ++pos_;
    }
    return true;
  }

  // Reads the escape whose 'u' is at pos_, with the low half of a surrogate
  // pair when the first unit is a high half.
  bool read_unicode_escape(std::string& out) {
    std::size_t start = pos_ - 1;
    ++pos_;  // 'u'
    std::uint32_t unit;
    if (!read_hex4(unit)) return false;
    if (unit >= 0xDC00 && unit <= 0xDFFF) return fail("unpaired surrogate in \\u escape", start);
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (text_.size() - pos_ < 2 && text_.substr(pos_) == std::string_view("\\").substr(0, text_.size() - pos_))
        return fail("unexpected end of input", text_.size());
      if (!starts_with(pos_, "\\u")) return fail("unpaired surrogate in \\u escape", start);
      pos_ += 2;
      std::uint32_t low;
      if (!read_hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail("unpaired surrogate in \\u escape", start);
      unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(unit, out);
    return true;
  }

  bool read_number(JsonValue& out) {
    std::size_t start = pos_;
    bool negative = false;
    if (peek() == '-') {
      negative = true;
      ++pos_;
      if (starts_with(pos_, "Infinity")) return fail("Infinity is not allowed", start);
    }
    if (at_end() || !is_digit(peek())) return fail_here("invalid number");
    if (peek() == '0') {
      ++pos_;
      if (!at_end() && is_digit(peek())) return fail("invalid number", pos_);
    } else {
      skip_digits();
    }
    bool integral = true;
    if (!at_end() && peek() == '.') {
      integral = false;
      ++pos_;
      if (at_end() || !is_digit(peek())) return fail_here("invalid number");
      skip_digits();
    }
    if (!at_end() && (peek() == 'e' || peek() == 'E')) {
      integral = false;
      ++pos_;
      if (!at_end() && (peek() == '+' || peek() == '-')) ++pos_;
      if (at_end() || !is_digit(peek())) return fail_here("invalid number");
      skip_digits();
    }
    std::string_view literal = text_.substr(start, pos_ - start);
    if (integral && read_integer(literal, negative, out)) return true;
    return read_float(literal, negative, start, out);
  }

  void skip_digits() {
    while (!at_end() && is_digit(peek())) ++pos_;
  }

  // An integer literal that fits its 64-bit kind; false when it does not.
  static bool read_integer(std::string_view literal, bool negative, JsonValue& out) {
    const char* first = literal.data();
    const char* last = first + literal.size();
    if (negative) {
      std::int64_t i;
      auto r = std::from_chars(first, last, i);
      if (r.ec != std::errc() || r.ptr != last) return false;
      out = JsonValue::signed_int(i);
    } else {
      std::uint64_t u;
      auto r = std::from_chars(first, last, u);
      if (r.ec != std::errc() || r.ptr != last) return false;
      out = JsonValue::unsigned_int(u);
    }
    return true;
  }

  bool read_float(std::string_view literal, bool negative, std::size_t start, JsonValue& out) {
    double f = 0.0;
    auto r = std::from_chars(literal.data(), literal.data() + literal.size(), f);
    if (r.ec == std::errc::result_out_of_range) {
      if (magnitude_at_least_one(literal)) return fail("number out of range", start);
      f = negative ? -0.0 : 0.0;
    } else if (r.ec != std::errc() || r.ptr != literal.data() + literal.size()) {
      return fail("invalid number", start);
    }
    out = JsonValue::floating(f);
    return true;
  }

  // Whether a well-formed, non-zero number literal is at least 1 in
  // magnitude, which tells an overflow from an underflow.
  static bool magnitude_at_least_one(std::string_view literal) {
    std::size_t i = literal[0] == '-' ? 1 : 0;
    std::int64_t exponent10 = 0;  // decimal exponent of the first non-zero digit
    std::int64_t int_digits = 0;
    while (i < literal.size() && is_digit(literal[i])) {
      ++int_digits;
      ++i;
    }
    bool leading_zero = literal[literal[0] == '-' ? 1 : 0] == '0';
    if (!leading_zero) {
      exponent10 = int_digits - 1;
    } else if (i < literal.size() && literal[i] == '.') {
      std::int64_t zeros = 0;
      ++i;
      while (i < literal.size() && literal[i] == '0') {
        ++zeros;
        ++i;
      }
      exponent10 = -(zeros + 1);
    }
    std::size_t e = literal.find_first_of("eE");
    if (e != std::string_view::npos) exponent10 += explicit_exponent(literal.substr(e + 1));
    return exponent10 >= 0;
  }

  // The exponent digits after 'e', saturated far beyond any double's range.
  static std::int64_t explicit_exponent(std::string_view digits) {
    bool negative = false;
    std::size_t i = 0;
    if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) {
      negative = digits[0] == '-';
      ++i;
    }
    std::int64_t value = 0;
    for (; i < digits.size(); ++i) {
      if (value < 1000000000000LL) value = value * 10 + (digits[i] - '0');
    }
    return negative ? -value : value;
  }
};

}  // namespace

bool parse_json(std::string_view text, JsonValue& out, std::string& error) {
  Reader reader(text);
  return reader.read_document(out, error);
}

}  // namespace hovra
