// The order-0 vector paths against the scalar one: identical blocks from the
// encoders, identical output or failure from the decoders, valid input or not.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "codecs/entropy/cpu_features.hpp"
#include "codecs/entropy/rans.hpp"
#include "codecs/entropy/rans_model.hpp"
#include "tests/codecs/entropy/rans_test_util.hpp"

namespace zarv {
namespace {

using namespace rans_test;

// Decoded bytes, or the failure with the one permitted wording difference
// folded away.
std::string outcome(const Bytes& block, uint64_t max_len) {
  auto r = rans_decode(block, max_len);
  if (r.ok()) return std::string(r->begin(), r->end());
  std::string m = r.error().message();
  if (m == "malformed rANS stream: truncated renorm stream") m = "malformed rANS stream: truncated stream";
  return "error: " + m;
}

void expect_paths_agree_on_decode(const Bytes& block, uint64_t max_len, const std::string& what) {
  std::string reference;
  {
    ForcePath force(Path::Scalar);
    reference = outcome(block, max_len);
  }
  for (Path p : {Path::Avx2, Path::Avx512}) {
    if (!path_available(p)) continue;
    ForcePath force(p);
    ASSERT_EQ(outcome(block, max_len), reference) << path_name(p) << ": " << what;
  }
}

void expect_paths_agree_on_encode(const Bytes& input, const std::string& what) {
  Bytes reference;
  {
    ForcePath force(Path::Scalar);
    reference = rans_encode(input, 0);
  }
  for (Path p : {Path::Avx2, Path::Avx512}) {
    if (!path_available(p)) continue;
    ForcePath force(p);
    ASSERT_EQ(rans_encode(input, 0), reference) << path_name(p) << ": " << what;
    ASSERT_EQ(*rans_decode(reference, input.size()), input) << path_name(p) << ": " << what;
  }
}

TEST(RansCpuFeatures, MaskForcesAndRestoresPaths) {
  const uint32_t detected = detected_cpu_features();
  set_cpu_feature_mask_for_testing(0);
  EXPECT_EQ(cpu_features(), 0u);
  EXPECT_EQ(rans_detail::select_o0_path().decode, &rans_detail::decode_o0_batches_scalar);
  set_cpu_feature_mask_for_testing(kCpuAvx2);
  EXPECT_EQ(cpu_features(), detected & kCpuAvx2);
  set_cpu_feature_mask_for_testing(~0u);
  EXPECT_EQ(cpu_features(), detected);
  if (detected & kCpuAvx512) {
    EXPECT_EQ(rans_detail::select_o0_path().decode, &rans_detail::decode_o0_batches_avx512);
  }
  // This suite is meant to exercise all three paths; say so when it cannot.
  if (!path_available(Path::Avx512)) GTEST_SKIP() << "no AVX-512 here: vector comparisons are partial";
}

TEST(RansSimd, EncodersEmitTheScalarBlock) {
  for (size_t n = 0; n <= 160; ++n) {
    expect_paths_agree_on_encode(flat_data(n, 256, n), "flat n=" + std::to_string(n));
    expect_paths_agree_on_encode(skewed_data(n, n), "skewed n=" + std::to_string(n));
  }
  for (size_t n : {1000u, 4096u + 33, 100000u, 1000003u}) {
    expect_paths_agree_on_encode(flat_data(n, 256, n), "flat");
    expect_paths_agree_on_encode(flat_data(n, 5, n), "flat5");
    expect_paths_agree_on_encode(skewed_data(n, n), "skewed");
    expect_paths_agree_on_encode(correlated_data(n, n), "correlated");
    // Frequencies at both ends: a dominant symbol above 2048 (the corrected
    // reciprocal) next to symbols of frequency 1.
    Bytes mixed = skewed_data(n, n + 1);
    for (size_t i = 0; i < n; i += 997) mixed[i] = static_cast<uint8_t>(i % 251);
    expect_paths_agree_on_encode(mixed, "mixed");
  }
}

TEST(RansSimd, DecodersAgreeOnValidBlocks) {
  for (size_t n : {32u, 33u, 63u, 64u, 65u, 96u, 1000u, 4127u, 250000u}) {
    for (const Bytes& input : {flat_data(n, 256, n), skewed_data(n, n), correlated_data(n, n)}) {
      const Bytes block = rans_encode(input, 0);
      expect_paths_agree_on_decode(block, n, "n=" + std::to_string(n));
      for (Path p : kAllPaths) {
        if (!path_available(p)) continue;
        ForcePath force(p);
        ASSERT_EQ(*rans_decode(block, n), input) << path_name(p);
      }
    }
  }
}

// Stored starting states below 2^16 make the reference step take several
// words for one symbol; the vector paths must follow it exactly.
TEST(RansSimd, DecodersAgreeOnStartingStatesBelow2To16) {
  std::mt19937_64 rng(5);
  const Bytes freq = table({{'a', 1}, {'b', 100}, {'c', 3995}});
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<uint32_t> lanes(32);
    for (auto& s : lanes) {
      switch (rng() % 4) {
        case 0: s = 0; break;
        case 1: s = static_cast<uint32_t>(rng() % 65536); break;
        case 2: s = 65535; break;
        default: s = static_cast<uint32_t>(rng()); break;
      }
    }
    Bytes words(2 * (rng() % 300));
    for (auto& w : words) w = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng());
    const uint64_t n = 1 + rng() % 400;
    expect_paths_agree_on_decode(concat({header(0, n), freq, states(lanes), words}), n,
                                 "trial " + std::to_string(trial));
  }
}

TEST(RansSimd, DecodersAgreeOnDamagedBlocks) {
  std::mt19937_64 rng(9);
  for (int trial = 0; trial < 300; ++trial) {
    const size_t n = 1 + rng() % 3000;
    Bytes block = rans_encode(trial % 2 ? skewed_data(n, trial) : flat_data(n, 1 + rng() % 256, trial), 0);
    switch (trial % 4) {
      case 0:  // flip bytes among the states and words
        for (int k = 0; k < 3; ++k) block[521 + rng() % (block.size() - 521)] ^= static_cast<uint8_t>(1 + rng() % 255);
        break;
      case 1:  // cut the words short
        block.resize(649 + rng() % (block.size() - 648));
        break;
      case 2:  // claim a different length
        block[1] = static_cast<uint8_t>(rng());
        break;
      default:  // garbage after the words
        for (int k = 0; k < 70; ++k) block.push_back(static_cast<uint8_t>(rng()));
        break;
    }
    expect_paths_agree_on_decode(block, 1u << 16, "trial " + std::to_string(trial));
  }
}

}  // namespace
}  // namespace zarv
