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
//
// One instruction has a latency of three cycles but the processor starts one
// per cycle, so long inputs run three independent streams over three
// adjacent lanes and join them. The register value is linear: continuing a
// state s over lane bytes B gives shift(s) ^ crc_from_zero(B), where shift
// advances s over as many zero bytes as the lane holds. shift is a GF(2)
// linear map of the 32-bit state, applied through four byte-indexed tables.
__attribute__((target("sse4.2"))) uint32_t crc_zeros(uint32_t c, size_t n) {
  uint64_t c64 = c;
  for (size_t i = 0; i < n; i += 8) c64 = _mm_crc32_u64(c64, 0);
  return static_cast<uint32_t>(c64);
}

struct ShiftTables {
  std::array<std::array<uint32_t, 256>, 4> t{};
  explicit ShiftTables(size_t lane) {
    std::array<uint32_t, 32> basis{};
    for (int j = 0; j < 32; ++j) basis[j] = crc_zeros(uint32_t{1} << j, lane);
    for (int i = 0; i < 4; ++i) {
      for (uint32_t b = 0; b < 256; ++b) {
        uint32_t v = 0;
        for (int bit = 0; bit < 8; ++bit) {
          if (b >> bit & 1) v ^= basis[8 * i + bit];
        }
        t[i][b] = v;
      }
    }
  }
  uint32_t shift(uint32_t c) const { return t[0][c & 0xFF] ^ t[1][(c >> 8) & 0xFF] ^ t[2][(c >> 16) & 0xFF] ^ t[3][c >> 24]; }
};

template <size_t kLane>
const ShiftTables& shift_tables() {
  static const ShiftTables tables(kLane);
  return tables;
}

// Whole rounds of three lanes of kLane bytes each; advances p and n.
template <size_t kLane>
__attribute__((target("sse4.2"))) uint32_t update_three_lanes(uint32_t c, const uint8_t*& p, size_t& n) {
  static_assert(kLane % 8 == 0);
  if (n < 3 * kLane) return c;
  const ShiftTables& tables = shift_tables<kLane>();
  while (n >= 3 * kLane) {
    uint64_t a = c, b = 0, d = 0;
    for (size_t i = 0; i < kLane; i += 8) {
      uint64_t va, vb, vd;
      std::memcpy(&va, p + i, 8);
      std::memcpy(&vb, p + kLane + i, 8);
      std::memcpy(&vd, p + 2 * kLane + i, 8);
      a = _mm_crc32_u64(a, va);
      b = _mm_crc32_u64(b, vb);
      d = _mm_crc32_u64(d, vd);
    }
    c = tables.shift(tables.shift(static_cast<uint32_t>(a)) ^ static_cast<uint32_t>(b)) ^ static_cast<uint32_t>(d);
    p += 3 * kLane;
    n -= 3 * kLane;
  }
  return c;
}

__attribute__((target("sse4.2"))) uint32_t update_hardware(uint32_t c, const uint8_t* p, size_t n) {
  c = update_three_lanes<4096>(c, p, n);
  c = update_three_lanes<256>(c, p, n);
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
