// Carryless 32-bit range coder: the decoder every range-coded payload is read
// with, and its exact inverse, the encoder used by the writer and the tests.
//
// Bytes leave from the top of `low`. A carry into bytes already emitted is
// avoided by shrinking the interval instead: when the top byte of the interval
// is not yet settled and fewer than 2^16 values remain, `range` is cut back to
// end at the next 2^16 boundary above `low`. Both directions run that rule
// through one routine (range_normalise), so their states never drift apart.
//
// Invariants, true for any payload, valid or not: after normalisation
// range >= 2^16, and low + range <= 2^32 (the interval never wraps; every
// sub-interval chosen lies inside the previous one). The decoder has no error
// path: bytes at or past the end of the payload read as 0, and a damaged
// payload simply decodes to some symbol sequence for the owning codec's bound
// checks and digests to catch.
//
// The models (models.hpp) code themselves through the primitives here:
//   decode_freq/consume      a symbol of a frequency table with total <= 2^16
//   decode_split             a binary event with probability p / 2^bits
//   decode_direct            n equiprobable bits
// and the decode_symbol/decode_bit/decode_tree helpers forward to a model's
// own decode(), so `rd.decode_symbol(m)` and `m.decode(rd)` are the same thing.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zarv {

inline constexpr uint32_t kRangeTop = uint32_t{1} << 24;     // top byte settled below this
inline constexpr uint32_t kRangeBottom = uint32_t{1} << 16;  // smallest range after normalising

// The normalisation shared by decoder and encoder. `shift(low)` is called once
// per byte that leaves the top of `low`, before low and range move up a byte:
// the decoder pulls the next payload byte into its code, the encoder emits
// low's top byte. Ends after at most four shifts for any range >= 1; range 0
// (consuming a zero-frequency symbol, a caller bug) would never end.
template <class Shift>
[[gnu::always_inline]] inline void range_normalise(uint32_t& low, uint32_t& range, Shift&& shift) {
  for (;;) {
    if (((low + range) ^ low) < kRangeTop) {
      // top byte of the interval settled
    } else if (range < kRangeBottom) {
      // Interval straddles a top-byte boundary with little room left: keep
      // only the part below the next 2^16 boundary, which cannot carry.
      range = (0u - low) & 0xFFFFu;
    } else {
      return;
    }
    shift(low);
    low <<= 8;
    range <<= 8;
  }
}

// Decoding side of range_normalise: `next` is the payload byte at `pos` (0
// past the end). The first shift is made with conditional moves, the rest by
// the loop, which then goes on exactly as it would have. About one symbol in
// four moves a byte out, as unpredictably as the data, so a branch there
// mispredicts on most shifts; a second shift or the range cut is rare. The
// state is copied into locals around the moves so that it stays in
// registers.
template <class NextByte>
[[gnu::always_inline]] inline void range_decoder_normalise(uint32_t& code, uint32_t& low, uint32_t& range,
                                                           uint64_t& pos, NextByte&& next_byte) {
#if defined(__GNUC__) && defined(__x86_64__)
  uint32_t c = code, l = low, r = range;
  uint64_t p = pos;
  const uint32_t settled = (l + r) ^ l;  // below 2^24: the top byte is settled
  const uint32_t shifted_code = (c << 8) | next_byte(p);
  const uint32_t shifted_low = l << 8, shifted_range = r << 8;
  const uint64_t after = p + 1;
  __asm__(
      "cmp %[top], %k[t]\n\t"
      "cmovb %k[sc], %k[c]\n\t"
      "cmovb %k[sl], %k[l]\n\t"
      "cmovb %k[sr], %k[r]\n\t"
      "cmovb %[after], %[p]"
      : [c] "+r"(c), [l] "+r"(l), [r] "+r"(r), [p] "+r"(p)
      : [t] "r"(settled), [top] "i"(kRangeTop), [sc] "r"(shifted_code), [sl] "r"(shifted_low),
        [sr] "r"(shifted_range), [after] "r"(after)
      : "cc");
  code = c;
  low = l;
  range = r;
  pos = p;
#endif
  range_normalise(low, range, [&](uint32_t) { code = (code << 8) | next_byte(pos++); });
}

// A small value type (pointer, size, position and four words): hot loops should
// work on a local copy so the state stays in registers; the payload byte loads
// could otherwise alias it and force a store per step.
class RangeDecoder {
 public:
  // Starts over a borrowed payload: code is its first four bytes, big-endian,
  // missing bytes counting as 0.
  explicit RangeDecoder(std::span<const uint8_t> payload) : data_(payload.data()), size_(payload.size()) {
    for (int i = 0; i < 4; ++i) code_ = (code_ << 8) | next_byte();
  }

  // Cumulative-frequency target for a table with the given total
  // (1 <= total <= range, guaranteed for total <= 2^16). The result may reach
  // or exceed `total` on the slack at the top of the interval; the symbol
  // search then takes the last symbol. Must be followed by consume().
  [[gnu::always_inline]] uint32_t decode_freq(uint32_t total) {
    assert(total != 0 && total <= range_);
    r_ = range_ / total;
    return (code_ - low_) / r_;
  }

  // Narrows to the symbol [cum, cum + freq) found for the last decode_freq.
  // freq must be non-zero.
  [[gnu::always_inline]] void consume(uint32_t cum, uint32_t freq) {
    assert(freq != 0);
    low_ += cum * r_;
    range_ = freq * r_;
    normalise();
  }

  // Binary split of the interval in units of range >> bits: the lower part
  // has weight p, the upper part 2^bits - p (0 < p < 2^bits). Returns 1 when
  // the code lies in the upper part. `BitModel` (11 bits, upper = bit 1) and
  // the quality mixer (12 bits, upper = bit 0) both decode through this.
  [[gnu::always_inline]] unsigned decode_split(uint32_t p, unsigned bits) {
    assert(p != 0 && p < (uint32_t{1} << bits));
    const uint32_t r = range_ >> bits;
    const uint32_t bound = r * p;  // (code - low) / r >= p  <=>  code - low >= r * p
    const unsigned upper = (code_ - low_) >= bound;
    // Selected with a mask: coded bits are as unpredictable as the data, and
    // compilers turn plain ternaries here into branches.
    const uint32_t m = 0u - upper;
    low_ += bound & m;
    range_ = bound ^ ((((r << bits) - bound) ^ bound) & m);
    normalise();
    return upper;
  }

  // Frequency decoding with the symbol search left to the caller. scale()
  // sets decode_freq's r = range / total; the target decode_freq would
  // return is offset() / r, so a cumulative frequency c is at most the
  // target exactly when c * r <= offset() (no product wraps for c <= total).
  // The search needs no second division; consume() then narrows as after
  // decode_freq.
  [[gnu::always_inline]] uint32_t scale(uint32_t total) {
    assert(total != 0 && total <= range_);
    r_ = range_ / total;
    return r_;
  }
  // scale() for a caller that keeps the reciprocal of its total:
  // floor((2^64 - 1) / total) + 1 for a total of at least 2, whose 64-bit
  // product with the 32-bit range has range / total as its high half.
  [[gnu::always_inline]] uint32_t scale_by_reciprocal(uint64_t reciprocal) {
    r_ = static_cast<uint32_t>((static_cast<unsigned __int128>(reciprocal) * range_) >> 64);
    return r_;
  }
  [[gnu::always_inline]] uint32_t offset() const { return code_ - low_; }

  // n equiprobable bits (0 <= n <= 32), most significant first.
  uint32_t decode_direct(unsigned n) {
    assert(n <= 32);
    uint32_t value = 0;
    for (unsigned i = 0; i < n; ++i) {
      const uint32_t r = range_ >> 1;
      const uint32_t bit = (code_ - low_) >= r;
      low_ += r & (0u - bit);
      range_ = r;
      normalise();
      value = (value << 1) | bit;
    }
    return value;
  }

  // Model helpers: each forwards to the model's own decode routine.
  template <class Model>
  [[gnu::always_inline]] uint32_t decode_symbol(Model& model) { return model.decode(*this); }
  template <class Model>
  [[gnu::always_inline]] unsigned decode_bit(Model& model) { return model.decode(*this); }
  template <class Tree>
  [[gnu::always_inline]] uint32_t decode_tree(Tree& tree) { return tree.decode(*this); }
  template <class Tree>
  [[gnu::always_inline]] uint32_t decode_tree_reverse(Tree& tree) { return tree.decode_reverse(*this); }

  uint32_t low() const { return low_; }
  uint32_t range() const { return range_; }
  uint32_t code() const { return code_; }
  // Bytes consumed so far, including the zero bytes read past the end.
  uint64_t position() const { return pos_; }

 private:
  [[gnu::always_inline]] uint32_t next_byte() {
    const uint32_t b = pos_ < size_ ? data_[pos_] : 0u;
    ++pos_;
    return b;
  }
  [[gnu::always_inline]] void normalise() {
    range_decoder_normalise(code_, low_, range_, pos_,
                            [this](uint64_t p) -> uint32_t { return p < size_ ? data_[p] : 0u; });
  }

  const uint8_t* data_;
  uint64_t size_;
  uint64_t pos_ = 0;
  uint32_t low_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
  uint32_t code_ = 0;
  uint32_t r_ = 0;  // range / total of the pending decode_freq
};

// The encoder: appends to a caller-owned buffer; finish() must be called once
// after the last symbol. Each encode_* mirrors the decode_* of the same name.
class RangeEncoder {
 public:
  explicit RangeEncoder(std::vector<uint8_t>& out) : out_(&out), start_(out.size()) {}

  void encode_freq(uint32_t cum, uint32_t freq, uint32_t total) {
    assert(total != 0 && total <= range_ && freq != 0 && cum + freq <= total);
    const uint32_t r = range_ / total;
    low_ += cum * r;
    range_ = freq * r;
    normalise();
  }

  void encode_split(uint32_t p, unsigned bits, unsigned upper) {
    assert(p != 0 && p < (uint32_t{1} << bits));
    const uint32_t r = range_ >> bits;
    const uint32_t bound = r * p;
    low_ += upper ? bound : 0u;
    range_ = upper ? (r << bits) - bound : bound;
    normalise();
  }

  void encode_direct(uint32_t value, unsigned n) {
    assert(n <= 32);
    for (unsigned i = n; i-- > 0;) {
      const uint32_t r = range_ >> 1;
      if ((value >> i) & 1u) low_ += r;
      range_ = r;
      normalise();
    }
  }

  template <class Model>
  void encode_symbol(Model& model, uint32_t symbol) { model.encode(*this, symbol); }
  template <class Model>
  void encode_bit(Model& model, unsigned bit) { model.encode(*this, bit); }
  template <class Tree>
  void encode_tree(Tree& tree, uint32_t value) { tree.encode(*this, value); }
  template <class Tree>
  void encode_tree_reverse(Tree& tree, uint32_t value) { tree.encode_reverse(*this, value); }

  // Writes the shortest tail that keeps the code inside the final interval
  // and drops trailing zero bytes of this encoder's output: the decoder reads
  // zeros past the end, so they carry no information.
  void finish();

  uint32_t low() const { return low_; }
  uint32_t range() const { return range_; }

 private:
  void normalise() {
    range_normalise(low_, range_, [this](uint32_t low) { out_->push_back(static_cast<uint8_t>(low >> 24)); });
  }

  std::vector<uint8_t>* out_;
  size_t start_;  // where this encoder's bytes begin in *out_
  uint32_t low_ = 0;
  uint32_t range_ = 0xFFFFFFFFu;
};

}  // namespace zarv
