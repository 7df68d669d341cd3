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

struct Outcome {
  ErrorKind kind;
  std::string message;
};
Outcome fail_of(const Bytes& coded, const SharedReference* ref = nullptr) {
  auto r = decode_sequence_stream(coded, ref);
  if (r.ok()) return {ErrorKind::Io, "<ok>"};
  return {r.error().kind, r.error().message()};
}

// The envelope never looks inside a reference; any non-null pointer stands
// for "the archive has one".
const SharedReference* some_reference() {
  static int dummy;
  return reinterpret_cast<const SharedReference*>(&dummy);
}

TEST(SequenceStream, HandBuiltMethodZero) {
  // Method 0; order 1, no hashed tier; reads 1 and 2 (mode 0); exception at
  // 2 ('g'); no payload, so the coded symbols are all 'A'.
  const Bytes coded{0, 1, 1, 0, 0, 2, 0, 1, 2, 1, 2, 'g'};
  auto r = decode_sequence_stream(coded, nullptr);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->lengths, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(text_of(r->bases), "AAg");
}

TEST(SequenceStream, MethodZeroRoundTripAndReferenceIgnored) {
  const std::vector<uint32_t> lengths{5, 0, 8};
  const Bytes bases = bytes_of("ACGTNacgRYTTG");
  auto coded = encode_sequence_stream(lengths, bases);
  ASSERT_TRUE(coded.ok()) << coded.error().message();
  ASSERT_EQ((*coded)[0], 0);
  for (const SharedReference* ref : {static_cast<const SharedReference*>(nullptr), some_reference()}) {
    auto r = decode_sequence_stream(*coded, ref);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r->lengths, lengths);
    EXPECT_EQ(r->bases, bases);
  }
  auto bad = encode_sequence_stream(lengths, bytes_of("ACG"));
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(), "cannot encode sequence stream: read lengths (13) do not match sequence bytes (3)");
}

TEST(SequenceStreamErrors, Envelope) {
  auto empty = fail_of({});
  EXPECT_EQ(empty.kind, ErrorKind::Malformed);
  EXPECT_EQ(empty.message, "malformed zarv block: empty sequence stream");
  auto five = fail_of({5, 1, 1, 0, 0});
  EXPECT_EQ(five.kind, ErrorKind::UnsupportedCodec);
  EXPECT_EQ(five.message, "unsupported zarv sequence codec method 5; upgrade zarv");
  EXPECT_EQ(fail_of({255}).message, "unsupported zarv sequence codec method 255; upgrade zarv");
  // Method 2 needs the reference before anything else, even with a valid body.
  auto valid = encode_sequence_stream(std::vector<uint32_t>{4}, bytes_of("ACGT"));
  ASSERT_TRUE(valid.ok());
  (*valid)[0] = 2;
  auto no_ref = fail_of(*valid);
  EXPECT_EQ(no_ref.kind, ErrorKind::Malformed);
  EXPECT_EQ(no_ref.message,
            "malformed zarv block: shared-reference sequence block but no reference frame in the archive");
  EXPECT_EQ(fail_of({2}).message, no_ref.message);
}

TEST(SequenceStreamErrors, MethodBodies) {
  // Method 0 wraps the nucleotide codec's own message.
  auto m0 = fail_of({0});
  EXPECT_EQ(m0.kind, ErrorKind::Sequence);
  EXPECT_EQ(m0.message, "malformed sequence stream: truncated stream");
  EXPECT_EQ(fail_of({0, 1, 1, 0, 0, 1, 1, 3, 1, 3, 'x'}).message,
            "malformed sequence stream: exception out of range");
  // Method 3 with an empty body fails on its first field.
  auto m3 = fail_of({3});
  EXPECT_EQ(m3.kind, ErrorKind::Sequence);
  EXPECT_EQ(m3.message, "malformed sequence stream: reflzma: bad contig count");
  EXPECT_EQ(fail_of({3, 9}).message, "malformed sequence stream: reflzma: implausible contig count");
  EXPECT_EQ(fail_of({3, 1, 0x80}).message, "malformed sequence stream: reflzma: bad contig len");
  EXPECT_EQ(fail_of({3, 1, 4}).message, "malformed sequence stream: reflzma: bad n_bases");
  // The long-read methods report the overlap codec's one message.
  for (const Bytes& coded : {Bytes{1}, Bytes{1, 'L', 'R', 'O', 1}, Bytes{4, 'L', 'R', 'T', 1}}) {
    auto lr = fail_of(coded);
    EXPECT_EQ(lr.kind, ErrorKind::LrOverlap);
    EXPECT_EQ(lr.message, "malformed lroverlap block");
  }
  EXPECT_EQ(fail_of({2, 'L', 'R', 'O', 2}, some_reference()).message, "malformed lroverlap block");
}

TEST(SequenceStream, BoundsReachTheCodec) {
  auto coded = encode_sequence_stream(std::vector<uint32_t>{10, 10}, bytes_of("ACGTACGTACGTACGTACGT"));
  ASSERT_TRUE(coded.ok());
  auto r = decode_sequence_stream(*coded, nullptr, {.max_reads = 1});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "malformed sequence stream: length count too large to allocate");
  EXPECT_TRUE(decode_sequence_stream(*coded, nullptr, {.max_reads = 2, .max_bases = 20}).ok());
}

TEST(Revcomp, IntoBufferComplementsBothCases) {
  auto rc = [](const std::string& s) {
    Bytes out(s.size(), '?');
    revcomp_into(bytes_of(s), out);
    return text_of(out);
  };
  EXPECT_EQ(rc("ACGTN"), "NACGT");
  EXPECT_EQ(rc("acgtn"), "nacgt");
  EXPECT_EQ(rc("AAC"), "GTT");
  EXPECT_EQ(rc("RYaC-"), "-GtYR");
  EXPECT_EQ(rc(""), "");
}

TEST(Revcomp, UpperCaseOnlyLeavesLowerCase) {
  EXPECT_EQ(text_of(revcomp_upper(bytes_of("acgT"))), "Agca");
  EXPECT_EQ(text_of(revcomp_upper(bytes_of("ACGTN"))), "NACGT");
  EXPECT_TRUE(revcomp_upper({}).empty());
}

TEST(RevcompDeathTest, LengthMismatchStopsTheProcess) {
  const Bytes src = bytes_of("ACGT");
  Bytes dst(3);
  EXPECT_DEATH(revcomp_into(src, dst), "revcomp_into: length mismatch");
}

TEST(SequenceBases, TwoBitCodes) {
  const std::string bases = "ACGTNacgtX";
  const uint8_t expected[] = {0, 1, 2, 3, 4, 4, 4, 4, 4, 4};
  for (size_t i = 0; i < bases.size(); ++i) EXPECT_EQ(base_code(bases[i]), expected[i]) << bases[i];
  EXPECT_EQ(text_of(Bytes{code_base(0), code_base(1), code_base(2), code_base(3), code_base(4), code_base(255)}),
            "ACGTAA");
}

}  // namespace
}  // namespace zarv
