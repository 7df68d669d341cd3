// Adaptive models driven by the range coder: small-alphabet frequency models,
// binary probability models and bit trees.
//
// One definition serves both directions: every model has decode(RangeDecoder&)
// and encode(RangeEncoder&, value), which make the same split of the interval
// and then run the same update(), so an encoder and a decoder that see the
// same symbols keep identical models.
//
// Models are small trivially-copyable values meant to live in large flat
// tables indexed by context (a five-symbol model is 12 bytes).
#pragma once

#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codecs/entropy/range_coder.hpp"

namespace zarv {

// A symbol found by a cumulative-frequency search, and the summed frequency
// of the symbols before it.
struct FreqSlot {
  uint32_t symbol;
  uint32_t cum;
};

// Adaptive frequency model over N symbols: each coded symbol gains
// kIncrement; when the total exceeds kLimit every frequency f becomes
// (f + 1) / 2. Frequencies start where the owner puts them (all 1 by
// default); a symbol that starts at 0 stays at 0 and is never selected by the
// search, except by the top-slack rule below when it is the last symbol, so
// owners with unused trailing slots must check the symbol before consume().
template <size_t N>
class AdaptiveFreqModel {
  static_assert(N >= 2 && N <= 256, "alphabet size out of range");

 public:
  static constexpr size_t kSymbols = N;
  static constexpr uint32_t kIncrement = 16;
  static constexpr uint32_t kLimit = 8192;  // totals stay <= kLimit + kIncrement

  AdaptiveFreqModel() { reset(1); }
  explicit AdaptiveFreqModel(uint16_t initial) { reset(initial); }
  explicit AdaptiveFreqModel(const std::array<uint16_t, N>& initial) : freq_(initial) {
    uint32_t t = 0;
    for (uint16_t f : freq_) t += f;
    assert(t != 0 && t <= kLimit);
    total_ = static_cast<uint16_t>(t);
  }

  // Every symbol at `initial` (N * initial must not exceed kLimit).
  void reset(uint16_t initial) {
    assert(initial != 0 && N * initial <= kLimit);
    freq_.fill(initial);
    total_ = static_cast<uint16_t>(N * initial);
  }

  uint32_t total() const { return total_; }
  uint32_t freq(uint32_t symbol) const { return freq_[symbol]; }
  const std::array<uint16_t, N>& freqs() const { return freq_; }

  // The first symbol whose cumulative frequency including itself exceeds
  // `count`; a count at or beyond the total gives the last symbol.
  [[gnu::always_inline]] FreqSlot find(uint32_t count) const {
    uint32_t acc = 0, cum = 0, symbol = 0;
    if constexpr (N <= 8) {
      // Branch-free: symbols are unpredictable, so count the prefix sums at
      // or below `count` instead of breaking out of the scan.
      for (size_t i = 0; i + 1 < N; ++i) {
        acc += freq_[i];
        const bool below = acc <= count;
        symbol += below;
        cum = below ? acc : cum;
      }
    } else {
      for (; symbol + 1 < N; ++symbol) {
        acc += freq_[symbol];
        if (acc > count) break;
        cum = acc;
      }
    }
    return {symbol, cum};
  }

  // Summed frequency of the symbols before `symbol`.
  uint32_t cum(uint32_t symbol) const {
    uint32_t c = 0;
    for (uint32_t i = 0; i < symbol; ++i) c += freq_[i];
    return c;
  }

  // Adds one occurrence of `symbol` without coding it.
  [[gnu::always_inline]] void update(uint32_t symbol) {
    freq_[symbol] = static_cast<uint16_t>(freq_[symbol] + kIncrement);
    total_ = static_cast<uint16_t>(total_ + kIncrement);
    if (total_ > kLimit) [[unlikely]] halve();
  }

  [[gnu::always_inline]] uint32_t decode(RangeDecoder& rd) {
    const FreqSlot s = find(rd.decode_freq(total_));
    rd.consume(s.cum, freq_[s.symbol]);
    update(s.symbol);
    return s.symbol;
  }

  void encode(RangeEncoder& re, uint32_t symbol) {
    assert(symbol < N && freq_[symbol] != 0);
    re.encode_freq(cum(symbol), freq_[symbol], total_);
    update(symbol);
  }

  bool operator==(const AdaptiveFreqModel&) const = default;

 private:
  void halve() {
    uint32_t t = 0;
    for (uint16_t& f : freq_) {
      f = static_cast<uint16_t>((f + 1u) >> 1);
      t += f;
    }
    total_ = static_cast<uint16_t>(t);
  }

  std::array<uint16_t, N> freq_;
  uint16_t total_;
};

static_assert(sizeof(AdaptiveFreqModel<5>) == 12, "five-symbol models pack into flat tables");

// Binary model: p is the probability of a 0 bit in units of 1/2048, moved a
// 1/32 of the way toward the coded bit after each use. p stays in [31, 2017],
// so both halves of the split are always non-empty.
struct BitModel {
  static constexpr unsigned kBits = 11;
  static constexpr uint32_t kOne = uint32_t{1} << kBits;  // 2048
  static constexpr unsigned kShift = 5;

  uint16_t p = kOne / 2;

  [[gnu::always_inline]] void update(unsigned bit) {
    p = static_cast<uint16_t>(bit ? p - (p >> kShift) : p + ((kOne - p) >> kShift));
  }
  [[gnu::always_inline]] unsigned decode(RangeDecoder& rd) {
    const unsigned bit = rd.decode_split(p, kBits);
    update(bit);
    return bit;
  }
  void encode(RangeEncoder& re, unsigned bit) {
    re.encode_split(p, kBits, bit);
    update(bit);
  }

  bool operator==(const BitModel&) const = default;
};

static_assert(sizeof(BitModel) == 2);

// Bit trees over a caller-owned node array of 2^n models (node 0 unused),
// for trees whose width is only known at run time. BitTree<n> below wraps a
// fixed-width one. n is at most 24.
//
// Forward: node m = 1, then m = 2m + bit; the value is m - 2^n, most
// significant bit first. Reverse: same walk, bit i of the value is the i-th
// bit decoded (least significant first).
[[gnu::always_inline]] inline uint32_t decode_bit_tree(RangeDecoder& rd, BitModel* nodes, unsigned n) {
  uint32_t m = 1;
  for (unsigned i = 0; i < n; ++i) m = (m << 1) | nodes[m].decode(rd);
  return m - (uint32_t{1} << n);
}
[[gnu::always_inline]] inline uint32_t decode_bit_tree_reverse(RangeDecoder& rd, BitModel* nodes, unsigned n) {
  uint32_t m = 1, value = 0;
  for (unsigned i = 0; i < n; ++i) {
    const uint32_t bit = nodes[m].decode(rd);
    m = (m << 1) | bit;
    value |= bit << i;
  }
  return value;
}
inline void encode_bit_tree(RangeEncoder& re, BitModel* nodes, unsigned n, uint32_t value) {
  uint32_t m = 1;
  for (unsigned i = n; i-- > 0;) {
    const uint32_t bit = (value >> i) & 1u;
    nodes[m].encode(re, bit);
    m = (m << 1) | bit;
  }
}
inline void encode_bit_tree_reverse(RangeEncoder& re, BitModel* nodes, unsigned n, uint32_t value) {
  uint32_t m = 1;
  for (unsigned i = 0; i < n; ++i) {
    const uint32_t bit = (value >> i) & 1u;
    nodes[m].encode(re, bit);
    m = (m << 1) | bit;
  }
}

// A bit tree of NumBits bits: node models 1 .. 2^NumBits - 1, all starting at
// the BitModel default.
template <unsigned NumBits>
class BitTree {
  static_assert(NumBits >= 1 && NumBits <= 16, "bit tree width out of range");

 public:
  static constexpr unsigned kBits = NumBits;
  static constexpr size_t kNodes = size_t{1} << NumBits;

  [[gnu::always_inline]] uint32_t decode(RangeDecoder& rd) { return decode_bit_tree(rd, nodes_.data(), NumBits); }
  [[gnu::always_inline]] uint32_t decode_reverse(RangeDecoder& rd) {
    return decode_bit_tree_reverse(rd, nodes_.data(), NumBits);
  }
  void encode(RangeEncoder& re, uint32_t value) { encode_bit_tree(re, nodes_.data(), NumBits, value); }
  void encode_reverse(RangeEncoder& re, uint32_t value) {
    encode_bit_tree_reverse(re, nodes_.data(), NumBits, value);
  }

  std::span<const BitModel, kNodes> nodes() const { return nodes_; }
  bool operator==(const BitTree&) const = default;

 private:
  std::array<BitModel, kNodes> nodes_{};
};

}  // namespace zarv
