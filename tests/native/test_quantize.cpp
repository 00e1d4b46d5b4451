// SQ8 quantizer: training rules, the one-component encoding rule, and the
// vectorised decoding against the plain formula, on random and edge values.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "check.h"
#include "core/vectors/distance.h"
#include "core/vectors/quantize.h"

using hovra::Sq8Quantizer;

static bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

static void training_rules() {
  float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> rows = {0.0f, 5.0f, nan, 10.0f, 5.0f, 1.0f, 2.0f, 5.0f, -1.0f};
  Sq8Quantizer q = Sq8Quantizer::train(rows.data(), rows.size(), 3);
  CHECK(q.mins()[0] == 0.0f && q.scales()[0] == 10.0f / 255.0f);
  CHECK(q.mins()[1] == 5.0f && q.scales()[1] == 1.0f);  // constant dimension
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
  const float edge[] = {0.0f, -0.0f, 1.0f, 3.4028235e38f, -3.4028235e38f, 1e-40f,
                        std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
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
          for (std::size_t j = 0; j < dim; ++j) scale += std::fabs(double((*qv)[j]) * decoded[j]) + double(decoded[j]) * decoded[j];
          double tol = m == hovra::Metric::Cosine ? 1e-5 : 1e-5 * (scale + 1e-6);
          if (!CHECK(std::fabs(double(got) - double(want)) <= tol))
            std::fprintf(stderr, "    dim %zu metric %d slot %u: %.9g vs %.9g\n", dim, int(m), slot, got, want);
        }
      }
    }
  }
}

int main() {
  training_rules();
  encoding_rule();
  decoding_matches_formula();
  fused_distance_matches_decoded();
  return check::exit_code("test_quantize");
}
