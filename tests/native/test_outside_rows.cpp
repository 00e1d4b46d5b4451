// Rows read where they lie: a reader's index (follow_only) keeps the rows
// given in lasting bytes (unaligned, unevenly spaced, as in a log) outside
// its store. Every exact scan over them must answer exactly what the same
// index answers with the rows copied in: the same slots at the same
// distances, bit for bit, for one query and many, with and without a
// filter, tombstones and replaced rows; rows read back are the rows given;
// linking copies them in and the index goes on as any other.
#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "check.h"
#include "core/index/hnsw_index.h"

using namespace hovra;

namespace {

constexpr std::size_t kDim = 96;
constexpr std::size_t kLinked = 1500;
constexpr std::size_t kFresh = 300;
constexpr std::size_t kK = 10;

std::vector<float> random_rows(std::size_t n, std::mt19937& rng) {
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<float> rows(n * kDim);
  for (auto& v : rows) v = g(rng);
  return rows;
}

bool same_hits(const std::vector<Hit>& a, const std::vector<Hit>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].slot != b[i].slot || std::memcmp(&a[i].distance, &b[i].distance, sizeof(float)) != 0) return false;
  return true;
}

// An index of the linked rows, then the fresh rows stored fresh: copied, or
// (follow_only) given where they lie in `log`.
std::unique_ptr<HnswIndex> build(Metric metric, const std::vector<float>& base, const std::vector<float>& fresh,
                                 bool outside, const std::vector<const unsigned char*>& at,
                                 const LastingBytes& lasting) {
  auto index = std::make_unique<HnswIndex>(kDim, metric, 8, 32);
  std::vector<const float*> ptrs;
  std::vector<std::size_t> lens(kLinked, kDim);
  for (std::size_t i = 0; i < kLinked; ++i) ptrs.push_back(base.data() + i * kDim);
  index->insert_batch(ptrs, lens);
  if (outside) {
    index->follow_only();
    // In two looks, as a reader applies them.
    index->store_fresh_batch(VectorRows::logged(at.data(), kFresh / 2, kDim, &lasting));
    index->store_fresh_batch(VectorRows::logged(at.data() + kFresh / 2, kFresh - kFresh / 2, kDim, &lasting));
  } else {
    index->store_fresh_batch(VectorRows::contiguous(fresh.data(), kFresh, kDim));
  }
  return index;
}

bool every_other(std::uint32_t s) { return s % 2 == 0; }

void compare(const HnswIndex& copied, const HnswIndex& outside, const std::vector<float>& queries) {
  const std::size_t nq = queries.size() / kDim;
  std::vector<const float*> qs;
  for (std::size_t i = 0; i < nq; ++i) qs.push_back(queries.data() + i * kDim);
  // The filtered scans: a list of every other slot, scanned exactly.
  std::vector<std::uint32_t> list;
  for (std::uint32_t s = 0; s < copied.node_count(); s += 2) list.push_back(s);
  auto pred = [](std::uint32_t s) { return every_other(s); };
  auto whole_list = [&] { return ScanList{&list, true}; };
  auto no_list = [] { return ScanList{nullptr, false}; };
  for (const float* q : qs) {
    SlotFilter listed{pred, list.size(), whole_list, true};
    CHECK(
        same_hits(copied.search_filtered(q, kDim, kK, 64, listed), outside.search_filtered(q, kDim, kK, 64, listed)));
    SlotFilter tested{pred, list.size(), no_list, true};
    CHECK(
        same_hits(copied.search_filtered(q, kDim, kK, 64, tested), outside.search_filtered(q, kDim, kK, 64, tested)));
  }
  // The whole scan, one query and many.
  for (std::size_t threshold : {std::size_t(1) << 40, std::size_t(1000)}) {
    const_cast<HnswIndex&>(copied).set_exact_threshold(threshold);
    const_cast<HnswIndex&>(outside).set_exact_threshold(threshold);
    for (const float* q : qs) {
      std::vector<Hit> a = copied.search(q, kDim, kK, 64), b = outside.search(q, kDim, kK, 64);
      if (copied.uses_brute_force()) CHECK(same_hits(a, b));
      // Walks differ (levels are drawn at random); a fresh row both find is
      // found at the same distance.
      for (const Hit& h : b)
        for (const Hit& x : a)
          if (x.slot == h.slot && h.slot >= kLinked) CHECK(std::memcmp(&x.distance, &h.distance, sizeof(float)) == 0);
    }
    std::vector<std::vector<Hit>> a = copied.search_batch(qs, kK, 64), b = outside.search_batch(qs, kK, 64);
    CHECK(a.size() == b.size());
    if (copied.uses_brute_force())
      for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) CHECK(same_hits(a[i], b[i]));
  }
  // A query equal to a fresh row finds it first, at the same distance.
  for (std::uint32_t s = kLinked; s < copied.node_count(); s += 37) {
    if (copied.is_deleted(s)) continue;
    std::vector<float> row(kDim);
    outside.copy_row(s, row.data());
    std::vector<Hit> a = copied.search(row.data(), kDim, kK, 64), b = outside.search(row.data(), kDim, kK, 64);
    CHECK(!a.empty() && !b.empty() && a[0].slot == s && b[0].slot == s &&
          std::memcmp(&a[0].distance, &b[0].distance, sizeof(float)) == 0);
  }
}

}  // namespace

int main() {
  std::mt19937 rng(5);
  for (Metric metric : {Metric::Cosine, Metric::Euclidean, Metric::DotProduct}) {
    std::vector<float> base = random_rows(kLinked, rng), fresh = random_rows(kFresh, rng);
    // The fresh rows as a log holds them: after ids of varying length, so
    // that most are not 4-byte aligned.
    auto log = std::make_shared<std::vector<unsigned char>>(1 + kFresh * (kDim * 4 + 8));
    std::vector<const unsigned char*> at;
    std::size_t offset = 1;
    for (std::size_t i = 0; i < kFresh; ++i) {
      offset += i % 7;
      std::memcpy(log->data() + offset, fresh.data() + i * kDim, kDim * 4);
      at.push_back(log->data() + offset);
      offset += kDim * 4;
    }
    LastingBytes lasting{log->data(), log->data() + log->size(), log};
    auto copied = build(metric, base, fresh, false, at, lasting);
    auto outside = build(metric, base, fresh, true, at, lasting);
    CHECK(outside->store().outside_rows() == kFresh);
    CHECK(copied->store().outside_rows() == 0);
    for (std::uint32_t s = 0; s < copied->node_count(); ++s) {
      std::vector<float> a(kDim), b(kDim);
      copied->copy_row(s, a.data());
      outside->copy_row(s, b.data());
      CHECK(a == b);
    }
    std::vector<float> queries = random_rows(6, rng);
    compare(*copied, *outside, queries);

    // Replaced rows (a fresh one and a linked one) and tombstones.
    std::vector<float> moved = random_rows(2, rng);
    for (HnswIndex* index : {copied.get(), outside.get()}) {
      index->replace_vector(kLinked + 5, moved.data(), kDim);
      index->replace_vector(17, moved.data() + kDim, kDim);
      index->mark_deleted(kLinked + 9);
      index->mark_deleted(3);
    }
    std::vector<float> row(kDim);
    outside->copy_row(kLinked + 5, row.data());
    CHECK(std::equal(row.begin(), row.end(), moved.begin()));
    compare(*copied, *outside, queries);

    // Linking copies the rows in; the index then searches as any other.
    while (outside->fresh_count() > 0) outside->link_fresh(100);
    while (copied->fresh_count() > 0) copied->link_fresh(100);
    CHECK(outside->store().outside_rows() == 0);
    for (std::uint32_t s = 0; s < copied->node_count(); ++s) {
      std::vector<float> a(kDim), b(kDim);
      copied->copy_row(s, a.data());
      outside->copy_row(s, b.data());
      CHECK(a == b);
    }
    outside->set_exact_threshold(std::size_t(1) << 40);
    copied->set_exact_threshold(std::size_t(1) << 40);
    for (std::size_t i = 0; i < 6; ++i)
      CHECK(same_hits(copied->search(queries.data() + i * kDim, kDim, kK, 64),
                      outside->search(queries.data() + i * kDim, kDim, kK, 64)));
  }
  return check::exit_code("test_outside_rows");
}
