// Platform detection: each name shape, the vote and its ties, and the
// length/quality fallback.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "estimate/platform.hpp"

namespace zarv {
namespace {

Platform classify(std::initializer_list<std::string_view> names) {
  const std::vector<std::string_view> v(names);
  return classify_names(v);
}

// A batch of records with the given names, all of length `length` and quality
// character `qual`.
SampleBatch make_batch(const std::vector<std::string>& names, uint32_t length, char qual) {
  SampleBatch b;
  for (const std::string& n : names) {
    b.names.insert(b.names.end(), n.begin(), n.end());
    b.name_ends.push_back(static_cast<uint32_t>(b.names.size()));
    b.read_lengths.push_back(length);
    b.bases.insert(b.bases.end(), length, 'A');
    b.qualities.insert(b.qualities.end(), length, static_cast<uint8_t>(qual));
  }
  return b;
}

std::vector<std::string> unmatched_names(size_t n) {
  std::vector<std::string> v;
  for (size_t i = 0; i < n; ++i) v.push_back("SRR123." + std::to_string(i + 1) + " 1 length=150");
  return v;
}

TEST(PlatformNames, IlluminaShapes) {
  EXPECT_EQ(classify({"A00123:8:H5KJVDSXX:1:1101:10004:10019 1:N:0:ACGT"}), Platform::Illumina);
  // "/1" dropped, head before "#" has five fields.
  EXPECT_EQ(classify({"HWI-ST1234:8:1101:1234:5678#0/1"}), Platform::Illumina);
  EXPECT_EQ(classify({"a:b:c:1:2"}), Platform::Illumina);
  // Four fields; a non-digit or empty last field.
  EXPECT_EQ(classify({"b:c:1:2"}), Platform::Unknown);
  EXPECT_EQ(classify({"a:b:c:1:2x"}), Platform::Unknown);
  EXPECT_EQ(classify({"a:b:c:1:"}), Platform::Unknown);
  EXPECT_EQ(classify({"#a:b:c:1:2"}), Platform::Unknown);  // empty head
}

TEST(PlatformNames, MgiShapes) {
  EXPECT_EQ(classify({"V300012345L1C001R0010000001/1"}), Platform::MgiBgi);
  EXPECT_EQ(classify({"E100012345L1C001R0010000001"}), Platform::MgiBgi);
  EXPECT_EQ(classify({"ABCD12L1C1R1"}), Platform::Unknown);  // four leading capitals
  EXPECT_EQ(classify({"AB12L1R1C1"}), Platform::MgiBgi);     // C and R in either order
  EXPECT_EQ(classify({"AB12L1C1"}), Platform::Unknown);      // no R
  EXPECT_EQ(classify({"AB12LXC1R1"}), Platform::Unknown);    // L not followed by a digit
  EXPECT_EQ(classify({"ABL1C1R1"}), Platform::Unknown);      // no digit run
  EXPECT_EQ(classify({"/1"}), Platform::Unknown);            // empty effective name
}

TEST(PlatformNames, PacBioShapes) {
  EXPECT_EQ(classify({"m64011_190830_220126/1/ccs"}), Platform::PacBio);
  EXPECT_EQ(classify({"m64011_190830_220126/1"}), Platform::Unknown);  // one "/"
  EXPECT_EQ(classify({"m64011/12/"}), Platform::Unknown);       // ends in "/"
  EXPECT_EQ(classify({"m64011/12/ccs/"}), Platform::Unknown);   // ends in "/"
  EXPECT_EQ(classify({"m64011/12/ccs/ x"}), Platform::Unknown); // the name part ends in "/"
  EXPECT_EQ(classify({"m64011/12/ccs x/"}), Platform::PacBio);  // only the description does
  EXPECT_EQ(classify({"mabc/12/x"}), Platform::Unknown);  // no digit in first field
  EXPECT_EQ(classify({"x64/12/x"}), Platform::Unknown);   // does not begin with m
  EXPECT_EQ(classify({"m64//x"}), Platform::Unknown);     // empty second field
  EXPECT_EQ(classify({"m64/1a/x"}), Platform::Unknown);
}

TEST(PlatformNames, NanoporeShapes) {
  EXPECT_EQ(classify({"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d"}), Platform::Nanopore);
  EXPECT_EQ(classify({"0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D extra"}), Platform::Nanopore);
  EXPECT_EQ(classify({"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5g"}), Platform::Unknown);  // g is not hex
  EXPECT_EQ(classify({"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5"}), Platform::Unknown);   // 35 bytes
  EXPECT_EQ(classify({"0a1b2c3d04e5f-6a7b-8c9d-0e1f2a3b4c5"}), Platform::Unknown);   // dash misplaced
  EXPECT_EQ(classify({"read1 runid=abc"}), Platform::Nanopore);
  EXPECT_EQ(classify({"read1 start_time=2020"}), Platform::Nanopore);
  EXPECT_EQ(classify({"read1 batch=7"}), Platform::Nanopore);  // contains "ch="
  EXPECT_EQ(classify({"runid=abc"}), Platform::Unknown);       // in the name, not the description
}

TEST(PlatformNames, RuleOrderFirstMatchVotes) {
  // An Illumina-shaped name with a nanopore description key votes Nanopore.
  EXPECT_EQ(classify({"a:b:c:1:2 ch=5"}), Platform::Nanopore);
}

TEST(PlatformNames, VoteDecisionAndTies) {
  const std::string_view ill = "a:b:c:1:2", mgi = "V300012345L1C001R0010000001", pb = "m1/2/ccs",
                         ont = "r runid=x", none = "SRR1.1";
  EXPECT_EQ(classify({ill, ill, mgi, mgi}), Platform::Illumina);
  EXPECT_EQ(classify({ill, mgi, mgi}), Platform::MgiBgi);
  EXPECT_EQ(classify({pb, ill}), Platform::Illumina);
  EXPECT_EQ(classify({pb, pb, ill, mgi}), Platform::PacBio);
  EXPECT_EQ(classify({ont, ill}), Platform::Illumina);
  EXPECT_EQ(classify({ont, ont, ill, pb, pb}), Platform::Nanopore);  // P ties N: falls to N > I
  EXPECT_EQ(classify({ont, ont, pb}), Platform::Nanopore);
  EXPECT_EQ(classify({mgi, ont}), Platform::Nanopore);
  // One matching name decides when all others are unmatched.
  EXPECT_EQ(classify({none, none, none, pb}), Platform::PacBio);
  EXPECT_EQ(classify({none}), Platform::Unknown);
  EXPECT_EQ(classify({}), Platform::Unknown);
}

TEST(PlatformDetect, HintWinsWithoutLookingAtTheBatch) {
  const SampleBatch b = make_batch({"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d"}, 10, 'I');
  EXPECT_EQ(detect_platform(1, b), Platform::Illumina);
  EXPECT_EQ(detect_platform(0, b), Platform::Unknown);
  EXPECT_EQ(detect_platform(kNoPlatformHint, b), Platform::Nanopore);
}

TEST(PlatformDetect, OnlyFirstSixteenNamesVote) {
  std::vector<std::string> names = unmatched_names(16);
  for (int i = 0; i < 5; ++i) names.push_back("m64011_190830/" + std::to_string(i) + "/ccs");
  EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(names, 150, 'I')), Platform::Unknown);
  names[15] = "a:b:c:1:2";
  EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(names, 150, 'I')), Platform::Illumina);
}

TEST(PlatformDetect, UnmatchedShortReadsAreUnknown) {
  EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(unmatched_names(16), 150, '5')), Platform::Unknown);
}

TEST(PlatformDetect, FallbackOnMeanLengthAndPhred) {
  const auto names = unmatched_names(4);
  // Phred = character - 33: 'D' 35, '5' 20, '?' 30, 'A' 32, '=' 28.
  EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(names, 800, 'D')), Platform::PacBio);
  EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(names, 800, '5')), Platform::Nanopore);
  EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(names, 800, '?')), Platform::Unknown);
  EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(names, 800, 'A')), Platform::PacBio);    // 32 inclusive
  EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(names, 800, '=')), Platform::Nanopore);  // 28 inclusive
  // A mean length of exactly 500 is not long, whatever the qualities.
  EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(names, 500, 'D')), Platform::Unknown);
  EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(names, 500, '5')), Platform::Unknown);
}

TEST(PlatformDetect, FallbackCountsLowBytesAsZeroAndStopsAtQualityEnd) {
  SampleBatch b = make_batch({"x"}, 600, 'I');
  // 300 bytes of Phred 40 ('I') and 300 of byte 10 (counts as 0): mean 20 -> Nanopore.
  std::fill(b.qualities.begin() + 300, b.qualities.end(), uint8_t{10});
  EXPECT_EQ(detect_platform(kNoPlatformHint, b), Platform::Nanopore);
  // Only the qualities present are averaged: 300 x Phred 40 -> PacBio.
  b.qualities.resize(300);
  EXPECT_EQ(detect_platform(kNoPlatformHint, b), Platform::PacBio);
  b.qualities.clear();
  EXPECT_EQ(detect_platform(kNoPlatformHint, b), Platform::Unknown);
}

TEST(PlatformDetect, MemberNames) {
  EXPECT_STREQ(platform_member_name(Platform::Unknown), "Unknown");
  EXPECT_STREQ(platform_member_name(Platform::Illumina), "Illumina");
  EXPECT_STREQ(platform_member_name(Platform::Nanopore), "Nanopore");
  EXPECT_STREQ(platform_member_name(Platform::PacBio), "PacBio");
  EXPECT_STREQ(platform_member_name(Platform::MgiBgi), "MgiBgi");
}

}  // namespace
}  // namespace zarv
