// Helpers shared by the rANS tests: forcing a code path, building blocks by
// hand, and generating test data.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/entropy/cpu_features.hpp"

namespace zarv::rans_test {

using Bytes = std::vector<uint8_t>;

// Feature masks forcing scalar, AVX2 and AVX-512, in that order.
inline constexpr uint32_t kPaths[] = {0, kCpuAvx2, kCpuAvx2 | kCpuAvx512};
inline const char* const kPathNames[] = {"scalar", "avx2", "avx512"};

inline bool path_available(uint32_t mask) { return (detected_cpu_features() & mask) == mask; }
// Forces one code path for its lifetime; restores the processor's own set.
struct ForcePath {
  explicit ForcePath(uint32_t mask) { set_cpu_feature_mask_for_testing(mask); }
  ~ForcePath() { set_cpu_feature_mask_for_testing(~0u); }
};

// Runs fn(path index) with each path the processor has forced in turn.
template <class F>
void for_each_path(F fn) {
  for (int p = 0; p < 3; ++p) {
    if (!path_available(kPaths[p])) continue;
    ForcePath force(kPaths[p]);
    fn(p);
  }
}

inline Bytes header(uint8_t tag, uint64_t n) {
  Bytes b{tag};
  put_le64(b, n);
  return b;
}

// A stored frequency table with the given nonzero entries.
inline Bytes table(const std::map<int, uint16_t>& freqs) {
  Bytes b(512, 0);
  for (auto [s, f] : freqs) {
    b[2 * s] = static_cast<uint8_t>(f);
    b[2 * s + 1] = static_cast<uint8_t>(f >> 8);
  }
  return b;
}

inline Bytes states(const std::vector<uint32_t>& lanes = std::vector<uint32_t>(32, 65536)) {
  Bytes b;
  for (uint32_t s : lanes) put_le32(b, s);
  return b;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Uniform bytes over `alphabet` values from `base`.
inline Bytes flat_data(size_t n, unsigned alphabet, uint64_t seed, uint8_t base = 0) {
  std::mt19937_64 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(base + rng() % alphabet);
  return b;
}

// One value most of the time (frequencies above 2048) and a geometric tail.
inline Bytes skewed_data(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::geometric_distribution<int> geo(0.85);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>('F' + std::min(geo(rng), 40));
  return b;
}

// Quality-like bytes with local correlation, about 40 values.
inline Bytes correlated_data(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes b(n);
  int q = 30;
  for (auto& c : b) {
    if (rng() % 4 == 0) q = std::clamp(q + static_cast<int>(rng() % 7) - 3, 2, 41);
    c = static_cast<uint8_t>(33 + q);
  }
  return b;
}

}  // namespace zarv::rans_test
