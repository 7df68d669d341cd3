// Varints, sections and read-length lists: the framing under every stream.
#include "codecs/entropy/varint.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zarv {
namespace {

using Bytes = std::vector<uint8_t>;

// Reads one item with `read` and reports the value or the detail text, and
// how many bytes were consumed.
template <class F>
auto read_all(const Bytes& bytes, F read, size_t* consumed = nullptr) {
  ByteCursor cur(bytes);
  auto r = read(cur);
  if (consumed) *consumed = cur.pos();
  return r;
}
auto varint = [](ByteCursor& c) { return read_varint(c); };
auto section = [](ByteCursor& c) { return read_section(c); };
auto lengths = [](ByteCursor& c) { return read_length_list(c, "no mode byte"); };

template <class R>
std::string error_of(const R& r) {
  if (r.ok()) return "ok";
  EXPECT_EQ(r.error().kind, ErrorKind::Malformed);  // a bare detail for the owning codec
  return r.error().text;
}

TEST(Varint, SevenBitGroupsLeastSignificantFirst) {
  const struct {
    uint64_t value;
    Bytes bytes;
  } cases[] = {
      {0, {0x00}},
      {127, {0x7f}},
      {128, {0x80, 0x01}},
      {300, {0xac, 0x02}},
      {16384, {0x80, 0x80, 0x01}},
      {uint64_t(1) << 63, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
  };
  for (const auto& c : cases) {
    Bytes out;
    write_varint(out, c.value);
    EXPECT_EQ(out, c.bytes) << c.value;
    size_t consumed = 0;
    EXPECT_EQ(*read_all(c.bytes, varint, &consumed), c.value);
    EXPECT_EQ(consumed, c.bytes.size());
  }
}

TEST(Varint, TenthByteContributesOnlyBit63) {
  Bytes b(9, 0xff);
  b.push_back(0x01);
  EXPECT_EQ(*read_all(b, varint), ~uint64_t(0));
  b.back() = 0x7f;  // bits above 63 are ignored
  EXPECT_EQ(*read_all(b, varint), ~uint64_t(0));
  b.back() = 0x02;
  EXPECT_EQ(*read_all(b, varint), ~uint64_t(0) >> 1);
}

TEST(Varint, OverlongOrUnfinishedIsTooLong) {
  EXPECT_EQ(error_of(read_all(Bytes(10, 0xff), varint)), "varint too long");
  EXPECT_EQ(error_of(read_all({0x80}, varint)), "varint too long");  // not "truncated"
  EXPECT_EQ(error_of(read_all({}, varint)), "varint too long");
}

TEST(Section, BodyIsAViewAndLengthMayEqualTheRemainder) {
  Bytes buf;
  write_section(buf, Bytes{1, 2, 3});
  EXPECT_EQ(buf, (Bytes{3, 1, 2, 3}));
  ByteCursor cur(buf);
  auto r = read_section(cur);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->data(), buf.data() + 1);
  EXPECT_EQ(r->size(), 3u);
  EXPECT_TRUE(cur.at_end());
}

TEST(Section, BodyPastTheEndIsTruncated) {
  EXPECT_EQ(error_of(read_all({3, 1, 2}, section)), "truncated");
  Bytes huge;  // position + length must not wrap
  write_varint(huge, ~uint64_t(0));
  huge.push_back(7);
  EXPECT_EQ(error_of(read_all(huge, section)), "truncated");
  EXPECT_EQ(error_of(read_all({0x80}, section)), "varint too long");
}

TEST(LengthList, ModesAndValuesModulo2To32) {
  Bytes each = {3, 0};
  for (uint64_t v : {uint64_t(151), uint64_t(0), (uint64_t(7) << 32) | 5}) write_varint(each, v);
  EXPECT_EQ(*read_all(each, lengths), (std::vector<uint32_t>{151, 0, 5}));
  for (uint8_t mode : {1, 2, 0xff}) {  // every nonzero mode is a run
    Bytes run = {4, mode};
    write_varint(run, (uint64_t(1) << 32) + 100);
    EXPECT_EQ(*read_all(run, lengths), std::vector<uint32_t>(4, 100));
  }
}

TEST(LengthList, CountZeroReadsOnlyCountAndMode) {
  for (uint8_t mode : {0, 1}) {
    size_t consumed = 0;
    auto r = read_all({0, mode, 0x80, 0x80}, lengths, &consumed);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->empty());
    EXPECT_EQ(consumed, 2u);
  }
  EXPECT_EQ(error_of(read_all({5}, lengths)), "no mode byte");
}

TEST(LengthList, RunCountLimitIs2To28) {
  auto run_of = [](uint64_t count) {
    Bytes b;
    write_varint(b, count);
    b.push_back(1);
    b.push_back(9);
    return b;
  };
  EXPECT_EQ(error_of(read_all(run_of((uint64_t(1) << 28) + 1), lengths)), "length count too large to allocate");
  EXPECT_EQ(error_of(read_all(run_of(~uint64_t(0)), lengths)), "length count too large to allocate");
  auto r = read_all(run_of(uint64_t(1) << 28), lengths);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), size_t(1) << 28);
  EXPECT_EQ(r->back(), 9u);
}

TEST(LengthList, ForgedPerLengthCountRunsOutOfDataNotMemory) {
  Bytes b;
  write_varint(b, uint64_t(1) << 60);
  b.insert(b.end(), {0, 1, 2});
  EXPECT_EQ(error_of(read_all(b, lengths)), "varint too long");
}

TEST(LengthList, WriterUsesRunModeOnlyForEqualNonEmptyLists) {
  const struct {
    std::vector<uint32_t> lengths;
    Bytes bytes;
  } cases[] = {
      {{}, {0, 0}},
      {{150}, {1, 1, 0x96, 0x01}},
      {{7, 7, 7}, {3, 1, 7}},
      {{7, 8}, {2, 0, 7, 8}},
  };
  for (const auto& c : cases) {
    Bytes out;
    write_length_list(out, c.lengths);
    EXPECT_EQ(out, c.bytes);
    EXPECT_EQ(*read_all(out, lengths), c.lengths);
  }
}

}  // namespace
}  // namespace zarv
