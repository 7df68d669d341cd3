#include "core/crc32c.hpp"

#include "codecs/entropy/cpu_features.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

namespace zarv {
namespace {

std::span<const uint8_t> bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(Crc32c, KnownAnswers) {
  EXPECT_EQ(crc32c_reference(bytes("abc")), 0x364B3FB7u);
  EXPECT_EQ(crc32c_reference(bytes("123456789")), 0xE3069283u);
  EXPECT_EQ(crc32c_reference({}), 0u);
  EXPECT_EQ(crc32c(bytes("abc")), 0x364B3FB7u);
  EXPECT_EQ(crc32c(bytes("123456789")), 0xE3069283u);
  EXPECT_EQ(crc32c({}), 0u);
  // 32 bytes of zeros and of 0xFF (iSCSI test vectors).
  std::vector<uint8_t> zeros(32, 0), ones(32, 0xFF);
  EXPECT_EQ(crc32c(zeros), 0x8A9136AAu);
  EXPECT_EQ(crc32c(ones), 0x62A8AB43u);
}

TEST(Crc32c, FastPathEqualsReferenceOnEveryAlignmentAndLength) {
  std::mt19937_64 rng(42);
  std::vector<uint8_t> buf(4096 + 64);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  for (size_t align = 0; align < 16; ++align) {
    for (size_t len = 0; len < 300; ++len) {
      std::span<const uint8_t> s(buf.data() + align, len);
      ASSERT_EQ(crc32c(s), crc32c_reference(s)) << "align " << align << " len " << len;
      ASSERT_EQ(crc32c_sliced(s), crc32c_reference(s)) << "align " << align << " len " << len;
    }
  }
  for (int trial = 0; trial < 50; ++trial) {
    size_t off = rng() % 64, len = rng() % 4096;
    std::span<const uint8_t> s(buf.data() + off, len);
    ASSERT_EQ(crc32c(s), crc32c_reference(s));
    ASSERT_EQ(crc32c_sliced(s), crc32c_reference(s));
  }
}

// Long inputs run as three interleaved lanes joined by a shift table: check
// lengths on both sides of each lane round (3 x 256 and 3 x 4096 bytes) and
// of several rounds, and a continued CRC that starts mid-round.
TEST(Crc32c, InterleavedLanesEqualReferenceAroundRoundBoundaries) {
  std::mt19937_64 rng(7);
  std::vector<uint8_t> buf(5 * 3 * 4096 + 64);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  for (size_t round : {size_t{3 * 256}, size_t{3 * 4096}}) {
    for (size_t rounds = 1; rounds <= 4; ++rounds) {
      for (long delta : {-9L, -8L, -1L, 0L, 1L, 7L, 8L, 100L}) {
        const size_t len = rounds * round + delta;
        if (len + 16 > buf.size()) continue;
        for (size_t align : {size_t{0}, size_t{3}}) {
          std::span<const uint8_t> s(buf.data() + align, len);
          ASSERT_EQ(crc32c(s), crc32c_reference(s)) << "len " << len << " align " << align;
        }
      }
    }
  }
  const std::span<const uint8_t> all(buf);
  const uint32_t whole = crc32c_reference(all);
  for (size_t cut : {size_t{1}, size_t{767}, size_t{5000}, size_t{12289}}) {
    EXPECT_EQ(crc32c_update(crc32c(all.first(cut)), all.subspan(cut)), whole) << cut;
  }
}

TEST(Crc32c, EveryPathAgreesWithTheMaskApplied) {
  // With the feature mask cleared the sliced tables are used; with it
  // restored, the crc32 instruction where this machine has it.
  std::vector<uint8_t> data(100003);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  const uint32_t expect = crc32c_reference(data);
  set_cpu_feature_mask_for_testing(0);
  EXPECT_EQ(crc32c(data), expect);
  set_cpu_feature_mask_for_testing(~0u);
  EXPECT_EQ(crc32c(data), expect);
  EXPECT_TRUE(detected_cpu_features() & kCpuSse42) << "this machine has SSE4.2";
}

TEST(Crc32c, UpdateContinuesAcrossSplits) {
  std::vector<uint8_t> data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  const uint32_t whole = crc32c(data);
  for (size_t cut : {size_t{0}, size_t{1}, size_t{7}, size_t{500}, size_t{999}, size_t{1000}}) {
    std::span<const uint8_t> s(data);
    EXPECT_EQ(crc32c_update(crc32c(s.first(cut)), s.subspan(cut)), whole) << cut;
  }
}

}  // namespace
}  // namespace zarv
