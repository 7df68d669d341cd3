// CRC-32C. The byte-at-a-time table routine is the reference; the fast path
// is the SSE4.2 crc32 instruction where the processor has it, else
// slicing-by-8 over eight derived tables. Both compute exactly the reference
// value and are tested against it on every alignment.
#include "core/crc32c.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

#include "codecs/entropy/cpu_features.hpp"

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

#if defined(__x86_64__)
// The SSE4.2 crc32 instruction computes exactly this CRC (same polynomial,
// same bit order) eight bytes per step; only chosen when CPUID reports it.
__attribute__((target("sse4.2"))) uint32_t update_hardware(uint32_t c, const uint8_t* p, size_t n) {
  uint64_t c64 = c;
  while (n >= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    c64 = _mm_crc32_u64(c64, v);
    p += 8;
    n -= 8;
  }
  uint32_t c32 = static_cast<uint32_t>(c64);
  while (n--) c32 = _mm_crc32_u8(c32, *p++);
  return c32;
}
#endif

uint32_t update_fast(uint32_t c, const uint8_t* p, size_t n) {
#if defined(__x86_64__)
  if (cpu_features() & kCpuSse42) return update_hardware(c, p, n);
#endif
  return update_sliced(c, p, n);
}

}  // namespace

uint32_t crc32c_sliced(std::span<const uint8_t> data) {
  return ~update_sliced(0xFFFFFFFFu, data.data(), data.size());
}

uint32_t crc32c_reference(std::span<const uint8_t> data) {
  return ~update_bytewise(0xFFFFFFFFu, data.data(), data.size());
}

uint32_t crc32c_update(uint32_t crc, std::span<const uint8_t> data) {
  return ~update_fast(~crc, data.data(), data.size());
}

uint32_t crc32c(std::span<const uint8_t> data) { return crc32c_update(0, data); }

}  // namespace zarv
