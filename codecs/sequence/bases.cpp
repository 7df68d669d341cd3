// Reverse complements of base strings.
#include <array>
#include <cstdio>
#include <cstdlib>

#include "codecs/sequence/sequence.hpp"

namespace zarv {
namespace {

constexpr std::array<uint8_t, 256> complement_table(bool lower_too) {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = static_cast<uint8_t>(c);
  t['A'] = 'T';
  t['T'] = 'A';
  t['C'] = 'G';
  t['G'] = 'C';
  if (lower_too) {
    t['a'] = 't';
    t['t'] = 'a';
    t['c'] = 'g';
    t['g'] = 'c';
  }
  return t;
}

constexpr std::array<uint8_t, 256> kComplement = complement_table(true);
constexpr std::array<uint8_t, 256> kComplementUpper = complement_table(false);

}  // namespace

void revcomp_into(std::span<const uint8_t> src, std::span<uint8_t> dst) {
  // Callers always pass equal lengths; a mismatch is a bug, not bad input.
  if (src.size() != dst.size()) {
    std::fputs("revcomp_into: length mismatch\n", stderr);
    std::abort();
  }
  const size_t n = src.size();
  for (size_t i = 0; i < n; ++i) dst[n - 1 - i] = kComplement[src[i]];
}

std::vector<uint8_t> revcomp_upper(std::span<const uint8_t> src) {
  std::vector<uint8_t> out(src.size());
  const size_t n = src.size();
  for (size_t i = 0; i < n; ++i) out[n - 1 - i] = kComplementUpper[src[i]];
  return out;
}

}  // namespace zarv
