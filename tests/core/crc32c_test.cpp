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
  // Including 32 bytes of zeros and of 0xFF (iSCSI test vectors).
  for (auto [data, want] : std::initializer_list<std::pair<std::string, uint32_t>>{
           {"abc", 0x364B3FB7u}, {"123456789", 0xE3069283u}, {"", 0u},
           {std::string(32, '\0'), 0x8A9136AAu}, {std::string(32, '\xFF'), 0x62A8AB43u}}) {
    EXPECT_EQ(crc32c_reference(bytes(data)), want) << data;
    EXPECT_EQ(crc32c(bytes(data)), want) << data;
    EXPECT_EQ(crc32c_sliced(bytes(data)), want) << data;
  }
}

TEST(Crc32c, FastPathEqualsReferenceOnEveryAlignmentAndLength) {
  std::mt19937_64 rng(42);
  std::vector<uint8_t> buf(300 + 16);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  for (size_t align = 0; align < 16; ++align) {
    for (size_t len = 0; len < 300; ++len) {
      std::span<const uint8_t> s(buf.data() + align, len);
      ASSERT_EQ(crc32c(s), crc32c_reference(s)) << "align " << align << " len " << len;
      ASSERT_EQ(crc32c_sliced(s), crc32c_reference(s)) << "align " << align << " len " << len;
    }
  }
}

// Long inputs run as three interleaved lanes joined by a shift table: check
// lengths on both sides of each lane round (3 x 256 and 3 x 4096 bytes) and
// of several rounds, with the crc32 instruction (where this machine has it)
// and with the feature mask cleared (sliced tables), and a continued CRC that
// starts mid-round.
TEST(Crc32c, LongInputsEqualReferenceAroundRoundBoundariesOnEveryPath) {
  EXPECT_TRUE(detected_cpu_features() & kCpuSse42) << "this machine has SSE4.2";
  std::mt19937_64 rng(7);
  std::vector<uint8_t> buf(5 * 3 * 4096 + 64);
  for (auto& b : buf) b = static_cast<uint8_t>(rng());
  for (unsigned mask : {0u, ~0u}) {
    set_cpu_feature_mask_for_testing(mask);
    for (size_t round : {size_t{3 * 256}, size_t{3 * 4096}}) {
      for (size_t rounds = 1; rounds <= 4; ++rounds) {
        for (long delta : {-9L, -8L, -1L, 0L, 1L, 7L, 8L, 100L}) {
          const size_t len = rounds * round + delta;
          if (len + 16 > buf.size()) continue;
          for (size_t align : {size_t{0}, size_t{3}}) {
            std::span<const uint8_t> s(buf.data() + align, len);
            ASSERT_EQ(crc32c(s), crc32c_reference(s)) << "len " << len << " align " << align << " mask " << mask;
            ASSERT_EQ(crc32c_sliced(s), crc32c_reference(s)) << "len " << len << " align " << align;
          }
        }
      }
    }
    const std::span<const uint8_t> all(buf);
    const uint32_t whole = crc32c_reference(all);
    for (size_t cut : {size_t{0}, size_t{1}, size_t{767}, size_t{5000}, size_t{12289}, all.size()}) {
      EXPECT_EQ(crc32c_update(crc32c(all.first(cut)), all.subspan(cut)), whole) << cut << " mask " << mask;
    }
  }
}

}  // namespace
}  // namespace zarv
