// TextIndex: the inverted index of one text field and its BM25 scoring.
//
// Each indexed slot holds a document: the terms its text analyses to. The
// index keeps, per term, the slots holding it with the term's frequency
// there (PostingList), per slot its length in terms and its terms (to undo
// it), and the live totals: documents and their summed length. Removing or
// replacing a slot's document updates all of these at once, so document
// frequencies and the average length always describe the live documents.
//
// BM25 of a document D for a query Q:
//   sum over the query's terms t of  qf(t) * idf(t) * tf(t,D) * (k1 + 1)
//                                    / (tf(t,D) + k1 * (1 - b + b * |D| / avgdl))
//   idf(t) = ln(1 + (N - df(t) + 0.5) / (df(t) + 0.5))
// with N the live documents, df(t) those holding t, avgdl their mean
// length and qf(t) how often t occurs in the query. A document with no
// terms (a text of separators and stop words only) is not indexed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/text/analyzer.h"
#include "core/text/posting_list.h"
#include "core/text/top_k.h"

namespace hovra {

struct Bm25Params {
  double k1 = 1.2;
  double b = 0.75;
  friend bool operator==(const Bm25Params&, const Bm25Params&) = default;
};

// Totals that make BM25 scores comparable across several indexes (shards):
// summed over all of them, with the document frequencies of the query's
// terms, they stand in for one index's own.
struct CorpusStats {
  std::uint64_t documents = 0;
  std::uint64_t total_length = 0;
  std::unordered_map<std::string, std::uint64_t> document_frequency;  // by analysed term
};

class TextIndex {
 public:
  TextIndex(Analyzer analyzer, Bm25Params params) : analyzer_(std::move(analyzer)), params_(params) {}

  const Analyzer& analyzer() const { return analyzer_; }
  const Bm25Params& params() const { return params_; }

  // Indexes slot's text in place of what the slot held.
  void set(std::uint32_t slot, std::string_view text);
  // The same with the terms already analysed.
  void set_terms(std::uint32_t slot, const std::vector<std::string>& terms);
  // Drops slot's document, if any.
  void remove(std::uint32_t slot);
  bool indexed(std::uint32_t slot) const { return slot < doc_len_.size() && doc_len_[slot] != 0; }

  std::uint64_t documents() const { return documents_; }
  std::uint64_t total_length() const { return total_length_; }
  std::size_t terms() const { return postings_.size() - free_terms_.size(); }
  std::size_t slot_capacity() const { return doc_len_.size(); }

  // The analysed query terms and their counts, in first-seen order.
  std::vector<std::pair<std::string, std::uint32_t>> query_terms(std::string_view query) const;
  // This index's totals and the document frequencies of `terms`.
  CorpusStats stats_for(const std::vector<std::pair<std::string, std::uint32_t>>& terms) const;

  // The k best documents for the query, restricted to the slots `allow`
  // accepts (nullptr: all) or, when given, to `candidates` (ascending).
  // `global` replaces this index's own totals and frequencies.
  std::vector<ScoredSlot> search(const std::vector<std::pair<std::string, std::uint32_t>>& terms, std::size_t k,
                                 const SlotPredicate* allow, const std::vector<std::uint32_t>* candidates,
                                 const CorpusStats* global = nullptr) const;

  // A copy renumbered by `new_slot` (old slot -> new slot, kDropped for
  // slots that go), documents re-added in new slot order.
  static constexpr std::uint32_t kDropped = 0xFFFFFFFFu;
  TextIndex renumbered(const std::vector<std::uint32_t>& new_slot) const;

  // The documents in slot order, for saving: slot, (term, frequency) pairs.
  struct Document {
    std::uint32_t slot;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> terms;  // term id, frequency
  };
  const std::string& term_text(std::uint32_t term) const { return term_texts_[term]; }
  std::size_t term_id_limit() const { return term_texts_.size(); }
  // (term id, frequency) pairs of slot's document; empty when not indexed.
  const std::vector<std::pair<std::uint32_t, std::uint32_t>>& document_terms(std::uint32_t slot) const;
  // Adds a document by term ids (loading); ids must name terms made by intern().
  void add_document(std::uint32_t slot, const std::vector<std::pair<std::uint32_t, std::uint32_t>>& terms);
  std::uint32_t intern(std::string_view term);

  std::size_t memory_bytes() const;

 private:
  std::optional<std::uint32_t> term_id(std::string_view term) const;
  void release_term(std::uint32_t term);

  Analyzer analyzer_;
  Bm25Params params_;
  std::unordered_map<std::string, std::uint32_t> term_ids_;
  std::vector<std::string> term_texts_;  // by term id; empty for a freed id
  std::vector<PostingList> postings_;    // by term id
  std::vector<std::uint32_t> free_terms_;
  std::vector<std::uint32_t> doc_len_;                                           // by slot; 0: no document
  std::vector<std::vector<std::pair<std::uint32_t, std::uint32_t>>> doc_terms_;  // by slot
  std::uint64_t documents_ = 0;
  std::uint64_t total_length_ = 0;
};

}  // namespace hovra
