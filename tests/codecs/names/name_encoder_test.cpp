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
using Names = std::vector<std::string>;

ParsedNameStream encode_and_parse(const Names& names) {
  return parse_name_stream(encode_names(std::span<const std::string>(names)));
}

TEST(NameEncoderOps, TokensAndOpChoice) {
  // A counter after a shared prefix: MATCH, then DELTA with code 2.
  auto p = encode_and_parse({"r:1", "r:2", "r:3"});
  EXPECT_EQ(p.n, 3u);
  EXPECT_EQ(p.token_counts, varints({2, 2, 2}));
  EXPECT_EQ(p.runs[0], (Runs{{S, 1}, {M, 2}}));
  EXPECT_EQ(p.ops[1], (Bytes{N, D, D}));
  EXPECT_EQ(p.string_lengths, varints({2}));
  EXPECT_EQ(p.string_data, text("r:"));
  EXPECT_EQ(p.numbers, varints({1}));
  EXPECT_EQ(p.pads, (Bytes{0, 0, 0}));
  EXPECT_EQ(p.plane_counts[1], 1);
  EXPECT_EQ(p.codes[1], (std::vector<uint64_t>{2, 2}));
  for (int c = 2; c < 64; ++c) EXPECT_TRUE(p.runs[c].empty() && p.plane_counts[c] == 0);

  // Texts differ, values do not: DELTA 0 with pad 2 ("0" and "000" alike).
  p = encode_and_parse({"7", "007", "0", "000"});
  EXPECT_EQ(p.ops[0], (Bytes{N, D, D, D}));
  EXPECT_EQ(p.codes[0], (std::vector<uint64_t>{0, 13, 0}));
  EXPECT_EQ(p.pads, (Bytes{0, 2, 0, 2}));

  // 19 digits make a string; 18 still a number. A number after a string is NUMBER.
  const std::string d19 = "1234567890123456789";
  p = encode_and_parse({std::string(18, '9'), d19, "x" + d19, "ab", "12", "13"});
  EXPECT_EQ(p.ops[0], (Bytes{N, S, S, S, N, D}));
  EXPECT_EQ(p.ops[1], (Bytes{S}));
  EXPECT_EQ(p.numbers, varints({999999999999999999ull, 12}));
  EXPECT_EQ(p.string_lengths, varints({19, 1, 19, 2}));
  EXPECT_EQ(p.string_data, text(d19 + "x" + d19 + "ab"));
}

TEST(NameEncoderOps, DifferenceCodesAndPlanes) {
  // -256 -> 511, +1 -> 2, -45 -> 89; the largest code needs two planes.
  auto p = encode_and_parse({"n300", "n44", "n45", "n0"});
  EXPECT_EQ(p.ops[1], (Bytes{N, D, D, D}));
  EXPECT_EQ(p.codes[1], (std::vector<uint64_t>{511, 2, 89}));
  EXPECT_EQ(p.plane_counts[1], 2);
  EXPECT_EQ(encode_and_parse({"5", "05"}).plane_counts[0], 1);   // only code 0
  EXPECT_EQ(encode_and_parse({"0", "127"}).plane_counts[0], 1);  // 254
  EXPECT_EQ(encode_and_parse({"0", "128"}).plane_counts[0], 2);  // 256
  p = encode_and_parse({"0", "999999999999999999"});
  EXPECT_EQ(p.plane_counts[0], 8);
  EXPECT_EQ(p.codes[0], std::vector<uint64_t>{1999999999999999998ull});
}

TEST(NameEncoderOps, ColumnsAndRuns) {
  // 66 tokens ("x0x1...x32"): positions 63..65 feed column 63 in name order.
  std::string a;
  for (int t = 0; t < 33; ++t) a += 'x', a += std::to_string(t);
  std::string b = a;
  b.back() = '9';  // position 65: 32 -> 39
  auto p = encode_and_parse({a, b});
  EXPECT_EQ(p.ops[63], (Bytes{N, S, N, M, M, D}));
  EXPECT_EQ(p.codes[63], std::vector<uint64_t>{14});
  // Repeated names: one first op and one MATCH run per used column.
  p = encode_and_parse(Names(100, "HWI:7:1101 1:N"));  // "HWI:" 7 ":" 1101 " " 1 ":N"
  for (int c = 0; c < 7; ++c) EXPECT_EQ(p.runs[c], (Runs{{c % 2 ? N : S, 1}, {M, 99}})) << c;
  EXPECT_TRUE(p.runs[7].empty());
  // No names at all.
  p = encode_and_parse({});
  EXPECT_EQ(p.n, 0u);
  EXPECT_TRUE(p.token_counts.empty());
}

// ---- round trips -------------------------------------------------------

void expect_round_trip(const Names& names) {
  auto decoded = decode_names(encode_names(std::span<const std::string>(names)));
  ASSERT_TRUE(decoded.ok()) << decoded.error().message();
  ASSERT_EQ(decoded->size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) ASSERT_EQ((*decoded)[i], names[i]) << "name " << i;
}

TEST(NameRoundTrip, PlatformNames) {
  std::mt19937_64 rng(1);
  Names illumina, ont;
  int tile = 1101, x = 1000;
  char buf[128];
  for (size_t i = 0; i < 5000; ++i) {
    if (rng() % 500 == 0) tile = (tile % 100 == 78) ? tile + 23 : tile + 1, x = 1000;
    x += static_cast<int>(rng() % 40);
    std::snprintf(buf, sizeof buf, "A00123:8:H5KJLDSXX:1:%d:%d:%d %d:N:0:ACGTACGT", tile, x,
                  static_cast<int>(1000 + rng() % 36000), static_cast<int>(1 + rng() % 2));
    illumina.emplace_back(buf);
  }
  expect_round_trip(illumina);
  size_t raw = 0;
  for (const auto& n : illumina) raw += n.size();
  EXPECT_LT(encode_names(std::span<const std::string>(illumina)).size(), raw / 4);

  // Nanopore-style: a random hex UUID, then fields with changing numbers.
  rng.seed(7);
  for (int i = 1; i <= 3000; ++i) {
    std::string uuid;
    for (int k = 0; k < 32; ++k) {
      uuid += (k == 8 || k == 12 || k == 16 || k == 20 ? "-" : ""), uuid += "0123456789abcdef"[rng() % 16];
    }
    ont.push_back(uuid + " runid=3a1b5c0d9e8f7a6b read=" + std::to_string(rng() % 100000) + " ch=" +
                  std::to_string(1 + rng() % 512) + " start_time=2021-03-04T10:" + std::to_string(10 + rng() % 50) +
                  ":07Z flow_cell_id=FAL12345");
  }
  expect_round_trip(ont);
}

TEST(NameRoundTrip, AwkwardNames) {
  expect_round_trip({});
  expect_round_trip({"", "", "a", "", "1", "", ""});
  expect_round_trip({"dup/1", "dup/1", "dup/1", "dup/2", "dup/2"});
  // Long repeated names: the output buffer has to grow inside a MATCH copy.
  expect_round_trip(Names(100, std::string(1000, 'x')));
  // Leading zeros, widths that change, values that go down, 18 and 19+ digits.
  expect_round_trip({"r007", "r7", "r0007", "r10", "r009", "r0", "r000000000000000000", "x999999999999999999", "x0",
                     "1234567890123456789", "123456789012345678", "00000000000000000000000000"});
  std::string binary;
  for (int b = 0; b < 256; ++b) binary.push_back(static_cast<char>(b));
  expect_round_trip({binary, binary, binary.substr(40), std::string(3, '\0')});
  // Many tokens (up to ~300, past column 63) and token counts that vary.
  Names many;
  for (int i = 0; i < 300; ++i) {
    std::string name;
    for (int t = 0; t < (i * 37) % 150; ++t) name += t % 2 ? ":" : "ab", name += std::to_string(t % 2 ? i * t : t % 3);
    many.push_back(name);
  }
  expect_round_trip(many);
}

TEST(NameRoundTrip, RandomEdits) {
  std::mt19937_64 rng(42);
  const std::string alphabet = "0123456789:_/ .AB";
  Names names;
  std::string name;
  for (int i = 0; i < 4000; ++i) {
    for (int e = static_cast<int>(rng() % 4); e > 0; --e) {
      const size_t at = rng() % (name.size() + 1);
      if (rng() % 3 == 0 && at < name.size()) {
        name.erase(at, 1);
      } else {
        name.insert(name.begin() + static_cast<long>(at), alphabet[rng() % alphabet.size()]);
      }
    }
    if (rng() % 50 == 0) name.clear();
    names.push_back(name);
  }
  expect_round_trip(names);
  // Every input form codes the same.
  NameList list;
  for (const auto& n : names) list.push_back(n);
  std::vector<std::string_view> views(names.begin(), names.end());
  const Bytes coded = encode_names(std::span<const std::string>(names));
  EXPECT_EQ(encode_names(list), coded);
  EXPECT_EQ(encode_names(std::span<const std::string_view>(views)), coded);
}

}  // namespace
}  // namespace zarv
