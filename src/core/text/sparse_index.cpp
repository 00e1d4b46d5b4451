// SparseIndex: vectors in and out of the postings, and the dot-product
// top-k through wand_top_k.
#include "core/text/sparse_index.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

namespace hovra {
namespace {

struct DotScorer {
  double norm(std::uint32_t) const { return 0.0; }
  double term(const TermCursor& c, double) const { return c.weight * c.value(); }
};

}  // namespace

Status normalise_sparse(SparseVector& v, const std::string& what) {
  if (v.indices.size() != v.values.size()) {
    return DbError::invalid_argument(what + ": " + std::to_string(v.indices.size()) + " indices but " +
                                     std::to_string(v.values.size()) + " values");
  }
  for (float x : v.values) {
    if (!std::isfinite(x)) return DbError::invalid_argument(what + " contains NaN or infinity");
  }
  if (!std::is_sorted(v.indices.begin(), v.indices.end())) {
    std::vector<std::size_t> order(v.indices.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return v.indices[a] < v.indices[b]; });
    SparseVector sorted;
    sorted.indices.reserve(order.size());
    sorted.values.reserve(order.size());
    for (std::size_t i : order) {
      sorted.indices.push_back(v.indices[i]);
      sorted.values.push_back(v.values[i]);
    }
    v = std::move(sorted);
  }
  for (std::size_t i = 1; i < v.indices.size(); ++i) {
    if (v.indices[i] == v.indices[i - 1]) {
      return DbError::invalid_argument(what + " repeats index " + std::to_string(v.indices[i]));
    }
  }
  return Status::success();
}

void write_sparse(ByteWriter& w, const SparseVector& v) {
  w.u32(static_cast<std::uint32_t>(v.indices.size()));
  for (std::uint32_t i : v.indices) w.u32(i);
  w.f32s(v.values.data(), v.values.size());
}

bool read_sparse(ByteReader& r, SparseVector& v) {
  std::uint32_t n;
  if (!r.u32(n) || n > r.remaining() / 8) return false;
  v.indices.resize(n);
  v.values.clear();
  for (std::uint32_t i = 0; i < n; ++i) {
    r.u32(v.indices[i]);
    if (i > 0 && v.indices[i] <= v.indices[i - 1]) return false;
  }
  if (!r.f32s(n, v.values)) return false;
  for (float x : v.values) {
    if (!std::isfinite(x)) return false;
  }
  return true;
}

void SparseIndex::set(std::uint32_t slot, SparseVector v) {
  remove(slot);
  if (v.empty()) return;
  if (slot >= vectors_.size()) vectors_.resize(static_cast<std::size_t>(slot) + 1);
  for (std::size_t i = 0; i < v.indices.size(); ++i) postings_[v.indices[i]].add(slot, v.values[i]);
  vectors_[slot] = std::move(v);
  count_ += 1;
}

void SparseIndex::remove(std::uint32_t slot) {
  if (!has(slot)) return;
  for (std::uint32_t index : vectors_[slot].indices) {
    auto it = postings_.find(index);
    if (it == postings_.end()) continue;
    it->second.remove(slot);
    if (it->second.size() == 0) postings_.erase(it);
  }
  vectors_[slot] = SparseVector();
  count_ -= 1;
}

std::vector<ScoredSlot> SparseIndex::search(const SparseVector& query, std::size_t k, const SlotPredicate* allow,
                                            const std::vector<std::uint32_t>* candidates) const {
  std::vector<TermCursor> cursors;
  for (std::size_t i = 0; i < query.indices.size(); ++i) {
    double w = query.values[i];
    if (w == 0.0) continue;
    auto it = postings_.find(query.indices[i]);
    if (it == postings_.end()) continue;
    TermCursor c;
    c.list = &it->second;
    c.weight = w;
    c.upper_bound = std::max({0.0, w * it->second.max_value, w * it->second.min_value});
    cursors.push_back(c);
  }
  DotScorer scorer;
  if (candidates != nullptr) return candidates_top_k(cursors, k, scorer, *candidates);
  return wand_top_k(cursors, k, scorer, allow);
}

SparseIndex SparseIndex::renumbered(const std::vector<std::uint32_t>& new_slot) const {
  SparseIndex out;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> order;
  for (std::uint32_t old = 0; old < vectors_.size() && old < new_slot.size(); ++old) {
    if (has(old) && new_slot[old] != kDropped) order.emplace_back(new_slot[old], old);
  }
  std::sort(order.begin(), order.end());
  for (const auto& [fresh, old] : order) out.set(fresh, vectors_[old]);
  return out;
}

std::size_t SparseIndex::memory_bytes() const {
  std::size_t bytes = vectors_.capacity() * sizeof(SparseVector);
  for (const auto& v : vectors_) bytes += v.indices.capacity() * 4 + v.values.capacity() * 4;
  for (const auto& [d, p] : postings_) bytes += p.bytes() + 16;
  bytes += postings_.bucket_count() * 8;
  return bytes;
}

}  // namespace hovra
