// SQ8 quantizer: training rules, the one-component encoding rule, the
// vectorised decoding against the plain formula, on random and edge values,
// and the bound between quantized and full-precision distances on rows that
// push it to its edge; the spread of cosine distances on rows of several
// shapes.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "check.h"
#include "core/vectors/distance.h"
#include "core/vectors/quantize.h"
#include "core/vectors/sq8_distance.h"

using hovra::Sq8Quantizer;

static bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

static void training_rules() {
  float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> rows = {0.0f, 5.0f, nan, 10.0f, 5.0f, 1.0f, 2.0f, 5.0f, -1.0f};
  Sq8Quantizer q = Sq8Quantizer::train(rows.data(), rows.size(), 3);
  CHECK(q.mins()[0] == 0.0f && q.scales()[0] == 10.0f / 255.0f);
  CHECK(q.mins()[1] == 5.0f && q.scales()[1] == 1.0f);            // constant dimension
  CHECK(q.mins()[2] == -1.0f && q.scales()[2] == 2.0f / 255.0f);  // NaN changes nothing
  std::uint8_t codes[3];
  q.encode(rows.data() + 3, codes);
  CHECK(codes[0] == 255 && codes[1] == 0 && codes[2] == 255);
  q.encode(rows.data(), codes);
  CHECK(codes[0] == 0 && codes[2] == 0);  // NaN encodes to 0
}

static void encoding_rule() {
  CHECK(hovra::sq8_encode_component(0.5f, 0.0f, 1.0f) == 1);
  CHECK(hovra::sq8_encode_component(2.5f, 0.0f, 1.0f) == 3);
  CHECK(hovra::sq8_encode_component(254.5f, 0.0f, 1.0f) == 255);
  CHECK(hovra::sq8_encode_component(-7.0f, 0.0f, 1.0f) == 0);
  CHECK(hovra::sq8_encode_component(1e30f, 0.0f, 1.0f) == 255);
  CHECK(hovra::sq8_encode_component(std::numeric_limits<float>::infinity(), 0.0f, 1.0f) == 255);
}

static void decoding_matches_formula() {
  std::mt19937 rng(5);
  std::uniform_real_distribution<float> value(-1e3f, 1e3f);
  const float edge[] = {0.0f,
                        -0.0f,
                        1.0f,
                        3.4028235e38f,
                        -3.4028235e38f,
                        1e-40f,
                        std::numeric_limits<float>::infinity(),
                        std::numeric_limits<float>::quiet_NaN()};
  for (std::size_t dim : {1u, 7u, 8u, 9u, 31u, 128u, 131u}) {
    std::vector<float> mins(dim), scales(dim);
    for (std::size_t j = 0; j < dim; ++j) {
      mins[j] = j % 5 == 0 ? edge[j % 8] : value(rng);
      scales[j] = j % 7 == 0 ? edge[(j / 7) % 8] : value(rng) / 255.0f;
    }
    std::vector<std::uint8_t> codes(dim * 4);
    for (auto& c : codes) c = static_cast<std::uint8_t>(rng());
    codes[0] = 255;
    Sq8Quantizer q = Sq8Quantizer::from_parts(mins, scales, dim, codes);
    std::vector<float> out(dim);
    for (std::uint32_t slot = 0; slot < 4; ++slot) {
      q.decode_into(slot, out.data());
      for (std::size_t j = 0; j < dim; ++j) {
        float scaled = static_cast<float>(codes[slot * dim + j]) * scales[j];
        float expected = scaled + mins[j];
        CHECK(same_bits(out[j], expected) || (std::isnan(out[j]) && std::isnan(expected)));
      }
    }
  }
}

// The fused quantized distance against decoding followed by the pairwise
// kernel: equal up to rounding, with the kernel's special cases for zero
// vectors, for every metric and across the vector widths' tails.
static void fused_distance_matches_decoded() {
  std::mt19937 rng(9);
  std::normal_distribution<float> g(0.0f, 1.0f);
  const hovra::Metric metrics[] = {hovra::Metric::Cosine, hovra::Metric::Euclidean, hovra::Metric::DotProduct};
  for (std::size_t dim : {1u, 5u, 8u, 15u, 16u, 17u, 33u, 128u, 384u, 770u}) {
    std::vector<float> rows(dim * 40);
    for (auto& v : rows) v = g(rng) * 3.0f + 1.0f;
    for (std::size_t j = 0; j < dim; j += 9) rows[j] = rows[dim + j];  // some constant dimensions
    for (std::size_t r = 2; r < 40; ++r)
      for (std::size_t j = 0; j < dim; j += 9) rows[r * dim + j] = rows[j];
    Sq8Quantizer q = Sq8Quantizer::train(rows.data(), rows.size(), dim);
    q.encode_all(rows.data(), rows.size());
    std::vector<float> query(dim), decoded(dim), zero(dim, 0.0f);
    for (auto& v : query) v = g(rng);
    for (hovra::Metric m : metrics) {
      for (const std::vector<float>* qv : {&query, &zero}) {
        hovra::Sq8Distance fused(q, qv->data(), m);
        for (std::uint32_t slot = 0; slot < 40; ++slot) {
          q.decode_into(slot, decoded.data());
          float want = hovra::distance(qv->data(), decoded.data(), dim, m);
          float got = fused(slot);
          double scale = 0.0;
          for (std::size_t j = 0; j < dim; ++j)
            scale += std::fabs(double((*qv)[j]) * decoded[j]) + double(decoded[j]) * decoded[j];
          double tol = m == hovra::Metric::Cosine ? 1e-5 : 1e-5 * (scale + 1e-6);
          if (!CHECK(std::fabs(double(got) - double(want)) <= tol))
            std::fprintf(stderr, "    dim %zu metric %d slot %u: %.9g vs %.9g\n", dim, int(m), slot, got, want);
        }
      }
    }
  }
}

// The bound that lets a search re-score only part of its beam must hold for
// every row and query: lower(quantized) <= exact <= upper(quantized), with
// both distances as the kernels compute them. The rows that strain it most
// sit half a step from their decoding in every component (codes 0 and 255
// included), with the query on the far side of the row from its decoding,
// where the exact distance is smallest against the quantized one.
static void distance_bound_holds() {
  std::mt19937 rng(17);
  std::normal_distribution<float> g(0.0f, 1.0f);
  std::uniform_real_distribution<float> u(0.0f, 1.0f);
  const hovra::Metric metrics[] = {hovra::Metric::Euclidean, hovra::Metric::DotProduct};
  for (std::size_t dim : {1u, 7u, 33u, 128u, 769u}) {
    const std::size_t train_rows = 64;
    std::vector<float> rows(dim * train_rows);
    for (auto& v : rows) v = g(rng) * 4.0f + 2.0f;
    for (std::size_t j = 0; j < dim; j += 5) rows[j] = rows[dim + j];  // a constant column
    for (std::size_t r = 2; r < train_rows; ++r)
      for (std::size_t j = 0; j < dim; j += 5) rows[r * dim + j] = rows[j];
    Sq8Quantizer q = Sq8Quantizer::train(rows.data(), rows.size(), dim);
    // Rows half a step (just inside) from a code in every component, at codes
    // 0, 255 and between, appended after training.
    std::vector<float> edge_rows;
    for (int kind = 0; kind < 4; ++kind) {
      for (std::size_t j = 0; j < dim; ++j) {
        float code = kind == 0 ? 0.0f : kind == 1 ? 255.0f : std::floor(u(rng) * 255.0f);
        float side = (kind == 1 || (kind == 3 && j % 2)) ? -1.0f : 1.0f;
        float half = 0.4999f * q.scales()[j];
        edge_rows.push_back(q.mins()[j] + code * q.scales()[j] + (kind == 0 ? half : side * half));
      }
    }
    rows.insert(rows.end(), edge_rows.begin(), edge_rows.end());
    q.encode_all(rows.data(), rows.size());
    CHECK(q.rows_within_range());
    const std::size_t count = rows.size() / dim;
    std::vector<float> decoded(dim), query(dim);
    for (hovra::Metric m : metrics) {
      for (int trial = 0; trial < 40; ++trial) {
        const std::uint32_t slot = static_cast<std::uint32_t>(trial < 20 ? train_rows + trial % 4 : rng() % count);
        const float* x = rows.data() + std::size_t(slot) * dim;
        q.decode_into(slot, decoded.data());
        float beta = trial % 3 == 0 ? 0.01f : trial % 3 == 1 ? 1.0f : 30.0f;
        for (std::size_t j = 0; j < dim; ++j)
          query[j] = trial % 5 == 4 ? g(rng) * 4.0f : x[j] + beta * (x[j] - decoded[j]);
        hovra::Sq8DistanceBound bound(q, query.data(), m);
        CHECK(bound.usable());
        hovra::Sq8Distance quantized(q, query.data(), m);
        for (std::uint32_t s = 0; s < count; ++s) {
          float w = quantized(s);
          float exact = hovra::distance(query.data(), rows.data() + std::size_t(s) * dim, dim, m);
          if (!CHECK(bound.lower(w) <= exact && bound.upper(w) >= exact))
            std::fprintf(stderr, "    dim %zu metric %d slot %u: %.9g <= %.9g <= %.9g\n", dim, int(m), s,
                         bound.lower(w), exact, bound.upper(w));
        }
      }
    }
    // The bound is not vacuous: a far row's lower bound is above a near one's
    // exact distance.
    hovra::Sq8Distance quantized(q, rows.data(), hovra::Metric::Euclidean);
    hovra::Sq8DistanceBound bound(q, rows.data(), hovra::Metric::Euclidean);
    if (dim > 1)
      CHECK(bound.lower(quantized(1)) > hovra::distance(rows.data(), rows.data(), dim, hovra::Metric::Euclidean));
    // A row beyond the trained range becomes an exception (searches measure
    // it exactly) and leaves the bound to the others; re-encoded within the
    // range, it is one no more.
    std::vector<float> beyond(rows.begin(), rows.begin() + dim);
    beyond[dim - 1] = q.mins()[dim - 1] + 300.0f * q.scales()[dim - 1] + 1.0f;
    Sq8Quantizer grown = q;
    grown.append(beyond.data());
    const auto last = static_cast<std::uint32_t>(count);
    CHECK(grown.exceptions() == std::vector<std::uint32_t>{last} && grown.rows_within_range() &&
          hovra::Sq8DistanceBound(grown, rows.data(), hovra::Metric::Euclidean).usable());
    grown.reencode(last, rows.data());
    CHECK(grown.exceptions().empty());
    // Unusable: cosine; codes from a file.
    CHECK(!hovra::Sq8DistanceBound(q, rows.data(), hovra::Metric::Cosine).usable());
    std::vector<std::uint8_t> codes(q.codes().begin(), q.codes().end());
    CHECK(!Sq8Quantizer::from_parts(q.mins(), q.scales(), dim, codes).rows_within_range());
    // A query that is not finite bounds nothing.
    std::vector<float> wild(dim, std::numeric_limits<float>::infinity());
    CHECK(!hovra::Sq8DistanceBound(q, wild.data(), hovra::Metric::Euclidean).usable());
  }
}

// A few extreme rows do not stretch the range: training sets them aside
// and they become exceptions, found again from the codes alone (as after
// reading them from a file); rows added beyond the range join them until
// they outgrow the budget and the range is due to be trained again. When
// many rows lie far out, they are the data's shape: none is set aside.
static void extreme_rows_set_aside() {
  std::mt19937 rng(23);
  std::normal_distribution<float> g(0.0f, 1.0f);
  const std::size_t dim = 16, n = 20'000;
  std::vector<float> rows(n * dim);
  for (auto& v : rows) v = g(rng);
  std::vector<std::uint32_t> extreme;
  for (std::uint32_t r = 100; r < n; r += 1000) {  // 20 rows at +-500
    extreme.push_back(r);
    for (std::size_t j = 0; j < dim; ++j) rows[r * dim + j] = (j + r) % 2 ? 500.0f : -500.0f;
  }
  Sq8Quantizer q = Sq8Quantizer::train(rows.data(), rows.size(), dim);
  for (std::size_t j = 0; j < dim; ++j) CHECK(q.mins()[j] > -10.0f && q.mins()[j] + 255.0f * q.scales()[j] < 10.0f);
  q.encode_all(rows.data(), rows.size());
  CHECK(q.exceptions() == extreme && q.rows_within_range() && !q.needs_training());
  std::vector<std::uint8_t> codes(q.codes().begin(), q.codes().end());
  Sq8Quantizer read = Sq8Quantizer::from_parts(q.mins(), q.scales(), dim, codes);
  read.find_exceptions(rows.data(), rows.size());
  CHECK(read.exceptions() == extreme);
  std::vector<float> far(dim, 50.0f);
  std::size_t added = 0;
  while (!q.needs_training() && added < 1000) {
    q.append(far.data());
    ++added;
  }
  CHECK(added == 2 * hovra::sq8_exception_budget(n + added) + 1 - extreme.size());
  for (std::size_t r = 0; r < 400; ++r)  // 2 % of the rows far out: no longer a few
    for (std::size_t j = 0; j < dim; ++j) rows[r * 50 * dim + j] = 500.0f;
  Sq8Quantizer wide = Sq8Quantizer::train(rows.data(), rows.size(), dim);
  CHECK(wide.mins()[0] + 255.0f * wide.scales()[0] >= 499.0f);
}

// The spread, under each metric: over rows of several shapes (unit,
// scaled, a few wide dimensions) and queries near and far, the full-precision
// distance lies within the margins of the quantized one for all but a
// sliver of rows (the margins are four standard deviations of the
// rounding), a row's widen_to_hold is the least widening that holds it, and
// the margins are narrow: under Euclidean and the dot product, with many
// dimensions none of which dominates, under 0.4 of the width of the
// quantizer's bound (in few dimensions they may pass it: searches take the
// narrower of the two), under cosine far below the spread of the distances
// they separate.
static void spread_holds() {
  std::mt19937 rng(31);
  std::normal_distribution<float> g(0.0f, 1.0f);
  const hovra::Metric metrics[] = {hovra::Metric::Euclidean, hovra::Metric::DotProduct, hovra::Metric::Cosine};
  for (std::size_t dim : {16u, 97u, 384u}) {
    for (int shape = 0; shape < 3; ++shape) {
      const std::size_t count = 2000;
      std::vector<float> rows(count * dim), norms(count);
      for (std::size_t i = 0; i < count; ++i) {
        float norm = 0.0f, scale = shape == 1 ? 0.1f + 9.9f * float(i % 7) / 6.0f : 1.0f;
        for (std::size_t j = 0; j < dim; ++j) {
          float v = g(rng) * (shape == 2 && j % 11 == 0 ? 6.0f : 1.0f);
          rows[i * dim + j] = v;
          norm += v * v;
        }
        for (std::size_t j = 0; j < dim; ++j) rows[i * dim + j] *= scale / std::sqrt(norm);
        norms[i] = hovra::vector_norm(rows.data() + i * dim, dim);
      }
      Sq8Quantizer q = Sq8Quantizer::train(rows.data(), rows.size(), dim);
      q.encode_all(rows.data(), rows.size());
      for (hovra::Metric m : metrics) {
        std::size_t outside = 0, measured = 0, inconsistent = 0;
        double widest = 0.0;
        std::vector<float> query(dim);
        for (int trial = 0; trial < 10; ++trial) {
          const float* near = rows.data() + std::size_t(rng() % count) * dim;
          for (std::size_t j = 0; j < dim; ++j) query[j] = trial % 2 ? near[j] + 0.05f * g(rng) : g(rng);
          hovra::Sq8Spread spread(q, query.data(), m);
          hovra::Sq8DistanceBound bound(q, query.data(), m);
          CHECK(spread.usable());
          hovra::Sq8Distance quantized(q, query.data(), m);
          for (std::uint32_t s = 0; s < count; ++s) {
            float w = quantized(s), norm = norms[s];
            double exact = hovra::distance(query.data(), rows.data() + std::size_t(s) * dim, dim, m);
            double low = spread.lower(w, norm, 1.0), high = spread.upper(w, norm, 1.0);
            ++measured;
            if (exact < low || exact > high) ++outside;
            // widen_to_hold leaves the margins' allowance for rounding
            // aside: it may ask for more, never for less.
            double need = spread.widen_to_hold(w, exact, norm);
            if (need <= 1.0 && (exact < low || exact > high)) ++inconsistent;
            if (spread.lower(w, norm, need * 1.001) > exact || spread.upper(w, norm, need * 1.001) < exact)
              ++inconsistent;
            double width = m == hovra::Metric::Cosine ? spread.upper(w, 1.0f, 1.0) - spread.lower(w, 1.0f, 1.0)
                                                      : (high - low) / (bound.upper(w) - bound.lower(w));
            if (std::isfinite(width)) widest = std::max(widest, width);
          }
        }
        const double narrow = m == hovra::Metric::Cosine ? 0.2
                              : dim >= 97 && shape != 2  ? 0.4
                                                         : std::numeric_limits<double>::infinity();
        if (!CHECK(outside * 1000 <= measured && inconsistent == 0 && widest < narrow))
          std::fprintf(stderr, "    dim %zu shape %d metric %d: %zu of %zu outside, %zu inconsistent, widest %.4g\n",
                       dim, shape, int(m), outside, measured, inconsistent, widest);
      }
    }
  }
  // Unusable: codes from a file (rows not known within range), a zero query
  // under cosine, a query that is not finite.
  std::vector<float> rows(64, 1.0f), zero(8, 0.0f), wild(8, std::numeric_limits<float>::infinity());
  rows[3] = -1.0f;
  Sq8Quantizer q = Sq8Quantizer::train(rows.data(), rows.size(), 8);
  q.encode_all(rows.data(), rows.size());
  CHECK(!hovra::Sq8Spread(q, zero.data(), hovra::Metric::Cosine).usable());
  CHECK(hovra::Sq8Spread(q, zero.data(), hovra::Metric::Euclidean).usable());
  CHECK(!hovra::Sq8Spread(q, wild.data(), hovra::Metric::Euclidean).usable());
  CHECK(!hovra::Sq8Spread(q, wild.data(), hovra::Metric::DotProduct).usable());
  std::vector<std::uint8_t> codes(q.codes().begin(), q.codes().end());
  for (hovra::Metric m : metrics)
    CHECK(!hovra::Sq8Spread(Sq8Quantizer::from_parts(q.mins(), q.scales(), 8, codes), rows.data(), m).usable());
  hovra::Sq8Spread cosine(q, rows.data(), hovra::Metric::Cosine);
  CHECK(std::isinf(cosine.upper(0.5f, 0.0f, 1.0)) && cosine.widen_to_hold(0.5f, 0.7, 0.0f) == 0.0);
}

int main() {
  training_rules();
  extreme_rows_set_aside();
  encoding_rule();
  decoding_matches_formula();
  fused_distance_matches_decoded();
  distance_bound_holds();
  spread_holds();
  return check::exit_code("test_quantize");
}
