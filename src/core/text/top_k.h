// Top-k over posting lists by WAND: each query term contributes at most its
// upper bound to a slot's score, so a slot is scored only when the bounds
// of the lists that reach it could lift it into the current top k; the
// other lists are moved past it without scoring. The same loop serves BM25
// (a term's contribution depends on the slot's document length) and sparse
// dot products (the contribution is the query weight times the value).
//
// Results come sorted by score, highest first, equal scores by slot; a slot
// is a candidate only when it holds at least one query term.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <queue>
#include <vector>

#include "core/base/function_ref.h"
#include "core/text/posting_list.h"

namespace hovra {

struct ScoredSlot {
  std::uint32_t slot = 0;
  float score = 0.0f;
};

// The slots a search may return (the filter), as a predicate.
using SlotPredicate = FunctionRef<bool(std::uint32_t)>;

struct TermCursor {
  static constexpr std::uint32_t kEnd = std::numeric_limits<std::uint32_t>::max();

  const PostingList* list = nullptr;
  std::size_t pos = 0;
  double weight = 0.0;       // the query-side factor of every contribution
  double upper_bound = 0.0;  // the most this term adds to any slot's score (>= 0)

  std::uint32_t slot() const { return pos < list->slots.size() ? list->slots[pos] : kEnd; }
  float value() const { return list->values[pos]; }
  void next() { ++pos; }
  // Moves to the first posting at or after target (galloping, then binary search).
  void seek(std::uint32_t target) {
    const auto& s = list->slots;
    std::size_t n = s.size();
    if (pos >= n || s[pos] >= target) return;
    std::size_t step = 1, lo = pos, hi = pos + 1;
    while (hi < n && s[hi] < target) {
      lo = hi;
      step *= 2;
      hi = pos + step;
    }
    hi = std::min(hi, n);
    pos = static_cast<std::size_t>(std::lower_bound(s.begin() + static_cast<std::ptrdiff_t>(lo),
                                                    s.begin() + static_cast<std::ptrdiff_t>(hi), target) -
                                   s.begin());
  }
};

namespace top_k_detail {

struct Entry {
  double score;
  std::uint32_t slot;
};
// The heap's top is the weakest entry: the lowest score, then the largest slot.
struct Weaker {
  bool operator()(const Entry& a, const Entry& b) const {
    return a.score != b.score ? a.score > b.score : a.slot < b.slot;
  }
};

class Heap {
 public:
  explicit Heap(std::size_t k) : k_(k) {}
  bool full() const { return q_.size() >= k_; }
  double threshold() const { return q_.top().score; }
  void offer(std::uint32_t slot, double score) {
    if (!full()) {
      q_.push({score, slot});
    } else if (score > q_.top().score || (score == q_.top().score && slot < q_.top().slot)) {
      q_.pop();
      q_.push({score, slot});
    }
  }
  std::vector<ScoredSlot> sorted() {
    std::vector<ScoredSlot> out(q_.size());
    for (std::size_t i = out.size(); i-- > 0;) {
      out[i] = {q_.top().slot, static_cast<float>(q_.top().score)};
      q_.pop();
    }
    return out;
  }

 private:
  std::size_t k_;
  std::priority_queue<Entry, std::vector<Entry>, Weaker> q_;
};

inline void sort_by_slot(std::vector<TermCursor*>& c) {
  // Insertion sort: the cursors are few and nearly sorted after each step.
  for (std::size_t i = 1; i < c.size(); ++i) {
    TermCursor* x = c[i];
    std::uint32_t s = x->slot();
    std::size_t j = i;
    while (j > 0 && c[j - 1]->slot() > s) {
      c[j] = c[j - 1];
      --j;
    }
    c[j] = x;
  }
}

}  // namespace top_k_detail

// Scorer: double norm(uint32_t slot) const, the slot's factor shared by its
// terms; double term(const TermCursor&, double norm) const, one term's
// contribution at the cursor's posting.
template <class Scorer>
std::vector<ScoredSlot> wand_top_k(std::vector<TermCursor>& terms, std::size_t k, const Scorer& scorer,
                                   const SlotPredicate* allow) {
  using namespace top_k_detail;
  std::vector<ScoredSlot> none;
  if (k == 0) return none;
  std::vector<TermCursor*> cur;
  for (auto& t : terms) {
    if (t.list != nullptr && !t.list->slots.empty()) cur.push_back(&t);
  }
  sort_by_slot(cur);
  Heap heap(k);
  while (true) {
    // The pivot: the first cursor at which the bounds so far could beat the threshold.
    bool full = heap.full();
    double theta = full ? heap.threshold() : 0.0;
    double acc = 0.0;
    std::size_t p = cur.size();
    for (std::size_t i = 0; i < cur.size(); ++i) {
      if (cur[i]->slot() == TermCursor::kEnd) break;
      acc += cur[i]->upper_bound;
      if (!full || acc > theta) {
        p = i;
        break;
      }
    }
    if (p == cur.size()) break;
    std::uint32_t pivot = cur[p]->slot();
    if (cur[0]->slot() == pivot) {
      if (allow == nullptr || (*allow)(pivot)) {
        double norm = scorer.norm(pivot);
        double score = 0.0;
        for (std::size_t i = 0; i < cur.size() && cur[i]->slot() == pivot; ++i) score += scorer.term(*cur[i], norm);
        heap.offer(pivot, score);
      }
      for (std::size_t i = 0; i < cur.size() && cur[i]->slot() == pivot; ++i) cur[i]->next();
    } else {
      for (std::size_t i = 0; i < p; ++i) cur[i]->seek(pivot);
    }
    sort_by_slot(cur);
  }
  return heap.sorted();
}

// The same scores for a given set of slots (a selective filter's
// candidates, ascending): each slot's postings are found by search.
template <class Scorer>
std::vector<ScoredSlot> candidates_top_k(std::vector<TermCursor>& terms, std::size_t k, const Scorer& scorer,
                                         const std::vector<std::uint32_t>& candidates) {
  using namespace top_k_detail;
  Heap heap(k);
  if (k == 0) return heap.sorted();
  for (std::uint32_t slot : candidates) {
    bool hit = false;
    double score = 0.0, norm = 0.0;
    for (auto& t : terms) {
      if (t.list == nullptr) continue;
      t.seek(slot);
      if (t.slot() != slot) continue;
      if (!hit) norm = scorer.norm(slot);
      hit = true;
      score += scorer.term(t, norm);
    }
    if (hit) heap.offer(slot, score);
  }
  return heap.sorted();
}

}  // namespace hovra
