// Quality binning: the per-mode tables at their bin edges, the out-of-range
// characters, and mode names.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "codecs/quality/binning.hpp"

namespace zarv {
namespace {

constexpr uint8_t phred(int score) { return static_cast<uint8_t>(score + 33); }

struct Edge {
  int score;
  int binned_score;
};

void expect_bins(QualityBinning mode, std::initializer_list<Edge> edges) {
  for (const Edge& e : edges) {
    EXPECT_EQ(bin_quality(mode, phred(e.score)), phred(e.binned_score))
        << quality_binning_name(mode) << " score " << e.score;
  }
}

TEST(QualityBinning, Bin8KeepsScoresZeroAndOneAndBinsTheRest) {
  expect_bins(QualityBinning::Bin8, {{0, 0}, {1, 1}, {2, 6}, {9, 6}, {10, 15}, {19, 15}, {20, 22}, {24, 22},
                                     {25, 27}, {29, 27}, {30, 33}, {34, 33}, {35, 37}, {39, 37}, {40, 40},
                                     {93, 40}});
  EXPECT_EQ(bin_quality(QualityBinning::Bin8, 35), 39);  // '#' becomes '\''
}

TEST(QualityBinning, CoarseModesAtTheirEdges) {
  expect_bins(QualityBinning::Bin4, {{0, 2}, {2, 2}, {3, 12}, {17, 12}, {18, 24}, {29, 24}, {30, 40}, {93, 40}});
  expect_bins(QualityBinning::Bin2, {{0, 15}, {24, 15}, {25, 37}, {93, 37}});
  expect_bins(QualityBinning::Ont, {{0, 3}, {6, 3}, {7, 10}, {13, 10}, {14, 18}, {25, 18}, {26, 35}, {93, 35}});
  expect_bins(QualityBinning::Hifi, {{0, 3}, {6, 3}, {7, 10}, {13, 10}, {14, 18}, {25, 18}, {26, 35}, {92, 35},
                                     {93, 93}});
}

TEST(QualityBinning, OntAndHifiDifferOnlyFromScore93) {
  for (int c = 0; c < 256; ++c) {
    const uint8_t ont = bin_quality(QualityBinning::Ont, static_cast<uint8_t>(c));
    const uint8_t hifi = bin_quality(QualityBinning::Hifi, static_cast<uint8_t>(c));
    if (c < 126) {
      EXPECT_EQ(ont, hifi) << c;
    } else {
      EXPECT_EQ(ont, 68) << c;
      EXPECT_EQ(hifi, 126) << c;
    }
  }
}

TEST(QualityBinning, CharactersBelowBang) {
  for (uint8_t c : {uint8_t{0}, uint8_t{10}, uint8_t{32}}) {
    EXPECT_EQ(bin_quality(QualityBinning::Lossless, c), c);
    EXPECT_EQ(bin_quality(QualityBinning::Bin8, c), 33);
    EXPECT_EQ(bin_quality(QualityBinning::Bin4, c), 35);
    EXPECT_EQ(bin_quality(QualityBinning::Bin2, c), 48);
    EXPECT_EQ(bin_quality(QualityBinning::Ont, c), 36);
    EXPECT_EQ(bin_quality(QualityBinning::Hifi, c), 36);
  }
}

TEST(QualityBinning, DistinctOutputsAndLargestCharacter) {
  const std::pair<QualityBinning, size_t> expected[] = {
      {QualityBinning::Bin8, 9}, {QualityBinning::Bin4, 4}, {QualityBinning::Bin2, 2},
      {QualityBinning::Ont, 4},  {QualityBinning::Hifi, 5},
  };
  for (const auto& [mode, count] : expected) {
    std::set<uint8_t> outputs;
    for (int c = 0; c < 256; ++c) outputs.insert(bin_quality(mode, static_cast<uint8_t>(c)));
    EXPECT_EQ(outputs.size(), count) << quality_binning_name(mode);
    EXPECT_LE(*outputs.rbegin(), 126) << quality_binning_name(mode);
  }
  for (int c = 0; c < 256; ++c) EXPECT_EQ(bin_quality(QualityBinning::Lossless, static_cast<uint8_t>(c)), c);
}

TEST(QualityBinning, BinsInPlace) {
  std::vector<uint8_t> q = {'#', 'I', ':', '\n'};
  bin_qualities(QualityBinning::Bin2, q);
  EXPECT_EQ(q, (std::vector<uint8_t>{'0', 'F', 'F', '0'}));
}

TEST(QualityBinning, NamesAndTags) {
  const std::pair<const char*, QualityBinning> accepted[] = {
      {"lossless", QualityBinning::Lossless}, {"none", QualityBinning::Lossless}, {"NONE", QualityBinning::Lossless},
      {"bin8", QualityBinning::Bin8},         {"Bin4", QualityBinning::Bin4},     {"BIN2", QualityBinning::Bin2},
      {"oNt", QualityBinning::Ont},           {"HiFi", QualityBinning::Hifi},     {"LossLess", QualityBinning::Lossless},
  };
  for (const auto& [text, mode] : accepted) EXPECT_EQ(parse_quality_binning(text), mode) << text;
  for (const char* text : {"", "bin 8", " bin8", "bin8 ", "bin16", "losslesss", "lossy", "b\xC4\xB0n8"}) {
    EXPECT_FALSE(parse_quality_binning(text).has_value()) << text;
  }
  EXPECT_EQ(unknown_quality_binning_message("\"Bin 8\""),
            "unknown quality_binning \"Bin 8\"; expected lossless, bin8, bin4, bin2, ont, or hifi");

  for (uint8_t tag = 0; tag <= 5; ++tag) {
    const auto mode = quality_binning_from_tag(tag);
    ASSERT_TRUE(mode.has_value());
    EXPECT_EQ(static_cast<uint8_t>(*mode), tag);
    EXPECT_EQ(parse_quality_binning(quality_binning_name(*mode)), mode);
  }
  EXPECT_FALSE(quality_binning_from_tag(6).has_value());
  EXPECT_EQ(kDefaultQualityBinning, QualityBinning::Lossless);
}

}  // namespace
}  // namespace zarv
