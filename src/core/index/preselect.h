// The preselection of an exact scan: the rows that may be among the k
// nearest of one query, from each row's lower and upper end (lo = s' - e,
// hi = s' + e) of its approximate score, kept while lo is at most the k-th
// smallest hi seen (the threshold); and the exact re-scoring of those rows
// into the k best. Used by exhaustive_scan.cpp only.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/index/hit.h"

namespace hovra {

// The most candidates a preselection reserves room for before it sees any.
constexpr std::size_t kReservedCandidates = 256;
// Up to this k the smallest upper ends are kept sorted in a fixed array.
constexpr std::size_t kSmallK = 16;

// The k smallest upper ends taken (every one finite). Up to kSmallK they
// are kept sorted in a fixed array, and a value is taken by one pass of
// min and max over it, without a branch on the data (a value no smaller
// than the k-th leaves it as it was); above, in a max-heap.
class LowestHighs {
 public:
  explicit LowestHighs(std::size_t k) : k_(k) {
    if (k_ > kSmallK) heap_.reserve(std::min(k_, kReservedCandidates));
    std::fill(sorted_, sorted_ + kSmallK, std::numeric_limits<double>::infinity());
  }
  // The k-th smallest value taken, or +inf while fewer than k were.
  double threshold() const {
    if (k_ == 0) return -std::numeric_limits<double>::infinity();
    if (k_ <= kSmallK) return sorted_[k_ - 1];
    return heap_.size() == k_ ? heap_.front() : std::numeric_limits<double>::infinity();
  }
  void take(double hi) {
    if (k_ <= kSmallK) {
      // sorted_[i] becomes the i-th smallest of the old values and hi.
      double before = -std::numeric_limits<double>::infinity();
      for (std::size_t i = 0; i < k_; ++i) {
        double at = sorted_[i];
        sorted_[i] = std::min(at, std::max(before, hi));
        before = at;
      }
    } else if (heap_.size() < k_) {
      heap_.push_back(hi);
      std::push_heap(heap_.begin(), heap_.end());
    } else if (hi < heap_.front()) {
      std::pop_heap(heap_.begin(), heap_.end());
      heap_.back() = hi;
      std::push_heap(heap_.begin(), heap_.end());
    }
  }
  // Calls f with every value kept.
  template <class F>
  void each(F f) const {
    if (k_ > kSmallK) {
      for (double hi : heap_) f(hi);
      return;
    }
    for (std::size_t i = 0; i < k_; ++i)
      if (sorted_[i] < std::numeric_limits<double>::infinity()) f(sorted_[i]);
  }

 private:
  std::size_t k_;
  double sorted_[kSmallK];
  std::vector<double> heap_;
};

// Collects the rows that may be among the k nearest of one query.
class Preselect {
 public:
  // Room for a small k's candidates up front, so a scan of a small
  // collection does not grow them step by step.
  explicit Preselect(std::size_t k) : k_(k), highs_(k) {
    kept_.reserve(k < kReservedCandidates ? std::min(4 * k + 16, kReservedCandidates) : kReservedCandidates);
  }
  double threshold() const { return threshold_; }
  // lo = s' - e and hi = s' + e of a row; a row with a non-finite end is
  // always kept.
  void offer(std::uint32_t slot, double lo, double hi) {
    if (!(lo <= threshold_)) {
      if (std::isfinite(lo) && std::isfinite(hi)) return;
      always_.push_back(slot);
      return;
    }
    candidate(slot, lo, hi);
  }
  // A row offered without comparing its lower end with the threshold: one
  // whose lower end was at most an earlier (higher or equal) threshold, or
  // one with a non-finite end. Such a row may be kept needlessly, never
  // wrongly: finish drops it when its lower end exceeds the last threshold.
  void candidate(std::uint32_t slot, double lo, double hi) {
    if (!std::isfinite(lo) || !std::isfinite(hi)) {
      always_.push_back(slot);
      return;
    }
    kept_.push_back({slot, lo});
    highs_.take(hi);
    threshold_ = highs_.threshold();
  }
  // Folds another preselection of the same query over other rows into this.
  void merge(Preselect& other) {
    always_.insert(always_.end(), other.always_.begin(), other.always_.end());
    kept_.insert(kept_.end(), other.kept_.begin(), other.kept_.end());
    other.highs_.each([&](double hi) { highs_.take(hi); });
    threshold_ = highs_.threshold();
  }
  // Re-scores the surviving rows with exact(slot) and returns the k best.
  template <class Exact>
  std::vector<Hit> finish(const Exact& exact) const {
    std::vector<Hit> hits;
    hits.reserve(always_.size() + std::min(kept_.size(), 4 * k_ + 16));
    for (const Kept& c : kept_)
      if (c.lo <= threshold_) hits.push_back({c.slot, exact(c.slot)});
    for (std::uint32_t s : always_) hits.push_back({s, exact(s)});
    if (k_ < hits.size()) {
      std::nth_element(hits.begin(), hits.begin() + static_cast<std::ptrdiff_t>(k_), hits.end(), HitBefore());
      hits.resize(k_);
    }
    order_hits(hits);
    return hits;
  }

 private:
  struct Kept {
    std::uint32_t slot;
    double lo;
  };
  std::size_t k_;
  double threshold_ = std::numeric_limits<double>::infinity();
  LowestHighs highs_;  // the k smallest upper ends seen
  std::vector<Kept> kept_;
  std::vector<std::uint32_t> always_;
};

}  // namespace hovra
