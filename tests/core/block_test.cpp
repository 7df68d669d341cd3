#include "core/block.hpp"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <random>

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/quality/quality.hpp"
#include "core/crc32c.hpp"
#include "writer/archive_writer.hpp"
#include "writer/assembler.hpp"

namespace zarv {
namespace {

using writer::Bytes;
using writer::Read;

std::vector<Read> sample_reads(size_t n, uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::vector<Read> reads;
  for (size_t i = 0; i < n; ++i) {
    Read r;
    r.name = "A00123:8:H5KJLDSXX:1:1101:" + std::to_string(1000 + i * 7) + ":" + std::to_string(rng() % 30000);
    size_t len = 50 + rng() % 100;
    for (size_t k = 0; k < len; ++k) {
      r.sequence += "ACGTN"[rng() % 41 / 10];
      r.quality += static_cast<char>('!' + 2 + rng() % 39);
    }
    reads.push_back(std::move(r));
  }
  return reads;
}

Bytes payload_of(const std::vector<Read>& reads, QualityContextMode mode = QualityContextMode::Position) {
  writer::BlockOptions o;
  o.quality.mode = mode;
  auto p = writer::make_payload(reads, o);
  EXPECT_TRUE(p.ok()) << p.error().message();
  return p.ok() ? *p : Bytes{};
}

std::string error_of(std::span<const uint8_t> payload, StreamSelection sel = StreamSelection::all()) {
  auto r = decode_block(payload, sel);
  return r.ok() ? "ok" : r.error().message();
}

TEST(Block, DigestsAreXxh3OfTheStatedLayouts) {
  // Built by hand: R as u64, then per name a u32 length and the bytes.
  NameList names;
  names.push_back("r1");
  names.push_back("");
  Bytes manual = {2, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 'r', '1', 0, 0, 0, 0};
  EXPECT_EQ(names_digest(names), XXH3_64bits(manual.data(), manual.size()));
  std::vector<uint32_t> lengths = {3, 1};
  Bytes bases = {'A', 'C', 'G', 'T'};
  Bytes col = {2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 1, 0, 0, 0, 'A', 'C', 'G', 'T'};
  EXPECT_EQ(column_digest(lengths, bases), XXH3_64bits(col.data(), col.size()));
}

TEST(Block, EverySelectionDecodesWhatWasWritten) {
  auto reads = sample_reads(40);
  for (auto mode : {QualityContextMode::Position, QualityContextMode::Bases, QualityContextMode::Mixing,
                    QualityContextMode::MixingQuantized}) {
    Bytes payload = payload_of(reads, mode);
    for (uint32_t packed = 0; packed <= 0x010101; packed += 1) {
      if (packed & ~0x010101u) continue;
      StreamSelection sel = StreamSelection::from_packed(packed);
      auto block = decode_block(payload, sel);
      ASSERT_TRUE(block.ok()) << block.error().message();
      auto recs = block_to_records(*block, sel);
      ASSERT_TRUE(recs.ok());
      ASSERT_EQ(recs->size(), reads.size());
      for (size_t i = 0; i < reads.size(); ++i) {
        EXPECT_EQ((*recs)[i].name, sel.names ? reads[i].name : "");
        EXPECT_EQ((*recs)[i].sequence, sel.sequence ? reads[i].sequence : "");
        EXPECT_EQ((*recs)[i].quality, sel.quality ? reads[i].quality : "");
      }
      // Quality coded against the bases pulls the sequence in; it is not
      // handed out unless selected.
      EXPECT_TRUE(sel.sequence || block->bases.empty());
    }
  }
}

// Replaces the digest at `which` (0 names, 1 sequence, 2 quality).
Bytes with_digest(Bytes p, int which, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[8 * which + i] = static_cast<uint8_t>(v >> (8 * i));
  return p;
}

TEST(Block, DigestMismatchesAreCheckedOnlyForDecodedStreams) {
  auto reads = sample_reads(10);
  Bytes plain = payload_of(reads, QualityContextMode::Position);
  const std::string names = "corrupted zarv data: block names digest (crc mismatch)";
  const std::string seq = "corrupted zarv data: block sequence digest (crc mismatch)";
  const std::string qual = "corrupted zarv data: block quality digest (crc mismatch)";
  EXPECT_EQ(error_of(with_digest(plain, 0, 1)), names);
  EXPECT_EQ(error_of(with_digest(plain, 1, 1)), seq);
  EXPECT_EQ(error_of(with_digest(plain, 2, 1)), qual);
  // Names first when several are wrong.
  EXPECT_EQ(error_of(with_digest(with_digest(plain, 2, 1), 0, 1)), names);
  // Deselected streams are not checked.
  EXPECT_EQ(error_of(with_digest(plain, 0, 1), {false, true, true}), "ok");
  EXPECT_EQ(error_of(with_digest(plain, 2, 1), {true, true, false}), "ok");
  // A plain quality-only decode leaves the sequence alone...
  EXPECT_EQ(error_of(with_digest(plain, 1, 1), {false, false, true}), "ok");
  // ...but a quality stream coded against the bases decodes and checks it.
  Bytes against = payload_of(reads, QualityContextMode::Bases);
  ASSERT_TRUE(quality_coded_against_sequence(parse_payload(against)->quality));
  EXPECT_EQ(error_of(with_digest(against, 1, 1), {false, false, true}), seq);
  EXPECT_EQ(error_of(with_digest(against, 0, 1), {false, false, true}), "ok");
}

TEST(Block, PayloadLayoutErrors) {
  Bytes p = payload_of(sample_reads(3));
  for (size_t n : {size_t{23}, size_t{27}, p.size() - 1}) {
    EXPECT_EQ(error_of(std::span<const uint8_t>(p).first(n)), "truncated zarv stream") << n;
  }
  Bytes extra = p;
  extra.push_back(0);
  // Even with nothing selected the layout is checked.
  for (auto sel : {StreamSelection::all(), StreamSelection::none()}) {
    EXPECT_EQ(error_of(extra, sel), "malformed zarv block: block payload has trailing bytes after the three streams");
  }
  // The read count must agree with the decoded streams.
  Bytes wrong = p;
  wrong[24] = 4;
  EXPECT_EQ(error_of(wrong), "malformed zarv block: block stream length disagreement");
  EXPECT_EQ(error_of(wrong, StreamSelection::none()), "ok");
  Bytes empty_seq(40, 0);  // three digests, the read count, three stream lengths
  EXPECT_EQ(error_of(empty_seq, {false, true, false}), "malformed zarv block: empty sequence stream");
  Bytes method9 = empty_seq;
  method9[32] = 1;
  method9.insert(method9.begin() + 36, 9);
  EXPECT_EQ(error_of(method9, {false, true, false}), "unsupported zarv sequence codec method 9; upgrade zarv");
}

// The payload of `reads` with its quality column replaced by `quality`.
Bytes with_quality_column(const std::vector<Read>& reads, const Bytes& quality) {
  Bytes payload = payload_of(reads);
  auto layout = parse_payload(payload);
  EXPECT_TRUE(layout.ok());
  Bytes out(payload.begin(), payload.begin() + 32 + layout->names.size() + 4 + layout->sequence.size());
  put_le32(out, static_cast<uint32_t>(quality.size()));
  out.insert(out.end(), quality.begin(), quality.end());
  return out;
}

TEST(Block, QualityColumnLongerThanTheBases) {
  std::vector<Read> reads = {{"r1", "ACGTACGTAC", "IIIIIIIIII"}, {"r2", "GGGGGGGGGG", "IIIIIIIIII"}};
  // A mode-0 column of one symbol ('I') codes at zero cost: an empty payload
  // decodes to as many as the lengths declare. Here 12 + 10 for 20 bases.
  const Bytes longer = {2, 0, 0, 1, 'I', 2, 0, 12, 10};
  Bytes payload = with_quality_column(reads, longer);
  // Its digest covers the sequence's read lengths and every quality value;
  // the reads then take theirs from the front.
  std::string hashed(8, '\0');
  hashed[0] = 2;
  for (uint32_t len : {10u, 10u}) hashed.append(reinterpret_cast<const char*>(&len), 4);
  hashed.append(22, 'I');
  const Bytes good = with_digest(payload, 2, XXH3_64bits(hashed.data(), hashed.size()));
  auto block = decode_block(good, StreamSelection::all());
  ASSERT_TRUE(block.ok()) << block.error().message();
  auto recs = block_to_records(*block, StreamSelection::all());
  ASSERT_TRUE(recs.ok());
  EXPECT_EQ((*recs)[1].quality, "IIIIIIIIII");
  EXPECT_EQ(error_of(payload), "corrupted zarv data: block quality digest (crc mismatch)");

  // A column declaring tens of millions of values past the bases is not
  // decoded: it is reported as the digest mismatch, after the names check.
  const Bytes bomb = {2, 0, 0, 1, 'I', 2, 1, 0x80, 0xB4, 0x89, 0x13};  // 2 x 40,000,000
  Bytes forged = with_quality_column(reads, bomb);
  EXPECT_EQ(error_of(forged), "corrupted zarv data: block quality digest (crc mismatch)");
  EXPECT_EQ(error_of(with_digest(forged, 0, 7)), "corrupted zarv data: block names digest (crc mismatch)");
  EXPECT_EQ(error_of(forged, {true, true, false}), "ok");
}

TEST(Block, TextRendering) {
  std::vector<Read> reads = {{"r1", "ACGT", "IIII"}, {"empty", "", ""}, {"r3", "GG", "#I"}};
  auto block = decode_block(payload_of(reads), StreamSelection::all());
  ASSERT_TRUE(block.ok()) << block.error().message();
  Bytes fq = {'x'};
  ASSERT_TRUE(write_fastq(*block, fq).ok());
  EXPECT_EQ(std::string(fq.begin(), fq.end()), "x@r1\nACGT\n+\nIIII\n@empty\n\n+\n\n@r3\nGG\n+\n#I\n");
  auto fa_block = decode_block(payload_of(reads), {true, true, false});
  ASSERT_TRUE(fa_block.ok());
  Bytes fa;
  ASSERT_TRUE(write_fasta(*fa_block, fa).ok());
  EXPECT_EQ(std::string(fa.begin(), fa.end()), ">r1\nACGT\n>empty\n\n>r3\nGG\n");
}

TEST(Block, SplittingChecksTheDeclaredLengths) {
  DecodedBlock b;
  b.reads = 2;
  b.names.push_back("a");
  b.names.push_back("b");
  b.lengths = {2, 3};
  b.bases = {'A', 'C', 'G', 'T'};
  b.qualities = {'1', '2', '3', '4', '5'};
  Bytes out = {'k'};
  EXPECT_EQ(write_fastq(b, out).error().message(), "malformed zarv block: sequence shorter than declared read lengths");
  EXPECT_EQ(out, Bytes{'k'});  // nothing of a failed block is left behind
  b.bases.push_back('T');
  b.qualities.pop_back();
  EXPECT_EQ(block_to_records(b, StreamSelection::all()).error().message(),
            "malformed zarv block: quality shorter than declared read lengths");
  EXPECT_TRUE(block_to_records(b, {true, true, false}).ok());
  b.lengths = {0xFFFFFFFFu, 1};
  EXPECT_EQ(block_to_records(b, {false, true, false}).error().message(),
            "malformed zarv block: sequence shorter than declared read lengths");
}

TEST(BlockFrame, FramesAndEndOfSequence) {
  Bytes payload = payload_of(sample_reads(2));
  Bytes stream;
  writer::append_block_frame(stream, payload);
  writer::append_block_frame(stream, payload);
  MemorySource src(stream);
  for (int i = 0; i < 2; ++i) {
    auto f = read_block_frame(src, i);
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f->has_value());
    EXPECT_EQ(**f, payload);
  }
  auto end = read_block_frame(src, 2);  // end of input at a frame boundary
  ASSERT_TRUE(end.ok());
  EXPECT_FALSE(end->has_value());

  auto message_at = [&](Bytes s, uint64_t index = 0) {
    MemorySource m(s);
    auto f = read_block_frame(m, index);
    if (!f.ok()) return f.error().message();
    return std::string(f->has_value() ? "payload" : "end");
  };
  Bytes ended;
  writer::append_end_frame(ended);
  ended.insert(ended.end(), stream.begin(), stream.end());
  EXPECT_EQ(message_at(ended), "end");  // a zero-length frame ends even if bytes follow
  EXPECT_EQ(message_at(Bytes{'Z', 'A'}), "end");  // inside the magic
  for (size_t cut : {size_t{4}, size_t{11}, size_t{15}, size_t{17}, stream.size() / 2 - 1}) {
    EXPECT_EQ(message_at(Bytes(stream.begin(), stream.begin() + cut)), "truncated zarv stream") << cut;
  }
  Bytes bad_magic = stream;
  bad_magic[0] = 'X';
  EXPECT_EQ(message_at(bad_magic, 5), "corrupted zarv data: block 5 (bad sync marker) (crc mismatch)");
  Bytes bad_crc = stream;
  bad_crc[40] ^= 1;
  EXPECT_EQ(message_at(bad_crc, 3), "corrupted zarv data: block 3 (crc mismatch)");
  Bytes huge;
  writer::append_block_frame(huge, payload, std::nullopt, uint64_t{0x80000001});
  EXPECT_EQ(message_at(huge), "malformed zarv block: block payload length exceeds the maximum");
  Bytes max_len;
  writer::append_block_frame(max_len, payload, std::nullopt, uint64_t{0x80000000});
  EXPECT_EQ(message_at(max_len), "truncated zarv stream");  // allowed length, missing bytes
}

TEST(BlockFrame, FramedSlices) {
  auto read_slice = [](const Bytes& s, const char* what) {
    MemorySource src(s);
    auto r = read_framed_slice(src, what);
    return r.ok() ? "ok " + std::string(r->begin(), r->end()) : r.error().message();
  };
  Bytes s;
  put_le32(s, 3);
  put_le32(s, crc32c(Bytes{'a', 'b', 'c'}));
  s.insert(s.end(), {'a', 'b', 'c'});
  EXPECT_EQ(read_slice(s, "x"), "ok abc");
  EXPECT_EQ(read_slice(Bytes(s.begin(), s.end() - 1), "x"), "truncated zarv stream");
  s.back() = 'd';
  EXPECT_EQ(read_slice(s, "plain-layout global reference"),
            "corrupted zarv data: plain-layout global reference (crc mismatch)");
  Bytes big;
  put_le32(big, 0x80000001u);
  put_le32(big, 0);
  EXPECT_EQ(read_slice(big, "x"), "malformed zarv block: framed slice length exceeds the maximum");
}

}  // namespace
}  // namespace zarv
