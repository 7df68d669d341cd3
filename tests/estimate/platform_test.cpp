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

TEST(PlatformNames, EachShape) {
  const Platform I = Platform::Illumina, M = Platform::MgiBgi, P = Platform::PacBio, N = Platform::Nanopore,
                 U = Platform::Unknown;
  for (auto [name, want] : std::initializer_list<std::pair<std::string_view, Platform>>{
           // Illumina: at least five ":" fields before any "#", the last two all digits.
           {"A00123:8:H5KJVDSXX:1:1101:10004:10019 1:N:0:ACGT", I}, {"HWI-ST1234:8:1101:1234:5678#0/1", I},
           {"a:b:c:1:2", I}, {"b:c:1:2", U}, {"a:b:c:1:2x", U}, {"a:b:c:1:", U},
           {"#a:b:c:1:2", U},  // empty head
           // MGI: 1 to 3 capitals, digits, "L" and a digit, then a "C" and an "R" in either order.
           {"V300012345L1C001R0010000001/1", M}, {"E100012345L1C001R0010000001", M}, {"AB12L1R1C1", M},
           {"ABCD12L1C1R1", U}, {"AB12L1C1", U}, {"AB12LXC1R1", U}, {"ABL1C1R1", U},
           {"/1", U},  // empty effective name
           // PacBio: "m..." with a digit, "/", digits, "/", and no "/" ending the name part.
           {"m64011_190830_220126/1/ccs", P}, {"m64011_190830_220126/1", U}, {"m64011/12/", U},
           {"m64011/12/ccs/", U}, {"m64011/12/ccs/ x", U}, {"m64011/12/ccs x/", P},
           {"mabc/12/x", U}, {"x64/12/x", U}, {"m64//x", U}, {"m64/1a/x", U},
           // Nanopore: a 36-byte hex identifier, or a key in the description.
           {"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d", N}, {"0A1B2C3D-4E5F-6A7B-8C9D-0E1F2A3B4C5D extra", N},
           {"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5g", U}, {"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5", U},
           {"0a1b2c3d04e5f-6a7b-8c9d-0e1f2a3b4c5", U},  // dash misplaced
           {"read1 runid=abc", N}, {"read1 start_time=2020", N},
           {"read1 batch=7", N},  // contains "ch="
           {"runid=abc", U},      // in the name, not the description
           {"a:b:c:1:2 ch=5", N},  // rule order: the nanopore key is matched first
       }) {
    EXPECT_EQ(classify({name}), want) << name;
  }
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

TEST(PlatformDetect, HintAndFirstSixteenNames) {
  // A hint wins without looking at the batch.
  const SampleBatch b = make_batch({"0a1b2c3d-4e5f-6a7b-8c9d-0e1f2a3b4c5d"}, 10, 'I');
  EXPECT_EQ(detect_platform(1, b), Platform::Illumina);
  EXPECT_EQ(detect_platform(0, b), Platform::Unknown);
  EXPECT_EQ(detect_platform(kNoPlatformHint, b), Platform::Nanopore);
  // Only the first sixteen names vote; unmatched short reads stay Unknown.
  std::vector<std::string> names = unmatched_names(16);
  for (int i = 0; i < 5; ++i) names.push_back("m64011_190830/" + std::to_string(i) + "/ccs");
  EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(names, 150, 'I')), Platform::Unknown);
  names[15] = "a:b:c:1:2";
  EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(names, 150, 'I')), Platform::Illumina);
}

TEST(PlatformDetect, FallbackOnMeanLengthAndPhred) {
  // Phred = character - 33: 'D' 35, '5' 20, '?' 30, 'A' 32, '=' 28. A mean
  // length of exactly 500 is not long, whatever the qualities.
  for (auto [length, qual, want] : std::initializer_list<std::tuple<uint32_t, char, Platform>>{
           {800, 'D', Platform::PacBio},
           {800, '5', Platform::Nanopore},
           {800, '?', Platform::Unknown},
           {800, 'A', Platform::PacBio},    // 32 inclusive
           {800, '=', Platform::Nanopore},  // 28 inclusive
           {500, 'D', Platform::Unknown},
           {500, '5', Platform::Unknown}}) {
    EXPECT_EQ(detect_platform(kNoPlatformHint, make_batch(unmatched_names(4), length, qual)), want)
        << length << " " << qual;
  }
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

TEST(PlatformDetect, CodesAndMemberNames) {
  const char* names[] = {"Unknown", "Illumina", "Nanopore", "PacBio", "MgiBgi"};
  for (uint8_t code = 0; code < 5; ++code) EXPECT_STREQ(platform_member_name(platform_from_code(code)), names[code]);
}

}  // namespace
}  // namespace zarv
