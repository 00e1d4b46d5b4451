// TextIndex: documents in and out of the postings, the live totals, and the
// BM25 top-k through wand_top_k (see text_index.h for the formula).
#include "core/text/text_index.h"

#include <algorithm>
#include <cmath>

namespace hovra {
namespace {

const std::vector<std::pair<std::uint32_t, std::uint32_t>> kNoTerms;

double idf(double documents, double df) { return std::log(1.0 + (documents - df + 0.5) / (df + 0.5)); }

// BM25's document factor is k1 * (1 - b + b * |D| / avgdl); a term adds
// weight * tf / (tf + factor), weight = qf * idf * (k1 + 1).
struct Bm25Scorer {
  const std::vector<std::uint32_t>* doc_len;
  double k1, b, avgdl;
  double factor(double length) const { return k1 * (1.0 - b + b * length / avgdl); }
  double norm(std::uint32_t slot) const { return factor((*doc_len)[slot]); }
  double term(const TermCursor& c, double norm) const {
    double tf = c.value();
    return c.weight * tf / (tf + norm);
  }
};

}  // namespace

std::optional<std::uint32_t> TextIndex::term_id(std::string_view term) const {
  auto it = term_ids_.find(std::string(term));
  if (it == term_ids_.end()) return std::nullopt;
  return it->second;
}

std::uint32_t TextIndex::intern(std::string_view term) {
  auto it = term_ids_.find(std::string(term));
  if (it != term_ids_.end()) return it->second;
  std::uint32_t id;
  if (!free_terms_.empty()) {
    id = free_terms_.back();
    free_terms_.pop_back();
    term_texts_[id] = std::string(term);
    postings_[id] = PostingList();
  } else {
    id = static_cast<std::uint32_t>(term_texts_.size());
    term_texts_.emplace_back(term);
    postings_.emplace_back();
  }
  term_ids_.emplace(std::string(term), id);
  return id;
}

void TextIndex::release_term(std::uint32_t term) {
  term_ids_.erase(term_texts_[term]);
  term_texts_[term].clear();
  postings_[term] = PostingList();
  free_terms_.push_back(term);
}

void TextIndex::set(std::uint32_t slot, std::string_view text) {
  std::vector<std::string> terms;
  analyzer_.analyze(text, terms);
  set_terms(slot, terms);
}

void TextIndex::set_terms(std::uint32_t slot, const std::vector<std::string>& terms) {
  remove(slot);
  if (terms.empty()) return;
  std::unordered_map<std::uint32_t, std::uint32_t> counts;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> doc;
  for (const auto& t : terms) {
    std::uint32_t id = intern(t);
    auto [it, fresh] = counts.emplace(id, static_cast<std::uint32_t>(doc.size()));
    if (fresh) {
      doc.emplace_back(id, 1);
    } else {
      doc[it->second].second++;
    }
  }
  std::vector<std::pair<std::uint32_t, std::uint32_t>> sorted(doc.begin(), doc.end());
  add_document(slot, sorted);
}

void TextIndex::add_document(std::uint32_t slot, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& terms) {
  remove(slot);
  std::uint64_t length = 0;
  for (const auto& [term, tf] : terms) length += tf;
  if (length == 0) return;
  if (slot >= doc_len_.size()) {
    doc_len_.resize(static_cast<std::size_t>(slot) + 1, 0);
    doc_terms_.resize(static_cast<std::size_t>(slot) + 1);
  }
  std::uint32_t len32 = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, 0xFFFFFFFFu));
  for (const auto& [term, tf] : terms) postings_[term].add(slot, static_cast<float>(tf), len32);
  doc_len_[slot] = len32;
  doc_terms_[slot] = terms;
  documents_ += 1;
  total_length_ += len32;
}

void TextIndex::remove(std::uint32_t slot) {
  if (!indexed(slot)) return;
  for (const auto& [term, tf] : doc_terms_[slot]) {
    postings_[term].remove(slot);
    if (postings_[term].size() == 0) release_term(term);
  }
  documents_ -= 1;
  total_length_ -= doc_len_[slot];
  doc_len_[slot] = 0;
  doc_terms_[slot] = {};
}

const std::vector<std::pair<std::uint32_t, std::uint32_t>>& TextIndex::document_terms(std::uint32_t slot) const {
  return indexed(slot) ? doc_terms_[slot] : kNoTerms;
}

std::vector<std::pair<std::string, std::uint32_t>> TextIndex::query_terms(std::string_view query) const {
  std::vector<std::string> terms;
  analyzer_.analyze(query, terms);
  std::vector<std::pair<std::string, std::uint32_t>> out;
  for (auto& t : terms) {
    auto it = std::find_if(out.begin(), out.end(), [&](const auto& p) { return p.first == t; });
    if (it == out.end()) {
      out.emplace_back(std::move(t), 1);
    } else {
      it->second++;
    }
  }
  return out;
}

CorpusStats TextIndex::stats_for(const std::vector<std::pair<std::string, std::uint32_t>>& terms) const {
  CorpusStats s;
  s.documents = documents_;
  s.total_length = total_length_;
  for (const auto& [t, qf] : terms) {
    auto id = term_id(t);
    s.document_frequency[t] = id ? postings_[*id].size() : 0;
  }
  return s;
}

std::vector<ScoredSlot> TextIndex::search(const std::vector<std::pair<std::string, std::uint32_t>>& terms,
                                          std::size_t k, const SlotPredicate* allow,
                                          const std::vector<std::uint32_t>* candidates,
                                          const CorpusStats* global) const {
  double documents = static_cast<double>(global ? global->documents : documents_);
  double total = static_cast<double>(global ? global->total_length : total_length_);
  if (documents <= 0 || total <= 0) return {};
  Bm25Scorer scorer{&doc_len_, params_.k1, params_.b, total / documents};
  std::vector<TermCursor> cursors;
  for (const auto& [t, qf] : terms) {
    auto id = term_id(t);
    if (!id) continue;
    const PostingList& list = postings_[*id];
    double df = static_cast<double>(list.size());
    if (global) {
      auto it = global->document_frequency.find(t);
      if (it != global->document_frequency.end()) df = static_cast<double>(it->second);
    }
    TermCursor c;
    c.list = &list;
    c.weight = qf * idf(documents, df) * (params_.k1 + 1.0);
    // The largest contribution: the largest frequency in the shortest document.
    double tf = list.max_value;
    c.upper_bound = std::max(0.0, c.weight * tf / (tf + scorer.factor(list.min_length)));
    cursors.push_back(c);
  }
  if (candidates != nullptr) return candidates_top_k(cursors, k, scorer, *candidates);
  return wand_top_k(cursors, k, scorer, allow);
}

TextIndex TextIndex::renumbered(const std::vector<std::uint32_t>& new_slot) const {
  TextIndex out(analyzer_, params_);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> order;  // new slot, old slot
  for (std::uint32_t old = 0; old < doc_len_.size() && old < new_slot.size(); ++old) {
    if (indexed(old) && new_slot[old] != kDropped) order.emplace_back(new_slot[old], old);
  }
  std::sort(order.begin(), order.end());
  for (const auto& [fresh, old] : order) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> doc;
    for (const auto& [term, tf] : doc_terms_[old]) doc.emplace_back(out.intern(term_texts_[term]), tf);
    out.add_document(fresh, doc);
  }
  return out;
}

std::size_t TextIndex::memory_bytes() const {
  std::size_t bytes = doc_len_.capacity() * 4 + doc_terms_.capacity() * sizeof(doc_terms_[0]);
  for (const auto& d : doc_terms_) bytes += d.capacity() * 8;
  for (const auto& p : postings_) bytes += p.bytes();
  for (const auto& t : term_texts_) bytes += sizeof(std::string) + (t.size() > 15 ? t.capacity() : 0);
  bytes += term_ids_.size() * (sizeof(std::string) + 8 + 16) + term_ids_.bucket_count() * 8;
  return bytes;
}

}  // namespace hovra
