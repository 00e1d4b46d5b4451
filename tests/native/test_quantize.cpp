// SQ8 quantizer: training rules, the one-component encoding rule, and the
// vectorised decoding against the plain formula, on random and edge values.
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "check.h"
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

int main() {
  training_rules();
  encoding_rule();
  decoding_matches_formula();
  return check::exit_code("test_quantize");
}
