// The strict UTF-8 check that the log and the graph file apply to stored
// ids: the standard rules, with the error text that names the first bad
// sequence.
#include "core/base/utf8.h"

#include <cstddef>

namespace hovra {

namespace {

std::string invalid_sequence(std::size_t length, std::size_t index) {
  return "invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " + std::to_string(index);
}

std::string incomplete_sequence(std::size_t index) {
  return "incomplete utf-8 byte sequence from index " + std::to_string(index);
}

// The total length of a sequence led by b, or 0 when b cannot lead one.
std::size_t sequence_width(unsigned char b) {
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 0;
}

// The range allowed for the second byte after lead b; it excludes overlong
// forms (E0, F0), surrogates (ED) and code points above U+10FFFF (F4).
void second_byte_range(unsigned char b, unsigned char& lo, unsigned char& hi) {
  lo = 0x80;
  hi = 0xBF;
  if (b == 0xE0) lo = 0xA0;
  if (b == 0xED) hi = 0x9F;
  if (b == 0xF0) lo = 0x90;
  if (b == 0xF4) hi = 0x8F;
}

}  // namespace

std::string utf8_error(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    std::size_t width = sequence_width(s[i]);
    if (width == 0) return invalid_sequence(1, i);
    unsigned char lo, hi;
    second_byte_range(s[i], lo, hi);
    for (std::size_t k = 1; k < width; ++k) {
      if (i + k >= n) return incomplete_sequence(i);
      unsigned char c = s[i + k];
      if (c < lo || c > hi) return invalid_sequence(k, i);
      lo = 0x80;
      hi = 0xBF;
    }
    i += width;
  }
  return {};
}

}  // namespace hovra
