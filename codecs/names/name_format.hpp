// Shared definitions of the name codec: op codes, column layout, zigzag codes
// and the decimal rendering used by numeric tokens and template counters.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/error.hpp"

namespace zarv::names {

// Token positions 0..62 have a column each; position 63 and beyond share the last.
inline constexpr int kColumns = 64;
inline constexpr uint64_t kLastColumn = kColumns - 1;

enum Op : uint8_t { kMatch = 0, kString = 1, kNumber = 2, kDelta = 3 };

// A digit run longer than this is a string token: 18 digits always fit an i64.
inline constexpr size_t kMaxNumericDigits = 18;

inline constexpr char kErrorPrefix[] = "malformed name stream: ";

inline ArchiveError fail(const char* what) {
  return ArchiveError::nested(ErrorKind::Names, std::string(kErrorPrefix) + what);
}
// Re-homes an error of a shared primitive (varint, section, rANS block).
inline ArchiveError wrap(const ArchiveError& inner) {
  return codec_error(ErrorKind::Names, kErrorPrefix, inner);
}

inline uint64_t zigzag_encode(int64_t d) {
  return (static_cast<uint64_t>(d) << 1) ^ static_cast<uint64_t>(d >> 63);
}
inline int64_t zigzag_decode(uint64_t c) {
  return static_cast<int64_t>((c >> 1) ^ (0 - (c & 1)));
}

// Number of decimal digits of v (1 for v = 0): an estimate from the bit width
// (1233 / 4096 ~ log10 2), corrected by one comparison.
[[gnu::always_inline]] inline uint32_t decimal_digits(uint64_t v) {
  static constexpr uint64_t kPow10[20] = {1ull,
                                          10ull,
                                          100ull,
                                          1000ull,
                                          10000ull,
                                          100000ull,
                                          1000000ull,
                                          10000000ull,
                                          100000000ull,
                                          1000000000ull,
                                          10000000000ull,
                                          100000000000ull,
                                          1000000000000ull,
                                          10000000000000ull,
                                          100000000000000ull,
                                          1000000000000000ull,
                                          10000000000000000ull,
                                          100000000000000000ull,
                                          1000000000000000000ull,
                                          10000000000000000000ull};
  const uint32_t t = static_cast<uint32_t>(std::bit_width(v | 1) * 1233) >> 12;
  return t + ((v | 1) >= kPow10[t] ? 1 : 0);
}

// digits(value): the decimal digits of a positive value, 1 for value <= 0. A
// numeric token's text is its decimal form padded to digits(value) + pad.
inline uint32_t token_digits(int64_t value) {
  return value >= 1 ? decimal_digits(static_cast<uint64_t>(value)) : 1;
}

// Longest text of a numeric token: 20 characters of "-9223372036854775808"
// plus at most 255 pad zeros.
inline constexpr size_t kMaxNumericText = 20 + 255;

// Writes the decimal form of `value` (a leading '-' when negative), left-padded
// with '0' to `width` characters when shorter; returns the length written.
// `dst` must have room for max(width, 20) bytes.
[[gnu::always_inline]] inline size_t write_padded_decimal(uint8_t* dst, int64_t value, uint64_t width) {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  const bool negative = value < 0;
  uint64_t mag = negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  const uint32_t nd = decimal_digits(mag);
  const uint64_t text_len = nd + (negative ? 1 : 0);
  const uint64_t zeros = width > text_len ? width - text_len : 0;
  if (zeros != 0) std::memset(dst, '0', zeros);
  uint8_t* p = dst + zeros;
  if (negative) *p++ = '-';
  uint8_t* q = p + nd;
  while (mag >= 100) {
    const uint64_t r = mag % 100;
    mag /= 100;
    q -= 2;
    std::memcpy(q, kPairs + 2 * r, 2);
  }
  if (mag >= 10) {
    q -= 2;
    std::memcpy(q, kPairs + 2 * mag, 2);
  } else {
    *--q = static_cast<uint8_t>('0' + mag);
  }
  return static_cast<size_t>(zeros + text_len);
}

}  // namespace zarv::names
