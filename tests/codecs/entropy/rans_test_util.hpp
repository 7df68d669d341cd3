// Helpers shared by the rANS tests: forcing a code path, building blocks by
// hand, and generating test data.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/entropy/cpu_features.hpp"

namespace zarv::rans_test {

using Bytes = std::vector<uint8_t>;

enum class Path { Scalar, Avx2, Avx512 };
inline constexpr Path kAllPaths[] = {Path::Scalar, Path::Avx2, Path::Avx512};

inline const char* path_name(Path p) {
  switch (p) {
    case Path::Scalar: return "scalar";
    case Path::Avx2: return "avx2";
    case Path::Avx512: return "avx512";
  }
  return "?";
}

inline uint32_t path_mask(Path p) {
  switch (p) {
    case Path::Scalar: return 0;
    case Path::Avx2: return kCpuAvx2;
    case Path::Avx512: return kCpuAvx2 | kCpuAvx512;
  }
  return 0;
}

inline bool path_available(Path p) {
  const uint32_t need = path_mask(p);
  return (detected_cpu_features() & need) == need;
}

// Forces one code path for its lifetime; restores the processor's own set.
class ForcePath {
 public:
  explicit ForcePath(Path p) { set_cpu_feature_mask_for_testing(path_mask(p)); }
  ~ForcePath() { set_cpu_feature_mask_for_testing(~0u); }
  ForcePath(const ForcePath&) = delete;
  ForcePath& operator=(const ForcePath&) = delete;
};

// The message a path reports when renormalisation words run out.
inline std::string truncated_msg(Path p) {
  return p == Path::Scalar ? "malformed rANS stream: truncated stream"
                           : "malformed rANS stream: truncated renorm stream";
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

inline Bytes states(const std::vector<uint32_t>& lanes) {
  Bytes b;
  for (uint32_t s : lanes) put_le32(b, s);
  return b;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Uniform bytes over an alphabet of `alphabet` values starting at `base`.
inline Bytes flat_data(size_t n, unsigned alphabet, uint64_t seed, uint8_t base = 0) {
  std::mt19937_64 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>(base + rng() % alphabet);
  return b;
}

// Strongly skewed bytes: one value most of the time, a geometric tail.
inline Bytes skewed_data(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::geometric_distribution<int> geo(0.85);
  Bytes b(n);
  for (auto& c : b) c = static_cast<uint8_t>('F' + std::min(geo(rng), 40));
  return b;
}

// Quality-like bytes with local correlation, so that order 1 has something
// to model.
inline Bytes correlated_data(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes b(n);
  int q = 30;
  for (auto& c : b) {
    const int step = static_cast<int>(rng() % 7) - 3;
    q = std::clamp(q + (rng() % 4 == 0 ? step : 0), 2, 41);
    c = static_cast<uint8_t>(33 + q);
  }
  return b;
}

}  // namespace zarv::rans_test
