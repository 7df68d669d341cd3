// Decode throughput of the range coder's models:
//   - adaptive frequency models over a quality-like alphabet, one model per
//     previous-symbol context (the shape of the quality frequency coder);
//   - five-symbol nucleotide-style models under an order-4 context;
//   - binary models under a short bit history, and 8-bit bit trees.
// Symbols are drawn from skewed, context-dependent distributions so the
// compressed rate resembles real data. Prints MB/s of decoded symbols (one
// symbol = one byte; for bits, MB/s of the bytes the bits assemble into).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "codecs/entropy/models.hpp"
#include "codecs/entropy/range_coder.hpp"

namespace {

using namespace zarv;
using Clock = std::chrono::steady_clock;

template <class Fn>
double best_seconds(int reps, Fn&& fn) {
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const auto t0 = Clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

void report(const char* name, size_t symbols, size_t coded, double mb_per_symbol, double secs, uint64_t check) {
  std::printf("%-38s %9zu symbols  %6.3f bytes/sym  %8.1f MB/s   (check %llu)\n", name, symbols,
              double(coded) / double(symbols), double(symbols) * mb_per_symbol / 1e6 / secs,
              static_cast<unsigned long long>(check));
}

// Quality-like: N symbols, next symbol near the previous one (geometric steps).
template <size_t N>
void bench_freq(const char* name, size_t count) {
  std::mt19937 rng(1);
  std::geometric_distribution<int> step(0.45);
  std::vector<uint8_t> syms(count);
  int prev = N - 3;
  for (auto& s : syms) {
    const int d = step(rng) * ((rng() & 1) ? 1 : -1);
    prev = std::clamp(prev + d, 0, int(N) - 1);
    s = static_cast<uint8_t>(prev);
  }
  std::vector<uint8_t> coded;
  {
    std::vector<AdaptiveFreqModel<N>> models(N);
    RangeEncoder re(coded);
    uint8_t ctx = 0;
    for (uint8_t s : syms) models[ctx].encode(re, s), ctx = s;
    re.finish();
  }
  uint64_t check = 0;
  const double secs = best_seconds(5, [&] {
    std::vector<AdaptiveFreqModel<N>> models(N);
    RangeDecoder rd(coded);
    uint32_t ctx = 0, sum = 0;
    for (size_t i = 0; i < count; ++i) ctx = models[ctx].decode(rd), sum += ctx;
    check = sum;
  });
  report(name, count, coded.size(), 1.0, secs, check);
}

void bench_nucleotide(size_t count) {
  std::mt19937 rng(2);
  std::vector<uint8_t> syms(count);
  uint32_t hist = 0;
  for (auto& s : syms) {  // mildly predictable: repeat the base from 3 back half the time
    s = (rng() & 1) ? (hist >> 4) & 3 : static_cast<uint8_t>(rng() % 4);
    if (rng() % 200 == 0) s = 4;
    if (s < 4) hist = ((hist << 2) | s) & 0xFF;
  }
  std::vector<uint8_t> coded;
  {
    std::vector<AdaptiveFreqModel<5>> models(256);
    RangeEncoder re(coded);
    uint32_t h = 0;
    for (uint8_t s : syms) {
      models[h].encode(re, s);
      if (s < 4) h = ((h << 2) | s) & 0xFF;
    }
    re.finish();
  }
  uint64_t check = 0;
  const double secs = best_seconds(5, [&] {
    std::vector<AdaptiveFreqModel<5>> models(256);
    RangeDecoder rd(coded);
    uint32_t h = 0, sum = 0;
    for (size_t i = 0; i < count; ++i) {
      const uint32_t s = models[h].decode(rd);
      sum += s;
      if (s < 4) h = ((h << 2) | s) & 0xFF;
    }
    check = sum;
  });
  report("freq5 nucleotide, order-4 context", count, coded.size(), 1.0, secs, check);
}

void bench_bits(size_t bits) {
  std::mt19937 rng(3);
  std::vector<uint8_t> v(bits);
  for (auto& b : v) b = (rng() % 100) < 15;  // 15% ones
  std::vector<uint8_t> coded;
  {
    std::array<BitModel, 256> models{};
    RangeEncoder re(coded);
    uint32_t h = 0;
    for (uint8_t b : v) models[h].encode(re, b), h = ((h << 1) | b) & 0xFF;
    re.finish();
  }
  uint64_t check = 0;
  const double secs = best_seconds(5, [&] {
    std::array<BitModel, 256> models{};
    RangeDecoder rd(coded);
    uint32_t h = 0, ones = 0;
    for (size_t i = 0; i < bits; ++i) {
      const uint32_t b = models[h].decode(rd);
      ones += b;
      h = ((h << 1) | b) & 0xFF;
    }
    check = ones;
  });
  report("BitModel, 8-bit history context", bits, coded.size(), 1.0 / 8, secs, check);
}

void bench_tree(size_t count) {
  std::mt19937 rng(4);
  std::geometric_distribution<int> g(0.08);
  std::vector<uint8_t> v(count);
  for (auto& x : v) x = static_cast<uint8_t>(std::min(g(rng), 255));
  std::vector<uint8_t> coded;
  {
    BitTree<8> tree;
    RangeEncoder re(coded);
    for (uint8_t x : v) tree.encode(re, x);
    re.finish();
  }
  uint64_t check = 0;
  const double secs = best_seconds(5, [&] {
    BitTree<8> tree;
    RangeDecoder rd(coded);
    uint32_t sum = 0;
    for (size_t i = 0; i < count; ++i) sum += tree.decode(rd);
    check = sum;
  });
  report("BitTree<8> bytes", count, coded.size(), 1.0, secs, check);
}

}  // namespace

int main() {
  constexpr size_t kSymbols = 16u << 20;
  bench_freq<8>("freq8 quality-like, prev-symbol ctx", kSymbols);
  bench_freq<40>("freq40 quality-like, prev-symbol ctx", kSymbols);
  bench_nucleotide(kSymbols);
  bench_bits(kSymbols * 4);
  bench_tree(kSymbols / 2);
  return 0;
}
