// The text analyser: turns a text into the terms that the text index
// stores and that a query looks up.
//
// Rules, in order:
// 1. Search form: the text is normalised to NFKC, case folded (full Unicode
//    case folding, so "Straße" and "STRASSE" meet), and normalised again.
//    Malformed UTF-8 bytes become U+FFFD, which is a separator.
// 2. Segmentation: a token is a maximal run of word characters (letters,
//    marks and numbers of any script: Latin, Cyrillic, Greek, Arabic,
//    Devanagari, Hangul, ...). Every other character separates tokens, so
//    "don't" gives "don" and "t", and "x86_64" gives "x86" and "64". A CJK
//    ideograph, Hiragana or Katakana character is a token of its own
//    (unigrams), whatever surrounds it.
// 3. Stop words (optional): tokens on the language's stop list are dropped.
// 4. Stemming (optional): each remaining token is reduced by the language's
//    Snowball stemmer.
// Tokens longer than kMaxTokenBytes bytes are dropped (they are not words).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/base/error.h"

namespace hovra {

struct AnalyzerConfig {
  std::string language = "english";
  bool stemmer = true;
  bool stopwords = true;

  friend bool operator==(const AnalyzerConfig&, const AnalyzerConfig&) = default;
};

class Analyzer {
 public:
  static constexpr std::size_t kMaxTokenBytes = 255;

  // InvalidArgument for an unknown language (one with neither a stemmer
  // nor a stop list) or a stemmer asked for a language that has none.
  static Result<Analyzer> make(const AnalyzerConfig& config);

  const AnalyzerConfig& config() const { return config_; }
  // Whether the language has a stop list (stopwords=true is ignored without one).
  bool has_stop_list() const { return stop_list_ != nullptr; }

  // Appends the terms of `text` to `out`, in text order, repeats kept.
  void analyze(std::string_view text, std::vector<std::string>& out) const;

  // The languages with a stemmer and those with a stop list.
  static std::vector<std::string> stemmer_languages();
  static std::vector<std::string> stop_list_languages();

  struct StopList;  // a generated stop list (analyzer.cpp)

 private:
  bool is_stop_word(std::string_view token) const;
  void finish_token(std::string& token, std::vector<std::string>& out) const;

  AnalyzerConfig config_;
  const StopList* stop_list_ = nullptr;
  const char* stemmer_name_ = nullptr;
};

}  // namespace hovra
