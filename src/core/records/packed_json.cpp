// Packing JsonValues, reading packed values in place, and writing them as
// compact JSON text.
//
// The form is the project's own: it must keep the value model's distinct
// number kinds and byte-ordered keys, and be read in place by the filter
// on every candidate of a walk; general binary JSON formats do neither
// exactly.
#include "core/records/packed_json.h"

#include <cstring>
#include <utility>

namespace hovra {

namespace {

using Kind = JsonValue::Kind;

void put_varint(std::uint64_t v, std::string& out) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

void put_kind(Kind k, std::string& out) { out.push_back(static_cast<char>(k)); }

// Writes a container's count and byte length in front of its body.
void put_container(Kind k, std::uint64_t count, const std::string& body, std::string& out) {
  put_kind(k, out);
  put_varint(count, out);
  put_varint(body.size(), out);
  out += body;
}

}  // namespace

void pack_json(const JsonValue& v, std::string& out) {
  switch (v.kind()) {
    case Kind::Null:
      put_kind(Kind::Null, out);
      return;
    case Kind::Bool:
      put_kind(Kind::Bool, out);
      out.push_back(v.as_bool() ? 1 : 0);
      return;
    case Kind::Unsigned:
      put_kind(Kind::Unsigned, out);
      put_varint(v.as_unsigned(), out);
      return;
    case Kind::Signed:
      put_kind(Kind::Signed, out);
      put_varint(~static_cast<std::uint64_t>(v.as_signed()), out);
      return;
    case Kind::Float: {
      put_kind(Kind::Float, out);
      double f = v.as_float();
      char bytes[sizeof f];
      std::memcpy(bytes, &f, sizeof f);
      out.append(bytes, sizeof f);
      return;
    }
    case Kind::String:
      put_kind(Kind::String, out);
      put_varint(v.as_string().size(), out);
      out += v.as_string();
      return;
    case Kind::Array: {
      std::string body;
      for (const JsonValue& item : v.as_array()) pack_json(item, body);
      put_container(Kind::Array, v.as_array().size(), body, out);
      return;
    }
    case Kind::Object: {
      std::string body;
      for (const auto& [key, member] : v.as_object()) {
        put_varint(key.size(), body);
        body += key;
        pack_json(member, body);
      }
      put_container(Kind::Object, v.as_object().size(), body, out);
      return;
    }
  }
}

std::string packed(const JsonValue& v) {
  std::string out;
  pack_json(v, out);
  return out;
}

std::uint64_t PackedValue::as_unsigned() const {
  const unsigned char* p = p_ + 1;
  return read_varint(p);
}

std::int64_t PackedValue::as_signed() const {
  const unsigned char* p = p_ + 1;
  return static_cast<std::int64_t>(~read_varint(p));
}

double PackedValue::as_float() const {
  double f;
  std::memcpy(&f, p_ + 1, sizeof f);
  return f;
}

double PackedValue::number_as_double() const {
  switch (kind()) {
    case Kind::Unsigned:
      return static_cast<double>(as_unsigned());
    case Kind::Signed:
      return static_cast<double>(as_signed());
    case Kind::Float:
      return as_float();
    default:
      return 0.0;
  }
}

std::string_view PackedValue::as_string() const {
  const unsigned char* p = p_ + 1;
  std::uint64_t len = read_varint(p);
  return {reinterpret_cast<const char*>(p), static_cast<std::size_t>(len)};
}

const unsigned char* PackedValue::children(std::uint64_t& count) const {
  const unsigned char* p = p_ + 1;
  count = read_varint(p);
  read_varint(p);  // byte length
  return p;
}

const unsigned char* PackedValue::end() const {
  const unsigned char* p = p_ + 1;
  switch (kind()) {
    case Kind::Null:
      return p;
    case Kind::Bool:
      return p + 1;
    case Kind::Unsigned:
    case Kind::Signed:
      read_varint(p);
      return p;
    case Kind::Float:
      return p + sizeof(double);
    case Kind::String: {
      std::uint64_t len = read_varint(p);
      return p + len;
    }
    case Kind::Array:
    case Kind::Object: {
      read_varint(p);
      std::uint64_t bytes = read_varint(p);
      return p + bytes;
    }
  }
  return p;
}

std::optional<PackedValue> PackedValue::find(std::string_view key) const {
  if (!is_object()) return std::nullopt;
  std::optional<PackedValue> found;
  // Keys ascend by their bytes (std::string_view compares as unsigned char,
  // as the object's map does): past the key, it is not there.
  for_each_member([&](std::string_view k, PackedValue value) {
    int order = k.compare(key);
    if (order == 0) found = value;
    return order < 0;
  });
  return found;
}

bool PackedValue::equals(const JsonValue& v) const {
  if (kind() != v.kind()) return false;
  switch (kind()) {
    case Kind::Null:
      return true;
    case Kind::Bool:
      return as_bool() == v.as_bool();
    case Kind::Unsigned:
      return as_unsigned() == v.as_unsigned();
    case Kind::Signed:
      return as_signed() == v.as_signed();
    case Kind::Float:
      return as_float() == v.as_float();
    case Kind::String:
      return as_string() == v.as_string();
    case Kind::Array: {
      std::uint64_t count = 0;
      const unsigned char* p = children(count);
      if (count != v.as_array().size()) return false;
      for (const JsonValue& item : v.as_array()) {
        PackedValue mine(p);
        if (!mine.equals(item)) return false;
        p = mine.end();
      }
      return true;
    }
    case Kind::Object: {
      std::uint64_t count = 0;
      const unsigned char* p = children(count);
      if (count != v.as_object().size()) return false;
      for (const auto& [key, member] : v.as_object()) {
        std::uint64_t len = read_varint(p);
        std::string_view k(reinterpret_cast<const char*>(p), static_cast<std::size_t>(len));
        PackedValue mine(p + len);
        if (k != key || !mine.equals(member)) return false;
        p = mine.end();
      }
      return true;
    }
  }
  return false;
}

JsonValue PackedValue::to_json() const {
  switch (kind()) {
    case Kind::Null:
      return JsonValue::null();
    case Kind::Bool:
      return JsonValue::boolean(as_bool());
    case Kind::Unsigned:
      return JsonValue::unsigned_int(as_unsigned());
    case Kind::Signed:
      return JsonValue::signed_int(as_signed());
    case Kind::Float:
      return JsonValue::floating(as_float());
    case Kind::String:
      return JsonValue::string(std::string(as_string()));
    case Kind::Array: {
      std::uint64_t count = 0;
      const unsigned char* p = children(count);
      JsonValue::Array items;
      items.reserve(static_cast<std::size_t>(count));
      for (std::uint64_t i = 0; i < count; ++i) {
        PackedValue item(p);
        items.push_back(item.to_json());
        p = item.end();
      }
      return JsonValue::array(std::move(items));
    }
    case Kind::Object: {
      JsonValue::Object members;
      for_each_member([&](std::string_view key, PackedValue value) {
        members.emplace_hint(members.end(), std::string(key), value.to_json());
      });
      return JsonValue::object(std::move(members));
    }
  }
  return JsonValue::null();
}

void write_packed_json(PackedValue v, std::string& out) {
  switch (v.kind()) {
    case Kind::Null:
      out += "null";
      return;
    case Kind::Bool:
      out += v.as_bool() ? "true" : "false";
      return;
    case Kind::Unsigned:
      write_json_integer(v.as_unsigned(), out);
      return;
    case Kind::Signed:
      write_json_integer(v.as_signed(), out);
      return;
    case Kind::Float:
      write_json_float(v.as_float(), out);
      return;
    case Kind::String:
      write_json_string(v.as_string(), out);
      return;
    case Kind::Array: {
      out += '[';
      std::uint64_t count = 0;
      const unsigned char* p = v.children(count);
      for (std::uint64_t i = 0; i < count; ++i) {
        if (i) out += ',';
        PackedValue item(p);
        write_packed_json(item, out);
        p = item.end();
      }
      out += ']';
      return;
    }
    case Kind::Object: {
      out += '{';
      bool first = true;
      v.for_each_member([&](std::string_view key, PackedValue value) {
        if (!first) out += ',';
        first = false;
        write_json_string(key, out);
        out += ':';
        write_packed_json(value, out);
      });
      out += '}';
      return;
    }
  }
}

std::string packed_to_text(std::string_view packed) {
  std::string out;
  write_packed_json(PackedValue(packed), out);
  return out;
}

bool parse_json_packed(std::string_view text, std::string& out, std::string& error) {
  JsonValue value;
  if (!parse_json(text, value, error)) return false;
  out.clear();
  pack_json(value, out);
  return true;
}

}  // namespace hovra
