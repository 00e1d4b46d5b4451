// Unicode for the text analyser: UTF-8 decoding and encoding, the search
// form of a text (NFKC, full case folding, NFKC again) and the class of a
// code point for segmentation. The tables are generated at build time from
// Python's unicodedata (cmake/gen_unicode_tables.py), so their Unicode
// version is that of the building interpreter (unicode_version()).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace hovra {

enum class CharClass : std::uint8_t {
  Separator = 0,  // anything that is not a letter, mark or number
  Word = 1,       // letters (L*), marks (M*) and numbers (N*)
  Ideograph = 2,  // CJK ideographs, Hiragana and Katakana: one token each
};

CharClass char_class(char32_t cp);

// Decodes UTF-8; a malformed sequence or a surrogate becomes U+FFFD, one
// per bad byte, so that every input decodes.
void decode_utf8(std::string_view text, std::u32string& out);
void append_utf8(char32_t cp, std::string& out);

// The text's search form: NFKC(casefold(NFKC(text))) as code points.
void search_form(std::string_view text, std::u32string& out);

// The Unicode version of the tables, e.g. "14.0.0".
const char* unicode_version();

}  // namespace hovra
