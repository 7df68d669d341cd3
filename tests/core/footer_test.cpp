#include "core/footer.hpp"

#include <gtest/gtest.h>

#include "codecs/entropy/byte_cursor.hpp"
#include "core/crc32c.hpp"
#include "writer/assembler.hpp"

// Specs are written with designated initializers; the fields left out keep
// their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace zarv {
namespace {

using writer::Bytes;
using writer::FooterSpec;

// Header (25 bytes) plus `blocks` bytes of filler before the footer.
Bytes prefix(size_t blocks = 100) {
  Bytes b = writer::build_header({});
  b.resize(b.size() + blocks, 0xEE);
  return b;
}

GroupLoc group(uint64_t block, uint32_t reads, uint64_t names_at, uint32_t names_len) {
  GroupLoc g;
  g.block_offset = block;
  g.read_count = reads;
  g.streams[0] = {names_at, names_len, 0x11111111};
  g.streams[1] = {block, 0, 0};
  g.streams[2] = {block + 1, 2, 0x33};
  return g;
}

Result<FooterIndex> read(const Bytes& b, bool encrypted = false) {
  MemorySource src(b);
  return read_footer(src, encrypted);
}

std::string message_of(const Bytes& b, bool encrypted = false) {
  auto r = read(b, encrypted);
  return r.ok() ? "ok" : r.error().message();
}

// The 125-byte prefix followed by the footer of `layout`.
Bytes archive(const FooterSpec& layout) {
  Bytes a = prefix();
  writer::append_footer(a, layout);
  return a;
}

TEST(Footer, RoundTripAndCoveredLength) {
  const Bytes a = archive({.groups = {group(25, 10, 60, 5), group(70, 3, 80, 45)}, .total_reads = 13});
  auto idx = read(a);
  ASSERT_TRUE(idx.ok()) << idx.error().message();
  EXPECT_EQ(idx->groups.size(), 2u);
  EXPECT_EQ(idx->total_reads, 13u);
  EXPECT_EQ(idx->footer_offset, 125u);
  EXPECT_EQ(idx->groups[1].read_count, 3u);
  EXPECT_EQ(idx->groups[1].stream(StreamKind::Names).offset, 80u);
  EXPECT_EQ(idx->groups[1].stream(StreamKind::Names).length, 45u);  // ends exactly at F
  EXPECT_EQ(idx->groups[0].stream(StreamKind::Quality).crc, 0x33u);
  // The whole-file CRC covers everything but the last 20 bytes.
  EXPECT_EQ(idx->crc_covered_len, a.size() - 20);
  EXPECT_EQ(idx->whole_file_crc, crc32c(std::span<const uint8_t>(a).first(a.size() - 20)));
  EXPECT_FALSE(idx->tag.has_value());
}

TEST(Footer, HandMadeEmptyFooter) {
  // Zero row groups: a 20-byte body, written by hand.
  Bytes a = prefix(0);
  const size_t f = a.size();
  put_le32(a, 0);
  put_le64(a, 0);
  put_le32(a, crc32c(a));
  put_le32(a, crc32c(std::span<const uint8_t>(a).subspan(f)));
  put_le64(a, f);
  a.insert(a.end(), {'Z', 'A', 'R', 'F'});
  ASSERT_EQ(a.size(), 25u + 20u + 12u);
  auto idx = read(a);
  ASSERT_TRUE(idx.ok()) << idx.error().message();
  EXPECT_TRUE(idx->groups.empty());
  EXPECT_EQ(idx->whole_file_crc, crc32c(std::span<const uint8_t>(a).first(25 + 12)));
}

TEST(Footer, EncryptedFooterCarriesTag) {
  FooterSpec layout{.groups = {group(25, 1, 30, 10)}, .total_reads = 1, .tag = std::array<uint8_t, 16>{}};
  for (int i = 0; i < 16; ++i) (*layout.tag)[i] = static_cast<uint8_t>(i);
  const Bytes a = archive(layout);
  auto idx = read(a, true);
  ASSERT_TRUE(idx.ok()) << idx.error().message();
  ASSERT_TRUE(idx->tag.has_value());
  EXPECT_EQ((*idx->tag)[15], 15);
  EXPECT_EQ(idx->crc_covered_len, a.size() - 36);
  // Read as plain, the tag breaks the size rule.
  EXPECT_EQ(message_of(a, false), "malformed zarv block: footer size does not match its row-group count");
}

TEST(Footer, TrailerAndOffsetChecks) {
  EXPECT_EQ(message_of(Bytes(36, 0)), "truncated zarv stream");
  const Bytes a = archive({});
  Bytes bad = a;
  bad.back() = 'G';
  EXPECT_EQ(message_of(bad), "malformed zarv block: missing footer trailer magic");
  auto with_offset = [&](uint64_t f) {
    Bytes b = a;
    for (int i = 0; i < 8; ++i) b[b.size() - 12 + i] = static_cast<uint8_t>(f >> (8 * i));
    return message_of(b);
  };
  for (uint64_t f : {uint64_t{24}, a.size() - 12 - 19, UINT64_MAX - 5}) {
    EXPECT_EQ(with_offset(f), "malformed zarv block: footer offset out of range") << f;
  }
  // Moving F back by a byte makes a body whose CRC no longer matches.
  EXPECT_EQ(with_offset(a.size() - 12 - 21), "corrupted zarv data: footer (crc mismatch)");
  // Encrypted footers need 16 more bytes.
  EXPECT_EQ(message_of(a, true), "malformed zarv block: footer offset out of range");
}

TEST(Footer, EveryBodyByteIsCoveredByTheCrc) {
  const Bytes a = archive({.groups = {group(25, 10, 60, 5)}});
  for (size_t i = 125; i < a.size() - 12; ++i) {
    Bytes b = a;
    b[i] ^= 0x01;
    EXPECT_EQ(message_of(b), "corrupted zarv data: footer (crc mismatch)") << i;
  }
}

TEST(Footer, EntryChecks) {
  auto msg = [](GroupLoc g, std::optional<uint32_t> count = {}) {
    return message_of(archive({.groups = {g}, .group_count = count}));
  };
  const std::string offset = "malformed zarv block: footer row-group offset out of range",
                    location = "malformed zarv block: footer stream location out of range";
  EXPECT_EQ(msg(group(25, 1, 25, 100)), "ok");
  EXPECT_EQ(msg(group(24, 1, 30, 1)), offset);
  EXPECT_EQ(msg(group(125, 1, 125, 0)), offset);
  EXPECT_EQ(msg(group(25, 1, 25, 101)), location);
  EXPECT_EQ(msg(group(30, 1, 29, 1)), location);
  EXPECT_EQ(msg(group(25, 1, UINT64_MAX - 3, 4)), "malformed zarv block: footer stream offset overflow");
  EXPECT_EQ(msg(group(25, 1, 30, 1), 2), "malformed zarv block: footer size does not match its row-group count");
  // Quality stream checked after names and sequence.
  GroupLoc q = group(25, 1, 30, 1);
  q.streams[2].length = 1000;
  EXPECT_EQ(msg(q), location);
}

TEST(Footer, ParseIndexSuffix) {
  const Bytes a = archive({.groups = {group(25, 4, 30, 9), group(60, 6, 61, 9)}, .total_reads = 10});
  const uint64_t len = a.size();
  auto tail = [&](size_t n) { return std::span<const uint8_t>(a).last(n); };
  // Too short for the trailer: asks for 12 bytes; the trailer alone gives the footer's size.
  auto r = parse_index_suffix(tail(11), len);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::get<uint64_t>(*r), 12u);
  r = parse_index_suffix(tail(12), len);
  ASSERT_TRUE(r.ok());
  const uint64_t need = std::get<uint64_t>(*r);
  EXPECT_EQ(need, len - 125);
  r = parse_index_suffix(tail(need), len);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(std::get<FooterIndex>(*r).groups.size(), 2u);
  EXPECT_EQ(std::get<FooterIndex>(*r).total_reads, 10u);
  // The whole archive as suffix reads the same as the footer reader.
  auto whole = parse_index_suffix(a, len);
  auto direct = read(a);
  ASSERT_TRUE(whole.ok() && direct.ok());
  const FooterIndex& w = std::get<FooterIndex>(*whole);
  EXPECT_EQ(w.whole_file_crc, direct->whole_file_crc);
  EXPECT_EQ(w.crc_covered_len, direct->crc_covered_len);
  EXPECT_EQ(w.groups[1].stream(StreamKind::Names).offset, direct->groups[1].stream(StreamKind::Names).offset);

  EXPECT_EQ(parse_index_suffix(a, len - 1).error().message(), "malformed zarv block: suffix longer than the archive");
  Bytes bad(tail(need).begin(), tail(need).end());
  bad.back() = 0;
  EXPECT_EQ(parse_index_suffix(bad, len).error().message(), "malformed zarv block: missing footer trailer magic");
}

}  // namespace
}  // namespace zarv
