// Quality stream decoder: hand-built streams with worked values, the probe,
// and every failure the decoder and encoder report.
#include <gtest/gtest.h>

#include "codecs/quality/quality.hpp"
#include "codecs/quality/quality_model.hpp"
#include "tests/codecs/quality/quality_test_util.hpp"

namespace zarv {
namespace {

using namespace quality_test;

TEST(QualityStream, HandBuiltSingleSymbolStreamNeedsNoPayload) {
  // Mode 0, alphabet "I", three reads of 5 in run layout. One symbol has all
  // the probability, so the payload is empty.
  const Bytes coded = {2, 0, 0, 1, 'I', 3, 1, 5};
  auto r = decode_quality_stream(coded, std::nullopt);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->lengths, (std::vector<uint32_t>{5, 5, 5}));
  EXPECT_EQ(text(r->qualities), std::string(15, 'I'));

  // The encoder writes exactly these bytes for that column.
  const std::vector<uint32_t> lengths = {5, 5, 5};
  const Bytes qualities(15, 'I');
  auto enc = encode_quality_stream(lengths, qualities, std::nullopt);
  ASSERT_TRUE(enc.ok());
  EXPECT_EQ(*enc, coded);
}

TEST(QualityStream, HandBuiltFrequencyModelWorkedValues) {
  // Mode 0, alphabet "#F" (4 slots, rows start [1,1,0,0], total 2), one read
  // of 3, code 0x80000000. Symbol 0: r = 0x7FFFFFFF, target 1 -> slot 1 'F';
  // low = range = 0x7FFFFFFF. Symbol 1 (fresh context 35): r = 0x3FFFFFFF,
  // target 1 / r = 0 -> '#'. Symbol 2 (fresh context 17920): target 0 -> '#'.
  Bytes coded = stream_head(0, "#F");
  put_lengths(coded, {3});
  coded.insert(coded.end(), {0x80, 0, 0, 0});
  EXPECT_EQ(decode_text(coded), "F##");

  // Layout 0 with a zero-length read in the middle.
  Bytes two = stream_head(0, "#");
  put_lengths(two, {2, 0, 1});
  auto r = decode_quality_stream(two, std::nullopt);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->lengths, (std::vector<uint32_t>{2, 0, 1}));
  EXPECT_EQ(text(r->qualities), "###");
}

TEST(QualityStream, HandBuiltMixingModelWorkedValues) {
  // Mode 3, alphabet "#": B = 1. All entries start at 2048, stretch 0, so the
  // first p is squash[2048] = 2048. With code 0xFFFFFFFF the target 4096 is
  // >= p: bit 0, symbol 0, low = range = 0x7FFFF800. The second symbol's
  // contexts are fresh (and the weights did not move: every stretch was 0),
  // so p is 2048 again; (code - low) / (range >> 12) = 0x800007FF / 0x7FFFF
  // = 4096: bit 0 again.
  Bytes coded = stream_head(3, "#");
  put_lengths(coded, {2});
  coded.insert(coded.end(), {0xFF, 0xFF, 0xFF, 0xFF});
  const Bytes bases = bytes_of("AC");
  EXPECT_EQ(decode_text(coded, bases), "##");

  // An empty payload gives code 0, target 0 < 2048: bit 1, index 1 of a
  // one-symbol alphabet.
  Bytes empty = stream_head(3, "#");
  put_lengths(empty, {2});
  EXPECT_EQ(decode_error(empty, bases), malformed("decoded symbol outside alphabet"));
}

TEST(QualityStream, StoredQuantizerHeaderAndZeroReads) {
  Bytes coded = stream_head(4, "#F", 2);
  coded.insert(coded.end(), {0x3F, 0x1B, 0x00, 0x00});
  put_lengths(coded, {});
  const Bytes none;
  auto r = decode_quality_stream(coded, std::span<const uint8_t>(none));
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_TRUE(r->lengths.empty());
  EXPECT_TRUE(r->qualities.empty());
  // Zero reads still need the (empty) bases in a sequence-conditioned mode.
  EXPECT_EQ(decode_error(coded), malformed("sequence context requires the decoded sequence"));
}

TEST(QualityStream, RunLayoutWithZeroCountReadsNoLength) {
  // Count 0 in run layout: no length varint follows, the rest is payload.
  const Bytes coded = {2, 0, 0, 1, '#', 0, 7, 0xAA, 0xBB};
  auto h = quality::parse_stream_header(coded);
  ASSERT_TRUE(h.ok());
  EXPECT_TRUE(h->lengths.empty());
  EXPECT_EQ(h->payload.size(), 2u);
}

TEST(QualityStream, NeedsSequenceProbe) {
  EXPECT_FALSE(quality_needs_sequence({}));
  EXPECT_FALSE(quality_needs_sequence(Bytes{2, 0}));
  EXPECT_FALSE(quality_needs_sequence(Bytes{2, 0, 0}));
  EXPECT_FALSE(quality_needs_sequence(Bytes{1, 0, 1}));
  for (uint8_t mode : {1, 2, 3, 4, 5, 6, 200}) EXPECT_TRUE(quality_needs_sequence(Bytes{2, 0, mode})) << int(mode);
}

TEST(QualityStreamErrors, FixedHeaderBytesInOrder) {
  EXPECT_EQ(decode_error({}), malformed("truncated header"));
  EXPECT_EQ(decode_error({2, 0, 0}), malformed("truncated header"));
  EXPECT_EQ(decode_error({1, 0, 0, 1, '#', 0, 0}), malformed("unsupported version"));
  // The tag is checked before the mode byte is looked at.
  EXPECT_EQ(decode_error({2, 6, 2, 1, '#', 0, 0}), malformed("unknown quality-binning tag"));
  for (uint8_t mode : {2, 7, 255}) {
    EXPECT_EQ(decode_error({2, 0, mode, 1, '#', 0, 0}),
              "unsupported quality context mode " + std::to_string(mode) + "; this archive needs a newer zarv");
  }
  EXPECT_EQ(decode_error({2, 0, 0, 0}), "quality alphabet too large (0 > 64 symbols)");
  EXPECT_EQ(decode_error({2, 0, 0, 95}), "quality alphabet too large (95 > 64 symbols)");
  EXPECT_EQ(decode_error({2, 0, 0, 255}), "quality alphabet too large (255 > 64 symbols)");
}

TEST(QualityStreamErrors, TruncatedVariableParts) {
  EXPECT_EQ(decode_error({2, 0, 0, 2, '#'}), malformed("truncated header"));           // alphabet
  EXPECT_EQ(decode_error({2, 0, 4, 2, '#', 'F', 1, 2, 3}), malformed("truncated header"));  // quantizers
  EXPECT_EQ(decode_error({2, 0, 0, 1, '#'}), malformed("varint too long"));           // read count
  EXPECT_EQ(decode_error({2, 0, 0, 1, '#', 0x80}), malformed("varint too long"));
  EXPECT_EQ(decode_error({2, 0, 0, 1, '#', 3}), malformed("truncated header"));       // layout byte
  EXPECT_EQ(decode_error({2, 0, 0, 1, '#', 3, 0, 5, 5}), malformed("varint too long"));  // third length
  EXPECT_EQ(decode_error({2, 0, 0, 1, '#', 3, 1}), malformed("varint too long"));     // shared length
}

TEST(QualityStreamErrors, DeclaredSizes) {
  Bytes run = stream_head(0, "#");
  put_varint(run, (uint64_t{1} << 28) + 1);
  run.insert(run.end(), {1, 1});
  EXPECT_EQ(decode_error(run), malformed("length count too large to allocate"));

  // The total bound is inclusive: 8 reads of 2^31 make exactly 2^34.
  Bytes at_limit = stream_head(0, "#");
  put_varint(at_limit, 8);
  at_limit.push_back(1);
  put_varint(at_limit, uint64_t{1} << 31);
  auto h = quality::parse_stream_header(at_limit);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h->total, kMaxQualityTotal);

  Bytes over = stream_head(0, "#");
  put_lengths(over, {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 5});  // 2^34 + 1
  EXPECT_EQ(decode_error(over), malformed("declared total length exceeds maximum"));

  // Lengths keep their low 32 bits: 2^32 + 3 is a read of 3.
  Bytes wrapped = stream_head(0, "#");
  put_varint(wrapped, 1);
  wrapped.push_back(0);
  put_varint(wrapped, (uint64_t{1} << 32) + 3);
  EXPECT_EQ(decode_text(wrapped), "###");

  // A caller's tighter bounds give the same messages.
  Bytes small = stream_head(0, "#");
  put_lengths(small, {6, 5});
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
  Bytes coded = stream_head(1, "#F");
  put_lengths(coded, {3, 2});
  const Bytes four = bytes_of("ACGT"), five = bytes_of("ACGTA"), six = bytes_of("ACGTAC");
  EXPECT_EQ(decode_error(coded), malformed("sequence context requires the decoded sequence"));
  EXPECT_EQ(decode_error(coded, four), malformed("sequence context requires the decoded sequence"));
  EXPECT_EQ(decode_error(coded, six), malformed("sequence context requires the decoded sequence"));
  EXPECT_EQ(decode_text(coded, five).size(), 5u);

  // Mode 0 ignores the bases, given or not, whatever their length.
  Bytes plain = stream_head(0, "#F");
  put_lengths(plain, {3, 2});
  EXPECT_EQ(decode_text(plain), decode_text(plain, four));
}

TEST(QualityStreamErrors, SymbolInTheEmptyLastSlot) {
  // Alphabet of 3 in 4 slots: code 0xFFFFFFFF gives target 3 = the total, which
  // only the zero-frequency last slot takes.
  Bytes coded = stream_head(0, "#5F");
  put_lengths(coded, {4});
  coded.insert(coded.end(), {0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(decode_error(coded), malformed("decoded symbol outside alphabet"));
  // With 4 of 4 slots in use the last slot is a real symbol.
  Bytes full = stream_head(0, "#5FI");
  put_lengths(full, {1});
  full.insert(full.end(), {0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(decode_text(full), "I");
}

TEST(QualityStreamErrors, PayloadDecoderBounds) {
  // Reachable only below the stream decoder, which sizes both spans from the
  // lengths: a chunk's bases or output range shorter than its reads.
  const auto alphabet = quality::Alphabet::from(bytes_of("#F"));
  const std::vector<uint32_t> lengths = {3, 4};
  const Bytes payload = {0x12, 0x34, 0x56, 0x78};
  Bytes out(7);
  const Bytes short_bases = bytes_of("ACGTAC");
  EXPECT_EQ(quality::decode_freq_payload(QualityContextMode::Bases, alphabet, payload, lengths, short_bases, out)
                .error()
                .message(),
            malformed("sequence shorter than quality lengths"));
  const Bytes bases = bytes_of("ACGTACG");
  Bytes short_out(6);
  EXPECT_EQ(
      quality::decode_freq_payload(QualityContextMode::Position, alphabet, payload, lengths, {}, short_out)
          .error()
          .message(),
      malformed("quality output range too short"));

  auto model = quality::MixingModel::create(2);
  ASSERT_TRUE(model.ok());
  const auto q = quality::Quantizers::fixed();
  EXPECT_EQ(quality::decode_mixing_payload(*model, alphabet, q, payload, lengths, short_bases, out).error().message(),
            malformed("sequence shorter than quality lengths"));
  EXPECT_EQ(quality::decode_mixing_payload(*model, alphabet, q, payload, lengths, bases, short_out).error().message(),
            malformed("quality output range too short"));
}

TEST(QualityStreamErrors, ChunkedModesAreParsedThenRefused) {
  Bytes bad_variant = stream_head(5, "#F");
  bad_variant.push_back(3);
  EXPECT_EQ(decode_error(bad_variant), "unsupported quality chunk variant 3; this archive needs a newer zarv");

  Bytes one_segment = stream_head(5, "#F");
  one_segment.insert(one_segment.end(), {1, 1, 0, 0});
  EXPECT_EQ(decode_error(one_segment), malformed("chunk segment count out of range"));

  Bytes too_many = stream_head(5, "#F");
  too_many.push_back(2);
  put_varint(too_many, 4097);
  EXPECT_EQ(decode_error(too_many), malformed("chunk segment count out of range"));

  // Mode 6: quantizers, then variant 2, C = 2, W = 0, two empty segments, one
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
  auto err = [](const Result<std::vector<uint8_t>>& r) { return r.ok() ? std::string("<encoded>") : r.error().message(); };

  EXPECT_EQ(err(encode_quality_stream(lengths, nine, std::nullopt)),
            "read lengths (10) do not match quality bytes (9)");
  EXPECT_EQ(err(encode_quality_stream(lengths, ten, std::nullopt, with_mode(QualityContextMode::Mixing))),
            malformed("sequence context requires the decoded sequence"));
  EXPECT_EQ(err(encode_quality_stream(lengths, ten, std::nullopt, with_mode(QualityContextMode::ChunkedMixing))),
            "not yet implemented: chunked quality encoding (context modes 5 and 6)");
  EXPECT_EQ(err(encode_quality_stream(lengths, ten, std::nullopt, with_mode(2))),
            "unsupported quality context mode 2; this archive needs a newer zarv");
  EXPECT_EQ(err(encode_quality_stream(lengths, ten, std::nullopt, with_mode(QualityContextMode::Position, bytes_of("#F")))),
            malformed("quality byte outside the given alphabet"));
  EXPECT_EQ(err(encode_quality_stream(lengths, ten, std::span<const uint8_t>(ten),
                                      with_mode(QualityContextMode::MixingQuantized, {}, {1, 2, 3}))),
            malformed("quantizer table needs two bytes per alphabet entry"));

  Bytes wide(95);
  for (size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<uint8_t>(33 + i);
  const std::vector<uint32_t> one = {95};
  EXPECT_EQ(err(encode_quality_stream(one, wide, std::nullopt)), "quality alphabet too large (95 > 64 symbols)");
}

}  // namespace
}  // namespace zarv
