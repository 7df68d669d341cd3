// Sequence stream envelope: method dispatch and its error texts, method 0
// through the envelope, reverse complements and two-bit base codes.
#include "codecs/sequence/sequence.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zarv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string text_of(std::span<const uint8_t> b) { return std::string(b.begin(), b.end()); }

// The envelope never looks inside a reference; any non-null pointer stands
// for "the archive has one".
const SharedReference* some_reference() {
  static int dummy;
  return reinterpret_cast<const SharedReference*>(&dummy);
}

TEST(SequenceStream, MethodZeroHandBuiltRoundTripAndBounds) {
  // Order 1, no hashed tier; reads 1 and 2 (mode 0); exception at 2 ('g');
  // no payload, so the coded symbols are all 'A'.
  auto hand = decode_sequence_stream(Bytes{0, 1, 1, 0, 0, 2, 0, 1, 2, 1, 2, 'g'}, nullptr);
  ASSERT_TRUE(hand.ok()) << hand.error().message();
  EXPECT_EQ(hand->lengths, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(text_of(hand->bases), "AAg");

  const std::vector<uint32_t> lengths{5, 0, 8};
  const Bytes bases = bytes_of("ACGTNacgRYTTG");
  auto coded = encode_sequence_stream(lengths, bases);
  ASSERT_TRUE(coded.ok()) << coded.error().message();
  ASSERT_EQ((*coded)[0], 0);
  for (const SharedReference* ref : {static_cast<const SharedReference*>(nullptr), some_reference()}) {
    auto r = decode_sequence_stream(*coded, ref);  // method 0 ignores the reference
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r->lengths, lengths);
    EXPECT_EQ(r->bases, bases);
  }
  auto r = decode_sequence_stream(*coded, nullptr, {.max_reads = 2});  // the bounds reach the codec
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "malformed sequence stream: length count too large to allocate");
  EXPECT_TRUE(decode_sequence_stream(*coded, nullptr, {.max_reads = 3, .max_bases = 13}).ok());
  EXPECT_EQ(encode_sequence_stream(lengths, bytes_of("ACG")).error().message(),
            "cannot encode sequence stream: read lengths (13) do not match sequence bytes (3)");
}

TEST(SequenceStreamErrors, EnvelopeAndMethodBodies) {
  // Method 2 needs the reference before anything else, even with a valid body.
  auto valid = encode_sequence_stream(std::vector<uint32_t>{4}, bytes_of("ACGT"));
  ASSERT_TRUE(valid.ok());
  (*valid)[0] = 2;
  const struct {
    Bytes coded;
    const SharedReference* ref;
    ErrorKind kind;
    std::string message;
  } cases[] = {
      {{}, nullptr, ErrorKind::Malformed, "malformed zarv block: empty sequence stream"},
      {{5, 1, 1, 0, 0}, nullptr, ErrorKind::UnsupportedCodec, "unsupported zarv sequence codec method 5; upgrade zarv"},
      {{255}, nullptr, ErrorKind::UnsupportedCodec, "unsupported zarv sequence codec method 255; upgrade zarv"},
      {*valid, nullptr, ErrorKind::Malformed,
       "malformed zarv block: shared-reference sequence block but no reference frame in the archive"},
      // Method 0 wraps the nucleotide codec's own message.
      {{0}, nullptr, ErrorKind::Sequence, "malformed sequence stream: truncated stream"},
      {{0, 1, 1, 0, 0, 1, 1, 3, 1, 3, 'x'}, nullptr, ErrorKind::Sequence,
       "malformed sequence stream: exception out of range"},
      // Method 3 with an empty body fails on its first field.
      {{3}, nullptr, ErrorKind::Sequence, "malformed sequence stream: reflzma: bad contig count"},
      {{3, 9}, nullptr, ErrorKind::Sequence, "malformed sequence stream: reflzma: implausible contig count"},
      {{3, 1, 0x80}, nullptr, ErrorKind::Sequence, "malformed sequence stream: reflzma: bad contig len"},
      {{3, 1, 4}, nullptr, ErrorKind::Sequence, "malformed sequence stream: reflzma: bad n_bases"},
      {{3, 0, 0x80, 0x80, 0x80, 0x01}, nullptr, ErrorKind::Sequence,
       "malformed sequence stream: reflzma: declared length exceeds capacity"},
      {{3, 0, 0}, nullptr, ErrorKind::Sequence, "malformed sequence stream: reflzma: decoder not available in this build"},
      // The long-read methods report the overlap codec's one message.
      {{1, 'L', 'R', 'O', 1}, nullptr, ErrorKind::LrOverlap, "malformed lroverlap block"},
      {{4, 'L', 'R', 'T', 1}, nullptr, ErrorKind::LrOverlap, "malformed lroverlap block"},
      {{2, 'L', 'R', 'O', 2}, some_reference(), ErrorKind::LrOverlap, "malformed lroverlap block"},
  };
  for (const auto& c : cases) {
    auto r = decode_sequence_stream(c.coded, c.ref);
    ASSERT_FALSE(r.ok()) << c.message;
    EXPECT_EQ(r.error().kind, c.kind) << c.message;
    EXPECT_EQ(r.error().message(), c.message);
  }
}

TEST(Revcomp, BothFormsAndTwoBitCodes) {
  const std::pair<std::string, std::string> both_cases[] = {
      {"ACGTN", "NACGT"}, {"acgtn", "nacgt"}, {"AAC", "GTT"}, {"RYaC-", "-GtYR"}, {"", ""}};
  for (const auto& [in, out] : both_cases) {
    Bytes dst(in.size(), '?');
    revcomp_into(bytes_of(in), dst);
    EXPECT_EQ(text_of(dst), out);
  }
  // The upper-case-only form leaves lower case as it is.
  EXPECT_EQ(text_of(revcomp_upper(bytes_of("acgT"))), "Agca");
  EXPECT_EQ(text_of(revcomp_upper(bytes_of("ACGTN"))), "NACGT");
  EXPECT_TRUE(revcomp_upper({}).empty());
  const std::string bases = "ACGTNacgtX";
  const uint8_t expected[] = {0, 1, 2, 3, 4, 4, 4, 4, 4, 4};
  for (size_t i = 0; i < bases.size(); ++i) EXPECT_EQ(base_code(bases[i]), expected[i]) << bases[i];
  EXPECT_EQ(text_of(Bytes{code_base(0), code_base(1), code_base(2), code_base(3), code_base(4), code_base(255)}),
            "ACGTAA");
}

TEST(RevcompDeathTest, LengthMismatchStopsTheProcess) {
  const Bytes src = bytes_of("ACGT");
  Bytes dst(3);
  EXPECT_DEATH(revcomp_into(src, dst), "revcomp_into: length mismatch");
}

}  // namespace
}  // namespace zarv
