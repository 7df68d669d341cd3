// Name encoder: the tokenizer and op choice, checked on the streams it writes,
// and round trips through the decoder on realistic and awkward name sets.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "codecs/names/names.hpp"
#include "tests/codecs/names/name_stream_builder.hpp"

namespace zarv {
namespace {

using namespace names_test;

ParsedNameStream encode_and_parse(const std::vector<std::string>& names) {
  return parse_name_stream(encode_names(std::span<const std::string>(names)));
}

void expect_round_trip(const std::vector<std::string>& names) {
  const Bytes coded = encode_names(std::span<const std::string>(names));
  auto decoded = decode_names(coded);
  ASSERT_TRUE(decoded.ok()) << decoded.error().message();
  ASSERT_EQ(decoded->size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) ASSERT_EQ((*decoded)[i], names[i]) << "name " << i;
}

TEST(NameEncoderOps, TrailingCounterIsMatchThenDelta) {
  auto p = encode_and_parse({"r:1", "r:2", "r:3"});
  EXPECT_EQ(p.n, 3u);
  EXPECT_EQ(p.token_counts, varints({2, 2, 2}));
  EXPECT_EQ(p.ops[0], (Bytes{S, M, M}));
  EXPECT_EQ(p.ops[1], (Bytes{N, D, D}));
  EXPECT_EQ(p.string_lengths, varints({2}));
  EXPECT_EQ(p.string_data, text("r:"));
  EXPECT_EQ(p.numbers, varints({1}));
  EXPECT_EQ(p.pads, (Bytes{0, 0, 0}));
  EXPECT_EQ(p.plane_counts[1], 1);
  EXPECT_EQ(p.codes[1], (std::vector<uint64_t>{2, 2}));
  // Maximal runs, unused columns have none.
  EXPECT_EQ(p.runs[0], (std::vector<std::pair<uint8_t, uint64_t>>{{S, 1}, {M, 2}}));
  for (int c = 2; c < 64; ++c) {
    EXPECT_TRUE(p.runs[c].empty());
    EXPECT_EQ(p.plane_counts[c], 0);
  }
}

TEST(NameEncoderOps, PaddedNumberAfterSameValueIsDeltaZero) {
  auto p = encode_and_parse({"7", "007"});
  EXPECT_EQ(p.ops[0], (Bytes{N, D}));
  EXPECT_EQ(p.codes[0], std::vector<uint64_t>{0});
  EXPECT_EQ(p.pads, (Bytes{0, 2}));
  // "0" and "000" have digits 1: pads 0 and 2.
  p = encode_and_parse({"0", "000"});
  EXPECT_EQ(p.pads, (Bytes{0, 2}));
}

TEST(NameEncoderOps, LongDigitRunsAreStrings) {
  const std::string d18(18, '9'), d19 = "1234567890123456789";
  auto p = encode_and_parse({d18, d19, "x" + d19});
  EXPECT_EQ(p.ops[0], (Bytes{N, S, S}));
  EXPECT_EQ(p.ops[1], (Bytes{S}));
  EXPECT_EQ(p.numbers, varints({999999999999999999ull}));
  EXPECT_EQ(p.string_lengths, varints({19, 1, 19}));
  EXPECT_EQ(p.string_data, text(d19 + "x" + d19));
}

TEST(NameEncoderOps, NumberAfterStringIsNumber) {
  auto p = encode_and_parse({"ab", "12", "13", "cd", "14"});
  EXPECT_EQ(p.ops[0], (Bytes{S, N, D, S, N}));
  EXPECT_EQ(p.numbers, varints({12, 14}));
  EXPECT_EQ(p.codes[0], std::vector<uint64_t>{2});
}

TEST(NameEncoderOps, NegativeDifferencesUseZigzag) {
  auto p = encode_and_parse({"n300", "n44", "n45", "n0"});
  EXPECT_EQ(p.ops[1], (Bytes{N, D, D, D}));
  // -256 -> 511, +1 -> 2, -45 -> 89; the largest code needs two planes.
  EXPECT_EQ(p.codes[1], (std::vector<uint64_t>{511, 2, 89}));
  EXPECT_EQ(p.plane_counts[1], 2);
}

TEST(NameEncoderOps, PlaneCountFollowsLargestCode) {
  EXPECT_EQ(encode_and_parse({"5", "5", "05"}).plane_counts[0], 1);  // only code 0
  EXPECT_EQ(encode_and_parse({"0", "127"}).plane_counts[0], 1);       // 254
  EXPECT_EQ(encode_and_parse({"0", "128"}).plane_counts[0], 2);       // 256
  auto p = encode_and_parse({"0", "999999999999999999"});
  EXPECT_EQ(p.plane_counts[0], 8);
  EXPECT_EQ(p.codes[0], std::vector<uint64_t>{1999999999999999998ull});
}

TEST(NameEncoderOps, PositionsFrom63InterleaveInColumn63) {
  // 66 tokens per name: positions 63, 64, 65 feed column 63 in name order.
  std::string a;
  for (int t = 0; t < 33; ++t) {
    a += 'x';
    a += std::to_string(t);
  }
  std::string b = a;
  b.back() = '9';  // position 65 becomes 39: DELTA
  auto p = encode_and_parse({a, b});
  EXPECT_EQ(p.token_counts, varints({66, 66}));
  EXPECT_EQ(p.ops[63], (Bytes{N, S, N, M, M, D}));
  EXPECT_EQ(p.codes[63], std::vector<uint64_t>{2 * (39 - 32)});
  EXPECT_EQ(p.ops[62], (Bytes{S, M}));
}

TEST(NameEncoderOps, RepeatedNamesGiveOneMatchRunPerColumn) {
  auto p = encode_and_parse(std::vector<std::string>(100, "HWI:7:1101 1:N"));
  // Tokens: "HWI:" 7 ":" 1101 " " 1 ":N"
  EXPECT_EQ(p.runs[0], (std::vector<std::pair<uint8_t, uint64_t>>{{S, 1}, {M, 99}}));
  EXPECT_EQ(p.runs[1], (std::vector<std::pair<uint8_t, uint64_t>>{{N, 1}, {M, 99}}));
  EXPECT_EQ(p.runs[6], (std::vector<std::pair<uint8_t, uint64_t>>{{S, 1}, {M, 99}}));
  EXPECT_TRUE(p.runs[7].empty());
  EXPECT_EQ(p.pads, (Bytes{0, 0, 0}));
}

TEST(NameEncoderOps, EmptyInputDecodesToEmptyList) {
  const Bytes coded = encode_names(std::span<const std::string>());
  auto p = parse_name_stream(coded);
  EXPECT_EQ(p.n, 0u);
  EXPECT_TRUE(p.token_counts.empty());
  auto decoded = decode_names(coded);
  ASSERT_TRUE(decoded.ok());
  EXPECT_TRUE(decoded->empty());
}

// ---- round trips -------------------------------------------------------

std::vector<std::string> illumina_names(size_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::string> names;
  int tile = 1101, x = 1000;
  char buf[128];
  for (size_t i = 0; i < count; ++i) {
    if (rng() % 500 == 0) {
      tile = (tile % 100 == 78) ? tile + 23 : tile + 1;
      x = 1000;
    }
    x += static_cast<int>(rng() % 40);
    const int y = 1000 + static_cast<int>(rng() % 36000);
    std::snprintf(buf, sizeof buf, "A00123:8:H5KJLDSXX:1:%d:%d:%d %d:N:0:ACGTACGT", tile, x, y,
                  static_cast<int>(1 + rng() % 2));
    names.emplace_back(buf);
  }
  return names;
}

TEST(NameRoundTrip, IlluminaNames) {
  expect_round_trip({"A00123:8:H5KJLDSXX:1:1101:10004:1000 1:N:0:ACGTACGT"});
  const auto names = illumina_names(5000, 1);
  expect_round_trip(names);
  // Far smaller than the text: the point of the tokenizer.
  size_t raw = 0;
  for (const auto& n : names) raw += n.size();
  EXPECT_LT(encode_names(std::span<const std::string>(names)).size(), raw / 4);
}

TEST(NameRoundTrip, SraAndNanoporeNames) {
  std::vector<std::string> sra;
  for (int i = 1; i <= 3000; ++i) {
    sra.push_back("SRR1234567." + std::to_string(i) + " " + std::to_string(i) + " length=" +
                  std::to_string(100 + i % 51));
  }
  expect_round_trip(sra);

  std::mt19937_64 rng(7);
  std::vector<std::string> ont;
  const char* hex = "0123456789abcdef";
  for (int i = 0; i < 2000; ++i) {
    std::string uuid;
    for (int k = 0; k < 32; ++k) {
      if (k == 8 || k == 12 || k == 16 || k == 20) uuid += '-';
      uuid += hex[rng() % 16];
    }
    ont.push_back(uuid + " runid=3a1b5c0d9e8f7a6b5c4d3e2f1a0b9c8d7e6f5a4b read=" + std::to_string(rng() % 100000) +
                  " ch=" + std::to_string(1 + rng() % 512) + " start_time=2021-03-04T10:" +
                  std::to_string(10 + rng() % 50) + ":0" + std::to_string(rng() % 10) +
                  "Z flow_cell_id=FAL12345 protocol_group_id=run1 sample_id=s1");
  }
  expect_round_trip(ont);
}

TEST(NameRoundTrip, AwkwardNames) {
  expect_round_trip({});
  expect_round_trip({""});
  expect_round_trip({"", "", "a", "", "1", "", ""});
  expect_round_trip({"dup/1", "dup/1", "dup/1", "dup/2", "dup/2"});
  // Leading zeros, widths that change, and values that go down.
  expect_round_trip({"r007", "r7", "r0007", "r10", "r009", "r0", "r00", "r000000000000000000"});
  expect_round_trip({"x999999999999999999", "x0", "x999999999999999999", "x000000000000000001"});
  // 19-digit and longer runs, next to 18-digit numbers.
  expect_round_trip({"1234567890123456789", "1234567890123456780", "123456789012345678",
                     "00000000000000000000000000", "9999999999999999999999"});
  // Bytes that are neither text nor digits, NUL included.
  std::string binary;
  for (int b = 0; b < 256; ++b) binary.push_back(static_cast<char>(b));
  expect_round_trip({binary, binary, binary.substr(40), std::string(3, '\0')});
}

TEST(NameRoundTrip, ManyTokensAndVaryingCounts) {
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) {
    std::string name;
    const int tokens = (i * 37) % 150;
    for (int t = 0; t < tokens; ++t) {
      name += (t % 2 == 0) ? "ab" : ":";
      name += std::to_string(t % 2 == 0 ? t % 3 : i * t);
    }
    names.push_back(name);
  }
  expect_round_trip(names);
}

TEST(NameRoundTrip, RandomNames) {
  std::mt19937_64 rng(42);
  const std::string alphabet = "0123456789:_/ .AB";
  std::vector<std::string> names;
  std::string prev;
  for (int i = 0; i < 4000; ++i) {
    std::string name = prev;
    const int edits = static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const size_t at = name.empty() ? 0 : rng() % (name.size() + 1);
      if (rng() % 3 == 0 && !name.empty() && at < name.size()) {
        name.erase(at, 1);
      } else {
        name.insert(name.begin() + static_cast<long>(at), alphabet[rng() % alphabet.size()]);
      }
    }
    if (rng() % 50 == 0) name.clear();
    names.push_back(name);
    prev = name;
  }
  expect_round_trip(names);
}

TEST(NameRoundTrip, NameListInputMatchesStrings) {
  const auto names = illumina_names(200, 3);
  NameList list;
  for (const auto& n : names) list.push_back(n);
  std::vector<std::string_view> views(names.begin(), names.end());
  const Bytes coded = encode_names(std::span<const std::string>(names));
  EXPECT_EQ(encode_names(list), coded);
  EXPECT_EQ(encode_names(std::span<const std::string_view>(views)), coded);
}

}  // namespace
}  // namespace zarv
