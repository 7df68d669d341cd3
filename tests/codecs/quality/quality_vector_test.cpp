// The vector-path frequency rows (AVX-512 for alphabets of more than eight
// symbols, AVX2 with BMI2 for 2 to 8 in mode 0) against the generic rows, on this
// processor: the same qualities from streams the encoder wrote, and the same
// outcome, error text included, from payloads no encoder wrote.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "codecs/entropy/cpu_features.hpp"
#include "codecs/quality/quality.hpp"
#include "quality_samples.hpp"
#include "quality_test_util.hpp"

namespace zarv {
namespace {

using quality_test::Bytes;

struct Outcome {
  bool ok;
  std::string text;  // qualities, or the error message
  bool operator==(const Outcome&) const = default;
};

Outcome decode_with(uint32_t mask, const Bytes& coded, std::span<const uint8_t> bases) {
  set_cpu_feature_mask_for_testing(mask);
  auto r = decode_quality_stream(coded, bases);
  set_cpu_feature_mask_for_testing(~0u);
  if (!r.ok()) return {false, r.error().message()};
  return {true, quality_test::text(r->qualities)};
}

// Quality bytes over an alphabet of n symbols, walking in small steps so
// that the contexts repeat as in real columns, with jumps and a few reads'
// worth of one score so that some rows halve many times.
quality_samples::Column column_over(uint32_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  quality_samples::Column c;
  for (int read = 0; read < 300; ++read) {
    const uint32_t len = read % 7 == 0 ? 0 : 40 + static_cast<uint32_t>(rng() % 200);
    c.lengths.push_back(len);
    int q = static_cast<int>(rng() % n);
    for (uint32_t i = 0; i < len; ++i) {
      if (read % 50 != 1) {
        const int step = static_cast<int>(rng() % 5) - 2;
        q = rng() % 40 == 0 ? static_cast<int>(rng() % n) : std::clamp(q + step, 0, static_cast<int>(n) - 1);
      }
      c.qualities.push_back(static_cast<uint8_t>(33 + q));
      c.bases.push_back("ACGTNacgt"[rng() % 9]);
    }
  }
  return c;
}

TEST(QualityVectorPath, FrequencyRowsDecodeAsTheGenericRows) {
  const uint32_t detected = detected_cpu_features();
  if (!(detected & kCpuAvx2)) GTEST_SKIP() << "no AVX2 here";
  for (uint32_t n : {2u, 3u, 4u, 5u, 8u, 9u, 16u, 17u, 32u, 33u, 41u, 64u, 65u, 94u}) {
    if (n > 8 && !(detected & kCpuAvx512)) continue;
    for (auto mode : {QualityContextMode::Position, QualityContextMode::Bases}) {
      SCOPED_TRACE(testing::Message() << "n=" << n << " mode " << static_cast<int>(mode));
      const auto c = column_over(n, n * 7 + static_cast<uint32_t>(mode));
      Bytes alphabet;
      for (uint32_t k = 0; k < n; ++k) alphabet.push_back(static_cast<uint8_t>(33 + (k * 37) % n));
      auto coded = encode_quality_stream(c.lengths, c.qualities, c.bases, quality_test::with_mode(mode, alphabet));
      ASSERT_TRUE(coded.ok()) << coded.error().message();
      const Outcome generic = decode_with(0, *coded, c.bases);
      EXPECT_EQ(generic, (Outcome{true, quality_test::text(c.qualities)}));
      EXPECT_EQ(decode_with(~0u, *coded, c.bases), generic);

      // The same header with arbitrary payloads: wrong qualities, or a
      // symbol in the empty last slot, alike on every path.
      const size_t header = coded->size() - 1;
      std::mt19937_64 rng(n);
      for (int trial = 0; trial < 6; ++trial) {
        Bytes damaged(coded->begin(), coded->begin() + static_cast<std::ptrdiff_t>(header));
        const size_t extra = trial == 0 ? 0 : 1 + rng() % 3000;
        for (size_t i = 0; i < extra; ++i) {
          damaged.push_back(trial % 2 ? static_cast<uint8_t>(rng()) : static_cast<uint8_t>(rng() % 4 ? 0xFF : rng()));
        }
        const Outcome expected = decode_with(0, damaged, c.bases);
        EXPECT_EQ(decode_with(~0u, damaged, c.bases), expected) << "trial " << trial;
      }
    }
  }
}

}  // namespace
}  // namespace zarv
