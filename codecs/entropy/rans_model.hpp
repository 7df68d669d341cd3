// rANS models and the interface between the block driver (rans.cpp) and the
// per-instruction-set order-0 kernels (rans.cpp, rans_avx2.cpp, rans_avx512.cpp).
//
// Nothing here uses intrinsics: the kernels see plain tables and pointers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/result.hpp"

namespace zarv {

namespace rans {

inline constexpr uint32_t kScaleBits = 12;
inline constexpr uint32_t kTotFreq = 1u << kScaleBits;  // TOTFREQ: every table sums to this
inline constexpr unsigned kLanes = 32;                  // symbol i is coded by lane i mod 32
inline constexpr uint32_t kLowerBound = 1u << 16;       // states live in [2^16, 2^32)
inline constexpr size_t kHeaderBytes = 9;               // order tag + u64 length
inline constexpr size_t kTableBytes = 512;              // 256 u16 frequencies
inline constexpr size_t kBitmapBytes = 32;              // order-1 context bitmap
inline constexpr size_t kStateBytes = 4 * kLanes;       // 32 u32 lane states

}  // namespace rans

// A static model: frequencies summing to TOTFREQ, their running sums, and the
// symbol owning each of the 4096 slots.
struct FrequencyModel {
  std::array<uint16_t, 256> freq{};
  std::array<uint16_t, 257> cum{};
  std::array<uint8_t, rans::kTotFreq> slot2sym{};

  // Decoder side: 256 little-endian u16 as stored in a block. Fails with the
  // rANS table errors ("rANS freq table exceeds TOTFREQ", "... does not sum to
  // TOTFREQ").
  static Result<FrequencyModel> from_table(std::span<const uint8_t, rans::kTableBytes> stored);
  // Encoder side: normalises 256 symbol counts to TOTFREQ. All-zero counts give
  // an all-zero model, which is never written.
  static FrequencyModel from_counts(std::span<const uint32_t, 256> counts);
};

// The decoder's error value: kind Rans, complete message.
ArchiveError rans_error(const char* msg);

namespace rans_detail {

// Checks a stored table and unpacks it into `freq`.
Status read_table(const uint8_t* stored, uint16_t* freq);
// The encoder normalisation of `counts` into `freq` (see from_counts).
void normalise_counts(const uint32_t* counts, uint16_t* freq);

// Order-0 decode tables. `entry` is laid out for the kernel of the chosen
// path:
//  - Packed (vector kernels): bits 0-7 symbol, bits 8-19 slot - cum[symbol],
//    bits 20-31 freq[symbol] - 1, so that one gather gives
//    x' = ((e >> 20) + 1) * (x >> 12) + ((e >> 8) & 4095). The kernels also
//    gather `renorm_below[slot]`, the smallest x >> 12 for which x' stays at
//    or above 2^16: comparing x >> 12 with it tells which lanes take a word
//    without waiting for the multiply, which shortens each lane's chain of
//    dependent instructions by the multiply's latency;
//  - Pairs (scalar kernel): freq | (slot - cum) << 16, two fields the scalar
//    code loads instead of unpacking, with the symbol in `sym`.
// `sym`, `freq` and `cum` also serve the checked reference step.
enum class O0Layout { Packed, Pairs };
struct O0DecodeTable {
  alignas(64) uint32_t entry[rans::kTotFreq];
  alignas(64) uint32_t renorm_below[rans::kTotFreq];  // Packed only
  alignas(64) uint8_t sym[rans::kTotFreq];
  uint16_t freq[256];
  uint16_t cum[257];
};
void build_o0_decode_table(const uint16_t* freq, O0Layout layout, O0DecodeTable& t);

// Encoder constants of one symbol, for the scalar coder. The step
//   if (x > lim) emit x & 0xffff, x >>= 16;
//   q = x div f;  x' = x + q * cmpl + bias
// equals (x div f) * 4096 + (x mod f) + cum. For 1 <= f <= 2048 the quotient
// is ((x * rcp) >> 32) >> shift, exact because x < f * 2^20 <= 2^31 there;
// f = 1 uses rcp = 2^32 - 1 (giving x - 1) and folds the missing 4095 into
// the bias. Larger frequencies divide.
struct EncSymbol {
  uint32_t rcp;
  uint32_t lim;    // f * 2^20 - 1 (0xffffffff for f = 4096: never renormalises)
  uint16_t freq;
  uint16_t cmpl;   // 4096 - f
  uint16_t bias;   // cum, or cum + 4095 for f = 1
  uint8_t shift;
  uint8_t pad_;
};
EncSymbol make_enc_symbol(uint32_t freq, uint32_t cum);

// One scalar encoding step: renormalise, then code. The word store is
// unconditional, into the free slot just below *w, so the loop does not branch.
inline uint32_t encode_step(uint32_t x, const EncSymbol& e, uint16_t*& w) {
  w[-1] = static_cast<uint16_t>(x);
#if defined(__GNUC__) && defined(__x86_64__)
  // GCC turns the portable selection below into a branch that mispredicts on
  // about every other renormalisation; compare, cmov and sbb do not branch.
  const uint32_t shifted = x >> 16;
  int64_t step;  // -1 when the word is kept, else 0
  __asm__("cmpl %[x], %[lim]\n\t"
          "cmovbl %[s], %[x]\n\t"
          "sbbq %[d], %[d]"
          : [x] "+r"(x), [d] "=r"(step)
          : [lim] "r"(e.lim), [s] "r"(shifted)
          : "cc");
  w += step;
#else
  const bool emit = x > e.lim;
  w -= emit ? 1 : 0;
  x = emit ? x >> 16 : x;
#endif
  uint32_t q;
  if (e.freq <= 2048) {
    q = static_cast<uint32_t>((uint64_t(x) * e.rcp) >> 32) >> e.shift;
  } else {
    q = x / e.freq;
  }
  return x + q * e.cmpl + e.bias;
}

// Encoder constants for the vector coders, gathered by symbol. Every
// frequency uses a reciprocal here; above 2048 the quotient may come out one
// too large (x can reach 2^32), which the kernels correct exactly:
//   rem = x - q * f; x' = (q << 12) + rem + bias, minus cmpl when rem < 0.
//   rcp[s]  = ceil(2^(31 + k) / f), k = ceil(log2 f); 2^32 - 1 for f = 1
//   pack[s] = f | bias << 13 | shift << 26   (f <= 4096, bias <= 8190, shift <= 11)
struct VecEncTable {
  alignas(64) uint32_t rcp[256];
  alignas(64) uint32_t pack[256];
};
void build_vec_enc_table(const uint16_t* freq, VecEncTable& table);

// Order-0 kernels. A decode kernel decodes whole batches of 32 symbols (lane j
// gives out[32 b + j]) while b < batches and the word cursor *words has not
// passed `limit`, and returns the number of batches done. It assumes every
// state is at least 2^16 and that the 64 bytes from a batch's starting cursor
// are readable; it never checks the stream end itself.
using DecodeO0Batches = size_t (*)(const O0DecodeTable& table, uint32_t* states, const uint8_t** words,
                                   const uint8_t* limit, uint8_t* out, size_t batches);
size_t decode_o0_batches_scalar(const O0DecodeTable& table, uint32_t* states, const uint8_t** words,
                                const uint8_t* limit, uint8_t* out, size_t batches);
size_t decode_o0_batches_avx2(const O0DecodeTable& table, uint32_t* states, const uint8_t** words,
                              const uint8_t* limit, uint8_t* out, size_t batches);
size_t decode_o0_batches_avx512(const O0DecodeTable& table, uint32_t* states, const uint8_t** words,
                                const uint8_t* limit, uint8_t* out, size_t batches);

// Vector order-0 encode kernels: code batches batches-1 down to 0 of `in`
// (lanes 31 down to 0 within a batch), writing renormalisation words downward
// from `words` so that they end up in decoder order, and return the lowest
// word written. At least 16 writable words must lie below the final result.
using EncodeO0Batches = uint16_t* (*)(const VecEncTable& table, const uint8_t* in, size_t batches,
                                      uint32_t* states, uint16_t* words);
uint16_t* encode_o0_batches_avx2(const VecEncTable& table, const uint8_t* in, size_t batches,
                                 uint32_t* states, uint16_t* words);
uint16_t* encode_o0_batches_avx512(const VecEncTable& table, const uint8_t* in, size_t batches,
                                   uint32_t* states, uint16_t* words);

// The order-0 code path chosen from the processor-feature word: AVX-512, else
// AVX2, else scalar (encode == nullptr: the scalar encoder).
struct O0Path {
  DecodeO0Batches decode;
  O0Layout layout;
  EncodeO0Batches encode;
  const char* truncated_msg;  // what running out of renormalisation words reports
};
O0Path select_o0_path();

}  // namespace rans_detail
}  // namespace zarv
