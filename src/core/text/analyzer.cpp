// The analyser's pipeline (see analyzer.h): search form, segmentation,
// stop words and Snowball stemming. ASCII text, the common case, takes a
// short path with the same result: NFKC leaves ASCII as it is and folding
// lower-cases it.
#include "core/text/analyzer.h"

#include <libstemmer.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "core/text/unicode_text.h"

namespace hovra {

struct Analyzer::StopList {
  const char* language;
  const char* const* words;  // sorted by byte value
  std::size_t count;
};

namespace {

using StopList = Analyzer::StopList;
#include "text/stopwords.inc"

// The Snowball algorithms compiled in (stem_UTF_8_*.c), by their full names.
constexpr const char* kStemmers[] = {
    "arabic", "basque",     "catalan",   "danish",     "dutch",   "english", "finnish",    "french",  "german",
    "greek",  "hindi",      "hungarian", "indonesian", "irish",   "italian", "lithuanian", "nepali",  "norwegian",
    "porter", "portuguese", "romanian",  "russian",    "spanish", "swedish", "tamil",      "turkish",
};

const Analyzer::StopList* find_stop_list(const std::string& language) {
  for (const auto& list : kStopLists) {
    if (language == list.language) return &list;
  }
  return nullptr;
}

const char* find_stemmer(const std::string& language) {
  for (const char* name : kStemmers) {
    if (language == name) return name;
  }
  return nullptr;
}

// A Snowball stemmer keeps state while it stems, so each thread has its own
// per language, made on first use and freed when the thread ends.
struct StemmerDeleter {
  void operator()(sb_stemmer* s) const { sb_stemmer_delete(s); }
};

sb_stemmer* thread_stemmer(const char* name) {
  thread_local std::map<const char*, std::unique_ptr<sb_stemmer, StemmerDeleter>> stemmers;
  auto it = stemmers.find(name);
  if (it != stemmers.end()) return it->second.get();
  sb_stemmer* s = sb_stemmer_new(name, "UTF_8");
  if (s == nullptr) throw std::bad_alloc();
  stemmers.emplace(name, std::unique_ptr<sb_stemmer, StemmerDeleter>(s));
  return s;
}

bool ascii_only(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

Result<Analyzer> Analyzer::make(const AnalyzerConfig& config) {
  Analyzer a;
  a.config_ = config;
  a.stemmer_name_ = find_stemmer(config.language);
  a.stop_list_ = find_stop_list(config.language);
  if (a.stemmer_name_ == nullptr && a.stop_list_ == nullptr) {
    return DbError::invalid_argument("unknown text language '" + config.language + "'; known: " + [] {
      std::string names;
      for (const auto& n : stemmer_languages()) names += (names.empty() ? "" : ", ") + n;
      return names;
    }());
  }
  if (config.stemmer && a.stemmer_name_ == nullptr) {
    return DbError::invalid_argument("no stemmer for language '" + config.language + "'; pass stemmer=False");
  }
  return a;
}

std::vector<std::string> Analyzer::stemmer_languages() { return {std::begin(kStemmers), std::end(kStemmers)}; }

std::vector<std::string> Analyzer::stop_list_languages() {
  std::vector<std::string> out;
  for (const auto& list : kStopLists) out.push_back(list.language);
  return out;
}

bool Analyzer::is_stop_word(std::string_view token) const {
  const char* const* begin = stop_list_->words;
  const char* const* end = begin + stop_list_->count;
  const char* const* it =
      std::lower_bound(begin, end, token, [](const char* w, std::string_view t) { return std::string_view(w) < t; });
  return it != end && std::string_view(*it) == token;
}

void Analyzer::finish_token(std::string& token, std::vector<std::string>& out) const {
  if (token.empty()) return;
  if (token.size() > kMaxTokenBytes || (config_.stopwords && stop_list_ != nullptr && is_stop_word(token))) {
    token.clear();
    return;
  }
  if (config_.stemmer) {
    sb_stemmer* s = thread_stemmer(stemmer_name_);
    const sb_symbol* stem =
        sb_stemmer_stem(s, reinterpret_cast<const sb_symbol*>(token.data()), static_cast<int>(token.size()));
    if (stem == nullptr) throw std::bad_alloc();
    out.emplace_back(reinterpret_cast<const char*>(stem), static_cast<std::size_t>(sb_stemmer_length(s)));
  } else {
    out.push_back(token);
  }
  token.clear();
}

void Analyzer::analyze(std::string_view text, std::vector<std::string>& out) const {
  std::string token;
  if (ascii_only(text)) {
    for (char c : text) {
      unsigned char u = static_cast<unsigned char>(c);
      if ((u >= 'a' && u <= 'z') || (u >= '0' && u <= '9')) {
        token.push_back(c);
      } else if (u >= 'A' && u <= 'Z') {
        token.push_back(static_cast<char>(u + 32));
      } else {
        finish_token(token, out);
      }
    }
    finish_token(token, out);
    return;
  }
  std::u32string cps;
  search_form(text, cps);
  for (char32_t cp : cps) {
    switch (char_class(cp)) {
      case CharClass::Word:
        append_utf8(cp, token);
        break;
      case CharClass::Ideograph:
        finish_token(token, out);
        append_utf8(cp, token);
        finish_token(token, out);
        break;
      case CharClass::Separator:
        finish_token(token, out);
        break;
    }
  }
  finish_token(token, out);
}

}  // namespace hovra
