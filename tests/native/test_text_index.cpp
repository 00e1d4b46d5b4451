// The text floor: analysis (search form, segmentation, stop words,
// stemming), BM25 top-k by WAND against brute-force scores through
// inserts, replacements and removals, filtered and candidate searches,
// renumbering, and sparse dot-product top-k against brute force.
#include <cmath>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "check.h"
#include "core/text/analyzer.h"
#include "core/text/sparse_index.h"
#include "core/text/text_index.h"
#include "core/text/unicode_text.h"

using namespace hovra;

namespace {

std::vector<std::string> analyze(const AnalyzerConfig& config, const std::string& text) {
  auto a = Analyzer::make(config);
  std::vector<std::string> out;
  if (a.ok()) a.value().analyze(text, out);
  return out;
}

std::string join(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& t : v) {
    if (!s.empty()) s += '|';
    s += t;
  }
  return s;
}

void test_analysis() {
  AnalyzerConfig plain{"english", false, false};
  CHECK_TEXT(join(analyze(plain, "Hello, World! x86_64 don't 3.14")), "hello|world|x86|64|don|t|3|14");
  CHECK_TEXT(join(analyze(plain, "Straße STRASSE")), "strasse|strasse");
  CHECK_TEXT(join(analyze(plain, "\xEF\xAC\x81le \xEF\xBC\xA1\xEF\xBC\xA2\xEF\xBC\xA3")), "file|abc");  // ﬁle ＡＢＣ
  // A decomposed é (e + combining acute) meets the composed one.
  CHECK_TEXT(join(analyze(plain, "caf\x65\xCC\x81 caf\xC3\xA9")), "caf\xC3\xA9|caf\xC3\xA9");
  // Greek and Cyrillic words; final sigma folds to sigma.
  CHECK_TEXT(join(analyze(plain, "ΟΔΟΣ Москва")), "οδοσ|москва");
  // CJK ideographs and kana are one token each; Hangul words stay whole.
  CHECK_TEXT(join(analyze(plain, "東京タワー abc한국어")), "東|京|タ|ワ|ー|abc한국어");
  // Hangul syllables decompose and compose back.
  CHECK_TEXT(join(analyze(plain, "\xE1\x84\x92\xE1\x85\xA1\xE1\x86\xAB")), "한");
  // Malformed bytes separate tokens.
  CHECK_TEXT(join(analyze(plain, std::string("ab\xFF") + "cd\xC0\xAF" + "ef")), "ab|cd|ef");
  CHECK_TEXT(join(analyze(AnalyzerConfig{"english", true, true}, "The running dogs and a cat")), "run|dog|cat");
  CHECK_TEXT(join(analyze(AnalyzerConfig{"german", true, true}, "Die Häuser")), "haus");
  CHECK(!Analyzer::make(AnalyzerConfig{"klingon", false, false}).ok());
  CHECK(Analyzer::make(AnalyzerConfig{"greek", true, true}).ok());  // a stemmer, no stop list
  CHECK(std::string(unicode_version()).size() >= 5);
}

// BM25 by the formula, in double, over the documents as term lists.
std::map<std::uint32_t, double> brute_bm25(const std::map<std::uint32_t, std::vector<std::string>>& docs,
                                           const std::vector<std::pair<std::string, std::uint32_t>>& query) {
  double n = static_cast<double>(docs.size()), total = 0;
  std::map<std::string, double> df;
  for (const auto& [slot, terms] : docs) {
    total += static_cast<double>(terms.size());
    std::set<std::string> seen(terms.begin(), terms.end());
    for (const auto& t : seen) df[t] += 1;
  }
  double avgdl = total / n;
  std::map<std::uint32_t, double> out;
  for (const auto& [slot, terms] : docs) {
    double score = 0;
    bool hit = false;
    for (const auto& [q, qf] : query) {
      double tf = 0;
      for (const auto& t : terms) tf += t == q ? 1 : 0;
      if (tf == 0) continue;
      hit = true;
      double idf = std::log(1 + (n - df[q] + 0.5) / (df[q] + 0.5));
      score += qf * idf * tf * 2.2 / (tf + 1.2 * (0.25 + 0.75 * static_cast<double>(terms.size()) / avgdl));
    }
    if (hit) out[slot] = score;
  }
  return out;
}

bool same_top(const std::vector<ScoredSlot>& got, const std::map<std::uint32_t, double>& scores, std::size_t k) {
  std::vector<std::pair<double, std::uint32_t>> ranked;
  for (const auto& [slot, s] : scores) ranked.emplace_back(-s, slot);
  std::sort(ranked.begin(), ranked.end());
  if (got.size() != std::min(k, ranked.size())) return false;
  for (std::size_t i = 0; i < got.size(); ++i) {
    double want = -ranked[i].first;
    if (std::fabs(got[i].score - want) > 1e-5 * std::fabs(want)) return false;
    auto it = scores.find(got[i].slot);
    if (it == scores.end() || std::fabs(it->second - got[i].score) > 1e-5 * std::fabs(it->second)) return false;
  }
  return true;
}

void test_bm25_against_brute_force() {
  std::mt19937 rng(7);
  std::vector<std::string> vocab;
  for (int i = 0; i < 300; ++i) vocab.push_back("w" + std::to_string(i));
  // Zipf-like: low ids common.
  auto word = [&] {
    std::uniform_real_distribution<double> u(0, 1);
    return vocab[static_cast<std::size_t>(std::pow(u(rng), 3.0) * vocab.size())];
  };
  TextIndex index(Analyzer::make(AnalyzerConfig{"english", false, false}).value(), Bm25Params{});
  std::map<std::uint32_t, std::vector<std::string>> docs;
  auto put = [&](std::uint32_t slot) {
    std::vector<std::string> terms;
    int len = 1 + static_cast<int>(rng() % 20);
    for (int i = 0; i < len; ++i) terms.push_back(word());
    index.set_terms(slot, terms);
    docs[slot] = terms;
  };
  for (std::uint32_t s = 0; s < 2000; ++s) put(s);
  bool all_same = true, filtered_same = true, candidates_same = true;
  for (int round = 0; round < 6; ++round) {
    for (int i = 0; i < 300; ++i) {  // replacements, removals and new slots
      std::uint32_t s = static_cast<std::uint32_t>(rng() % 2400);
      if (rng() % 3 == 0) {
        index.remove(s);
        docs.erase(s);
      } else {
        put(s);
      }
    }
    CHECK(index.documents() == docs.size());
    for (int q = 0; q < 30; ++q) {
      std::vector<std::string> words;
      for (int i = 0; i < 1 + q % 5; ++i) words.push_back(word());
      std::vector<std::pair<std::string, std::uint32_t>> query;
      for (auto& w : words) {
        auto it = std::find_if(query.begin(), query.end(), [&](auto& p) { return p.first == w; });
        if (it == query.end()) {
          query.emplace_back(w, 1);
        } else {
          it->second++;
        }
      }
      auto scores = brute_bm25(docs, query);
      std::size_t k = 1 + q % 12;
      all_same &= same_top(index.search(query, k, nullptr, nullptr), scores, k);
      auto even = [](std::uint32_t s) { return s % 2 == 0; };
      SlotPredicate allow(even);
      std::map<std::uint32_t, double> even_scores;
      std::vector<std::uint32_t> even_slots;
      for (const auto& [s, v] : scores) {
        if (s % 2 == 0) even_scores[s] = v;
      }
      for (std::uint32_t s = 0; s < 2400; s += 2) even_slots.push_back(s);
      filtered_same &= same_top(index.search(query, k, &allow, nullptr), even_scores, k);
      candidates_same &= same_top(index.search(query, k, nullptr, &even_slots), even_scores, k);
    }
  }
  CHECK(all_same);
  CHECK(filtered_same);
  CHECK(candidates_same);

  // Renumbered without the odd slots: the same scores for what is left.
  std::vector<std::uint32_t> new_slot(2400, TextIndex::kDropped);
  std::map<std::uint32_t, std::vector<std::string>> kept;
  std::uint32_t next = 0;
  for (std::uint32_t s = 0; s < 2400; ++s) {
    if (s % 2 == 0) {
      new_slot[s] = next;
      if (docs.count(s)) kept[next] = docs[s];
      ++next;
    }
  }
  TextIndex compacted = index.renumbered(new_slot);
  CHECK(compacted.documents() == kept.size());
  std::vector<std::pair<std::string, std::uint32_t>> query{{"w1", 1}, {"w7", 2}, {"w40", 1}};
  CHECK(same_top(compacted.search(query, 10, nullptr, nullptr), brute_bm25(kept, query), 10));
}

void test_sparse_against_brute_force() {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> weight(-0.5f, 2.0f);
  SparseIndex index;
  std::map<std::uint32_t, SparseVector> stored;
  auto random_vector = [&](int nnz) {
    SparseVector v;
    std::set<std::uint32_t> idx;
    while (static_cast<int>(idx.size()) < nnz) idx.insert(static_cast<std::uint32_t>(rng() % 500));
    for (auto i : idx) {
      v.indices.push_back(i);
      v.values.push_back(weight(rng));
    }
    return v;
  };
  for (std::uint32_t s = 0; s < 1500; ++s) {
    SparseVector v = random_vector(1 + static_cast<int>(rng() % 30));
    index.set(s, v);
    stored[s] = v;
  }
  for (int i = 0; i < 400; ++i) {
    std::uint32_t s = static_cast<std::uint32_t>(rng() % 1500);
    if (i % 4 == 0) {
      index.remove(s);
      stored.erase(s);
    } else {
      SparseVector v = random_vector(1 + static_cast<int>(rng() % 30));
      index.set(s, v);
      stored[s] = v;
    }
  }
  CHECK(index.vectors() == stored.size());
  bool same = true;
  for (int q = 0; q < 40; ++q) {
    SparseVector query = random_vector(1 + q % 15);
    std::map<std::uint32_t, double> scores;
    for (const auto& [slot, v] : stored) {
      double s = 0;
      bool hit = false;
      for (std::size_t i = 0; i < query.indices.size(); ++i) {
        for (std::size_t j = 0; j < v.indices.size(); ++j) {
          if (v.indices[j] == query.indices[i]) {
            s += static_cast<double>(query.values[i]) * v.values[j];
            hit = true;
          }
        }
      }
      if (hit) scores[slot] = s;
    }
    std::size_t k = 1 + q % 10;
    auto got = index.search(query, k, nullptr, nullptr);
    std::vector<std::pair<double, std::uint32_t>> ranked;
    for (const auto& [slot, s] : scores) ranked.emplace_back(-s, slot);
    std::sort(ranked.begin(), ranked.end());
    if (got.size() != std::min(k, ranked.size())) same = false;
    for (std::size_t i = 0; same && i < got.size(); ++i) {
      if (std::fabs(got[i].score + ranked[i].first) > 1e-4) same = false;
    }
  }
  CHECK(same);
  SparseVector bad{{3, 1, 3}, {1.0f, 2.0f, 3.0f}};
  CHECK(!normalise_sparse(bad, "sparse").ok());
  SparseVector unsorted{{9, 1}, {1.0f, 2.0f}};
  CHECK(normalise_sparse(unsorted, "sparse").ok());
  CHECK(unsorted.indices[0] == 1 && unsorted.values[0] == 2.0f);
  SparseVector nan{{1}, {NAN}};
  CHECK(!normalise_sparse(nan, "sparse").ok());
}

}  // namespace

int main() {
  test_analysis();
  test_bm25_against_brute_force();
  test_sparse_against_brute_force();
  return check::exit_code("test_text_index");
}
