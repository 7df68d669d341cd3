#include "core/header.hpp"

#include <gtest/gtest.h>

#include "core/crc32c.hpp"
#include "writer/assembler.hpp"

// Specs are written with designated initializers; the fields left out keep
// their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace zarv {
namespace {

using writer::Bytes;
using writer::HeaderSpec;

Result<ArchiveHeader> parse(const Bytes& b) {
  MemorySource src(b);
  return read_header(src);
}

std::string message_of(const Bytes& b) {
  auto r = parse(b);
  return r.ok() ? "ok" : r.error().message();
}
std::string message_of(const HeaderSpec& fields) { return message_of(writer::build_header(fields)); }

TEST(Header, MinimalHeaderIs25BytesAndLeavesSourceAfterCrc) {
  Bytes b = writer::build_header({});
  ASSERT_EQ(b.size(), 25u);
  b.push_back(0xAB);  // next byte after the header
  MemorySource src(b);
  auto h = read_header(src);
  ASSERT_TRUE(h.ok()) << h.error().message();
  EXPECT_EQ(h->header_len, 25u);
  EXPECT_EQ(h->format_version(), 256);
  uint8_t next = 0;
  ASSERT_TRUE(read_exact(src, &next, 1).ok());
  EXPECT_EQ(next, 0xAB);
}

TEST(Header, HandMadeBytesParse) {
  // Written out by hand, independent of the assembler.
  Bytes b = {'Z', 'A', 'R', 'V', 1, 7, 3, 0, 0, 0, 0, 0, 0, 0,  // version 1.7, features 0x3
             9, 2, 0x15, 0, 9,                                  // seq_order, binning, flags, group 0, platform 9
             45, 0};                                            // 45 bytes of extensions
  Bytes enc = {0x81, 42, 0, 1};  // encryption record, version 1
  enc.resize(3 + 42, 0x5A);
  enc[3] = 1;
  b.insert(b.end(), enc.begin(), enc.end());
  uint32_t crc = crc32c(b);
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(crc >> (8 * i)));
  auto h = parse(b);
  ASSERT_TRUE(h.ok()) << h.error().message();
  EXPECT_EQ(h->format_version(), 0x0107);
  EXPECT_EQ(h->required_features, 3u);
  EXPECT_TRUE(h->encrypted());
  ASSERT_TRUE(h->encryption.has_value());
  EXPECT_EQ((*h->encryption)[0], 1);
  EXPECT_EQ((*h->encryption)[41], 0x5A);
  EXPECT_EQ(h->seq_order, 9);
  EXPECT_EQ(h->quality_binning, 2);
  EXPECT_EQ(h->group_size, 1);  // byte 0 reads as 1
  EXPECT_EQ(platform_from_code(h->platform), Platform::Unknown);
  EXPECT_TRUE(h->has_flag(kFlagPlusNormalized));
  EXPECT_TRUE(h->has_flag(kFlagRegeneratedNames));
  EXPECT_TRUE(h->keep_order());  // not reordered
  EXPECT_EQ(h->header_len, 25u + 45u);
}

TEST(Header, ChecksRunInOrder) {
  // Shorter than 21 bytes: truncated even with the wrong magic.
  EXPECT_EQ(message_of(Bytes(20, 'x')), "truncated zarv stream");
  EXPECT_EQ(message_of(Bytes(21, 'x')), "not an zarv container (bad magic)");
  // Version and required features are checked before the CRC.
  EXPECT_EQ(message_of(HeaderSpec{.major = 2, .minor = 3, .crc = 0}),
            "unsupported zarv format version 2.3 (this build reads 1.x)");
  EXPECT_EQ(message_of(HeaderSpec{.minor = 250}), "ok");
  EXPECT_EQ(message_of(HeaderSpec{.required_features = 0x6, .crc = 0}),
            "zarv archive requires unsupported features (bits 0x4); upgrade zarv");
  EXPECT_EQ(message_of(HeaderSpec{.required_features = 0xF000000000000003ull, .crc = 0}),
            "zarv archive requires unsupported features (bits 0xf000000000000000); upgrade zarv");
  // Unknown flags are only reported once the CRC is known good.
  EXPECT_EQ(message_of(HeaderSpec{.flags = 0x41}),
            "zarv archive uses unsupported header flags (bits 0x40); upgrade zarv");
  EXPECT_EQ(message_of(HeaderSpec{.flags = 0x41, .crc = 1}), "corrupted zarv data: header (crc mismatch)");
  // Extension region and CRC cut short.
  Bytes full = writer::build_header({.extensions = {{0x05, Bytes(10, 1)}}});
  for (size_t cut = 21; cut < full.size(); ++cut) {
    EXPECT_EQ(message_of(Bytes(full.begin(), full.begin() + cut)), "truncated zarv stream") << cut;
  }
}

TEST(Header, ExtensionRecords) {
  auto with_records = [](std::vector<writer::ExtensionRecord> recs, uint64_t features = 1) {
    return message_of(HeaderSpec{.required_features = features, .extensions = std::move(recs)});
  };
  const std::string disagree = "malformed zarv block: encryption feature bit and header extension disagree";
  EXPECT_EQ(with_records({{0x05, Bytes(3, 0)}}), "ok");
  EXPECT_EQ(with_records({{0x85, {}}}),
            "zarv archive has an unsupported critical header extension (tag 0x85); upgrade zarv");
  EXPECT_EQ(with_records({}, 3), disagree);
  Bytes enc(42, 0);
  enc[0] = 1;
  EXPECT_EQ(with_records({{0x81, enc}}, 1), disagree);
  EXPECT_EQ(with_records({{0x81, enc}}, 3), "ok");
  enc[0] = 2;
  EXPECT_EQ(with_records({{0x81, enc}}, 3),
            "zarv archive uses an unsupported encryption scheme version 2; upgrade zarv");
  EXPECT_EQ(with_records({{0x81, Bytes(41, 1)}}, 3),
            "malformed zarv block: encryption header extension has the wrong length");
  EXPECT_EQ(message_of(HeaderSpec{.raw_extension_region = Bytes{0x05, 0x00}}),
            "malformed zarv block: truncated header extension record");
  EXPECT_EQ(message_of(HeaderSpec{.raw_extension_region = Bytes{0x05, 0x02, 0x00, 0xAA}}),
            "malformed zarv block: header extension record overruns region");
}

TEST(Header, MemberLabels) {
  using L = std::vector<std::string>;
  // Each body becomes one member-labels record (tag 0x01) of the region.
  auto labels_of = [](std::vector<Bytes> bodies, uint8_t group) {
    Bytes region;
    for (const Bytes& b : bodies) {
      region.insert(region.end(), {0x01, static_cast<uint8_t>(b.size()), static_cast<uint8_t>(b.size() >> 8)});
      region.insert(region.end(), b.begin(), b.end());
    }
    auto ext = parse_extensions(region, group);
    EXPECT_TRUE(ext.ok());
    return ext.ok() ? ext->member_labels : L{"<error>"};
  };
  auto body = [](L labels, std::optional<uint8_t> count = {}) { return writer::member_labels_body(labels, count); };
  EXPECT_EQ(labels_of({body({"R1", "R2"})}, 2), (L{"R1", "R2"}));
  // Dropped: a count that differs from the group size, a 16-byte label, an
  // empty label, invalid UTF-8, a body that ends early, an empty body.
  EXPECT_EQ(labels_of({body({"R1", "R2"})}, 4), L{});
  EXPECT_EQ(labels_of({body({"R1", std::string(16, 'x')})}, 2), L{});
  EXPECT_EQ(labels_of({body({"R1", ""})}, 2), L{});
  EXPECT_EQ(labels_of({body({"R1", "\xC3"})}, 2), L{});
  EXPECT_EQ(labels_of({body({"R1"}, 2)}, 2), L{});
  EXPECT_EQ(labels_of({Bytes{}}, 1), L{});
  // 15-byte label and multi-byte UTF-8 are fine; bytes after `count` labels are ignored.
  Bytes longest = body({std::string(15, 'y'), "\xC3\xA9"});
  longest.push_back(0x7F);
  EXPECT_EQ(labels_of({longest}, 2), (L{std::string(15, 'y'), "\xC3\xA9"}));
  // A later record replaces the earlier one, even when it yields nothing.
  EXPECT_EQ(labels_of({body({"A"}), body({"B"})}, 1), L{"B"});
  EXPECT_EQ(labels_of({body({"A"}), Bytes{}}, 1), L{});
}

}  // namespace
}  // namespace zarv
