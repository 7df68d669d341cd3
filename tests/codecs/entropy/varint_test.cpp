// Varints, sections and read-length lists: the framing under every stream.
#include "codecs/entropy/varint.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zarv {
namespace {

using Bytes = std::vector<uint8_t>;

// Reads one item with `read`; `consumed` receives the bytes it took.
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

// A varint followed by raw bytes and then more varints.
Bytes coded(uint64_t first, Bytes raw = {}, std::initializer_list<uint64_t> more = {}) {
  Bytes b;
  write_varint(b, first);
  b.insert(b.end(), raw.begin(), raw.end());
  for (uint64_t v : more) write_varint(b, v);
  return b;
}

TEST(Varint, KnownBytesTenthByteAndTooLong) {
  const Bytes ten_bytes{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01};
  const std::pair<uint64_t, Bytes> cases[] = {{0, {0x00}}, {127, {0x7f}}, {128, {0x80, 0x01}}, {300, {0xac, 0x02}},
                                              {16384, {0x80, 0x80, 0x01}}, {uint64_t(1) << 63, ten_bytes}};
  for (const auto& [value, bytes] : cases) {
    EXPECT_EQ(coded(value), bytes) << value;
    size_t consumed = 0;
    EXPECT_EQ(*read_all(bytes, varint, &consumed), value);
    EXPECT_EQ(consumed, bytes.size());
  }
  // The tenth byte contributes only bit 63; its higher bits are ignored.
  for (auto [last, value] : {std::pair<uint8_t, uint64_t>{0x01, ~uint64_t(0)}, {0x7f, ~uint64_t(0)},
                             {0x02, ~uint64_t(0) >> 1}}) {
    Bytes b(9, 0xff);
    b.push_back(last);
    EXPECT_EQ(*read_all(b, varint), value) << int(last);
  }
  EXPECT_EQ(error_of(read_all(Bytes(10, 0xff), varint)), "varint too long");
  EXPECT_EQ(error_of(read_all({0x80}, varint)), "varint too long");  // not "truncated"
  EXPECT_EQ(error_of(read_all({}, varint)), "varint too long");
}

TEST(Section, BodyIsAViewAndMustFit) {
  Bytes buf;
  write_section(buf, Bytes{1, 2, 3});
  EXPECT_EQ(buf, (Bytes{3, 1, 2, 3}));
  ByteCursor cur(buf);
  auto r = read_section(cur);  // the length may equal the remainder
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->data(), buf.data() + 1);
  EXPECT_EQ(r->size(), 3u);
  EXPECT_TRUE(cur.at_end());
  EXPECT_EQ(error_of(read_all({3, 1, 2}, section)), "truncated");
  EXPECT_EQ(error_of(read_all(coded(~uint64_t(0), {7}), section)), "truncated");  // pos + L must not wrap
  EXPECT_EQ(error_of(read_all({0x80}, section)), "varint too long");
}

TEST(LengthList, ModesCountsAndLimits) {
  // Values are taken modulo 2^32; every nonzero mode is a run.
  EXPECT_EQ(*read_all(coded(3, {0}, {151, 0, (uint64_t(7) << 32) | 5}), lengths), (std::vector<uint32_t>{151, 0, 5}));
  for (uint8_t mode : {1, 2, 0xff}) {
    EXPECT_EQ(*read_all(coded(4, {mode}, {(uint64_t(1) << 32) + 100}), lengths), std::vector<uint32_t>(4, 100));
  }
  for (uint8_t mode : {0, 1}) {  // count zero reads only the count and the mode byte
    size_t consumed = 0;
    auto r = read_all({0, mode, 0x80, 0x80}, lengths, &consumed);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(r->empty());
    EXPECT_EQ(consumed, 2u);
  }
  EXPECT_EQ(error_of(read_all({5}, lengths)), "no mode byte");
  // A run may hold 2^28 lengths and no more.
  EXPECT_EQ(error_of(read_all(coded((uint64_t(1) << 28) + 1, {1, 9}), lengths)), "length count too large to allocate");
  EXPECT_EQ(error_of(read_all(coded(~uint64_t(0), {1, 9}), lengths)), "length count too large to allocate");
  auto r = read_all(coded(uint64_t(1) << 28, {1, 9}), lengths);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), size_t(1) << 28);
  EXPECT_EQ(r->back(), 9u);
  // A forged per-length count runs out of data, not memory.
  EXPECT_EQ(error_of(read_all(coded(uint64_t(1) << 60, {0, 1, 2}), lengths)), "varint too long");
}

TEST(LengthList, WriterUsesRunModeOnlyForEqualNonEmptyLists) {
  const std::pair<std::vector<uint32_t>, Bytes> cases[] = {
      {{}, {0, 0}}, {{150}, {1, 1, 0x96, 0x01}}, {{7, 7, 7}, {3, 1, 7}}, {{7, 8}, {2, 0, 7, 8}}};
  for (const auto& [list, bytes] : cases) {
    Bytes out;
    write_length_list(out, list);
    EXPECT_EQ(out, bytes);
    EXPECT_EQ(*read_all(out, lengths), list);
  }
}

}  // namespace
}  // namespace zarv
