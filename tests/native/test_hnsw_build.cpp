// Batches linked on several worker threads must give a graph as sound as
// one linked node by node: every live node reachable from the entry point
// (breadth-first over all layers), every stored vector found by a search for
// itself, no list over its cap. The data has low intrinsic dimension, tight
// clusters and exact duplicates; live count x dim is past the exact-scan
// threshold, so the searches walk the graph. The pool runs more threads than
// the machine has cores, which makes the interleavings of the parallel phase
// more varied.
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "core/index/hnsw_index.h"

using namespace hovra;

namespace {

// n rows of dim floats: points of 100 clusters in a 24-dimensional subspace,
// lifted by a fixed random map, in runs of 30 rows from one cluster (rows
// inserted one after the other are neighbours, as in sorted real data);
// every 50th row repeats the row before it.
std::vector<float> make_rows(std::size_t n, std::size_t dim, unsigned seed) {
  constexpr std::size_t kLatent = 24, kClusters = 100;
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::vector<float> basis(kLatent * dim), centres(kClusters * kLatent), rows(n * dim);
  for (auto& v : basis) v = g(rng);
  for (auto& v : centres) v = g(rng);
  std::vector<float> z(kLatent);
  for (std::size_t r = 0; r < n; ++r) {
    float* row = rows.data() + r * dim;
    if (r % 50 == 49) {
      std::memcpy(row, row - dim, dim * sizeof(float));
      continue;
    }
    const float* c = centres.data() + (r / 30 * 37 % kClusters) * kLatent;
    for (std::size_t j = 0; j < kLatent; ++j) z[j] = c[j] + 0.3f * g(rng);
    for (std::size_t i = 0; i < dim; ++i) {
      float s = 0.0f;
      for (std::size_t j = 0; j < kLatent; ++j) s += z[j] * basis[j * dim + i];
      row[i] = s;
    }
  }
  return rows;
}

std::vector<std::uint32_t> insert_rows(HnswIndex& index, const std::vector<float>& rows, std::size_t from,
                                       std::size_t to) {
  std::vector<const float*> ptrs;
  std::vector<std::size_t> lens;
  for (std::size_t r = from; r < to; ++r) {
    ptrs.push_back(rows.data() + r * index.dim());
    lens.push_back(index.dim());
  }
  return index.insert_batch(ptrs, lens);
}

// Live nodes that a breadth-first walk from the entry point over the lists
// of every layer does not reach.
std::size_t unreachable(const HnswIndex& index) {
  std::size_t n = index.node_count();
  if (n == 0) return 0;
  std::vector<char> seen(n, 0);
  std::vector<std::uint32_t> queue{index.entry_point()}, list;
  seen[index.entry_point()] = 1;
  for (std::size_t at = 0; at < queue.size(); ++at) {
    std::uint32_t s = queue[at];
    for (std::size_t l = 0; l <= index.level(s); ++l) {
      index.copy_list(s, l, list);
      for (std::uint32_t x : list)
        if (!seen[x]) {
          seen[x] = 1;
          queue.push_back(x);
        }
    }
  }
  std::size_t missing = 0;
  for (std::uint32_t s = 0; s < n; ++s) missing += !seen[s] && !index.is_deleted(s);
  return missing;
}

// Rows (every `step`th) that a search for their own vector at ef 200 does
// not return among its 10 hits; a hit holding an identical vector counts.
std::size_t self_misses(const HnswIndex& index, std::size_t step) {
  std::size_t misses = 0, dim = index.dim();
  for (std::uint32_t s = 0; s < index.node_count(); s += static_cast<std::uint32_t>(step)) {
    const float* v = index.vector(s);
    bool found = false;
    for (const Hit& h : index.search(v, dim, 10, 200))
      found = found || h.slot == s || std::memcmp(index.vector(h.slot), v, dim * sizeof(float)) == 0;
    misses += !found;
  }
  return misses;
}

bool lists_within_caps(const HnswIndex& index) {
  std::vector<std::uint32_t> list;
  for (std::uint32_t s = 0; s < index.node_count(); ++s)
    for (std::size_t l = 0; l <= index.level(s); ++l) {
      index.copy_list(s, l, list);
      if (list.size() > (l == 0 ? index.m_max0() : index.m())) return false;
    }
  return true;
}

void check_graph(const HnswIndex& index, const char* what) {
  std::size_t lost = unreachable(index);
  std::size_t missed = self_misses(index, 3);
  std::printf("%s: %zu nodes, %zu unreachable, %zu self-misses of %zu\n", what, index.node_count(), lost, missed,
              (index.node_count() + 2) / 3);
  CHECK(lost == 0);
  CHECK(missed == 0);
  CHECK(lists_within_caps(index));
}

}  // namespace

int main(int argc, char** argv) {
  ::setenv("RAYON_NUM_THREADS", "4", 1);  // before the pool's first use
  std::size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 12000;
  constexpr std::size_t kDim = 840;  // 12,000 x 840 is past the exact-scan threshold
  std::vector<float> rows = make_rows(n, kDim, 7);

  // One batch into an empty index, then a second batch into the graph.
  for (Metric metric : {Metric::Euclidean, Metric::Cosine}) {
    HnswIndex index(kDim, metric, 16, 100);
    insert_rows(index, rows, 0, n * 2 / 3);
    insert_rows(index, rows, n * 2 / 3, n);
    CHECK(!index.uses_brute_force());
    check_graph(index, metric == Metric::Euclidean ? "euclidean" : "cosine");
  }
  return check::exit_code("test_hnsw_build");
}
