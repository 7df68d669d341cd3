// Size models: known-answer entropies, the short/long decision, the 15-mer
// duplication pass, quality binning, the debug line, and independence from the
// number of workers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "estimate/size_models.hpp"

namespace zarv {
namespace {

// Reads (or quality strings) as per-read lengths plus the concatenated bytes.
struct Reads {
  std::vector<uint32_t> lengths;
  std::vector<uint8_t> bytes;
  Reads(std::initializer_list<std::string_view> rs = {}) {
    for (auto r : rs) add(r);
  }
  Reads(std::string_view read, size_t copies) {
    for (size_t i = 0; i < copies; ++i) add(read);
  }
  void add(std::string_view r) {
    lengths.push_back(static_cast<uint32_t>(r.size()));
    bytes.insert(bytes.end(), r.begin(), r.end());
  }
};

double entropy(const Reads& r, unsigned k, unsigned workers = 1) {
  ThreadPool pool(workers);
  return nucleotide_entropy_bits(r.lengths, r.bytes, k, pool);
}
double seq_bits(const Reads& r, unsigned k, Platform p, unsigned workers = 1) {
  ThreadPool pool(workers);
  return sequence_bits(r.lengths, r.bytes, k, p, pool);
}
double dup(const Reads& r, unsigned workers = 1) {
  ThreadPool pool(workers);
  return kmer_duplication(r.lengths, r.bytes, pool);
}
double qual_bits(const Reads& q, QualityBinning b = QualityBinning::Lossless, unsigned workers = 1) {
  ThreadPool pool(workers);
  return quality_bits(q.lengths, q.bytes, b, pool);
}

std::string random_bases(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, 'A');
  for (char& c : s) c = "ACGT"[rng() % 4];
  return s;
}

TEST(EntropyModel, KnownAnswers) {
  // k=1, "ACGT": A and C both follow context A -> 2 symbols once each: 2 bits; G, T alone in their contexts.
  EXPECT_DOUBLE_EQ(entropy({"ACGT"}, 1), 2.0);
  EXPECT_DOUBLE_EQ(entropy({"acgt"}, 1), 2.0);  // lower case counts as upper case
  // "N" costs 8 bits and leaves the context as it was: G still follows C.
  EXPECT_DOUBLE_EQ(entropy({"ACNGT"}, 1), 10.0);
  EXPECT_DOUBLE_EQ(entropy({"AAAAAAAA", "AAAA"}, 8), 0.0);  // all context 0, symbol 0
  // Context resets per record: k=2, "AC","AC": context 0 holds A:2 C:2 -> 4 bits.
  // (Without the reset, "ACAC" puts the second A after C and gives 2 bits.)
  EXPECT_DOUBLE_EQ(entropy({"AC", "AC"}, 2), 4.0);
  // k=1, "AACA": context A holds A:2 C:1 -> 2*log2(3/2) + log2(3).
  EXPECT_NEAR(entropy({"AACA"}, 1), 2.7548875021634682, 1e-12);
  EXPECT_DOUBLE_EQ(entropy({}, 8), 0.0);
}

TEST(SizeModelSequence, ReadClassFromIntegerMeanOfFirst256) {
  EXPECT_DOUBLE_EQ(seq_bits({"ACGT"}, 1, Platform::Illumina), 0.86 * 2.0);  // short reads: entropy x 0.86
  EXPECT_DOUBLE_EQ(seq_bits(Reads("AAAAAAAAAA", 20), 8, Platform::Illumina), 0.0);
  EXPECT_DOUBLE_EQ(seq_bits({}, 8, Platform::Unknown), 0.0);
  // Reads of "N" only: H = 8 bits per base and no 15-mer, so long reads give 8 * B and short 0.86 * 8 * B.
  const std::string n500(500, 'N');
  EXPECT_DOUBLE_EQ(seq_bits(Reads(n500 + "N", 256), 8, Platform::Unknown, 2), 8.0 * 256 * 501);
  EXPECT_DOUBLE_EQ(seq_bits(Reads(n500, 256), 8, Platform::Unknown, 2), 0.86 * 8.0 * 256 * 500);
  // Integer mean: 255 x 500 + 1 x 755 sums to 128255, /256 = 500.99 -> 500 -> short.
  Reads floor_mean(n500, 255);
  floor_mean.add(std::string(755, 'N'));
  EXPECT_DOUBLE_EQ(seq_bits(floor_mean, 8, Platform::Unknown, 2), 0.86 * 8.0 * (255 * 500 + 755));
  // Only the first 256 records decide: a long 257th read does not make the sample long.
  Reads later_long(std::string(10, 'N'), 256);
  later_long.add(std::string(100000, 'N'));
  EXPECT_DOUBLE_EQ(seq_bits(later_long, 8, Platform::Unknown, 2), 0.86 * 8.0 * (2560 + 100000));
}

TEST(SizeModelSequence, DuplicationSampleOfFifteenMers) {
  // All-"A" 15-mers have value 0 and hash 0, which is always sampled.
  // 20 A's: 6 identical 15-mers -> dup = 1 - 1/6; lower case is the same k-mer.
  EXPECT_DOUBLE_EQ(dup({std::string(20, 'A')}), 1.0 - 1.0 / 6.0);
  EXPECT_DOUBLE_EQ(dup({std::string(20, 'a')}), 1.0 - 1.0 / 6.0);
  // An "N" at position 10 of 30 A's breaks the run: only the 19 A's after it give 5 k-mers -> 1 - 1/5.
  // (Unbroken, 30 A's would give 16.)
  std::string broken(30, 'A');
  broken[10] = 'N';
  EXPECT_DOUBLE_EQ(dup({broken}), 1.0 - 1.0 / 5.0);
  // Runs restart at every record: two reads of 14 A's have no 15-mer.
  EXPECT_DOUBLE_EQ(dup(Reads(std::string(14, 'A'), 2)), 0.0);
  // C x 15 = 0x15555555; times the multiplier = 0x95de61c3eae72bf9, top 6 bits 37: not sampled.
  EXPECT_DOUBLE_EQ(dup({std::string(30, 'C')}), 0.0);
}

TEST(SizeModelSequence, LongReadBlend) {
  const std::string read = random_bases(4000, 7);
  ASSERT_EQ(dup({read}, 2), 0.0);  // no repeated sampled 15-mer within the read
  const Reads copies(read, 20);
  const double d = dup(copies, 2);
  EXPECT_DOUBLE_EQ(d, 1.0 - 1.0 / 20.0);
  const double b = static_cast<double>(copies.bytes.size());
  const double h = entropy(copies, 8, 2) / b;
  for (auto [platform, r] : {std::pair{Platform::Nanopore, 0.28}, std::pair{Platform::PacBio, 0.07},
                             std::pair{Platform::Illumina, 0.2}, std::pair{Platform::Unknown, 0.2}}) {
    EXPECT_DOUBLE_EQ(duplicated_bits_per_base(platform), r);
    const double expected = (r * d + (1.0 - d) * h) * b;
    EXPECT_NEAR(seq_bits(copies, 8, platform, 2), expected, 1e-6 * expected);
  }
}

TEST(SizeModelSequence, DebugLineOnlyForLongReadsWhenSet) {
  const Reads long_reads(std::string(501, 'N'), 256);
  unsetenv("ZARV_ESTIMATE_DEBUG");
  testing::internal::CaptureStderr();
  seq_bits(long_reads, 8, Platform::Unknown);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  setenv("ZARV_ESTIMATE_DEBUG", "", 1);
  testing::internal::CaptureStderr();
  seq_bits(long_reads, 8, Platform::MgiBgi);
  seq_bits(Reads(std::string(500, 'N'), 256), 8, Platform::MgiBgi);  // short: no line
  const std::string out = testing::internal::GetCapturedStderr();
  unsetenv("ZARV_ESTIMATE_DEBUG");
  // B = 256 * 501 = 128256; all "N": H = 8, no k-mers so dup = 0, blended = H.
  EXPECT_EQ(out,
            "[est dbg] long-read seq: platform=MgiBgi bases=128256 dup=0.0000 H_k=8.0000 R=0.20 -> "
            "blended=8.0000 b/base\n");
}

TEST(SizeModelQuality, KnownAnswers) {
  // "II##": rows 0:{I}, I:{I,#} (2 bits), #:{#}.
  EXPECT_DOUBLE_EQ(qual_bits({"II##"}), 2.0);
  // Previous byte resets per record: "II","I#" -> rows 0:{I:2}, I:{I:1,#:1} = 2 bits.
  // (Unreset, "III#" would give row I {I:2,#:1} = 2.7549 bits.)
  EXPECT_DOUBLE_EQ(qual_bits({"II", "I#"}), 2.0);
  EXPECT_DOUBLE_EQ(qual_bits({}), 0.0);
  // Lengths claim 8 bytes but only "II##" exists: same as the one record "II##".
  Reads cut{"II##"};
  cut.lengths = {4, 4};
  EXPECT_DOUBLE_EQ(qual_bits(cut, QualityBinning::Lossless, 2), 2.0);
}

TEST(SizeModelQuality, CountsBinnedBytes) {
  std::mt19937 rng(3);
  Reads q;
  for (int r = 0; r < 50; ++r) {
    std::string s(100, '!');
    for (char& c : s) c = static_cast<char>(33 + rng() % 42);
    q.add(s);
  }
  // Same as the lossless model over bytes binned beforehand (two symbols).
  Reads binned = q;
  bin_qualities(QualityBinning::Bin2, binned.bytes);
  ASSERT_TRUE(std::all_of(binned.bytes.begin(), binned.bytes.end(), [](uint8_t c) { return c == 48 || c == 70; }));
  const double bin2 = qual_bits(q, QualityBinning::Bin2, 2);
  EXPECT_DOUBLE_EQ(qual_bits(binned, QualityBinning::Lossless, 2), bin2);
  EXPECT_LT(bin2, qual_bits(q, QualityBinning::Lossless, 2));
}

TEST(SizeModelWorkers, ResultsIndependentOfWorkerCount) {
  Reads seq, qual;
  std::mt19937 rng(11);
  for (int r = 0; r < 300; ++r) {
    std::string s = random_bases(600 + rng() % 400, 100 + r);
    if (r % 7 == 0) s[rng() % s.size()] = 'N';
    if (r % 5 == 0) s += s.substr(0, 200);  // some duplicated content
    seq.add(s);
    std::string q(s.size(), '!');
    for (char& c : q) c = static_cast<char>(33 + rng() % 40);
    qual.add(q);
  }
  ThreadPool one(1), two(2), five(5);
  for (unsigned k : {1u, 6u, 8u}) {
    auto run = [&](ThreadPool& pool) {
      const StreamBits s = stream_bits(seq.lengths, seq.bytes, qual.bytes, k, Platform::Nanopore, QualityBinning::Bin8, pool);
      return std::pair{s.sequence, s.quality};
    };
    const auto a = run(one);
    EXPECT_EQ(a, run(two));
    EXPECT_EQ(a, run(five));
    // The combined run equals the two models called on their own.
    EXPECT_EQ(a.first, seq_bits(seq, k, Platform::Nanopore, 5));
    EXPECT_EQ(a.second, qual_bits(qual, QualityBinning::Bin8, 2));
  }
  EXPECT_EQ(dup(seq, 1), dup(seq, 5));
}

}  // namespace
}  // namespace zarv
