// Order-0 rANS kernels for AVX-512: the 32 lanes are two registers of 16.
//
// Only AVX-512F instructions (plus POPCNT) are used by hand; the file is
// compiled with the wider AVX-512 flag set, which the feature check requires.
// GCC 12 warns inside its own AVX-512 headers (the undefined-vector idiom of
// _mm512_set1_* and friends reads as maybe-uninitialized); nothing here is.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstring>

#include "codecs/entropy/rans_model.hpp"

namespace zarv::rans_detail {

namespace {

// One group of 16 lanes: decode a symbol per lane, then refill the lanes that
// fell below 2^16 with consecutive words, in increasing lane order. Which lanes
// refill comes from the renorm_below table, so the word expansion runs
// alongside the multiply instead of after it.
inline __m512i decode_group(const O0DecodeTable& t, __m512i x, const uint8_t*& p, uint8_t* out) {
  const __m512i slot_mask = _mm512_set1_epi32(4095);
  const __m512i slot = _mm512_and_si512(x, slot_mask);
  const __m512i e = _mm512_i32gather_epi32(slot, t.entry, 4);
  const __m512i below = _mm512_i32gather_epi32(slot, t.renorm_below, 4);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm512_cvtepi32_epi8(e));
  const __m512i hi = _mm512_srli_epi32(x, 12);
  const __mmask16 take = _mm512_cmplt_epu32_mask(hi, below);
  const __m512i w = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
  const __m512i words = _mm512_maskz_expand_epi32(take, w);
  // x' = f * (x >> 12) + bias = (f - 1) * (x >> 12) + (x >> 12) + bias.
  const __m512i lo = _mm512_add_epi32(hi, _mm512_and_si512(_mm512_srli_epi32(e, 8), slot_mask));
  x = _mm512_add_epi32(_mm512_mullo_epi32(_mm512_srli_epi32(e, 20), hi), lo);
  x = _mm512_mask_or_epi32(x, take, _mm512_slli_epi32(x, 16), words);
  p += 2 * _mm_popcnt_u32(take);
  return x;
}

// The high 32 bits of the unsigned 32x32 products, lane by lane.
inline __m512i mulhi_epu32(__m512i a, __m512i b) {
  const __m512i even = _mm512_srli_epi64(_mm512_mul_epu32(a, b), 32);
  const __m512i odd = _mm512_mul_epu32(_mm512_srli_epi64(a, 32), _mm512_srli_epi64(b, 32));
  return _mm512_mask_blend_epi32(0xaaaa, even, odd);
}

// One group of 16 lanes, encoding: renormalise (words go below *w in lane
// order), then code with the reciprocal and its correction.
inline __m512i encode_group(const VecEncTable& t, __m512i x, const uint8_t* in, uint16_t*& w) {
  const __m512i s = _mm512_cvtepu8_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
  const __m512i rcp = _mm512_i32gather_epi32(s, t.rcp, 4);
  const __m512i pack = _mm512_i32gather_epi32(s, t.pack, 4);
  const __m512i f = _mm512_and_si512(pack, _mm512_set1_epi32(0x1fff));
  // f * 2^20 - 1 wraps to 0xffffffff for f = 4096, which never renormalises.
  const __m512i lim = _mm512_sub_epi32(_mm512_slli_epi32(f, 20), _mm512_set1_epi32(1));
  const __mmask16 emit = _mm512_cmpgt_epu32_mask(x, lim);
  const unsigned count = _mm_popcnt_u32(emit);
  w -= count;
  _mm512_mask_cvtepi32_storeu_epi16(w, static_cast<__mmask16>((1u << count) - 1),
                                    _mm512_maskz_compress_epi32(emit, x));
  x = _mm512_mask_srli_epi32(x, emit, x, 16);

  const __m512i q = _mm512_srlv_epi32(mulhi_epu32(x, rcp), _mm512_srli_epi32(pack, 26));
  const __m512i rem = _mm512_sub_epi32(x, _mm512_mullo_epi32(q, f));
  const __m512i bias = _mm512_and_si512(_mm512_srli_epi32(pack, 13), _mm512_set1_epi32(0x1fff));
  __m512i xn = _mm512_add_epi32(_mm512_add_epi32(_mm512_slli_epi32(q, 12), rem), bias);
  // A quotient one too large leaves rem in [-f, 0): step back by 4096 - f.
  const __mmask16 over = _mm512_cmplt_epi32_mask(rem, _mm512_setzero_si512());
  const __m512i cmpl = _mm512_sub_epi32(_mm512_set1_epi32(4096), f);
  return _mm512_mask_sub_epi32(xn, over, xn, cmpl);
}

}  // namespace

size_t decode_o0_batches_avx512(const O0DecodeTable& t, uint32_t* states, const uint8_t** words,
                                const uint8_t* limit, uint8_t* out, size_t batches) {
  __m512i x0 = _mm512_loadu_si512(states);
  __m512i x1 = _mm512_loadu_si512(states + 16);
  const uint8_t* p = *words;
  size_t b = 0;
  for (; b < batches && p <= limit; ++b, out += 32) {
    x0 = decode_group(t, x0, p, out);
    x1 = decode_group(t, x1, p, out + 16);
  }
  _mm512_storeu_si512(states, x0);
  _mm512_storeu_si512(states + 16, x1);
  *words = p;
  return b;
}

uint16_t* encode_o0_batches_avx512(const VecEncTable& table, const uint8_t* in, size_t batches,
                                   uint32_t* states, uint16_t* words) {
  __m512i x0 = _mm512_loadu_si512(states);
  __m512i x1 = _mm512_loadu_si512(states + 16);
  uint16_t* w = words;
  for (size_t b = batches; b-- > 0;) {
    const uint8_t* blk = in + 32 * b;
    x1 = encode_group(table, x1, blk + 16, w);
    x0 = encode_group(table, x0, blk, w);
  }
  _mm512_storeu_si512(states, x0);
  _mm512_storeu_si512(states + 16, x1);
  return w;
}

}  // namespace zarv::rans_detail
