// Quality encoder and decoder together: every context mode on realistic and
// edge columns, every alphabet-size class, binning, writer-chosen alphabets
// and quantizers, and the base codes the contexts see.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <random>

#include "codecs/quality/quality.hpp"
#include "tests/codecs/quality/quality_samples.hpp"
#include "tests/codecs/quality/quality_test_util.hpp"

namespace zarv {
namespace {

using namespace quality_test;

Bytes random_bases(size_t n, std::mt19937_64& rng) {
  Bytes b(n);
  for (auto& c : b) c = "ACGTN"[rng() % 5];
  return b;
}

class QualityRoundTrip : public ::testing::TestWithParam<QualityContextMode> {
 protected:
  QualityEncodeOptions options() const { return with_mode(GetParam()); }

  // Encodes, checks the probe, decodes with the bases when the mode needs
  // them, and compares; returns the coded stream.
  static Bytes round_trip(const std::vector<uint32_t>& lengths, const Bytes& qualities, const Bytes& bases,
                          const QualityEncodeOptions& options) {
    auto enc = encode_quality_stream(lengths, qualities, std::span<const uint8_t>(bases), options);
    EXPECT_TRUE(enc.ok()) << (enc.ok() ? "" : enc.error().message());
    if (!enc.ok()) return {};
    const bool needs = options.mode != QualityContextMode::Position;
    EXPECT_EQ(quality_needs_sequence(*enc), needs);
    auto dec = decode_quality_stream(*enc, needs ? std::optional(std::span<const uint8_t>(bases)) : std::nullopt);
    EXPECT_TRUE(dec.ok()) << (dec.ok() ? "" : dec.error().message());
    if (!dec.ok()) return *enc;
    Bytes expected = qualities;
    bin_qualities(options.binning, expected);
    EXPECT_EQ(dec->lengths, lengths);
    EXPECT_TRUE(dec->qualities == expected) << "decoded qualities differ";
    return *enc;
  }
  Bytes round_trip(const quality_samples::Column& c, const QualityEncodeOptions& o) const {
    return round_trip(c.lengths, c.qualities, c.bases, o);
  }
};

TEST_P(QualityRoundTrip, RealisticColumns) {
  const auto col = quality_samples::short_reads(400, 150, 7);
  // 40 symbols, but neighbours move together (the models reach 3.6 to 3.9
  // bits): a model that does not learn stays near log2(40) = 5.3 bits.
  EXPECT_LT(round_trip(col, options()).size() * 8, col.qualities.size() * 9 / 2);
  const auto four = quality_samples::short_reads(400, 150, 8, true);
  EXPECT_LT(round_trip(four, options()).size() * 8, four.qualities.size() * 2);
  round_trip(quality_samples::long_reads(4, 3000, 11), options());
}

TEST_P(QualityRoundTrip, EdgeColumns) {
  std::mt19937_64 rng(5);
  round_trip({}, {}, {}, options());                         // zero reads
  round_trip({0, 0, 0}, {}, {}, options());                  // only empty reads
  round_trip({1}, bytes_of("?"), bytes_of("G"), options());  // one quality
  round_trip({0, 3, 0, 2}, bytes_of("ABCDE"), bytes_of("ACGTN"), options());
  // One long read of a single value, then one of alternating values.
  const Bytes flat(100000, 'F');
  round_trip({100000}, flat, random_bases(flat.size(), rng), options());
  Bytes alternating(5000);
  for (size_t i = 0; i < alternating.size(); ++i) alternating[i] = i % 2 ? '#' : 'I';
  round_trip({5000}, alternating, random_bases(5000, rng), options());
}

TEST_P(QualityRoundTrip, EveryAlphabetSizeClass) {
  std::mt19937_64 rng(17);
  for (uint32_t n : {1u, 2u, 3u, 4u, 5u, 8u, 9u, 16u, 17u, 32u, 33u, 64u, 65u, 94u}) {
    std::vector<uint32_t> lengths;
    Bytes q;
    for (int r = 0; r < 20; ++r) {
      lengths.push_back(static_cast<uint32_t>(r == 0 ? 2 + rng() % 300 : rng() % 300));
      for (uint32_t i = 0; i < lengths.back(); ++i) q.push_back(static_cast<uint8_t>(33 + rng() % n));
    }
    q[0] = 33;
    q[1] = static_cast<uint8_t>(33 + n - 1);  // both ends of the alphabet occur
    SCOPED_TRACE(n);
    const Bytes coded = round_trip(lengths, q, random_bases(q.size(), rng), options());
    ASSERT_GE(coded.size(), 4u);
    EXPECT_EQ(coded[3], n);
  }
}

TEST_P(QualityRoundTrip, WriterChosenAlphabetQuantizersAndBinning) {
  const auto col = quality_samples::short_reads(50, 100, 3);
  // Descending, so the base symbol is the highest and relative values wrap,
  // plus an entry that never occurs; in mode 4 random quantizer bytes.
  Bytes alphabet;
  for (int c = 126; c >= 33; --c) {
    if (std::find(col.qualities.begin(), col.qualities.end(), c) != col.qualities.end()) alphabet.push_back(c);
  }
  alphabet.push_back('~' + 1);
  std::mt19937_64 rng(2);
  Bytes quantizers(GetParam() == QualityContextMode::MixingQuantized ? 2 * alphabet.size() : 0);
  for (auto& b : quantizers) b = static_cast<uint8_t>(rng());
  Bytes coded = round_trip(col, with_mode(GetParam(), alphabet, quantizers));
  ASSERT_GT(coded.size(), 4 + alphabet.size() + quantizers.size());
  EXPECT_TRUE(std::equal(alphabet.begin(), alphabet.end(), coded.begin() + 4));
  EXPECT_TRUE(std::equal(quantizers.begin(), quantizers.end(), coded.begin() + 4 + alphabet.size()));

  const auto binned = quality_samples::short_reads(40, 120, 9);
  for (uint8_t tag = 0; tag <= 5; ++tag) {
    auto opts = options();
    opts.binning = static_cast<QualityBinning>(tag);
    coded = round_trip(binned, opts);
    ASSERT_GE(coded.size(), 2u);
    EXPECT_EQ(coded[1], tag);
  }
}

TEST_P(QualityRoundTrip, LowerCaseBasesCodeAsUpperCase) {
  if (GetParam() == QualityContextMode::Position) GTEST_SKIP() << "mode 0 has no base context";
  const auto col = quality_samples::short_reads(30, 100, 4);
  Bytes lower = col.bases;
  for (auto& c : lower) c = static_cast<uint8_t>(std::tolower(c));
  // 'N' codes as 0 like 'A': alternating N/C and A/C give the same contexts
  // (the run counter sees the same pattern of repeats).
  const std::vector<uint32_t> lengths = {64};
  Bytes q(64), nc(64), ac(64);
  for (size_t i = 0; i < 64; ++i) {
    q[i] = static_cast<uint8_t>(35 + (i * 7) % 30);
    nc[i] = i % 2 ? 'C' : 'N';
    ac[i] = i % 2 ? 'C' : 'A';
  }
  for (const auto& [len, qual, enc_bases, dec_bases] :
       {std::tuple(col.lengths, col.qualities, col.bases, lower), std::tuple(lengths, q, nc, ac)}) {
    auto enc = encode_quality_stream(len, qual, std::span<const uint8_t>(enc_bases), options());
    ASSERT_TRUE(enc.ok());
    auto dec = decode_quality_stream(*enc, std::span<const uint8_t>(dec_bases));
    ASSERT_TRUE(dec.ok());
    EXPECT_TRUE(dec->qualities == qual);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, QualityRoundTrip,
                         ::testing::Values(QualityContextMode::Position, QualityContextMode::Bases,
                                           QualityContextMode::Mixing, QualityContextMode::MixingQuantized),
                         [](const auto& info) { return "Mode" + std::to_string(static_cast<int>(info.param)); });

}  // namespace
}  // namespace zarv
