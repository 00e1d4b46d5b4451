// Unicode normalisation (NFKC), full case folding and segmentation classes
// over the generated tables. Written here rather than taken from a library
// because the tables come from the building Python (no run-time dependency,
// no Debian package needed to build from source) and the analyser needs
// only these three operations; the composition algorithm is the one of
// Unicode's normalisation annex (decompose, order by combining class,
// compose unblocked pairs, Hangul by arithmetic).
#include "core/text/unicode_text.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace hovra {
namespace {

struct CodePointRecord {
  std::uint8_t cls;
  std::uint8_t ccc;
  std::uint8_t decomposition_length;
  std::uint8_t folding_length;
  std::uint32_t decomposition_offset;
  std::uint32_t folding_offset;
};

struct CompositionPair {
  std::uint64_t key;  // first << 21 | second
  char32_t composite;
};

#include "text/unicode_tables.inc"

constexpr char32_t kHangulBase = 0xAC00, kLBase = 0x1100, kVBase = 0x1161, kTBase = 0x11A7;
constexpr char32_t kLCount = 19, kVCount = 21, kTCount = 28;
constexpr char32_t kNCount = kVCount * kTCount, kSCount = kLCount * kNCount;

const CodePointRecord& record_of(char32_t cp) {
  if (cp > 0x10FFFF) return kRecords[0];
  std::uint32_t block = kStage1[cp >> kBlockShift];
  return kRecords[kStage2[(block << kBlockShift) | (cp & ((1u << kBlockShift) - 1))]];
}

void decompose(const std::u32string& in, std::u32string& out) {
  out.clear();
  for (char32_t cp : in) {
    if (cp >= kHangulBase && cp < kHangulBase + kSCount) {
      char32_t s = cp - kHangulBase;
      out.push_back(kLBase + s / kNCount);
      out.push_back(kVBase + (s % kNCount) / kTCount);
      if (s % kTCount != 0) out.push_back(kTBase + s % kTCount);
      continue;
    }
    const CodePointRecord& r = record_of(cp);
    if (r.decomposition_length == 0) {
      out.push_back(cp);
    } else {
      out.append(kPool + r.decomposition_offset, r.decomposition_length);
    }
  }
}

// Sorts each run of combining marks by combining class, keeping the order
// of equal classes.
void order_marks(std::u32string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    if (record_of(s[i]).ccc == 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < s.size() && record_of(s[j]).ccc != 0) ++j;
    if (j - i > 1) {
      std::stable_sort(s.begin() + i, s.begin() + j,
                       [](char32_t a, char32_t b) { return record_of(a).ccc < record_of(b).ccc; });
    }
    i = j;
  }
}

char32_t compose_pair(char32_t a, char32_t b) {
  if (a >= kLBase && a < kLBase + kLCount && b >= kVBase && b < kVBase + kVCount) {
    return kHangulBase + ((a - kLBase) * kVCount + (b - kVBase)) * kTCount;
  }
  if (a >= kHangulBase && a < kHangulBase + kSCount && (a - kHangulBase) % kTCount == 0 && b > kTBase &&
      b < kTBase + kTCount) {
    return a + (b - kTBase);
  }
  std::uint64_t key = (static_cast<std::uint64_t>(a) << 21) | b;
  const CompositionPair* end = kCompositions + sizeof(kCompositions) / sizeof(kCompositions[0]);
  const CompositionPair* it =
      std::lower_bound(kCompositions, end, key, [](const CompositionPair& p, std::uint64_t k) { return p.key < k; });
  return it != end && it->key == key ? it->composite : 0;
}

void compose(const std::u32string& in, std::u32string& out) {
  out.clear();
  std::ptrdiff_t starter = -1;
  int last_class = -1;  // class of the last mark kept after the starter; -1: none
  for (char32_t cp : in) {
    int cls = record_of(cp).ccc;
    if (starter >= 0) {
      bool blocked = last_class != -1 && (last_class == 0 || last_class >= cls);
      if (!blocked) {
        char32_t c = compose_pair(out[static_cast<std::size_t>(starter)], cp);
        if (c != 0) {
          out[static_cast<std::size_t>(starter)] = c;
          continue;
        }
      }
    }
    if (cls == 0) {
      starter = static_cast<std::ptrdiff_t>(out.size());
      last_class = -1;
    } else {
      last_class = cls;
    }
    out.push_back(cp);
  }
}

void nfkc(std::u32string& s, std::u32string& scratch) {
  decompose(s, scratch);
  order_marks(scratch);
  compose(scratch, s);
}

}  // namespace

CharClass char_class(char32_t cp) { return static_cast<CharClass>(record_of(cp).cls); }

const char* unicode_version() { return kUnicodeVersion; }

void decode_utf8(std::string_view text, std::u32string& out) {
  out.clear();
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size(), i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
    char32_t cp = len == 4 ? c & 0x07 : len == 3 ? c & 0x0F : c & 0x1F;
    bool ok = len != 0 && c <= 0xF4 && i + len <= n;
    for (std::size_t k = 1; ok && k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are malformed.
    if (ok && ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
               (cp >= 0xD800 && cp <= 0xDFFF))) {
      ok = false;
    }
    if (!ok) {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    out.push_back(cp);
    i += len;
  }
}

void append_utf8(char32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void search_form(std::string_view text, std::u32string& out) {
  std::u32string scratch;
  decode_utf8(text, out);
  nfkc(out, scratch);
  scratch.clear();
  for (char32_t cp : out) {
    const CodePointRecord& r = record_of(cp);
    if (r.folding_length == 0) {
      scratch.push_back(cp);
    } else {
      scratch.append(kPool + r.folding_offset, r.folding_length);
    }
  }
  out.swap(scratch);
  nfkc(out, scratch);
}

}  // namespace hovra
