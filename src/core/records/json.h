// JsonValue, the metadata value model, and its one compact text form: the
// writer (json.cpp) and the reader (json_parse.cpp) used by the graph file,
// the log and the Python layer.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace hovra {

class JsonValue {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Unsigned, Signed, Float, String, Array, Object };
  using Array = std::vector<JsonValue>;
  // std::string's ordering compares bytes as unsigned char: keys stay sorted
  // by their bytes.
  using Object = std::map<std::string, JsonValue>;

  JsonValue() = default;  // null
  static JsonValue null() { return JsonValue(); }
  static JsonValue boolean(bool b);
  static JsonValue unsigned_int(std::uint64_t v);
  // Holds non-negative values as Unsigned, so integers compare as expected.
  static JsonValue signed_int(std::int64_t v);
  // Floats are always finite: a NaN or an infinity gives null.
  static JsonValue floating(double v);
  static JsonValue string(std::string s);
  static JsonValue array(Array items);
  static JsonValue object(Object members);

  Kind kind() const { return kind_; }
  bool is_number() const { return kind_ == Kind::Unsigned || kind_ == Kind::Signed || kind_ == Kind::Float; }
  bool is_object() const { return kind_ == Kind::Object; }
  bool as_bool() const { return b_; }
  std::uint64_t as_unsigned() const { return u_; }
  std::int64_t as_signed() const { return i_; }
  double as_float() const { return f_; }
  // Any number widened to a double (integers to the nearest double).
  double number_as_double() const;
  const std::string& as_string() const { return *s_; }
  const Array& as_array() const { return *a_; }
  const Object& as_object() const { return *o_; }
  // The member named key of an object, or nullptr.
  const JsonValue* find(std::string_view key) const;

  // Equality: kinds must match (Unsigned 1 differs from Float 1.0);
  // strings by bytes, arrays in order, objects by keys and values.
  bool operator==(const JsonValue& other) const;
  bool operator!=(const JsonValue& other) const { return !(*this == other); }
  std::size_t hash() const;

 private:
  Kind kind_ = Kind::Null;
  bool b_ = false;
  std::uint64_t u_ = 0;
  std::int64_t i_ = 0;
  double f_ = 0.0;
  std::shared_ptr<const std::string> s_;
  std::shared_ptr<const Array> a_;
  std::shared_ptr<const Object> o_;
};

struct JsonValueHash {
  std::size_t operator()(const JsonValue& v) const { return v.hash(); }
};

// Compact text: no whitespace, keys in byte order, shortest round-trip floats
// always with a point or an exponent, the escapes \" \\ \b \f \n \r \t,
// \u00xx (lowercase hex) for other control characters, raw UTF-8 otherwise.
void write_json(const JsonValue& value, std::string& out);
std::string to_json_text(const JsonValue& value);
// The writer's forms of one integer, one float and one string.
void write_json_integer(std::uint64_t u, std::string& out);
void write_json_integer(std::int64_t i, std::string& out);
void write_json_float(double f, std::string& out);
void write_json_string(std::string_view s, std::string& out);

// Reads exactly one JSON document (surrounding whitespace allowed), at most
// 127 nested levels; NaN/Infinity refused; later duplicate keys win.
// On failure returns false and sets error to a description naming the
// problem, its line and its column.
bool parse_json(std::string_view text, JsonValue& out, std::string& error);

}  // namespace hovra
