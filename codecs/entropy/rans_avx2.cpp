// Order-0 rANS kernels for AVX2: the 32 lanes are four registers of 8.
#include <immintrin.h>

#include <array>
#include <cstring>

#include "codecs/entropy/rans_model.hpp"

namespace zarv::rans_detail {

namespace {

// For each 8-bit lane mask: lane j (when set) takes word number
// popcount(mask below j), i.e. consecutive words in increasing lane order.
constexpr std::array<uint64_t, 256> make_expand_lut() {
  std::array<uint64_t, 256> lut{};
  for (unsigned m = 0; m < 256; ++m) {
    uint64_t v = 0;
    unsigned k = 0;
    for (unsigned j = 0; j < 8; ++j) {
      if (m & (1u << j)) v |= uint64_t(k++) << (8 * j);
    }
    lut[m] = v;
  }
  return lut;
}

// For each 8-bit lane mask with c lanes set: a byte shuffle moving the words of
// the set lanes, in increasing lane order, to word positions 8 - c .. 7.
struct Shuffle16 {
  alignas(16) uint8_t b[16];
};
constexpr std::array<Shuffle16, 256> make_pack_high_lut() {
  std::array<Shuffle16, 256> lut{};
  for (unsigned m = 0; m < 256; ++m) {
    unsigned c = 0;
    for (unsigned j = 0; j < 8; ++j) c += (m >> j) & 1;
    for (unsigned i = 0; i < 16; ++i) lut[m].b[i] = 0x80;
    unsigned pos = 8 - c;
    for (unsigned j = 0; j < 8; ++j) {
      if (!(m & (1u << j))) continue;
      lut[m].b[2 * pos] = static_cast<uint8_t>(2 * j);
      lut[m].b[2 * pos + 1] = static_cast<uint8_t>(2 * j + 1);
      ++pos;
    }
  }
  return lut;
}

constexpr std::array<uint64_t, 256> kExpand = make_expand_lut();
constexpr std::array<Shuffle16, 256> kPackHigh = make_pack_high_lut();

// One group of 8 lanes: decode a symbol per lane, then refill the lanes that
// fell below 2^16 with consecutive words in increasing lane order. Which lanes
// refill comes from the renorm_below table, alongside the multiply.
inline __m256i decode_group(const O0DecodeTable& t, __m256i x, const uint8_t*& p, __m256i& sym) {
  const __m256i slot_mask = _mm256_set1_epi32(4095);
  const __m256i slot = _mm256_and_si256(x, slot_mask);
  const __m256i e = _mm256_i32gather_epi32(reinterpret_cast<const int*>(t.entry), slot, 4);
  const __m256i below = _mm256_i32gather_epi32(reinterpret_cast<const int*>(t.renorm_below), slot, 4);
  sym = _mm256_and_si256(e, _mm256_set1_epi32(0xff));
  const __m256i hi = _mm256_srli_epi32(x, 12);
  // Both sides are below 2^31, so the signed compare is exact.
  const __m256i take = _mm256_cmpgt_epi32(below, hi);
  const unsigned mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(take)));
  const __m256i idx = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(kExpand[mask])));
  const __m256i w = _mm256_permutevar8x32_epi32(
      _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))), idx);
  // x' = f * (x >> 12) + bias = (f - 1) * (x >> 12) + (x >> 12) + bias.
  const __m256i lo = _mm256_add_epi32(hi, _mm256_and_si256(_mm256_srli_epi32(e, 8), slot_mask));
  x = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_srli_epi32(e, 20), hi), lo);
  x = _mm256_blendv_epi8(x, _mm256_or_si256(_mm256_slli_epi32(x, 16), w), take);
  p += 2 * _mm_popcnt_u32(mask);
  return x;
}

inline __m256i mulhi_epu32(__m256i a, __m256i b) {
  const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(a, b), 32);
  const __m256i odd = _mm256_mul_epu32(_mm256_srli_epi64(a, 32), _mm256_srli_epi64(b, 32));
  return _mm256_blend_epi32(even, odd, 0xaa);
}

inline __m256i encode_group(const VecEncTable& t, __m256i x, const uint8_t* in, uint16_t*& w) {
  const __m256i s = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in)));
  const __m256i rcp = _mm256_i32gather_epi32(reinterpret_cast<const int*>(t.rcp), s, 4);
  const __m256i pack = _mm256_i32gather_epi32(reinterpret_cast<const int*>(t.pack), s, 4);
  const __m256i f = _mm256_and_si256(pack, _mm256_set1_epi32(0x1fff));
  const __m256i lim = _mm256_sub_epi32(_mm256_slli_epi32(f, 20), _mm256_set1_epi32(1));
  // Unsigned x > lim through the signed compare, both sides offset by 2^31.
  const __m256i sign = _mm256_set1_epi32(static_cast<int>(0x80000000u));
  const __m256i emit = _mm256_cmpgt_epi32(_mm256_xor_si256(x, sign), _mm256_xor_si256(lim, sign));
  const unsigned mask = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(emit)));
  // Low halves of the eight states as eight words, the emitted ones moved to
  // the top so that one 16-byte store ending at w places them; the bytes below
  // them land in free space.
  const __m256i lo = _mm256_and_si256(x, _mm256_set1_epi32(0xffff));
  const __m128i words =
      _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi32(lo, lo), 0x08));
  const __m128i placed =
      _mm_shuffle_epi8(words, _mm_load_si128(reinterpret_cast<const __m128i*>(kPackHigh[mask].b)));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(w - 8), placed);
  w -= _mm_popcnt_u32(mask);
  x = _mm256_blendv_epi8(x, _mm256_srli_epi32(x, 16), emit);

  const __m256i q = _mm256_srlv_epi32(mulhi_epu32(x, rcp), _mm256_srli_epi32(pack, 26));
  const __m256i rem = _mm256_sub_epi32(x, _mm256_mullo_epi32(q, f));
  const __m256i bias = _mm256_and_si256(_mm256_srli_epi32(pack, 13), _mm256_set1_epi32(0x1fff));
  const __m256i xn = _mm256_add_epi32(_mm256_add_epi32(_mm256_slli_epi32(q, 12), rem), bias);
  // A quotient one too large leaves rem in [-f, 0): step back by 4096 - f.
  const __m256i over = _mm256_srai_epi32(rem, 31);
  const __m256i cmpl = _mm256_sub_epi32(_mm256_set1_epi32(4096), f);
  return _mm256_sub_epi32(xn, _mm256_and_si256(over, cmpl));
}

}  // namespace

size_t decode_o0_batches_avx2(const O0DecodeTable& t, uint32_t* states, const uint8_t** words,
                              const uint8_t* limit, uint8_t* out, size_t batches) {
  __m256i x[4];
  for (int g = 0; g < 4; ++g) x[g] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(states + 8 * g));
  const uint8_t* p = *words;
  // Restores symbol order after the in-lane packs: dwords 0,4,1,5,2,6,3,7.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  size_t b = 0;
  for (; b < batches && p <= limit; ++b, out += 32) {
    __m256i s[4];
    for (int g = 0; g < 4; ++g) x[g] = decode_group(t, x[g], p, s[g]);
    const __m256i bytes =
        _mm256_packus_epi16(_mm256_packus_epi32(s[0], s[1]), _mm256_packus_epi32(s[2], s[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permutevar8x32_epi32(bytes, order));
  }
  for (int g = 0; g < 4; ++g) _mm256_storeu_si256(reinterpret_cast<__m256i*>(states + 8 * g), x[g]);
  *words = p;
  return b;
}

uint16_t* encode_o0_batches_avx2(const VecEncTable& table, const uint8_t* in, size_t batches,
                                 uint32_t* states, uint16_t* words) {
  __m256i x[4];
  for (int g = 0; g < 4; ++g) x[g] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(states + 8 * g));
  uint16_t* w = words;
  for (size_t b = batches; b-- > 0;) {
    const uint8_t* blk = in + 32 * b;
    for (int g = 3; g >= 0; --g) x[g] = encode_group(table, x[g], blk + 8 * g, w);
  }
  for (int g = 0; g < 4; ++g) _mm256_storeu_si256(reinterpret_cast<__m256i*>(states + 8 * g), x[g]);
  return w;
}

}  // namespace zarv::rans_detail
