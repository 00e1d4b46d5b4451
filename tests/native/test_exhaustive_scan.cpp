// The exhaustive scan against a plain exact scan: every row scored by the
// exact kernels, sorted by (distance, slot), cut to k. Same slots, same
// distance bits, for all metrics, on data built to defeat a preselection
// margin that is too thin: near-duplicates a few ulps apart, exact
// duplicates, zero rows, huge and tiny magnitudes, non-finite values,
// stored norms that do not match their rows, and scans large enough to be
// split over the worker pool. Each case runs once with the row's own sums
// of squares bounding the error and once with the stored norms.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.h"
#include "core/index/exhaustive_scan.h"
#include "core/index/hnsw_index.h"
#include "core/vectors/scan_kernels.h"

using namespace hovra;

namespace {

bool before(const Hit& a, const Hit& b) {
  bool an = std::isnan(a.distance), bn = std::isnan(b.distance);
  if (an != bn) return bn;
  if (!an && a.distance != b.distance) return a.distance < b.distance;
  return a.slot < b.slot;
}

std::vector<Hit> top_k(std::vector<Hit> all, std::size_t k) {
  std::sort(all.begin(), all.end(), before);
  if (all.size() > k) all.resize(k);
  return all;
}

bool same(const std::vector<Hit>& a, const std::vector<Hit>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].slot != b[i].slot || std::memcmp(&a[i].distance, &b[i].distance, sizeof(float)) != 0) return false;
  return true;
}

struct Data {
  std::size_t dim;
  std::vector<float> rows, norms, queries;
  std::size_t count() const { return rows.size() / dim; }
};

// kind 0: Gaussian; 1: clusters of near-duplicates a few ulps apart, with
// exact duplicates; 2: zero rows and zero queries mixed in; 3: magnitudes
// from 1e-30 to 1e15 and a few non-finite rows; 4: permutations of one row,
// so every score ties up to rounding, at magnitudes whose squares underflow,
// against constant queries (tiny queries too); 5: like 4 at unit scale, with
// stored norms a hundred times too small.
Data make(std::size_t n, std::size_t dim, int kind, std::size_t nq, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  Data d{dim, std::vector<float>(n * dim), {}, std::vector<float>(nq * dim)};
  for (auto& v : d.rows) v = g(rng);
  for (auto& v : d.queries) v = g(rng);
  if (kind == 1) {
    for (std::size_t r = 1; r < n; ++r) {
      const float* src = d.rows.data() + (r / 7) * 7 * dim;
      float* dst = d.rows.data() + r * dim;
      if (r % 7 == 0) continue;
      std::copy(src, src + dim, dst);
      if (r % 7 != 3)
        for (std::size_t j = 0; j < dim; j += 1 + r % 5)
          dst[j] = std::nextafter(dst[j], 100.0f * ((r + j) % 2 ? 1 : -1));
    }
    // queries right on the clusters
    for (std::size_t q = 0; q < nq && q * 7 < n; ++q)
      std::copy(d.rows.begin() + q * 7 * dim, d.rows.begin() + (q * 7 + 1) * dim, d.queries.begin() + q * dim);
  } else if (kind == 2) {
    for (std::size_t r = 0; r < n; r += 3) std::fill(d.rows.begin() + r * dim, d.rows.begin() + (r + 1) * dim, 0.0f);
    std::fill(d.queries.begin(), d.queries.begin() + dim, 0.0f);
  } else if (kind == 3) {
    std::uniform_int_distribution<int> e(-30, 15);
    for (std::size_t r = 0; r < n; ++r) {
      float scale = std::pow(10.0f, static_cast<float>(e(rng)));
      for (std::size_t j = 0; j < dim; ++j) d.rows[r * dim + j] *= scale;
    }
    if (n > 10) {
      d.rows[5 * dim] = std::numeric_limits<float>::infinity();
      d.rows[9 * dim] = std::numeric_limits<float>::quiet_NaN();
    }
  } else if (kind == 4 || kind == 5) {
    float scale = kind == 4 ? 1e-30f : 1.0f;
    std::vector<float> base(d.rows.begin(), d.rows.begin() + dim);
    for (std::size_t r = 0; r < n; ++r) {
      std::shuffle(base.begin(), base.end(), rng);
      for (std::size_t j = 0; j < dim; ++j) d.rows[r * dim + j] = base[j] * scale;
    }
    for (std::size_t q = 0; q < nq; ++q) {
      float c = kind == 4 && q % 3 == 2 ? 1e-25f : kind == 4 ? 1e10f * float(q + 1) : float(q + 1);
      std::fill(d.queries.begin() + q * dim, d.queries.begin() + (q + 1) * dim, c);
    }
  }
  for (std::size_t r = 0; r < n; ++r)
    d.norms.push_back(vector_norm(d.rows.data() + r * dim, dim) * (kind == 5 ? 0.01f : 1.0f));
  return d;
}

// trusted: whether the scan is told that the stored norms bound the rows.
// Otherwise the scan checks them, and norms_hold must be what it reports
// (-1: not checked here).
void compare(const Data& d, Metric metric, std::size_t k, const std::string& what, bool trusted, int norms_hold) {
  ScanRows rows{d.rows.data(), d.dim, d.count(), d.norms.data(), metric, trusted};
  std::size_t nq = d.queries.size() / d.dim;
  std::vector<const float*> qs;
  std::vector<std::vector<Hit>> singles;
  for (std::size_t q = 0; q < nq; ++q) {
    const float* query = d.queries.data() + q * d.dim;
    qs.push_back(query);
    // The batch formula over every row.
    std::vector<float> scores = batch_scores(query, d.rows.data(), d.rows.size(), d.dim, d.norms.data(), metric);
    std::vector<Hit> all;
    for (std::size_t i = 0; i < scores.size(); ++i) all.push_back({static_cast<std::uint32_t>(i), scores[i]});
    bool hold = false;
    std::vector<Hit> got = scan_all_rows(rows, query, k, &hold);
    if (!CHECK(same(got, top_k(all, k))))
      std::fprintf(stderr, "    batch formula, %s, metric %d, query %zu, trusted %d\n", what.c_str(), int(metric), q,
                   int(trusted));
    if (norms_hold >= 0 && !trusted && !CHECK(hold == bool(norms_hold)))
      std::fprintf(stderr, "    norm check, %s, metric %d, query %zu\n", what.c_str(), int(metric), q);
    singles.push_back(got);
    // The pairwise distance over every other slot (gathered rows), and over
    // all but every 97th slot (mostly runs of consecutive rows).
    for (int gaps : {2, 97}) {
      std::vector<std::uint32_t> slots;
      std::vector<Hit> eligible;
      for (std::uint32_t s = 0; s < d.count(); ++s) {
        bool in = gaps == 2 ? s % 2 == q % 2 : s % 97 != q % 97;
        if (!in) continue;
        slots.push_back(s);
        eligible.push_back({s, distance(query, d.rows.data() + s * d.dim, d.dim, metric)});
      }
      if (!CHECK(same(scan_slots(rows, query, slots.data(), slots.size(), k), top_k(eligible, k))))
        std::fprintf(stderr, "    pairwise, %s, metric %d, query %zu, gaps %d\n", what.c_str(), int(metric), q, gaps);
    }
  }
  std::vector<std::vector<Hit>> many;
  scan_all_rows_many(rows, qs.data(), qs.size(), k, many);
  bool all_same = many.size() == singles.size();
  for (std::size_t q = 0; all_same && q < nq; ++q) all_same = same(many[q], singles[q]);
  if (!CHECK(all_same)) std::fprintf(stderr, "    many queries, %s, metric %d\n", what.c_str(), int(metric));
}

// The walks' pair kernels stay within the stated bound of the exact
// kernels, at every length around their vector widths (the tails) and on
// magnitudes that spread over many orders: the slack the searches re-score
// by rests on it.
void pair_kernels_within_bound() {
  std::mt19937 rng(77);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::uniform_int_distribution<int> scale(-12, 12);
  PairKernel pdot = pair_dot_kernel(), pl2 = pair_l2sq_kernel();
  std::vector<std::size_t> dims;
  for (std::size_t d = 0; d <= 97; ++d) dims.push_back(d);
  for (std::size_t d : {127, 128, 129, 384, 385, 1000, 4099}) dims.push_back(d);
  bool all_ok = true;
  for (std::size_t dim : dims) {
    for (int trial = 0; trial < 6; ++trial) {
      std::vector<float> a(dim), b(dim);
      float sa = std::ldexp(1.0f, scale(rng)), sb = trial % 2 ? sa : std::ldexp(1.0f, scale(rng));
      for (std::size_t j = 0; j < dim; ++j) {
        a[j] = g(rng) * sa;
        b[j] = trial == 5 ? a[j] + g(rng) * sa * 1e-6f : g(rng) * sb;
      }
      double abs_dot = 0.0, l2 = 0.0;
      for (std::size_t j = 0; j < dim; ++j) {
        abs_dot += std::fabs(double(a[j]) * double(b[j]));
        double t = double(a[j] - b[j]);
        l2 += t * t;
      }
      double bound = sum_error_factor(dim);
      double want_dot = dot(a.data(), b.data(), dim);
      double want_l2 = distance(a.data(), b.data(), dim, Metric::Euclidean);
      bool ok = std::fabs(double(pdot(a.data(), b.data(), dim)) - want_dot) <= bound * abs_dot &&
                std::fabs(double(pl2(a.data(), b.data(), dim)) - want_l2) <= bound * l2;
      if (!ok) std::fprintf(stderr, "    pair kernels off at dim %zu, trial %d\n", dim, trial);
      all_ok = all_ok && ok;
    }
  }
  CHECK(all_ok);
}

// The block kernel gives every row of a block the dot product within the
// same bound, whatever the block's length (whole groups of rows and the
// rows after them) and the row length (the tails of the vector width).
void block_dot_within_bound() {
  std::mt19937 rng(78);
  std::normal_distribution<float> g(0.0f, 1.0f);
  bool all_ok = true;
  for (std::size_t dim : {0, 1, 2, 3, 7, 8, 15, 16, 17, 24, 31, 32, 33, 48, 63, 64, 65, 96, 128, 129}) {
    for (std::size_t count : {0, 1, 15, 16, 17, 31, 32, 33, 50}) {
      std::vector<float> q(dim), rows(count * dim), out(count + 1, -7.0f);
      for (float& v : q) v = g(rng);
      for (float& v : rows) v = g(rng) * (1.0f + static_cast<float>(&v - rows.data()) * 0.01f);
      block_dot(q.data(), rows.data(), count, dim, out.data());
      bool ok = out[count] == -7.0f;  // nothing written past the block
      for (std::size_t r = 0; r < count; ++r) {
        const float* x = rows.data() + r * dim;
        double abs_dot = 0.0;
        for (std::size_t j = 0; j < dim; ++j) abs_dot += std::fabs(double(q[j]) * double(x[j]));
        ok = ok && std::fabs(double(out[r]) - double(dot(q.data(), x, dim))) <= sum_error_factor(dim) * abs_dot;
      }
      if (!ok) std::fprintf(stderr, "    block dot off at dim %zu, %zu rows\n", dim, count);
      all_ok = all_ok && ok;
    }
  }
  CHECK(all_ok);
}

}  // namespace

int main() {
  pair_kernels_within_bound();
  block_dot_within_bound();
  const Metric metrics[] = {Metric::Cosine, Metric::Euclidean, Metric::DotProduct};
  struct Shape {
    std::size_t n, dim;
    int kind;
    std::size_t k;
  };
  // The last three put k on either side of the largest k whose upper ends
  // are kept in a fixed array (16), and above it in a scan split over the
  // worker pool.
  const Shape shapes[] = {
      {1, 3, 0, 10},      {40, 1, 0, 5},     {300, 17, 0, 10},  {500, 128, 1, 10},   {700, 64, 1, 100},
      {400, 33, 2, 10},   {400, 8, 3, 10},   {2000, 300, 1, 7}, {50, 16, 0, 80},     {9000, 128, 1, 10},
      {3000, 384, 0, 25}, {3000, 64, 4, 10}, {3000, 64, 5, 10}, {20000, 128, 5, 10}, {1000, 16, 1, 10},
      {1000, 16, 0, 1},   {1003, 40, 1, 10}, {1000, 16, 1, 16}, {1000, 16, 0, 17},   {12000, 96, 1, 20},
  };
  unsigned seed = 1;
  for (const Shape& s : shapes) {
    Data d = make(s.n, s.dim, s.kind, 9, seed++);
    std::string what = std::to_string(s.n) + "x" + std::to_string(s.dim) + " kind " + std::to_string(s.kind);
    // Norms computed here bound their rows, except the shrunk ones of kind
    // 5; rows with non-finite values or zero queries leave them unchecked.
    int hold = s.kind == 5 ? 0 : s.kind == 0 || s.kind == 1 ? 1 : -1;
    for (Metric m : metrics) {
      compare(d, m, s.k, what, false, hold);
      if (s.kind != 5) compare(d, m, s.k, what, true, -1);
    }
  }
  return check::exit_code("test_exhaustive_scan");
}
