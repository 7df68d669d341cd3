// Sequence codec benchmark: method-0 decode speed in MB/s of bases (one byte
// per base), one thread, plus the coded size in bits per base. Times are the
// thread's CPU time (best of the runs), so that a busy machine does not
// count; the decode includes the table set-up and the output allocation.
//
// Reads are Illumina-like, 150 bp, drawn from a synthetic genome:
//   - genome: an order-3 Markov chain with fixed random transition weights
//     (GC about 41%, as in mammalian DNA), with 5% of it made of copies of
//     earlier stretches (interspersed repeats, 300-6000 bp, 10% diverged) and
//     short tandem repeats, so that long contexts recur as in real genomes;
//   - reads: uniform start positions, either strand, substitution errors
//     rising from 0.1% at the first cycle to 1% at the last, N at 0.05% of
//     positions and at the first cycle of 0.5% of reads.
// Two sets: a 4 Mbp genome at 4x (a bacterial-like row group, contexts recur
// often) and a 64 Mbp genome at 0.25x (human-like: almost no read overlaps).
// A third, "smallest k=11 group", holds just enough human-like reads for
// order 11 (4^11 bases): there the per-call model tables (tens of MiB) weigh
// most, so its figures show how much of a small row group they cost.
//
// When htscodecs is installed (ZARV_BENCH_HTSCODECS), each set is also coded
// with its adaptive order-1 arithmetic coder (arith_compress_to, order 1) and
// its decode (arith_uncompress_to) timed the same way, as a yardstick. Each
// line also gives the best decode's time for the whole set (one call).
//
//   bench_sequence [--reads N] [--seconds S] [--config K,H,B]
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <ctime>
#include <string>
#include <vector>

#include "codecs/sequence/sequence.hpp"

#ifdef ZARV_BENCH_HTSCODECS
#include <htscodecs/arith_dynamic.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

// CPU time of this thread: the machine the benchmark runs on is often shared,
// and time spent descheduled says nothing about the decoder.
double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

std::vector<uint8_t> synthetic_genome(size_t size, uint64_t seed) {
  std::mt19937_64 rng(seed);
  // Order-3 transition weights, biased to about 41% GC.
  std::array<std::array<double, 4>, 64> cdf{};
  const double bias[4] = {0.295, 0.205, 0.205, 0.295};
  std::uniform_real_distribution<double> u(0.4, 1.6);
  for (auto& row : cdf) {
    double acc = 0, sum = 0;
    std::array<double, 4> w{};
    for (int s = 0; s < 4; ++s) sum += (w[s] = bias[s] * u(rng));
    for (int s = 0; s < 4; ++s) row[s] = (acc += w[s] / sum);
  }
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::vector<uint8_t> g;
  g.reserve(size);
  unsigned ctx = 0;
  while (g.size() < size) {
    const double r = unit(rng);
    if (g.size() > 10000 && r < 0.00002) {
      // An interspersed repeat: a diverged copy of an earlier stretch.
      const size_t len = 300 + rng() % 5700;
      const size_t from = rng() % (g.size() - len);
      for (size_t i = 0; i < len && g.size() < size; ++i) {
        g.push_back(rng() % 10 == 0 ? "ACGT"[rng() % 4] : g[from + i]);
      }
      continue;
    }
    if (r > 0.99998) {
      // A short tandem repeat.
      const size_t unit_len = 1 + rng() % 6, copies = 5 + rng() % 30, start = g.size();
      for (size_t i = 0; i < unit_len; ++i) g.push_back("ACGT"[rng() % 4]);
      for (size_t i = 0; i < unit_len * copies && g.size() < size; ++i) g.push_back(g[start + i]);
      continue;
    }
    const double x = unit(rng);
    int s = 0;
    while (s < 3 && x > cdf[ctx][s]) ++s;
    g.push_back("ACGT"[s]);
    ctx = ((ctx << 2) | s) & 63;
  }
  g.resize(size);
  return g;
}

struct ReadSet {
  std::vector<uint32_t> lengths;
  std::vector<uint8_t> bases;
};

ReadSet sample_reads(const std::vector<uint8_t>& genome, size_t reads, uint64_t seed) {
  constexpr size_t kLen = 150;
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  ReadSet set;
  set.lengths.assign(reads, kLen);
  set.bases.resize(reads * kLen);
  std::vector<uint8_t> read(kLen), rc(kLen);
  for (size_t r = 0; r < reads; ++r) {
    const size_t start = rng() % (genome.size() - kLen);
    std::copy_n(genome.begin() + start, kLen, read.begin());
    if (rng() & 1) {
      zarv::revcomp_into(read, rc);
      read.swap(rc);
    }
    for (size_t i = 0; i < kLen; ++i) {
      const double error = 0.001 + 0.009 * double(i) / (kLen - 1);
      if (unit(rng) < error) read[i] = "ACGT"[rng() % 4];
      if (unit(rng) < 0.0005) read[i] = 'N';
    }
    if (unit(rng) < 0.005) read[0] = 'N';
    std::copy(read.begin(), read.end(), set.bases.begin() + r * kLen);
  }
  return set;
}

void run(const char* label, const ReadSet& set, zarv::NucleotideParams wish, double seconds) {
  const zarv::NucleotideParams p = zarv::fit_nucleotide_params(wish, set.bases.size());
  const double t0 = thread_seconds();
  auto coded = zarv::encode_sequence_stream(set.lengths, set.bases, p);
  const double enc_s = thread_seconds() - t0;
  if (!coded.ok()) {
    std::fprintf(stderr, "%s: %s\n", label, coded.error().message().c_str());
    std::exit(1);
  }
  double best = 1e30;
  size_t runs = 0;
  const auto start = Clock::now();
  do {
    const double a = thread_seconds();
    auto r = zarv::decode_sequence_stream(*coded, nullptr);
    const double s = thread_seconds() - a;
    if (!r.ok() || r->bases != set.bases) {
      std::fprintf(stderr, "%s: round trip failed\n", label);
      std::exit(1);
    }
    best = std::min(best, s);
    ++runs;
  } while (std::chrono::duration<double>(Clock::now() - start).count() < seconds || runs < 2);
  const double mb = double(set.bases.size()) / 1e6;
  std::printf(
      "%-22s k=%2d h=%2d b=%2d  %6.3f bits/base  encode %6.1f MB/s  decode %6.1f MB/s, %7.2f ms a call (best of "
      "%zu)\n",
      label, p.k, p.h, p.b, 8.0 * double(coded->size()) / double(set.bases.size()), mb / enc_s, mb / best,
      1e3 * best, runs);
}

#ifdef ZARV_BENCH_HTSCODECS
void run_htscodecs(const char* label, const ReadSet& set, double seconds) {
  std::vector<uint8_t> in = set.bases;
  unsigned int bound = arith_compress_bound(static_cast<unsigned>(in.size()), 1);
  std::vector<uint8_t> coded(bound);
  unsigned int coded_size = bound;
  if (!arith_compress_to(in.data(), static_cast<unsigned>(in.size()), coded.data(), &coded_size, 1)) {
    std::fprintf(stderr, "%s: htscodecs arith_compress_to failed\n", label);
    std::exit(1);
  }
  std::vector<uint8_t> out(in.size());
  double best = 1e30;
  size_t runs = 0;
  const auto start = Clock::now();
  do {
    unsigned int out_size = static_cast<unsigned>(out.size());
    const double a = thread_seconds();
    const unsigned char* r = arith_uncompress_to(coded.data(), coded_size, out.data(), &out_size);
    const double t = thread_seconds() - a;
    if (!r || out_size != in.size() || out != in) {
      std::fprintf(stderr, "%s: htscodecs round trip failed\n", label);
      std::exit(1);
    }
    best = std::min(best, t);
    ++runs;
  } while (std::chrono::duration<double>(Clock::now() - start).count() < seconds || runs < 2);
  std::printf(
      "%-22s htscodecs arith o1   %6.3f bits/base                    decode %6.1f MB/s, %7.2f ms a call (best of "
      "%zu)\n",
      label, 8.0 * double(coded_size) / double(in.size()), double(in.size()) / 1e6 / best, 1e3 * best, runs);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  size_t reads = 100000;
  double seconds = 1.0;
  std::vector<zarv::NucleotideParams> configs = {{11, 20, 22}, {11, 0, 0}, {8, 16, 20}, {8, 0, 0}, {4, 0, 0}};
  bool custom = false;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--reads")) reads = std::strtoull(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::strtod(argv[i + 1], nullptr);
    if (!std::strcmp(argv[i], "--config")) {
      unsigned k = 0, h = 0, b = 0;
      if (std::sscanf(argv[i + 1], "%u,%u,%u", &k, &h, &b) != 3) return 2;
      if (!custom) configs.clear();
      custom = true;
      configs.push_back({uint8_t(k), uint8_t(h), uint8_t(b)});
    }
  }
  std::printf("%zu reads of 150 bp (%.1f MB of bases) per set, single thread\n", reads, reads * 150 / 1e6);
#ifndef ZARV_BENCH_HTSCODECS
  std::printf("(htscodecs not found at build time: no yardstick)\n");
#endif
  struct Set {
    const char* name;
    size_t genome;
    size_t reads;
  };
  constexpr size_t kSmallest = ((size_t{1} << 22) + 149) / 150;  // 4^11 bases
  const Set sets[] = {{"bacterial-like, 4x", reads * 150 / 4, reads},
                      {"human-like, 0.25x", reads * 150 * 4, reads},
                      {"smallest k=11 group", kSmallest * 150 * 4, kSmallest}};
  for (const Set& s : sets) {
    const ReadSet set = sample_reads(synthetic_genome(s.genome, 42), s.reads, 7);
#ifdef ZARV_BENCH_HTSCODECS
    run_htscodecs(s.name, set, seconds);
#endif
    for (const auto& c : configs) run(s.name, set, c, seconds);
  }
  return 0;
}
