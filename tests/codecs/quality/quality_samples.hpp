// Synthetic quality columns with the structure of real runs, for the quality
// tests and the quality benchmark.
//
// Short reads (Illumina-like, Phred+33, scores 2..41): per read a profile
// (85% good, 12% middling, 3% poor) whose mean falls from start to end score,
// steeper toward the end and a little lower over the first cycles, plus an
// AR(1) deviation (correlation 0.7, step sd 2). One position in fifty dips to
// 2..15, an 'N' base scores 2, and one read in ten ends in a run of 2 ('#')
// over part of its last 40%. The 4-level variant maps to 2/12/23/37.
//
// Long reads (nanopore-like, scores 1..50): log-normal lengths, a per-read
// mean of 9..21, a noisier AR(1) walk, and lower scores in homopolymer runs.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace zarv::quality_samples {

struct Column {
  std::vector<uint32_t> lengths;
  std::vector<uint8_t> qualities;
  std::vector<uint8_t> bases;
};

inline uint8_t four_level(int score) {
  const int s = score < 10 ? 2 : score < 20 ? 12 : score < 30 ? 23 : 37;
  return static_cast<uint8_t>(33 + s);
}

inline Column short_reads(size_t reads, uint32_t length, uint64_t seed, bool four_levels = false) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> step(0.0, 2.0);
  Column c;
  c.lengths.assign(reads, length);
  c.qualities.reserve(reads * length);
  c.bases.reserve(reads * length);
  for (size_t r = 0; r < reads; ++r) {
    const double kind = unit(rng);
    const double start = kind < 0.85 ? 38 : kind < 0.97 ? 34 : 25;
    const double end = kind < 0.85 ? 32 : kind < 0.97 ? 22 : 10;
    const uint32_t tail = unit(rng) < 0.1 ? length - static_cast<uint32_t>(unit(rng) * 0.4 * length) : length;
    double dev = 0;
    for (uint32_t i = 0; i < length; ++i) {
      const double x = static_cast<double>(i) / length;
      const double mean = start + (end - start) * std::pow(x, 1.5) - (i < 5 ? 2.0 : 0.0);
      dev = 0.7 * dev + step(rng);
      int score = static_cast<int>(std::lround(mean + dev));
      if (unit(rng) < 0.02) score = 2 + static_cast<int>(unit(rng) * 14);
      uint8_t base = "ACGT"[rng() & 3];
      if (unit(rng) < 0.002) base = 'N';
      if (base == 'N' || i >= tail) score = 2;
      score = std::clamp(score, 2, 41);
      c.qualities.push_back(four_levels ? four_level(score) : static_cast<uint8_t>(33 + score));
      c.bases.push_back(base);
    }
  }
  return c;
}

inline Column long_reads(size_t reads, uint32_t mean_length, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::normal_distribution<double> gauss(0.0, 1.0);
  Column c;
  for (size_t r = 0; r < reads; ++r) {
    const double len = std::exp(std::log(static_cast<double>(mean_length)) + 0.5 * gauss(rng));
    const uint32_t length = std::max<uint32_t>(200, static_cast<uint32_t>(len));
    c.lengths.push_back(length);
    const double mean = 9 + 12 * unit(rng);
    double dev = 0;
    uint8_t base = 'A';
    uint32_t run = 0;
    for (uint32_t i = 0; i < length; ++i) {
      // Homopolymer runs: keep the base with probability 0.3.
      if (i == 0 || unit(rng) >= 0.3) {
        base = "ACGT"[rng() & 3];
        run = 1;
      } else {
        ++run;
      }
      dev = 0.8 * dev + 4.0 * gauss(rng);
      const int score = std::clamp(static_cast<int>(std::lround(mean + dev - 2.5 * (run - 1))), 1, 50);
      c.qualities.push_back(static_cast<uint8_t>(33 + score));
      c.bases.push_back(base);
    }
  }
  return c;
}

}  // namespace zarv::quality_samples
