// Quality binning: the per-mode tables at their bin edges, the out-of-range
// characters, and mode names.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "codecs/quality/binning.hpp"

namespace zarv {
namespace {

constexpr uint8_t phred(int score) { return static_cast<uint8_t>(score + 33); }

struct ModeTable {
  QualityBinning mode;
  std::vector<std::pair<int, int>> edges;  // score -> binned score
  uint8_t below_bang;                      // what characters 0..32 become
  size_t distinct;                         // distinct outputs over all 256 characters
};

TEST(QualityBinning, TablesAtTheirEdges) {
  const ModeTable tables[] = {
      {QualityBinning::Bin8,
       {{0, 0}, {1, 1}, {2, 6}, {9, 6}, {10, 15}, {19, 15}, {20, 22}, {24, 22}, {25, 27}, {29, 27}, {30, 33},
        {34, 33}, {35, 37}, {39, 37}, {40, 40}, {93, 40}},
       33, 9},
      {QualityBinning::Bin4, {{0, 2}, {2, 2}, {3, 12}, {17, 12}, {18, 24}, {29, 24}, {30, 40}, {93, 40}}, 35, 4},
      {QualityBinning::Bin2, {{0, 15}, {24, 15}, {25, 37}, {93, 37}}, 48, 2},
      {QualityBinning::Ont, {{0, 3}, {6, 3}, {7, 10}, {13, 10}, {14, 18}, {25, 18}, {26, 35}, {93, 35}}, 36, 4},
      {QualityBinning::Hifi,
       {{0, 3}, {6, 3}, {7, 10}, {13, 10}, {14, 18}, {25, 18}, {26, 35}, {92, 35}, {93, 93}}, 36, 5},
  };
  for (const ModeTable& t : tables) {
    SCOPED_TRACE(quality_binning_name(t.mode));
    for (auto [score, binned] : t.edges) EXPECT_EQ(bin_quality(t.mode, phred(score)), phred(binned)) << score;
    std::set<uint8_t> outputs;
    for (int c = 0; c < 256; ++c) {
      const uint8_t out = bin_quality(t.mode, static_cast<uint8_t>(c));
      outputs.insert(out);
      if (c <= 32) {
        EXPECT_EQ(out, t.below_bang) << c;
      }
    }
    EXPECT_EQ(outputs.size(), t.distinct);
    EXPECT_LE(*outputs.rbegin(), 126);
  }
  // Ont and Hifi differ only from score 93 ('~') on.
  for (int c = 0; c < 256; ++c) {
    const uint8_t ont = bin_quality(QualityBinning::Ont, static_cast<uint8_t>(c));
    const uint8_t hifi = bin_quality(QualityBinning::Hifi, static_cast<uint8_t>(c));
    if (c < 126) {
      EXPECT_EQ(ont, hifi) << c;
    } else {
      EXPECT_TRUE(ont == 68 && hifi == 126) << c;
    }
    EXPECT_EQ(bin_quality(QualityBinning::Lossless, static_cast<uint8_t>(c)), c);
  }
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
