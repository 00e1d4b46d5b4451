// JsonValue (construction, equality, hashing) and the writer of its compact
// JSON text form; the reader is in json_parse.cpp.
//
// The project carries its own JSON reader and writer instead of a library
// because the value model has needs a general library does not meet as a
// whole: unsigned, signed and float numbers are distinct in equality and
// hashing (1 and 1.0 are different values), nesting is limited to 127 levels,
// objects keep one entry per key with the later duplicate winning and keys
// sorted by their bytes, and floats are written in the shortest form that
// reads back exactly while always carrying a point or an exponent. Nothing
// else in the project needs JSON, so a dependency would buy nothing more.
#include "core/records/json.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <functional>
#include <utility>

namespace hovra {

// ---------------------------------------------------------------------------
// Construction

JsonValue JsonValue::boolean(bool b) {
  JsonValue v;
  v.kind_ = Kind::Bool;
  v.b_ = b;
  return v;
}

JsonValue JsonValue::unsigned_int(std::uint64_t u) {
  JsonValue v;
  v.kind_ = Kind::Unsigned;
  v.u_ = u;
  return v;
}

JsonValue JsonValue::signed_int(std::int64_t i) {
  if (i >= 0) return unsigned_int(static_cast<std::uint64_t>(i));
  JsonValue v;
  v.kind_ = Kind::Signed;
  v.i_ = i;
  return v;
}

// Floats are always finite; a NaN or an infinity becomes null.
JsonValue JsonValue::floating(double f) {
  JsonValue v;
  if (!std::isfinite(f)) return v;
  v.kind_ = Kind::Float;
  v.f_ = f;
  return v;
}

JsonValue JsonValue::string(std::string s) {
  JsonValue v;
  v.kind_ = Kind::String;
  v.s_ = std::make_shared<const std::string>(std::move(s));
  return v;
}

JsonValue JsonValue::array(Array items) {
  JsonValue v;
  v.kind_ = Kind::Array;
  v.a_ = std::make_shared<const Array>(std::move(items));
  return v;
}

JsonValue JsonValue::object(Object members) {
  JsonValue v;
  v.kind_ = Kind::Object;
  v.o_ = std::make_shared<const Object>(std::move(members));
  return v;
}

double JsonValue::number_as_double() const {
  switch (kind_) {
    case Kind::Unsigned:
      return static_cast<double>(u_);
    case Kind::Signed:
      return static_cast<double>(i_);
    case Kind::Float:
      return f_;
    default:
      return 0.0;
  }
}

const JsonValue* JsonValue::find(std::string_view key) const {
  if (kind_ != Kind::Object) return nullptr;
  auto it = o_->find(std::string(key));
  return it == o_->end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------------------
// Equality and hashing

bool JsonValue::operator==(const JsonValue& other) const {
  if (kind_ != other.kind_) return false;
  switch (kind_) {
    case Kind::Null:
      return true;
    case Kind::Bool:
      return b_ == other.b_;
    case Kind::Unsigned:
      return u_ == other.u_;
    case Kind::Signed:
      return i_ == other.i_;
    case Kind::Float:
      return f_ == other.f_;
    case Kind::String:
      return s_ == other.s_ || *s_ == *other.s_;
    case Kind::Array:
      return a_ == other.a_ || *a_ == *other.a_;
    case Kind::Object:
      return o_ == other.o_ || *o_ == *other.o_;
  }
  return false;
}

namespace {

std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::uint64_t combine(std::uint64_t seed, std::uint64_t value) { return mix(seed ^ mix(value)); }

std::uint64_t float_bits_for_hash(double f) {
  if (f == 0.0) return 0;  // 0.0 and -0.0 are equal, so they must hash alike
  std::uint64_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

std::uint64_t text_hash(const std::string& s) { return std::hash<std::string>{}(s); }

}  // namespace

std::size_t JsonValue::hash() const {
  std::uint64_t h = mix(static_cast<std::uint64_t>(kind_));
  switch (kind_) {
    case Kind::Null:
      break;
    case Kind::Bool:
      h = combine(h, b_ ? 1 : 0);
      break;
    case Kind::Unsigned:
      h = combine(h, u_);
      break;
    case Kind::Signed:
      h = combine(h, static_cast<std::uint64_t>(i_));
      break;
    case Kind::Float:
      h = combine(h, float_bits_for_hash(f_));
      break;
    case Kind::String:
      h = combine(h, text_hash(*s_));
      break;
    case Kind::Array:
      h = combine(h, a_->size());
      for (const JsonValue& item : *a_) h = combine(h, item.hash());
      break;
    case Kind::Object:
      h = combine(h, o_->size());
      for (const auto& [key, value] : *o_) h = combine(combine(h, text_hash(key)), value.hash());
      break;
  }
  return static_cast<std::size_t>(h);
}

// ---------------------------------------------------------------------------
// Writer

namespace {

void write_integer(std::uint64_t u, std::string& out) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, u);
  out.append(buf, r.ptr);
}

void write_integer(std::int64_t i, std::string& out) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, i);
  out.append(buf, r.ptr);
}

// Shortest text that reads back as the same double, with ".0" added when it
// would otherwise read back as an integer.
void write_float(double f, std::string& out) {
  if (!std::isfinite(f)) {
    out += "null";
    return;
  }
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, f);
  std::string_view text(buf, static_cast<std::size_t>(r.ptr - buf));
  out += text;
  if (text.find_first_of(".e") == std::string_view::npos) out += ".0";
}

void write_escaped_char(unsigned char c, std::string& out) {
  static const char hex[] = "0123456789abcdef";
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  out += "\\u00";
  out += hex[c >> 4];
  out += hex[c & 0xF];
}

bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

void write_string(std::string_view s, std::string& out) {
  out += '"';
  std::size_t run = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (!needs_escape(c)) continue;
    out.append(s.data() + run, i - run);
    write_escaped_char(c, out);
    run = i + 1;
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

}  // namespace

void write_json_integer(std::uint64_t u, std::string& out) { write_integer(u, out); }
void write_json_integer(std::int64_t i, std::string& out) { write_integer(i, out); }
void write_json_float(double f, std::string& out) { write_float(f, out); }
void write_json_string(std::string_view s, std::string& out) { write_string(s, out); }

void write_json(const JsonValue& value, std::string& out) {
  using Kind = JsonValue::Kind;
  switch (value.kind()) {
    case Kind::Null:
      out += "null";
      return;
    case Kind::Bool:
      out += value.as_bool() ? "true" : "false";
      return;
    case Kind::Unsigned:
      write_integer(value.as_unsigned(), out);
      return;
    case Kind::Signed:
      write_integer(value.as_signed(), out);
      return;
    case Kind::Float:
      write_float(value.as_float(), out);
      return;
    case Kind::String:
      write_string(value.as_string(), out);
      return;
    case Kind::Array: {
      out += '[';
      bool first = true;
      for (const JsonValue& item : value.as_array()) {
        if (!first) out += ',';
        first = false;
        write_json(item, out);
      }
      out += ']';
      return;
    }
    case Kind::Object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.as_object()) {
        if (!first) out += ',';
        first = false;
        write_string(key, out);
        out += ':';
        write_json(member, out);
      }
      out += '}';
      return;
    }
  }
}

std::string to_json_text(const JsonValue& value) {
  std::string out;
  write_json(value, out);
  return out;
}

}  // namespace hovra
