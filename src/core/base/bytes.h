// Little-endian encoding and decoding helpers shared by every file format
// (graph file, vector files, write-ahead log). The reader never reads past
// its end: each take returns false when too few bytes remain.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace hovra {

class ByteWriter {
 public:
  explicit ByteWriter(std::string& out) : out_(out) {}
  void u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void u32(std::uint32_t v) {
    char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                 static_cast<char>(v >> 24)};
    out_.append(b, 4);
  }
  void u64(std::uint64_t v) {
    u32(static_cast<std::uint32_t>(v));
    u32(static_cast<std::uint32_t>(v >> 32));
  }
  void f32(float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    u32(bits);
  }
  void f64(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    u64(bits);
  }
  void f32s(const float* v, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
      out_.append(reinterpret_cast<const char*>(v), n * sizeof(float));  // the bytes are the encoding
    } else {
      for (std::size_t i = 0; i < n; ++i) f32(v[i]);
    }
  }
  void bytes(std::string_view b) { out_.append(b.data(), b.size()); }
  // A 32-bit length followed by the bytes.
  void sized(std::string_view b) {
    u32(static_cast<std::uint32_t>(b.size()));
    bytes(b);
  }

 private:
  std::string& out_;
};

inline std::uint32_t load_u32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline float load_f32(const unsigned char* p) {
  std::uint32_t bits = load_u32(p);
  float v;
  std::memcpy(&v, &bits, 4);
  return v;
}

class ByteReader {
 public:
  ByteReader(const void* data, std::size_t size) : p_(static_cast<const unsigned char*>(data)), n_(size) {}
  explicit ByteReader(std::string_view s) : ByteReader(s.data(), s.size()) {}

  std::size_t remaining() const { return n_ - pos_; }
  std::size_t position() const { return pos_; }
  bool u8(std::uint8_t& v) {
    if (remaining() < 1) return false;
    v = p_[pos_++];
    return true;
  }
  bool u32(std::uint32_t& v) {
    if (remaining() < 4) return false;
    v = load_u32(p_ + pos_);
    pos_ += 4;
    return true;
  }
  bool u64(std::uint64_t& v) {
    if (remaining() < 8) return false;
    v = load_u32(p_ + pos_) | (static_cast<std::uint64_t>(load_u32(p_ + pos_ + 4)) << 32);
    pos_ += 8;
    return true;
  }
  bool f32(float& v) {
    if (remaining() < 4) return false;
    v = load_f32(p_ + pos_);
    pos_ += 4;
    return true;
  }
  bool f64(double& v) {
    std::uint64_t bits;
    if (!u64(bits)) return false;
    std::memcpy(&v, &bits, 8);
    return true;
  }
  // A view of the next n bytes; false (nothing consumed) when fewer remain.
  bool bytes(std::size_t n, std::string_view& out) {
    if (remaining() < n) return false;
    out = std::string_view(reinterpret_cast<const char*>(p_ + pos_), n);
    pos_ += n;
    return true;
  }
  // n floats appended to out; checks the byte count before reserving.
  template <class Vec>
  bool f32s(std::size_t n, Vec& out) {
    if (n > remaining() / 4) return false;
    if constexpr (std::endian::native == std::endian::little) {
      std::size_t at = out.size();
      out.resize(at + n);
      if (n > 0) std::memcpy(out.data() + at, p_ + pos_, 4 * n);  // the bytes are the floats
    } else {
      out.reserve(out.size() + n);
      for (std::size_t i = 0; i < n; ++i) out.push_back(load_f32(p_ + pos_ + 4 * i));
    }
    pos_ += 4 * n;
    return true;
  }

 private:
  const unsigned char* p_;
  std::size_t n_;
  std::size_t pos_ = 0;
};

}  // namespace hovra
