// Packed JSON: the compact binary form in which the database keeps
// metadata, read in place (field lookup, equality with a filter value,
// the compact JSON text) without building JsonValue trees.
//
// A value is a kind byte (JsonValue::Kind) and then:
//   null: nothing;  bool: one byte, 0 or 1;
//   unsigned: a varint;  signed (always negative): a varint of ~value;
//   float: the 8 bytes of the double;
//   string: a varint length and the UTF-8 bytes;
//   array: a varint item count, a varint byte length, the items;
//   object: a varint member count, a varint byte length, the members, each
//           a varint key length, the key bytes and the value, keys in
//           ascending byte order (as JsonValue keeps them).
// The form lives only in memory: files hold the compact JSON text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/records/json.h"

namespace hovra {

// Appends the packed form of v.
void pack_json(const JsonValue& v, std::string& out);
std::string packed(const JsonValue& v);

// One value inside packed bytes. The bytes must come from pack_json (they
// are trusted: nothing is bounds-checked).
class PackedValue {
 public:
  explicit PackedValue(std::string_view bytes) : p_(reinterpret_cast<const unsigned char*>(bytes.data())) {}
  explicit PackedValue(const unsigned char* p) : p_(p) {}

  JsonValue::Kind kind() const { return static_cast<JsonValue::Kind>(p_[0]); }
  bool is_object() const { return kind() == JsonValue::Kind::Object; }
  bool is_number() const {
    return kind() == JsonValue::Kind::Unsigned || kind() == JsonValue::Kind::Signed ||
           kind() == JsonValue::Kind::Float;
  }
  bool as_bool() const { return p_[1] != 0; }
  std::uint64_t as_unsigned() const;
  std::int64_t as_signed() const;
  double as_float() const;
  // Any number widened to a double (integers to the nearest double).
  double number_as_double() const;
  std::string_view as_string() const;
  // An object's member named key, if any.
  std::optional<PackedValue> find(std::string_view key) const;
  // Calls f(key, value) for each member of an object, in key order.
  template <class F>
  void for_each_member(F&& f) const;
  // Calls f(item) for each item of an array, in order.
  template <class F>
  void for_each_item(F&& f) const;
  // JsonValue equality: same kind and value (unsigned 1 is not float 1.0).
  bool equals(const JsonValue& v) const;
  JsonValue to_json() const;
  // Past the last byte of this value.
  const unsigned char* end() const;
  std::size_t size() const { return static_cast<std::size_t>(end() - p_); }
  std::string_view bytes() const { return {reinterpret_cast<const char*>(p_), size()}; }
  // An array's or object's first item or member, and how many there are.
  const unsigned char* children(std::uint64_t& count) const;

 private:
  const unsigned char* p_;
};

// Reads a varint at p and advances p.
inline std::uint64_t read_varint(const unsigned char*& p) {
  std::uint64_t v = 0;
  for (int shift = 0;; shift += 7) {
    unsigned char b = *p++;
    v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) return v;
  }
}

template <class F>
void PackedValue::for_each_member(F&& f) const {
  std::uint64_t count = 0;
  const unsigned char* p = children(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::uint64_t len = read_varint(p);
    std::string_view key(reinterpret_cast<const char*>(p), static_cast<std::size_t>(len));
    PackedValue value(p + len);
    // A callback that returns bool stops the walk by returning false.
    if constexpr (std::is_same_v<decltype(f(key, value)), bool>) {
      if (!f(key, value)) return;
    } else {
      f(key, value);
    }
    p = value.end();
  }
}

template <class F>
void PackedValue::for_each_item(F&& f) const {
  std::uint64_t count = 0;
  const unsigned char* p = children(count);
  for (std::uint64_t i = 0; i < count; ++i) {
    PackedValue item(p);
    f(item);
    p = item.end();
  }
}

// The compact JSON text of a packed value: the same bytes write_json
// gives for the JsonValue it was packed from.
void write_packed_json(PackedValue v, std::string& out);
std::string packed_to_text(std::string_view packed);

// The compact JSON text read into packed form (the reading rules of
// parse_json); false with error set when it does not read.
bool parse_json_packed(std::string_view text, std::string& out, std::string& error);

}  // namespace hovra
