// Size models: known-answer entropies, the short/long decision, the 15-mer
// duplication pass, quality binning, the debug line, and independence from the
// number of workers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "estimate/size_models.hpp"

namespace zarv {
namespace {

struct Reads {
  std::vector<uint32_t> lengths;
  std::vector<uint8_t> bytes;
  void add(std::string_view r) {
    lengths.push_back(static_cast<uint32_t>(r.size()));
    bytes.insert(bytes.end(), r.begin(), r.end());
  }
};

Reads reads(std::initializer_list<std::string_view> rs) {
  Reads out;
  for (auto r : rs) out.add(r);
  return out;
}

Reads repeated(std::string_view read, size_t copies) {
  Reads out;
  for (size_t i = 0; i < copies; ++i) out.add(read);
  return out;
}

std::string random_bases(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, 'A');
  for (char& c : s) c = "ACGT"[rng() % 4];
  return s;
}

TEST(EntropyModel, KnownAnswers) {
  ThreadPool pool(1);
  // k=1, "ACGT": A and C both follow context A -> 2 symbols once each: 2 bits; G, T alone in their contexts.
  const Reads acgt = reads({"ACGT"});
  EXPECT_DOUBLE_EQ(nucleotide_entropy_bits(acgt.lengths, acgt.bytes, 1, pool), 2.0);
  // Lower case counts as upper case.
  const Reads lower = reads({"acgt"});
  EXPECT_DOUBLE_EQ(nucleotide_entropy_bits(lower.lengths, lower.bytes, 1, pool), 2.0);
  // "N" costs 8 bits and leaves the context as it was: G still follows C.
  const Reads with_n = reads({"ACNGT"});
  EXPECT_DOUBLE_EQ(nucleotide_entropy_bits(with_n.lengths, with_n.bytes, 1, pool), 10.0);
  // Only "A": everything is context 0, symbol 0.
  const Reads all_a = reads({"AAAAAAAA", "AAAA"});
  EXPECT_DOUBLE_EQ(nucleotide_entropy_bits(all_a.lengths, all_a.bytes, 8, pool), 0.0);
  // Context resets per record: k=2, "AC","AC": context 0 holds A:2 C:2 -> 4 bits.
  // (Without the reset, "ACAC" puts the second A after C and gives 2 bits.)
  const Reads two = reads({"AC", "AC"});
  EXPECT_DOUBLE_EQ(nucleotide_entropy_bits(two.lengths, two.bytes, 2, pool), 4.0);
  // k=1, "AACA": context A holds A:2 C:1 -> 2*log2(3/2) + log2(3) = 2.7548875021634682.
  const Reads aaca = reads({"AACA"});
  EXPECT_NEAR(nucleotide_entropy_bits(aaca.lengths, aaca.bytes, 1, pool), 2.7548875021634682, 1e-12);
  const Reads empty;
  EXPECT_DOUBLE_EQ(nucleotide_entropy_bits(empty.lengths, empty.bytes, 8, pool), 0.0);
}

TEST(SizeModelSequence, ShortReadsScaledByFactor) {
  ThreadPool pool(1);
  const Reads acgt = reads({"ACGT"});
  EXPECT_DOUBLE_EQ(sequence_bits(acgt.lengths, acgt.bytes, 1, Platform::Illumina, pool), 0.86 * 2.0);
  const Reads all_a = repeated("AAAAAAAAAA", 20);
  EXPECT_DOUBLE_EQ(sequence_bits(all_a.lengths, all_a.bytes, 8, Platform::Illumina, pool), 0.0);
  const Reads empty;
  EXPECT_DOUBLE_EQ(sequence_bits(empty.lengths, empty.bytes, 8, Platform::Unknown, pool), 0.0);
}

TEST(SizeModelSequence, ReadClassFromIntegerMeanOfFirst256) {
  ThreadPool pool(2);
  // Reads of "N" only: H = 8 bits per base and no 15-mer, so long reads give 8 * B and short 0.86 * 8 * B.
  const Reads long_reads = repeated(std::string(501, 'N'), 256);
  EXPECT_DOUBLE_EQ(sequence_bits(long_reads.lengths, long_reads.bytes, 8, Platform::Unknown, pool), 8.0 * 256 * 501);
  const Reads at_threshold = repeated(std::string(500, 'N'), 256);
  EXPECT_DOUBLE_EQ(sequence_bits(at_threshold.lengths, at_threshold.bytes, 8, Platform::Unknown, pool),
                   0.86 * 8.0 * 256 * 500);
  // Integer mean: 255 x 500 + 1 x 755 sums to 128255, /256 = 500.99 -> 500 -> short.
  Reads floor_mean = repeated(std::string(500, 'N'), 255);
  floor_mean.add(std::string(755, 'N'));
  EXPECT_DOUBLE_EQ(sequence_bits(floor_mean.lengths, floor_mean.bytes, 8, Platform::Unknown, pool),
                   0.86 * 8.0 * (255 * 500 + 755));
  // Only the first 256 records decide: a long 257th read does not make the sample long.
  Reads later_long = repeated(std::string(10, 'N'), 256);
  later_long.add(std::string(100000, 'N'));
  EXPECT_DOUBLE_EQ(sequence_bits(later_long.lengths, later_long.bytes, 8, Platform::Unknown, pool),
                   0.86 * 8.0 * (2560 + 100000));
}

TEST(SizeModelSequence, DuplicationSampleOfFifteenMers) {
  ThreadPool pool(1);
  // All-"A" 15-mers have value 0 and hash 0, which is always sampled.
  // 20 A's: 6 identical 15-mers -> dup = 1 - 1/6.
  const Reads a20 = reads({std::string(20, 'A')});
  EXPECT_DOUBLE_EQ(kmer_duplication(a20.lengths, a20.bytes, pool), 1.0 - 1.0 / 6.0);
  // An "N" at position 10 of 30 A's breaks the run: only the 19 A's after it give 5 k-mers -> 1 - 1/5.
  // (Unbroken, 30 A's would give 16.)
  std::string broken(30, 'A');
  broken[10] = 'N';
  const Reads b = reads({broken});
  EXPECT_DOUBLE_EQ(kmer_duplication(b.lengths, b.bytes, pool), 1.0 - 1.0 / 5.0);
  // Runs restart at every record: two reads of 14 A's have no 15-mer.
  const Reads a14 = reads({std::string(14, 'A'), std::string(14, 'A')});
  EXPECT_DOUBLE_EQ(kmer_duplication(a14.lengths, a14.bytes, pool), 0.0);
  // Lower case is the same k-mer.
  const Reads lower = reads({std::string(20, 'a')});
  EXPECT_DOUBLE_EQ(kmer_duplication(lower.lengths, lower.bytes, pool), 1.0 - 1.0 / 6.0);
  // C x 15 = 0x15555555; times the multiplier = 0x95de61c3eae72bf9, top 6 bits 37: not sampled.
  const Reads c30 = reads({std::string(30, 'C')});
  EXPECT_DOUBLE_EQ(kmer_duplication(c30.lengths, c30.bytes, pool), 0.0);
}

TEST(SizeModelSequence, LongReadBlend) {
  ThreadPool pool(2);
  const std::string read = random_bases(4000, 7);
  const Reads one = reads({read});
  ASSERT_EQ(kmer_duplication(one.lengths, one.bytes, pool), 0.0);  // no repeated sampled 15-mer within the read
  const Reads copies = repeated(read, 20);
  const double dup = kmer_duplication(copies.lengths, copies.bytes, pool);
  EXPECT_DOUBLE_EQ(dup, 1.0 - 1.0 / 20.0);
  const double b = static_cast<double>(copies.bytes.size());
  const double h = nucleotide_entropy_bits(copies.lengths, copies.bytes, 8, pool) / b;
  for (auto [platform, r] : {std::pair{Platform::Nanopore, 0.28}, std::pair{Platform::PacBio, 0.07},
                             std::pair{Platform::Illumina, 0.2}, std::pair{Platform::Unknown, 0.2}}) {
    EXPECT_DOUBLE_EQ(duplicated_bits_per_base(platform), r);
    const double expected = (r * dup + (1.0 - dup) * h) * b;
    EXPECT_NEAR(sequence_bits(copies.lengths, copies.bytes, 8, platform, pool), expected, 1e-6 * expected);
  }
  // Identical copies: blended bits per base is close to R.
  const double per_base = sequence_bits(copies.lengths, copies.bytes, 8, Platform::Nanopore, pool) / b;
  EXPECT_NEAR(per_base, 0.28, 0.1);
}

TEST(SizeModelSequence, DebugLineOnlyForLongReadsWhenSet) {
  ThreadPool pool(1);
  const Reads long_reads = repeated(std::string(501, 'N'), 256);
  const Reads short_reads = repeated(std::string(500, 'N'), 256);
  unsetenv("ZARV_ESTIMATE_DEBUG");
  testing::internal::CaptureStderr();
  sequence_bits(long_reads.lengths, long_reads.bytes, 8, Platform::Unknown, pool);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  setenv("ZARV_ESTIMATE_DEBUG", "", 1);
  testing::internal::CaptureStderr();
  sequence_bits(long_reads.lengths, long_reads.bytes, 8, Platform::MgiBgi, pool);
  sequence_bits(short_reads.lengths, short_reads.bytes, 8, Platform::MgiBgi, pool);
  const std::string out = testing::internal::GetCapturedStderr();
  unsetenv("ZARV_ESTIMATE_DEBUG");
  // B = 256 * 501 = 128256; all "N": H = 8, no k-mers so dup = 0, blended = H.
  EXPECT_EQ(out,
            "[est dbg] long-read seq: platform=MgiBgi bases=128256 dup=0.0000 H_k=8.0000 R=0.20 -> "
            "blended=8.0000 b/base\n");
}

TEST(SizeModelQuality, KnownAnswers) {
  ThreadPool pool(1);
  // "II##": rows 0:{I}, I:{I,#} (2 bits), #:{#}.
  const Reads q1 = reads({"II##"});
  EXPECT_DOUBLE_EQ(quality_bits(q1.lengths, q1.bytes, QualityBinning::Lossless, pool), 2.0);
  // Previous byte resets per record: "II","I#" -> rows 0:{I:2}, I:{I:1,#:1} = 2 bits.
  // (Unreset, "III#" would give row I {I:2,#:1} = 2.7549 bits.)
  const Reads q2 = reads({"II", "I#"});
  EXPECT_DOUBLE_EQ(quality_bits(q2.lengths, q2.bytes, QualityBinning::Lossless, pool), 2.0);
  const Reads empty;
  EXPECT_DOUBLE_EQ(quality_bits(empty.lengths, empty.bytes, QualityBinning::Lossless, pool), 0.0);
}

TEST(SizeModelQuality, CountsBinnedBytes) {
  ThreadPool pool(2);
  std::mt19937 rng(3);
  Reads q;
  for (int r = 0; r < 50; ++r) {
    std::string s(100, '!');
    for (char& c : s) c = static_cast<char>(33 + rng() % 42);
    q.add(s);
  }
  const double lossless = quality_bits(q.lengths, q.bytes, QualityBinning::Lossless, pool);
  const double bin2 = quality_bits(q.lengths, q.bytes, QualityBinning::Bin2, pool);
  EXPECT_LE(bin2, static_cast<double>(q.bytes.size()));  // two symbols: at most one bit per byte
  EXPECT_GT(bin2, 0.0);
  EXPECT_LT(bin2, lossless);
  // Same as the lossless model over bytes binned beforehand.
  std::vector<uint8_t> binned = q.bytes;
  bin_qualities(QualityBinning::Bin2, binned);
  for (uint8_t c : binned) ASSERT_TRUE(c == 48 || c == 70);
  EXPECT_DOUBLE_EQ(quality_bits(q.lengths, binned, QualityBinning::Lossless, pool), bin2);
}

TEST(SizeModelQuality, ShortQualitiesAreCutAtTheirEnd) {
  ThreadPool pool(2);
  // Lengths claim 8 bytes but only "II##" exists: same as the one record "II##".
  const std::vector<uint32_t> lengths = {4, 4};
  const std::vector<uint8_t> quals = {'I', 'I', '#', '#'};
  EXPECT_DOUBLE_EQ(quality_bits(lengths, quals, QualityBinning::Lossless, pool), 2.0);
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
    const StreamBits a = stream_bits(seq.lengths, seq.bytes, qual.bytes, k, Platform::Nanopore, QualityBinning::Bin8, one);
    const StreamBits b = stream_bits(seq.lengths, seq.bytes, qual.bytes, k, Platform::Nanopore, QualityBinning::Bin8, two);
    const StreamBits c = stream_bits(seq.lengths, seq.bytes, qual.bytes, k, Platform::Nanopore, QualityBinning::Bin8, five);
    EXPECT_EQ(a.sequence, b.sequence);
    EXPECT_EQ(a.sequence, c.sequence);
    EXPECT_EQ(a.quality, b.quality);
    EXPECT_EQ(a.quality, c.quality);
    // The combined run equals the two models called on their own.
    EXPECT_EQ(a.sequence, sequence_bits(seq.lengths, seq.bytes, k, Platform::Nanopore, five));
    EXPECT_EQ(a.quality, quality_bits(qual.lengths, qual.bytes, QualityBinning::Bin8, two));
  }
  EXPECT_EQ(kmer_duplication(seq.lengths, seq.bytes, one), kmer_duplication(seq.lengths, seq.bytes, five));
}

}  // namespace
}  // namespace zarv
