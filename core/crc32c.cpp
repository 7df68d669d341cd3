// Table-driven CRC-32C. The slicing-by-8 path processes eight bytes per step
// with eight derived tables; it computes exactly the byte-at-a-time value and
// is tested against it on every alignment.
#include "core/crc32c.hpp"

#include <array>
#include <cstring>

namespace zarv {
namespace {

constexpr uint32_t kPoly = 0x82F63B78u;

struct Tables {
  std::array<std::array<uint32_t, 256>, 8> t{};
  constexpr Tables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
      for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
  }
};
constexpr Tables kTables{};

uint32_t update_bytewise(uint32_t c, const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i) c = (c >> 8) ^ kTables.t[0][(c ^ p[i]) & 0xFF];
  return c;
}

uint32_t update_sliced(uint32_t c, const uint8_t* p, size_t n) {
  const auto& t = kTables.t;
  while (n >= 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);  // x86-64 is little-endian, as the tables assume
    std::memcpy(&hi, p + 4, 4);
    lo ^= c;
    c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    p += 8;
    n -= 8;
  }
  return update_bytewise(c, p, n);
}

}  // namespace

uint32_t crc32c_reference(std::span<const uint8_t> data) {
  return ~update_bytewise(0xFFFFFFFFu, data.data(), data.size());
}

uint32_t crc32c_update(uint32_t crc, std::span<const uint8_t> data) {
  return ~update_sliced(~crc, data.data(), data.size());
}

uint32_t crc32c(std::span<const uint8_t> data) { return crc32c_update(0, data); }

}  // namespace zarv
