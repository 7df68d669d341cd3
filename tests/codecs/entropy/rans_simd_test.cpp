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

// Decoded bytes or the failure, with the one permitted wording difference
// folded away.
std::string outcome(const Bytes& block, uint64_t max_len) {
  auto r = rans_decode(block, max_len);
  if (r.ok()) return std::string(r->begin(), r->end());
  std::string m = r.error().message();
  return m == "malformed rANS stream: truncated renorm stream" ? "malformed rANS stream: truncated stream" : m;
}

// Every path encodes `input` to the scalar block and decodes `block` like
// scalar does.
void expect_paths_agree(const Bytes& input, const Bytes& block, uint64_t max_len, const std::string& what) {
  Bytes encoded;
  std::string decoded;
  for_each_path([&](int p) {
    const Bytes mine = rans_encode(input, 0);
    const std::string got = outcome(block, max_len);
    if (p == 0) encoded = mine, decoded = got;
    ASSERT_EQ(mine, encoded) << kPathNames[p] << " encode: " << what;
    ASSERT_EQ(got, decoded) << kPathNames[p] << " decode: " << what;
  });
}

TEST(RansSimd, MaskSelectsThePaths) {
  const uint32_t detected = detected_cpu_features();
  {
    ForcePath force(0);
    EXPECT_EQ(cpu_features(), 0u);
    EXPECT_EQ(rans_detail::select_o0_path().decode, &rans_detail::decode_o0_batches_scalar);
  }
  EXPECT_EQ(cpu_features(), detected);
  if (detected & kCpuAvx512) {
    EXPECT_EQ(rans_detail::select_o0_path().decode, &rans_detail::decode_o0_batches_avx512);
  }
  if (!path_available(kPaths[2])) GTEST_SKIP() << "no AVX-512 here: the vector comparisons are partial";
}

TEST(RansSimd, ValidBlocksOfEveryShape) {
  for (size_t n = 0; n <= 160; ++n) {
    for (const Bytes& in : {flat_data(n, 256, n), skewed_data(n, n)}) {
      expect_paths_agree(in, rans_encode(in, 0), n, "n=" + std::to_string(n));
    }
  }
  for (size_t n : {1000u, 4096u + 33, 100000u, 1000003u}) {
    // Frequencies at both ends: above 2048 (the corrected reciprocal) beside 1.
    Bytes mixed = skewed_data(n, n + 1);
    for (size_t i = 0; i < n; i += 997) mixed[i] = static_cast<uint8_t>(i % 251);
    for (const Bytes& in : {flat_data(n, 256, n), flat_data(n, 5, n), correlated_data(n, n), mixed}) {
      expect_paths_agree(in, rans_encode(in, 0), n, "n=" + std::to_string(n));
    }
  }
}

// Stored starting states below 2^16 make the reference step take several
// words for one symbol; the vector paths must follow it exactly.
TEST(RansSimd, StartingStatesBelow2To16) {
  std::mt19937_64 rng(5);
  const Bytes freq = table({{'a', 1}, {'b', 100}, {'c', 3995}});
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<uint32_t> lanes(32);
    for (auto& s : lanes) {
      const uint32_t pick = rng() % 4;
      s = pick == 0 ? 0 : pick == 1 ? static_cast<uint32_t>(rng() % 65536) : static_cast<uint32_t>(rng());
    }
    Bytes words(2 * (rng() % 300));
    for (auto& w : words) w = static_cast<uint8_t>(rng() % 3 == 0 ? 0 : rng());
    const uint64_t n = 1 + rng() % 400;
    expect_paths_agree({}, concat({header(0, n), freq, states(lanes), words}), n, "trial " + std::to_string(trial));
  }
}

TEST(RansSimd, DamagedBlocks) {
  std::mt19937_64 rng(9);
  for (int trial = 0; trial < 300; ++trial) {
    const size_t n = 1 + rng() % 3000;
    Bytes block = rans_encode(trial % 2 ? skewed_data(n, trial) : flat_data(n, 1 + rng() % 256, trial), 0);
    switch (trial % 4) {
      case 0:  // flipped bytes among the states and words
        for (int k = 0; k < 3; ++k) block[521 + rng() % (block.size() - 521)] ^= static_cast<uint8_t>(1 + rng() % 255);
        break;
      case 1:  // words cut short
        block.resize(649 + rng() % (block.size() - 648));
        break;
      case 2:  // a different length claimed
        block[1] = static_cast<uint8_t>(rng());
        break;
      default:  // garbage after the words
        for (int k = 0; k < 70; ++k) block.push_back(static_cast<uint8_t>(rng()));
        break;
    }
    expect_paths_agree({}, block, 1u << 16, "trial " + std::to_string(trial));
  }
}

}  // namespace
}  // namespace zarv
