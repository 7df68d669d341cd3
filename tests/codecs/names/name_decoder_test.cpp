// Name stream decoder: streams laid out by hand, decoded to known names, and
// every failure the decoder can report.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "codecs/names/names.hpp"
#include "tests/codecs/names/name_stream_builder.hpp"

namespace zarv {
namespace {

using namespace names_test;
using Names = std::vector<std::string>;

Names decode_ok(const Bytes& coded) {
  auto r = decode_names(coded);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? r->to_strings() : Names{};
}

std::string decode_error(const Bytes& coded) {
  auto r = decode_names(coded);
  if (r.ok()) return "<decoded>";
  EXPECT_EQ(r.error().kind, ErrorKind::Names);
  return r.error().message();
}

// "SRR1.1" is STRING NUMBER STRING NUMBER; the next two names copy the prefix
// and step the last number (once to 7 with pad 2). An empty name leaves no
// previous tokens, so "9" is a NUMBER; two DELTAs then go negative, the
// second padded: "-5" padded to digits(-5) + 3 = 4 characters.
RawNameStream worked_example() {
  RawNameStream s;
  s.n = 7;
  s.token_counts = varints({4, 4, 4, 0, 1, 1, 1});
  s.string_lengths = varints({3, 1});
  s.string_data = text("SRR.");
  s.numbers = varints({1, 1, 9});
  s.pads = {0, 0, 0, 2, 0, 0, 3};
  s.set_ops({Bytes{S, M, M, N, D, D}, Bytes{N, M, M}, Bytes{S, M, M}, Bytes{N, D, D}});
  s.planes[0] = {{23, 3}};  // -12, -2
  s.planes[3] = {{2, 10}};  // +1, +5
  return s;
}
const Names kWorkedNames{"SRR1.1", "SRR1.2", "SRR1.007", "", "9", "-3", "00-5"};

TEST(NameDecoder, DecodesHandBuiltStreamIntoOneBuffer) {
  auto r = decode_names(worked_example().build());
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->to_strings(), kWorkedNames);
  EXPECT_EQ(std::string(r->bytes.begin(), r->bytes.end()), "SRR1.1SRR1.2SRR1.0079-300-5");
  EXPECT_EQ(r->offsets, (std::vector<uint64_t>{0, 6, 12, 20, 20, 21, 23, 27}));
}

TEST(NameDecoder, LeftoversAndUnreachedOpsAreIgnored) {
  RawNameStream s = worked_example();
  s.string_data.push_back('!');
  s.numbers.push_back(5);
  s.pads.push_back(9);
  s.token_counts.push_back(1);
  s.trailing = {0xde, 0xad};
  std::array<Runs, 64> runs;
  runs[0] = {{S, 1}, {M, 2}, {N, 1}, {D, 2}};
  runs[1] = runs[2] = {{S, 1}, {M, 2}};
  runs[1][0].first = N;
  runs[3] = {{N, 1}, {D, 2}};
  runs[10] = {{9, 3}};  // an unknown op that no token reaches
  s.set_runs(runs);
  EXPECT_EQ(decode_ok(s.build()), kWorkedNames);
}

TEST(NameDecoder, EmptyGroups) {
  // Written out byte by byte: version, N = 0, eight 9-byte rANS blocks of zero
  // output length, a plane count of 0 for each of the 64 columns.
  Bytes coded{1, 0};
  for (int i = 0; i < 8; ++i) coded.push_back(9), coded.insert(coded.end(), 9, 0);
  coded.insert(coded.end(), 64, 0);
  auto r = decode_names(coded);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_TRUE(r->empty());
  EXPECT_EQ(r->offsets, std::vector<uint64_t>{0});
  // A section of length 0 is not a rANS block.
  EXPECT_EQ(decode_error({1, 0, 0}), "malformed rANS stream: truncated stream");
  // An exhausted run-count section means no runs for the remaining columns.
  RawNameStream s;
  s.n = 2, s.token_counts = varints({1, 1}), s.string_lengths = varints({2}), s.string_data = text("ab");
  s.run_counts = varints({2}), s.run_syms = {S, M}, s.run_lens = varints({1, 1});
  EXPECT_EQ(decode_ok(s.build()), (Names{"ab", "ab"}));
}

// One token per name, all in column 0.
RawNameStream one_column(Bytes ops, Bytes numbers, Bytes pads) {
  RawNameStream s;
  s.n = ops.size();
  for (size_t i = 0; i < ops.size(); ++i) write_varint(s.token_counts, 1);
  s.numbers = std::move(numbers), s.pads = std::move(pads);
  s.set_ops({std::move(ops)});
  return s;
}

TEST(NameDecoder, NumericTokensAndDeltaPlanes) {
  // Text is the value padded to digits(value) + pad; a DELTA past INT64_MAX
  // wraps, and one more DELTA wraps back.
  RawNameStream s =
      one_column({N, N, N, N, N, D, D}, varints({7, 0, 0, 123, uint64_t{INT64_MAX}}), {2, 0, 3, 1, 0, 0, 0});
  s.planes[0] = {{2, 1}};  // +1, -1
  EXPECT_EQ(decode_ok(s.build()), (Names{"007", "0", "0000", "0123", "9223372036854775807", "-9223372036854775808",
                                         "9223372036854775807"}));
  // A MATCH copies text and value; a DELTA on the copy renders its own text.
  s = one_column({N, M, D}, varints({5}), {1, 0});
  s.planes[0] = {{2}};
  EXPECT_EQ(decode_ok(s.build()), (Names{"05", "05", "6"}));
  // B = 2, D = 3: codes 0x0190 (+200), 0x0003 (-2), 0x0201 (-257).
  s = one_column({N, D, D, D}, varints({1000}), {0, 0, 0, 0});
  s.planes[0] = {{0x90, 0x03, 0x01}, {0x01, 0x00, 0x02}};
  EXPECT_EQ(decode_ok(s.build()), (Names{"1000", "1200", "1198", "941"}));
  // Plane 8 lands on bits 0..7 again (shift 64 mod 64): 0x02 | 0x04 = +3.
  s = one_column({N, D}, varints({1000}), {0, 0, 0, 0});
  s.planes[0] = std::vector<Bytes>(9, Bytes{0});
  s.planes[0][0] = {0x02};
  s.planes[0][8] = {0x04};
  EXPECT_EQ(decode_ok(s.build()), (Names{"1000", "1003"}));
}

TEST(NameDecoder, PositionsFrom63ShareTheLastColumn) {
  // 71 tokens (positions 0..70): "a" at even positions, the position at odd
  // ones; later names match all but position 69, which counts up. Column 63
  // holds 8 ops per name, interleaved in name order.
  constexpr uint64_t kNames = 5;
  RawNameStream s;
  s.n = kNames;
  std::array<Bytes, 64> ops;
  Names expected;
  for (uint64_t i = 0; i < kNames; ++i) {
    write_varint(s.token_counts, 71);
    expected.emplace_back();
    for (int t = 0; t <= 70; ++t) {
      Bytes& col = ops[t < 63 ? t : 63];
      expected.back() += t % 2 == 0 ? std::string("a") : std::to_string(t == 69 ? 69 + i : t);
      if (i > 0) {
        col.push_back(t == 69 ? D : M);
        if (t == 69) s.pads.push_back(0);
      } else if (t % 2 == 0) {
        col.push_back(S), write_varint(s.string_lengths, 1), s.string_data.push_back('a');
      } else {
        col.push_back(N), write_varint(s.numbers, t), s.pads.push_back(0);
      }
    }
  }
  ASSERT_EQ(ops[63].size(), 8 * kNames);
  s.set_ops(ops);
  s.planes[63] = {Bytes(kNames - 1, 2)};
  EXPECT_EQ(decode_ok(s.build()), expected);
}

// Each case breaks a valid one-name stream ("ab", one STRING) in one way.
struct ErrorCase {
  const char* what;
  std::function<void(RawNameStream&)> mutate;
  std::string message;
};

TEST(NameDecoderErrors, EveryReachableMessage) {
  const std::string m = "malformed name stream: ";
  const uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const std::vector<ErrorCase> cases = {
      {"N above the token-count length", [](auto& s) { s.n = 2; }, m + "record count exceeds token stream"},
      {"more runs than symbols", [](auto& s) { s.run_counts = varints({2}); }, m + "op sym underrun"},
      {"run length missing", [](auto& s) { s.run_lens = {}; }, m + "varint too long"},
      {"column 0 above N", [](auto& s) { s.run_lens = varints({2}); }, m + "op run too long"},
      {"column 0 sum overflows", [&](auto& s) { s.set_runs({Runs{{S, 1}, {M, kMax}}}); }, m + "op run too long"},
      {"column 63 above the bound",
       [](auto& s) {
         std::array<Runs, 64> r{Runs{{S, 1}}};
         r[63] = {{M, uint64_t{1} << 40}};
         s.set_runs(r);
       },
       m + "op columns exceed the stream bound"},
      {"plane longer than D", [](auto& s) { s.set_ops({Bytes{D}}), s.planes[0] = {{2, 2}}; },
       "malformed rANS stream: rANS output length exceeds caller bound"},
      {"plane shorter than D", [](auto& s) { s.set_ops({Bytes{D}}), s.planes[0] = {{2}, {}}; },
       m + "delta plane length mismatch"},
      {"no planes for a DELTA", [](auto& s) { s.set_ops({Bytes{D}}); }, m + "delta underrun"},
      {"DELTA with nothing before", [](auto& s) { s.set_ops({Bytes{D}}), s.planes[0] = {{2}}, s.pads = {0}; },
       m + "DELTA without numeric prior"},
      {"DELTA after a STRING",
       [&](auto& s) {
         s.n = 2, s.token_counts = varints({1, 1}), s.set_ops({Bytes{S, D}});
         s.planes[0] = {{2}}, s.pads = {0};
       },
       m + "DELTA without numeric prior"},
      {"MATCH in the first name", [](auto& s) { s.set_ops({Bytes{M}}); }, m + "MATCH without prior token"},
      {"MATCH past the previous name",
       [&](auto& s) {
         s.n = 2, s.token_counts = varints({1, 2}), s.string_lengths = varints({2, 1});
         s.set_ops({Bytes{S, M}, Bytes{M}});
       },
       m + "MATCH without prior token"},
      {"unknown op", [](auto& s) { s.set_ops({Bytes{4}}); }, m + "unknown op"},
      {"string data short", [](auto& s) { s.string_data = text("a"); }, m + "string data underrun"},
      {"string length missing", [](auto& s) { s.string_lengths = {}; }, m + "varint too long"},
      {"pad missing", [](auto& s) { s.set_ops({Bytes{N}}), s.numbers = varints({5}); }, m + "pad underrun"},
      {"number missing", [](auto& s) { s.set_ops({Bytes{N}}), s.pads = {0}; }, m + "varint too long"},
      {"column without ops", [](auto& s) { s.token_counts = varints({2}); }, m + "truncated"},
      {"token count cut", [](auto& s) { s.token_counts = {0x81}; }, m + "varint too long"},
  };
  for (const ErrorCase& c : cases) {
    RawNameStream s;
    s.n = 1, s.token_counts = varints({1}), s.string_lengths = varints({2}), s.string_data = text("ab");
    s.set_ops({Bytes{S}});
    ASSERT_EQ(decode_ok(s.build()), Names{"ab"});
    c.mutate(s);
    EXPECT_EQ(decode_error(s.build()), c.message) << c.what;
  }
}

TEST(NameDecoderErrors, Framing) {
  const std::string m = "malformed name stream: ";
  const Bytes valid = worked_example().build();
  EXPECT_EQ(decode_error({}), m + "truncated");
  Bytes v2 = valid;
  v2[0] = 2;
  EXPECT_EQ(decode_error(v2), m + "unsupported version");
  EXPECT_EQ(decode_error({1, 0x80}), m + "varint too long");
  EXPECT_EQ(decode_error({1, 0, 20, 0, 0}), m + "truncated");  // section past the end
  EXPECT_EQ(decode_error(Bytes(valid.begin(), valid.end() - 10)), m + "varint too long");  // plane counts cut
  // A stored rANS table that does not add up keeps the rANS message.
  Bytes bad_table{1, 0, 0x89, 0x04, 0, 1, 0, 0, 0, 0, 0, 0, 0};  // section of 521 bytes: n = 1
  bad_table.insert(bad_table.end(), 512, 0);
  EXPECT_EQ(decode_error(bad_table), "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
}

}  // namespace
}  // namespace zarv
