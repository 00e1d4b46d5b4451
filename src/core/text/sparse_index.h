// SparseIndex: one sparse vector per slot (dimension indices with weights,
// as SPLADE models or externally computed term weights give them) and the
// inverted index over their dimensions, scored by dot product with a
// sparse query through the same top-k search as the text index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "core/base/bytes.h"
#include "core/base/error.h"
#include "core/text/posting_list.h"
#include "core/text/top_k.h"

namespace hovra {

struct SparseVector {
  std::vector<std::uint32_t> indices;  // ascending, distinct
  std::vector<float> values;           // finite
  bool empty() const { return indices.empty(); }
  friend bool operator==(const SparseVector&, const SparseVector&) = default;
};

// Sorts the pairs by index; InvalidArgument for unequal lengths, a
// repeated index or a value that is not finite. `what` names the vector
// in the message. Zero weights are kept (they score nothing).
Status normalise_sparse(SparseVector& v, const std::string& what);

// The encoding shared by the log and the text file: u32 count, the
// indices (u32 each), the values (f32 each). The reader refuses a vector
// whose indices do not ascend strictly or whose values are not finite.
void write_sparse(ByteWriter& w, const SparseVector& v);
bool read_sparse(ByteReader& r, SparseVector& v);

class SparseIndex {
 public:
  static constexpr std::uint32_t kDropped = 0xFFFFFFFFu;

  // Stores slot's vector in place of what the slot held (an empty vector
  // removes it).
  void set(std::uint32_t slot, SparseVector v);
  void remove(std::uint32_t slot);
  bool has(std::uint32_t slot) const { return slot < vectors_.size() && !vectors_[slot].empty(); }
  const SparseVector* vector_at(std::uint32_t slot) const { return has(slot) ? &vectors_[slot] : nullptr; }
  std::size_t vectors() const { return count_; }
  std::size_t dimensions() const { return postings_.size(); }
  std::size_t slot_capacity() const { return vectors_.size(); }

  // The k slots of largest dot product with `query` (normalised), among
  // those `allow` accepts or, when given, `candidates` (ascending).
  std::vector<ScoredSlot> search(const SparseVector& query, std::size_t k, const SlotPredicate* allow,
                                 const std::vector<std::uint32_t>* candidates) const;

  SparseIndex renumbered(const std::vector<std::uint32_t>& new_slot) const;
  std::size_t memory_bytes() const;

 private:
  std::vector<SparseVector> vectors_;  // by slot
  std::unordered_map<std::uint32_t, PostingList> postings_;
  std::size_t count_ = 0;
};

}  // namespace hovra
