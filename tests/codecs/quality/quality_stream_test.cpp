// Quality stream decoder: hand-built streams with worked values, the probe,
// and every failure the decoder and encoder report.
#include <gtest/gtest.h>

#include "codecs/quality/quality.hpp"
#include "codecs/quality/quality_model.hpp"
#include "tests/codecs/quality/quality_test_util.hpp"

namespace zarv {
namespace {

using namespace quality_test;

Bytes with_lengths(Bytes head, const std::vector<uint32_t>& lengths, const Bytes& payload = {}) {
  put_lengths(head, lengths);
  head.insert(head.end(), payload.begin(), payload.end());
  return head;
}

TEST(QualityStream, HandBuiltStreamsWithWorkedValues) {
  // Mode 0, alphabet "I", three reads of 5 in run layout: one symbol has all
  // the probability, so the payload is empty, and the encoder writes exactly
  // these bytes.
  const Bytes single = {2, 0, 0, 1, 'I', 3, 1, 5};
  auto r = decode_quality_stream(single, std::nullopt);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->lengths, (std::vector<uint32_t>{5, 5, 5}));
  EXPECT_EQ(text(r->qualities), std::string(15, 'I'));
  EXPECT_EQ(encode_quality_stream(std::vector<uint32_t>{5, 5, 5}, Bytes(15, 'I'), std::nullopt).value(), single);

  // Mode 0, "#F" (rows [1,1,0,0], total 2), code 0x80000000: target 1 -> 'F',
  // low = range = 0x7FFFFFFF; then two fresh contexts with targets 0 -> "##".
  EXPECT_EQ(decode_text(with_lengths(stream_head(0, "#F"), {3}, {0x80, 0, 0, 0})), "F##");
  // Layout 0 with a zero-length read in the middle.
  auto gap = decode_quality_stream(with_lengths(stream_head(0, "#"), {2, 0, 1}), std::nullopt);
  ASSERT_TRUE(gap.ok());
  EXPECT_EQ(gap->lengths, (std::vector<uint32_t>{2, 0, 1}));
  EXPECT_EQ(text(gap->qualities), "###");

  // Mode 3, "#" (B = 1): every stretch is 0, so p = squash[2048] = 2048 for
  // both symbols. Code 0xFFFFFFFF: target 4096 >= p, bit 0; low = range =
  // 0x7FFFF800, then 0x800007FF / 0x7FFFF = 4096: bit 0 again.
  const Bytes bases = bytes_of("AC");
  EXPECT_EQ(decode_text(with_lengths(stream_head(3, "#"), {2}, {0xFF, 0xFF, 0xFF, 0xFF}), bases), "##");
  // An empty payload: code 0 < 2048, bit 1, index 1 of a one-symbol alphabet.
  EXPECT_EQ(decode_error(with_lengths(stream_head(3, "#"), {2}), bases), malformed("decoded symbol outside alphabet"));

  // Alphabet of 3 in 4 slots: code 0xFFFFFFFF gives target 3 = the total,
  // which only the zero-frequency last slot takes; with 4 of 4 it is a symbol.
  EXPECT_EQ(decode_error(with_lengths(stream_head(0, "#5F"), {4}, {0xFF, 0xFF, 0xFF, 0xFF})),
            malformed("decoded symbol outside alphabet"));
  EXPECT_EQ(decode_text(with_lengths(stream_head(0, "#5FI"), {1}, {0xFF, 0xFF, 0xFF, 0xFF})), "I");
}

TEST(QualityStream, HeaderEdgesAndProbe) {
  // Stored quantizers and zero reads: the (empty) bases are still required.
  Bytes quantized = stream_head(4, "#F", 2);
  quantized.insert(quantized.end(), {0x3F, 0x1B, 0x00, 0x00});
  put_lengths(quantized, {});
  const Bytes none;
  auto r = decode_quality_stream(quantized, std::span<const uint8_t>(none));
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_TRUE(r->lengths.empty() && r->qualities.empty());
  EXPECT_EQ(decode_error(quantized), malformed("sequence context requires the decoded sequence"));

  // Count 0 in run layout: no length varint follows, the rest is payload.
  auto h = quality::parse_stream_header(Bytes{2, 0, 0, 1, '#', 0, 7, 0xAA, 0xBB});
  ASSERT_TRUE(h.ok());
  EXPECT_TRUE(h->lengths.empty());
  EXPECT_EQ(h->payload.size(), 2u);

  EXPECT_FALSE(quality_needs_sequence({}));
  EXPECT_FALSE(quality_needs_sequence(Bytes{2, 0}));
  EXPECT_FALSE(quality_needs_sequence(Bytes{2, 0, 0}));
  EXPECT_FALSE(quality_needs_sequence(Bytes{1, 0, 1}));
  for (uint8_t mode : {1, 2, 3, 4, 5, 6, 200}) EXPECT_TRUE(quality_needs_sequence(Bytes{2, 0, mode})) << int(mode);
}

TEST(QualityStreamErrors, HeaderBytesInOrder) {
  const std::pair<Bytes, std::string> cases[] = {
      {{}, malformed("truncated header")},
      {{2, 0, 0}, malformed("truncated header")},
      {{1, 0, 0, 1, '#', 0, 0}, malformed("unsupported version")},
      {{2, 6, 2, 1, '#', 0, 0}, malformed("unknown quality-binning tag")},  // checked before the mode
      {{2, 0, 2, 1, '#', 0, 0}, "unsupported quality context mode 2; this archive needs a newer zarv"},
      {{2, 0, 7, 1, '#', 0, 0}, "unsupported quality context mode 7; this archive needs a newer zarv"},
      {{2, 0, 0, 0}, "quality alphabet too large (0 > 64 symbols)"},
      {{2, 0, 0, 95}, "quality alphabet too large (95 > 64 symbols)"},
      {{2, 0, 0, 2, '#'}, malformed("truncated header")},                 // alphabet
      {{2, 0, 4, 2, '#', 'F', 1, 2, 3}, malformed("truncated header")},   // quantizers
      {{2, 0, 0, 1, '#'}, malformed("varint too long")},                  // read count
      {{2, 0, 0, 1, '#', 0x80}, malformed("varint too long")},
      {{2, 0, 0, 1, '#', 3}, malformed("truncated header")},              // layout byte
      {{2, 0, 0, 1, '#', 3, 0, 5, 5}, malformed("varint too long")},      // third length
      {{2, 0, 0, 1, '#', 3, 1}, malformed("varint too long")},            // shared length
      // Chunked modes: variant, then the segment count C (2 to 4096).
      {{2, 0, 5, 2, '#', 'F', 3}, "unsupported quality chunk variant 3; this archive needs a newer zarv"},
      {{2, 0, 5, 2, '#', 'F', 1, 1, 0, 0}, malformed("chunk segment count out of range")},
      {{2, 0, 5, 2, '#', 'F', 2, 0x81, 0x20}, malformed("chunk segment count out of range")},  // 4097
  };
  for (const auto& [coded, message] : cases) EXPECT_EQ(decode_error(coded), message) << ::testing::PrintToString(coded);
}

TEST(QualityStreamErrors, DeclaredSizes) {
  Bytes run = stream_head(0, "#");
  write_varint(run, (uint64_t{1} << 28) + 1);
  run.insert(run.end(), {1, 1});
  EXPECT_EQ(decode_error(run), malformed("length count too large to allocate"));

  // The total bound is inclusive: 8 reads of 2^31 make exactly 2^34.
  Bytes at_limit = stream_head(0, "#");
  at_limit.insert(at_limit.end(), {8, 1});
  write_varint(at_limit, uint64_t{1} << 31);
  auto h = quality::parse_stream_header(at_limit);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h->total, kMaxQualityTotal);
  EXPECT_EQ(decode_error(with_lengths(stream_head(0, "#"), {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 5})),
            malformed("declared total length exceeds maximum"));  // 2^34 + 1

  // Lengths keep their low 32 bits: 2^32 + 3 is a read of 3.
  Bytes wrapped = stream_head(0, "#");
  wrapped.insert(wrapped.end(), {1, 0});
  write_varint(wrapped, (uint64_t{1} << 32) + 3);
  EXPECT_EQ(decode_text(wrapped), "###");

  // A caller's tighter bounds give the same messages.
  const Bytes small = with_lengths(stream_head(0, "#"), {6, 5});
  QualityDecodeLimits limits;
  limits.max_total = 10;
  EXPECT_EQ(decode_error(small, std::nullopt, limits), malformed("declared total length exceeds maximum"));
  limits = {};
  limits.max_reads = 1;
  EXPECT_EQ(decode_error(small, std::nullopt, limits), malformed("length count too large to allocate"));
  limits.max_reads = 2;
  limits.max_total = 11;
  EXPECT_TRUE(decode_quality_stream(small, std::nullopt, limits).ok());
}

TEST(QualityStreamErrors, BasesMustMatchTheTotal) {
  const Bytes coded = with_lengths(stream_head(1, "#F"), {3, 2});
  const Bytes four = bytes_of("ACGT"), five = bytes_of("ACGTA"), six = bytes_of("ACGTAC");
  for (auto bases : {std::optional<std::span<const uint8_t>>(), std::optional(std::span<const uint8_t>(four)),
                     std::optional(std::span<const uint8_t>(six))}) {
    EXPECT_EQ(decode_error(coded, bases), malformed("sequence context requires the decoded sequence"));
  }
  EXPECT_EQ(decode_text(coded, five).size(), 5u);
  // Mode 0 ignores the bases, given or not, whatever their length.
  const Bytes plain = with_lengths(stream_head(0, "#F"), {3, 2});
  EXPECT_EQ(decode_text(plain), decode_text(plain, four));
}

TEST(QualityStreamErrors, PayloadDecoderBounds) {
  // Reachable only below the stream decoder, which sizes both spans from the
  // lengths: a chunk's bases or output range shorter than its reads.
  const auto alphabet = quality::Alphabet::from(bytes_of("#F"));
  const std::vector<uint32_t> lengths = {3, 4};
  const Bytes payload = {0x12, 0x34, 0x56, 0x78}, short_bases = bytes_of("ACGTAC"), bases = bytes_of("ACGTACG");
  Bytes out(7), short_out(6);
  const std::string short_seq = malformed("sequence shorter than quality lengths");
  const std::string short_range = malformed("quality output range too short");
  const auto freq = [&](QualityContextMode mode, const Bytes& b, Bytes& o) {
    return quality::decode_freq_payload(mode, alphabet, payload, lengths, b, o).error().message();
  };
  EXPECT_EQ(freq(QualityContextMode::Bases, short_bases, out), short_seq);
  EXPECT_EQ(freq(QualityContextMode::Position, {}, short_out), short_range);
  auto model = quality::MixingModel::create(2);
  ASSERT_TRUE(model.ok());
  const auto q = quality::Quantizers::fixed();
  EXPECT_EQ(quality::decode_mixing_payload(*model, alphabet, q, payload, lengths, short_bases, out).error().message(),
            short_seq);
  EXPECT_EQ(quality::decode_mixing_payload(*model, alphabet, q, payload, lengths, bases, short_out).error().message(),
            short_range);
}

TEST(QualityStreamErrors, ChunkedModesAreParsedThenRefused) {
  // Mode 6: quantizers, variant 2, C = 2, W = 0, two empty segments, one
  // read of length 0.
  Bytes valid = stream_head(6, "#F");
  valid.insert(valid.end(), {0, 0, 0, 0, 2, 2, 0, 0, 0});
  put_lengths(valid, {0});
  const Bytes none;
  EXPECT_EQ(decode_error(valid), malformed("sequence context requires the decoded sequence"));
  EXPECT_EQ(decode_error(valid, std::span<const uint8_t>(none)),
            "not yet implemented: chunked quality streams (context modes 5 and 6)");
}

TEST(QualityEncoderErrors, InconsistentInput) {
  const std::vector<uint32_t> lengths = {4, 6};
  const Bytes nine(9, 'I'), ten(10, 'I');
  auto err = [&](const Bytes& q, std::optional<std::span<const uint8_t>> bases, const QualityEncodeOptions& o) {
    auto r = encode_quality_stream(lengths, q, bases, o);
    return r.ok() ? std::string("<encoded>") : r.error().message();
  };
  EXPECT_EQ(err(nine, std::nullopt, {}), "read lengths (10) do not match quality bytes (9)");
  EXPECT_EQ(err(ten, std::nullopt, with_mode(QualityContextMode::Mixing)),
            malformed("sequence context requires the decoded sequence"));
  EXPECT_EQ(err(ten, std::nullopt, with_mode(QualityContextMode::ChunkedMixing)),
            "not yet implemented: chunked quality encoding (context modes 5 and 6)");
  EXPECT_EQ(err(ten, std::nullopt, with_mode(2)),
            "unsupported quality context mode 2; this archive needs a newer zarv");
  EXPECT_EQ(err(ten, std::nullopt, with_mode(QualityContextMode::Position, bytes_of("#F"))),
            malformed("quality byte outside the given alphabet"));
  EXPECT_EQ(err(ten, ten, with_mode(QualityContextMode::MixingQuantized, {}, {1, 2, 3})),
            malformed("quantizer table needs two bytes per alphabet entry"));
  Bytes wide(95);
  for (size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<uint8_t>(33 + i);
  auto r = encode_quality_stream(std::vector<uint32_t>{95}, wide, std::nullopt);
  EXPECT_EQ(r.ok() ? "<encoded>" : r.error().message(), "quality alphabet too large (95 > 64 symbols)");
}

}  // namespace
}  // namespace zarv
