// Name stream decoder: streams laid out by hand, decoded to known names, and
// every failure the decoder can report.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "codecs/names/names.hpp"
#include "tests/codecs/names/name_stream_builder.hpp"

namespace zarv {
namespace {

using namespace names_test;

std::vector<std::string> decode_ok(const Bytes& coded) {
  auto r = decode_names(coded);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  if (!r.ok()) return {};
  return r->to_strings();
}

std::string decode_error(const Bytes& coded) {
  auto r = decode_names(coded);
  EXPECT_FALSE(r.ok());
  if (r.ok()) return "<decoded>";
  EXPECT_EQ(r.error().kind, ErrorKind::Names);
  return r.error().message();
}

std::string names_error(const char* detail) { return std::string("malformed name stream: ") + detail; }

// Name 0 "SRR1.1" is STRING NUMBER STRING NUMBER; the next names copy the
// prefix and step the last number, one of them with pad 2. An empty name
// clears the previous tokens, so "9" is a NUMBER again; then two DELTAs make
// negative values, the second one padded.
RawNameStream worked_example() {
  RawNameStream s;
  s.n = 7;
  s.token_counts = varints({4, 4, 4, 0, 1, 1, 1});
  s.string_lengths = varints({3, 1});
  s.string_data = text("SRR.");
  s.numbers = varints({1, 1, 9});
  s.pads = {0, 0, 0, 2, 0, 0, 3};
  std::array<Bytes, 64> ops;
  ops[0] = {S, M, M, N, D, D};
  ops[1] = {N, M, M};
  ops[2] = {S, M, M};
  ops[3] = {N, D, D};
  s.set_ops(ops);
  s.planes[0] = {{23, 3}};   // -12, -2
  s.planes[3] = {{2, 10}};   // +1, +5
  return s;
}

TEST(NameDecoder, DecodesHandBuiltStream) {
  EXPECT_EQ(decode_ok(worked_example().build()),
            (std::vector<std::string>{"SRR1.1", "SRR1.2", "SRR1.007", "", "9", "-3", "00-5"}));
}

TEST(NameDecoder, ResultIsOneBufferWithOffsets) {
  auto r = decode_names(worked_example().build());
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), 7u);
  EXPECT_EQ(std::string(r->bytes.begin(), r->bytes.end()), "SRR1.1SRR1.2SRR1.0079-300-5");
  EXPECT_EQ(r->offsets, (std::vector<uint64_t>{0, 6, 12, 20, 20, 21, 23, 27}));
  EXPECT_EQ((*r)[2], "SRR1.007");
  EXPECT_EQ(r->span(3).size(), 0u);
}

TEST(NameDecoder, EmptyGroupOfZeroLengthBlocks) {
  // Written out byte by byte: version, N = 0, eight 9-byte rANS blocks of zero
  // output length, and a plane count of 0 for all 64 columns.
  Bytes coded{1, 0};
  for (int i = 0; i < 8; ++i) {
    coded.push_back(9);
    coded.insert(coded.end(), 9, 0);
  }
  coded.insert(coded.end(), 64, 0);
  auto r = decode_names(coded);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_TRUE(r->empty());
  EXPECT_TRUE(r->bytes.empty());
  EXPECT_EQ(r->offsets, std::vector<uint64_t>{0});

  // A section of length 0 is no rANS block at all.
  Bytes zero_section{1, 0, 0};
  auto e = decode_names(zero_section);
  ASSERT_FALSE(e.ok());
  EXPECT_EQ(e.error().kind, ErrorKind::Names);
  EXPECT_EQ(e.error().message(), "malformed rANS stream: truncated stream");
}

TEST(NameDecoder, ExhaustedRunCountsMeanNoRuns) {
  RawNameStream s;
  s.n = 2;
  s.token_counts = varints({1, 1});
  s.string_lengths = varints({2});
  s.string_data = text("ab");
  s.run_counts = varints({2});  // column 0 only; columns 1..63 read as 0 runs
  s.run_syms = {S, M};
  s.run_lens = varints({1, 1});
  EXPECT_EQ(decode_ok(s.build()), (std::vector<std::string>{"ab", "ab"}));
}

TEST(NameDecoder, NumericTextAndPadding) {
  RawNameStream s;
  s.n = 4;
  s.token_counts = varints({1, 1, 1, 1});
  s.numbers = varints({7, 0, 0, 123});
  s.pads = {2, 0, 3, 1};
  std::array<Bytes, 64> ops;
  // Each NUMBER follows a numeric token; NUMBER needs no prior.
  ops[0] = {N, N, N, N};
  s.set_ops(ops);
  EXPECT_EQ(decode_ok(s.build()), (std::vector<std::string>{"007", "0", "0000", "0123"}));
}

TEST(NameDecoder, LargestValuesAndWrappingDeltas) {
  RawNameStream s;
  s.n = 3;
  s.token_counts = varints({1, 1, 1});
  s.numbers = varints({static_cast<uint64_t>(std::numeric_limits<int64_t>::max())});
  s.pads = {0, 0, 0};
  std::array<Bytes, 64> ops;
  ops[0] = {N, D, D};
  s.set_ops(ops);
  // Code 2 (+1) wraps to INT64_MIN; code 1 (-1) wraps back to INT64_MAX.
  s.planes[0] = {{2, 1}};
  EXPECT_EQ(decode_ok(s.build()), (std::vector<std::string>{"9223372036854775807", "-9223372036854775808",
                                                            "9223372036854775807"}));
}

TEST(NameDecoder, MatchCopiesNumericTokensForLaterDeltas) {
  // "x5", "x5" (MATCH copy of the number, text and value), "x6" (DELTA on the copy).
  RawNameStream s;
  s.n = 3;
  s.token_counts = varints({2, 2, 2});
  s.string_lengths = varints({1});
  s.string_data = text("x");
  s.numbers = varints({5});
  s.pads = {1, 0};  // the first text is "05"; the copy keeps it, the DELTA renders anew
  std::array<Bytes, 64> ops;
  ops[0] = {S, M, M};
  ops[1] = {N, M, D};
  s.set_ops(ops);
  s.planes[1] = {{2}};
  EXPECT_EQ(decode_ok(s.build()), (std::vector<std::string>{"x05", "x05", "x6"}));
}

TEST(NameDecoder, DeltaPlanesCombineBytes) {
  // B = 2, D = 3: low bytes in the first plane, second bytes in the second.
  RawNameStream s;
  s.n = 4;
  s.token_counts = varints({1, 1, 1, 1});
  s.numbers = varints({1000});
  s.pads = {0, 0, 0, 0};
  std::array<Bytes, 64> ops;
  ops[0] = {N, D, D, D};
  s.set_ops(ops);
  // codes 0x0190 (+200), 0x0003 (-2), 0x0201 (-257)
  s.planes[0] = {{0x90, 0x03, 0x01}, {0x01, 0x00, 0x02}};
  EXPECT_EQ(decode_ok(s.build()), (std::vector<std::string>{"1000", "1200", "1198", "941"}));

  // Plane 8 lands on bits 0..7 again (shift 64 mod 64) and is OR-ed there.
  s.n = 2;
  s.token_counts = varints({1, 1});
  s.pads = {0, 0};
  ops[0] = {N, D};
  s.set_ops(ops);
  s.planes[0] = std::vector<Bytes>(9, Bytes{0});
  s.planes[0][0] = {0x02};
  s.planes[0][8] = {0x04};  // code 6: +3
  EXPECT_EQ(decode_ok(s.build()), (std::vector<std::string>{"1000", "1003"}));
}

TEST(NameDecoder, PositionsFrom63ShareTheLastColumn) {
  // Names of 71 tokens (positions 0..70): "a" at even positions, the position
  // number at odd ones; from name 1 on everything matches except position 69,
  // which counts up. Column 63 takes 8 ops per name.
  constexpr uint64_t kNames = 5;
  auto expected_name = [](uint64_t i) {
    std::string s;
    for (int t = 0; t <= 70; ++t) s += (t % 2 == 0) ? std::string("a") : std::to_string(t == 69 ? 69 + i : t);
    return s;
  };
  RawNameStream s;
  s.n = kNames;
  std::array<Bytes, 64> ops;
  for (uint64_t i = 0; i < kNames; ++i) {
    write_varint(s.token_counts, 71);
    for (int t = 0; t <= 70; ++t) {
      const int c = t < 63 ? t : 63;
      if (i == 0) {
        ops[c].push_back(t % 2 == 0 ? S : N);
        if (t % 2 == 0) {
          write_varint(s.string_lengths, 1);
          s.string_data.push_back('a');
        } else {
          write_varint(s.numbers, t);
          s.pads.push_back(0);
        }
      } else if (t == 69) {
        ops[c].push_back(D);
        s.pads.push_back(0);
      } else {
        ops[c].push_back(M);
      }
    }
  }
  ASSERT_EQ(ops[63].size(), 8 * kNames);
  s.set_ops(ops);
  s.planes[63] = {Bytes(kNames - 1, 2)};
  auto names = decode_ok(s.build());
  ASSERT_EQ(names.size(), kNames);
  for (uint64_t i = 0; i < kNames; ++i) EXPECT_EQ(names[i], expected_name(i)) << i;
}

TEST(NameDecoder, IgnoresLeftoversAndUnusedOps) {
  RawNameStream s = worked_example();
  s.string_data.push_back('!');
  s.numbers.push_back(5);
  s.pads.push_back(9);
  s.token_counts.push_back(1);
  s.trailing = {0xde, 0xad};
  // A run of an unknown op that no token reaches.
  std::array<std::vector<std::pair<uint8_t, uint64_t>>, 64> runs;
  runs[0] = {{S, 1}, {M, 2}, {N, 1}, {D, 2}};
  runs[1] = {{N, 1}, {M, 2}};
  runs[2] = {{S, 1}, {M, 2}};
  runs[3] = {{N, 1}, {D, 2}};
  runs[10] = {{9, 3}};
  s.set_runs(runs);
  EXPECT_EQ(decode_ok(s.build()),
            (std::vector<std::string>{"SRR1.1", "SRR1.2", "SRR1.007", "", "9", "-3", "00-5"}));
}

// A one-name stream "ab" with op STRING; tests break one piece at a time.
RawNameStream one_string() {
  RawNameStream s;
  s.n = 1;
  s.token_counts = varints({1});
  s.string_lengths = varints({2});
  s.string_data = text("ab");
  std::array<Bytes, 64> ops;
  ops[0] = {S};
  s.set_ops(ops);
  return s;
}

TEST(NameDecoderErrors, Framing) {
  EXPECT_EQ(decode_error({}), names_error("truncated"));
  Bytes v2 = one_string().build();
  v2[0] = 2;
  EXPECT_EQ(decode_error(v2), names_error("unsupported version"));
  EXPECT_EQ(decode_error({1}), names_error("varint too long"));
  EXPECT_EQ(decode_error({1, 0x80}), names_error("varint too long"));
  // A section whose length runs past the end.
  EXPECT_EQ(decode_error({1, 0, 20, 0, 0}), names_error("truncated"));
  // Cut inside the plane counts.
  Bytes cut = one_string().build();
  cut.resize(cut.size() - 10);
  EXPECT_EQ(decode_error(cut), names_error("varint too long"));
  // A stored rANS table that does not add up keeps the rANS message.
  Bytes bad_table{1, 0};
  bad_table.push_back(0x80 | (521 & 0x7f));
  bad_table.push_back(521 >> 7);
  bad_table.push_back(0);
  bad_table.insert(bad_table.end(), {1, 0, 0, 0, 0, 0, 0, 0});
  bad_table.insert(bad_table.end(), 512, 0);
  EXPECT_EQ(decode_error(bad_table), "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
}

TEST(NameDecoderErrors, RecordCountAndOpRuns) {
  RawNameStream s = one_string();
  s.n = 2;  // one token-count byte for two names
  EXPECT_EQ(decode_error(s.build()), names_error("record count exceeds token stream"));

  s = one_string();
  s.run_counts = varints({2});  // two runs, one symbol
  EXPECT_EQ(decode_error(s.build()), names_error("op sym underrun"));

  s = one_string();
  s.run_lens = {};  // the run length is missing
  EXPECT_EQ(decode_error(s.build()), names_error("varint too long"));

  s = one_string();
  s.run_lens = varints({2});  // column 0 holds at most N = 1 ops
  EXPECT_EQ(decode_error(s.build()), names_error("op run too long"));

  s = one_string();
  s.run_counts = varints({2});
  s.run_syms = {S, M};
  s.run_lens = varints({1, std::numeric_limits<uint64_t>::max()});  // the sum overflows
  EXPECT_EQ(decode_error(s.build()), names_error("op run too long"));

  // Column 63 may exceed N, but not the bound of 64 KiB per stream byte.
  s = one_string();
  std::array<std::vector<std::pair<uint8_t, uint64_t>>, 64> runs;
  runs[0] = {{S, 1}};
  runs[63] = {{M, uint64_t{1} << 40}};
  s.set_runs(runs);
  EXPECT_EQ(decode_error(s.build()), names_error("op columns exceed the stream bound"));
  runs[63] = {{M, uint64_t{1} << 20}};
  s.set_runs(runs);
  EXPECT_EQ(decode_ok(s.build()), std::vector<std::string>{"ab"});
}

TEST(NameDecoderErrors, DeltaPlanes) {
  RawNameStream s;
  s.n = 2;
  s.token_counts = varints({1, 1});
  s.numbers = varints({1});
  s.pads = {0, 0};
  std::array<Bytes, 64> ops;
  ops[0] = {N, D};
  s.set_ops(ops);
  s.planes[0] = {{2, 2}};  // D = 1
  EXPECT_EQ(decode_error(s.build()), "malformed rANS stream: rANS output length exceeds caller bound");
  s.planes[0] = {{2}, {}};
  EXPECT_EQ(decode_error(s.build()), names_error("delta plane length mismatch"));
  s.planes[0] = {};  // B = 0 with D = 1
  EXPECT_EQ(decode_error(s.build()), names_error("delta underrun"));
  s.planes[0] = {{2}};
  EXPECT_EQ(decode_ok(s.build()), (std::vector<std::string>{"1", "2"}));
}

TEST(NameDecoderErrors, TokenOps) {
  RawNameStream s = one_string();
  std::array<Bytes, 64> ops;
  ops[0] = {M};
  s.set_ops(ops);
  EXPECT_EQ(decode_error(s.build()), names_error("MATCH without prior token"));

  // DELTA with a code available, but the previous name has no tokens.
  s = one_string();
  ops[0] = {D};
  s.set_ops(ops);
  s.pads = {0};
  s.planes[0] = {{2}};
  EXPECT_EQ(decode_error(s.build()), names_error("DELTA without numeric prior"));

  // DELTA against a STRING token.
  s = one_string();
  s.n = 2;
  s.token_counts = varints({1, 1});
  ops[0] = {S, D};
  s.set_ops(ops);
  s.pads = {0};
  s.planes[0] = {{2}};
  EXPECT_EQ(decode_error(s.build()), names_error("DELTA without numeric prior"));

  // MATCH past the previous name's last token.
  s = one_string();
  s.n = 2;
  s.token_counts = varints({1, 2});
  s.string_lengths = varints({2, 1});
  s.string_data = text("abc");
  ops[0] = {S, M};
  ops[1] = {M};
  s.set_ops(ops);
  EXPECT_EQ(decode_error(s.build()), names_error("MATCH without prior token"));

  s = one_string();
  ops = {};
  ops[0] = {4};
  s.set_ops(ops);
  EXPECT_EQ(decode_error(s.build()), names_error("unknown op"));

  s = one_string();
  s.string_data = text("a");
  EXPECT_EQ(decode_error(s.build()), names_error("string data underrun"));

  s = one_string();
  s.string_lengths = {};
  EXPECT_EQ(decode_error(s.build()), names_error("varint too long"));

  s = one_string();
  ops[0] = {N};
  s.set_ops(ops);
  s.numbers = varints({5});
  EXPECT_EQ(decode_error(s.build()), names_error("pad underrun"));
  s.numbers = {};
  s.pads = {0};
  EXPECT_EQ(decode_error(s.build()), names_error("varint too long"));

  // The name needs a second token but column 1 has no ops.
  s = one_string();
  s.token_counts = varints({2});
  EXPECT_EQ(decode_error(s.build()), names_error("truncated"));

  // A token count that is not a whole varint.
  s = one_string();
  s.token_counts = {0x81};
  EXPECT_EQ(decode_error(s.build()), names_error("varint too long"));
}

}  // namespace
}  // namespace zarv
