// Varints, sections and read-length lists: the framing under every stream.
#include "codecs/entropy/varint.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace zarv {
namespace {

using Bytes = std::vector<uint8_t>;

Result<uint64_t> varint_of(const Bytes& bytes, size_t* consumed = nullptr) {
  ByteCursor cur(bytes);
  auto r = read_varint(cur);
  if (consumed) *consumed = cur.pos();
  return r;
}

void expect_detail(const ArchiveError& e, const char* text) {
  EXPECT_EQ(e.kind, ErrorKind::Malformed);
  EXPECT_EQ(e.text, text);
}

TEST(Varint, EncodesSevenBitGroupsLeastSignificantFirst) {
  const struct {
    uint64_t value;
    Bytes bytes;
  } cases[] = {
      {0, {0x00}},
      {1, {0x01}},
      {127, {0x7f}},
      {128, {0x80, 0x01}},
      {300, {0xac, 0x02}},  // 300 = 0b10_0101100
      {16383, {0xff, 0x7f}},
      {16384, {0x80, 0x80, 0x01}},
      {uint64_t(1) << 63, {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}},
      {~uint64_t(0), {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}},
  };
  for (const auto& c : cases) {
    Bytes out;
    write_varint(out, c.value);
    EXPECT_EQ(out, c.bytes) << c.value;
    size_t consumed = 0;
    auto r = varint_of(c.bytes, &consumed);
    ASSERT_TRUE(r.ok()) << c.value;
    EXPECT_EQ(*r, c.value);
    EXPECT_EQ(consumed, c.bytes.size());
  }
}

TEST(Varint, TenthByteContributesOnlyBit63) {
  Bytes nine_ff(9, 0xff);
  Bytes max = nine_ff;
  max.push_back(0x01);
  EXPECT_EQ(*varint_of(max), ~uint64_t(0));

  Bytes high_bits_ignored = nine_ff;
  high_bits_ignored.push_back(0x7f);
  EXPECT_EQ(*varint_of(high_bits_ignored), ~uint64_t(0));

  Bytes bit0_clear = nine_ff;
  bit0_clear.push_back(0x02);
  EXPECT_EQ(*varint_of(bit0_clear), ~uint64_t(0) >> 1);
}

TEST(Varint, RejectsOverlongAndUnfinishedVarints) {
  expect_detail(varint_of(Bytes(10, 0xff)).error(), "varint too long");
  expect_detail(varint_of(Bytes(11, 0xff)).error(), "varint too long");
  // The input ends inside the varint: the same message, not "truncated".
  expect_detail(varint_of({0x80}).error(), "varint too long");
  expect_detail(varint_of({0xff, 0xff}).error(), "varint too long");
  expect_detail(varint_of({}).error(), "varint too long");
}

TEST(Varint, ReadsConsecutiveValuesFromOneCursor) {
  Bytes buf;
  const uint64_t values[] = {5, 1u << 20, 0, ~uint64_t(0), 129};
  for (uint64_t v : values) write_varint(buf, v);
  ByteCursor cur(buf);
  for (uint64_t v : values) EXPECT_EQ(*read_varint(cur), v);
  EXPECT_TRUE(cur.at_end());
}

TEST(Section, ReturnsTheBodyInPlaceAndAdvances) {
  Bytes buf;
  const Bytes body = {1, 2, 3};
  write_section(buf, body);
  buf.push_back(0x99);
  EXPECT_EQ(buf, (Bytes{3, 1, 2, 3, 0x99}));
  ByteCursor cur(buf);
  auto r = read_section(cur);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->data(), buf.data() + 1);  // a view, not a copy
  EXPECT_EQ(Bytes(r->begin(), r->end()), body);
  EXPECT_EQ(cur.pos(), 4u);
}

TEST(Section, LengthEqualToTheRemainderLeavesTheCursorAtTheEnd) {
  const Bytes buf = {2, 0xaa, 0xbb};
  ByteCursor cur(buf);
  auto r = read_section(cur);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), 2u);
  EXPECT_TRUE(cur.at_end());

  const Bytes empty_body = {0};
  ByteCursor cur2(empty_body);
  EXPECT_TRUE(read_section(cur2)->empty());
}

TEST(Section, RejectsBodiesPastTheEnd) {
  const Bytes short_buf = {3, 1, 2};
  ByteCursor cur(short_buf);
  expect_detail(read_section(cur).error(), "truncated");

  // A length near 2^64 must not wrap the end check.
  Bytes huge;
  write_varint(huge, ~uint64_t(0));
  huge.push_back(7);
  ByteCursor cur2(huge);
  expect_detail(read_section(cur2).error(), "truncated");

  const Bytes bad_len = {0x80};
  ByteCursor cur3(bad_len);
  expect_detail(read_section(cur3).error(), "varint too long");
}

Result<std::vector<uint32_t>> list_of(const Bytes& bytes, size_t* consumed = nullptr) {
  ByteCursor cur(bytes);
  auto r = read_length_list(cur, "no mode byte");
  if (consumed) *consumed = cur.pos();
  return r;
}

TEST(LengthList, PerLengthModeReadsEveryVarint) {
  Bytes buf = {3, 0};
  write_varint(buf, 151);
  write_varint(buf, 0);
  write_varint(buf, 70000);
  size_t consumed = 0;
  auto r = list_of(buf, &consumed);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, (std::vector<uint32_t>{151, 0, 70000}));
  EXPECT_EQ(consumed, buf.size());
}

TEST(LengthList, RunModeRepeatsOneValueForAnyNonZeroMode) {
  for (uint8_t mode : {1, 2, 0xff}) {
    const Bytes buf = {4, mode, 100};
    auto r = list_of(buf);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, std::vector<uint32_t>(4, 100));
  }
}

TEST(LengthList, ValuesAreTakenModulo2To32) {
  Bytes run = {2, 1};
  write_varint(run, (uint64_t(1) << 32) + 5);
  EXPECT_EQ(*list_of(run), (std::vector<uint32_t>{5, 5}));

  Bytes each = {2, 0};
  write_varint(each, (uint64_t(7) << 32) | 0xffffffffu);
  write_varint(each, uint64_t(1) << 32);
  EXPECT_EQ(*list_of(each), (std::vector<uint32_t>{0xffffffffu, 0}));
}

TEST(LengthList, CountZeroConsumesOnlyCountAndMode) {
  for (uint8_t mode : {0, 1}) {
    const Bytes buf = {0, mode, 0x80, 0x80};  // the bytes after are not a varint
    size_t consumed = 0;
    auto r = list_of(buf, &consumed);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->empty());
    EXPECT_EQ(consumed, 2u);
  }
}

TEST(LengthList, MissingModeByteUsesTheCallersMessage) {
  expect_detail(list_of({5}).error(), "no mode byte");
  expect_detail(list_of({}).error(), "varint too long");
}

TEST(LengthList, RunModeCountLimitIs2To28) {
  Bytes over;
  write_varint(over, (uint64_t(1) << 28) + 1);
  over.push_back(1);
  over.push_back(9);
  expect_detail(list_of(over).error(), "length count too large to allocate");

  Bytes huge;
  write_varint(huge, ~uint64_t(0));
  huge.push_back(1);
  huge.push_back(9);
  expect_detail(list_of(huge).error(), "length count too large to allocate");

  Bytes limit;
  write_varint(limit, uint64_t(1) << 28);
  limit.push_back(1);
  limit.push_back(9);
  auto r = list_of(limit);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), size_t(1) << 28);
  EXPECT_EQ(r->front(), 9u);
  EXPECT_EQ(r->back(), 9u);
}

TEST(LengthList, ForgedPerLengthCountFailsOnTheDataNotTheAllocation) {
  // A count of 2^60 reserves only a bounded amount and then runs out of varints.
  Bytes buf;
  write_varint(buf, uint64_t(1) << 60);
  buf.push_back(0);
  buf.push_back(1);
  buf.push_back(2);
  expect_detail(list_of(buf).error(), "varint too long");
}

TEST(LengthList, WriterChoosesRunModeOnlyForEqualNonEmptyLists) {
  const struct {
    std::vector<uint32_t> lengths;
    Bytes bytes;
  } cases[] = {
      {{}, {0, 0}},
      {{150}, {1, 1, 0x96, 0x01}},
      {{7, 7, 7}, {3, 1, 7}},
      {{7, 8}, {2, 0, 7, 8}},
      {{0xffffffffu, 0xffffffffu}, {2, 1, 0xff, 0xff, 0xff, 0xff, 0x0f}},
  };
  for (const auto& c : cases) {
    Bytes out;
    write_length_list(out, c.lengths);
    EXPECT_EQ(out, c.bytes);
    EXPECT_EQ(*list_of(out), c.lengths);
  }
}

}  // namespace
}  // namespace zarv
