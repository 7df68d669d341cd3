// Quality context models: the definitions the quality decoder and encoder
// share, so that both directions run one set of context formulas and one set
// of model updates.
//
//   frequency model (modes 0, 1): one AdaptiveFreqModel row per context, the
//     context built from the previous three relative qualities and either the
//     position in the read (mode 0) or the read's bases (mode 1);
//   binary mixing model (modes 3 to 6): the alphabet index coded bit by bit,
//     each bit's probability mixed from three tables under contexts of growing
//     order by a logistic mixer with one weight set per bit position.
//
// The walkers (walk_freq_contexts, walk_mixing_contexts) step through the reads
// and compute every context; a codec passes the function that codes one symbol
// under it (decode, or encode). Per-read bounds are checked once per read, so
// the per-symbol loop carries only the alphabet check a damaged payload needs.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "codecs/entropy/models.hpp"
#include "codecs/entropy/range_coder.hpp"
#include "codecs/entropy/zeroed_array.hpp"
#include "codecs/quality/quality.hpp"
#include "core/result.hpp"

namespace zarv::quality {

inline constexpr uint8_t kStreamVersion = 2;
inline constexpr unsigned kMaxAlphabet = 94;
inline constexpr unsigned kMinChunkSegments = 2;
inline constexpr unsigned kMaxChunkSegments = 4096;

// ---- errors -------------------------------------------------------------

inline ArchiveError malformed(std::string_view detail) {
  std::string msg = "malformed fqzcomp stream: ";
  msg += detail;
  return ArchiveError::nested(ErrorKind::Quality, std::move(msg));
}
// Re-homes a bare detail from the shared framing ("varint too long", ...).
inline ArchiveError rehome(const ArchiveError& inner) {
  return codec_error(ErrorKind::Quality, "malformed fqzcomp stream: ", inner);
}
inline ArchiveError alphabet_too_large(uint64_t n) {
  return ArchiveError::nested(ErrorKind::Quality,
                              "quality alphabet too large (" + std::to_string(n) + " > 64 symbols)");
}
inline ArchiveError unsupported_mode(uint8_t mode) {
  return ArchiveError::nested(ErrorKind::Quality, "unsupported quality context mode " + std::to_string(mode) +
                                                      "; this archive needs a newer zarv");
}
inline ArchiveError unsupported_chunk_variant(uint8_t variant) {
  return ArchiveError::nested(ErrorKind::Quality, "unsupported quality chunk variant " +
                                                      std::to_string(variant) + "; this archive needs a newer zarv");
}
inline ArchiveError length_mismatch(uint64_t lengths_total, uint64_t quality_bytes) {
  return ArchiveError::nested(ErrorKind::Quality, "read lengths (" + std::to_string(lengths_total) +
                                                      ") do not match quality bytes (" +
                                                      std::to_string(quality_bytes) + ")");
}
inline ArchiveError not_yet_implemented(std::string_view what) {
  return ArchiveError::nested(ErrorKind::Quality, "not yet implemented: " + std::string(what));
}

// ---- stream header ------------------------------------------------------

inline bool is_known_mode(uint8_t m) { return m == 0 || m == 1 || (m >= 3 && m <= 6); }
inline bool uses_stored_quantizers(QualityContextMode m) {
  return m == QualityContextMode::MixingQuantized || m == QualityContextMode::ChunkedQuantized;
}
inline bool is_chunked(QualityContextMode m) {
  return m == QualityContextMode::ChunkedMixing || m == QualityContextMode::ChunkedQuantized;
}
inline bool is_mixing(QualityContextMode m) { return static_cast<uint8_t>(m) >= 3; }

// The alphabet and, per entry, its relative value (entry minus entry 0,
// modulo 256): every context sees relative values, never indexes or bytes.
struct Alphabet {
  uint32_t n = 0;
  std::array<uint8_t, kMaxAlphabet> symbols{};
  std::array<uint8_t, kMaxAlphabet> relative{};

  static Alphabet from(std::span<const uint8_t> bytes) {
    Alphabet a;
    a.n = static_cast<uint32_t>(bytes.size());
    for (uint32_t k = 0; k < a.n; ++k) {
      a.symbols[k] = bytes[k];
      a.relative[k] = static_cast<uint8_t>(bytes[k] - bytes[0]);
    }
    return a;
  }
};

// Chunk table of modes 5 and 6 (decoded by the chunked-stream decoder).
struct ChunkTable {
  uint8_t variant = 0;
  uint64_t warmup = 0;
  std::vector<uint64_t> segment_lengths;  // 2 .. 4096 entries
};

struct StreamHeader {
  uint8_t binning_tag = 0;
  QualityContextMode mode = QualityContextMode::Position;
  Alphabet alphabet;
  std::span<const uint8_t> quantizer_bytes;  // 2n bytes in modes 4 and 6
  ChunkTable chunks;                         // modes 5 and 6
  std::vector<uint32_t> lengths;
  uint64_t total = 0;
  std::span<const uint8_t> payload;
};

// Reads the header and the read lengths, with every check of the header;
// `limits` bound the declared total and read count.
Result<StreamHeader> parse_stream_header(std::span<const uint8_t> coded, const QualityDecodeLimits& limits = {});

// ---- shared tables ------------------------------------------------------

// Base codes of the contexts: C 1, G 2, T 3 (either case), anything else 0.
inline constexpr std::array<uint8_t, 256> kBaseCode = [] {
  std::array<uint8_t, 256> t{};
  t['C'] = t['c'] = 1;
  t['G'] = t['g'] = 2;
  t['T'] = t['t'] = 3;
  return t;
}();

// Position bucket of mode 0: i / 2 below 16, 8 + i / 32 up to 223, then 15.
inline constexpr std::array<uint8_t, 225> kPositionBucket = [] {
  std::array<uint8_t, 225> t{};
  for (uint32_t i = 0; i < 225; ++i) t[i] = static_cast<uint8_t>(i < 16 ? i >> 1 : i < 224 ? 8 + (i >> 5) : 15);
  return t;
}();
inline uint32_t position_bucket(uint32_t i) { return kPositionBucket[std::min<uint32_t>(i, 224)]; }

// Logistic tables of the mixer, built once per process.
struct MixingTables {
  // squash[i] = round(4096 / (1 + e^((2048 - i) / 256))), clamped to 1..4095.
  std::array<uint16_t, 4096> squash;
  // stretch[p] = i - 2048 for the smallest i with squash[i] >= p; 2047 where
  // no squash value reaches p (p = 4096).
  std::array<int16_t, 4097> stretch;
};
const MixingTables& mixing_tables();

// Context quantizers of the mixing model, indexed by relative value. Entries
// are stored already masked to the width their context field has.
struct Quantizers {
  std::array<uint8_t, 256> q0{}, q1{}, q2{};

  // Modes 3 and 5: v >> 1, v >> 3, v >> 4.
  static Quantizers fixed();
  // Modes 4 and 6: entry k with bytes x = b[2k], y = b[2k + 1] gives
  // Q0 = x & 63, Q1 = (y >> 3) & 7, Q2 = y & 3 at its relative value; other
  // relative values stay 0. A later entry with the same relative value wins.
  static Quantizers stored(const Alphabet& alphabet, std::span<const uint8_t> bytes);
};

inline ArchiveError model_alloc_error() { return malformed("quality model too large to allocate"); }

// ---- frequency model ----------------------------------------------------

// Slots per context for an alphabet of n: the next of 4, 8, 16, 32, 64, 94.
inline constexpr uint32_t freq_slots(uint32_t n) {
  return n <= 4 ? 4 : n <= 8 ? 8 : n <= 16 ? 16 : n <= 32 ? 32 : n <= 64 ? 64 : 94;
}

// One frequency row per context. A row starts with 1 in the first n slots and
// 0 in the others (slot k stands for alphabet entry k). Rows are initialised
// on first use, tracked by a bitmap, which behaves exactly as a table filled
// up front while costing nothing for contexts a block never reaches.
template <size_t N>
class FreqTable {
 public:
  using Row = AdaptiveFreqModel<N>;

  [[nodiscard]] bool allocate(uint32_t n, uint32_t context_bits) {
    std::array<uint16_t, N> init{};
    for (uint32_t k = 0; k < n; ++k) init[k] = 1;
    fresh_ = Row(init);
    const size_t contexts = size_t{1} << context_bits;
    return rows_.allocate(contexts) && ready_.allocate(contexts / 64);
  }

  [[gnu::always_inline]] Row& row(uint32_t ctx) {
    uint64_t& word = ready_.data()[ctx >> 6];
    const uint64_t bit = uint64_t{1} << (ctx & 63);
    Row& r = rows_.data()[ctx];
    if (!(word & bit)) [[unlikely]] {
      r = fresh_;
      word |= bit;
    }
    return r;
  }

 private:
  ZeroedArray<Row> rows_;
  ZeroedArray<uint64_t> ready_;
  Row fresh_;
};

// How a frequency-model context is numbered in a table. A context is the
// field taken from the previous symbol's relative value (mode 0: its low six
// bits; mode 1: bits 1 to 6), the "q1 field", and the rest of the context
// above it. The table holds row (q1 slot | rest << q1_bits):
//  - plain: the slot is the field itself (six bits), so the row number is the
//    context as the format defines it;
//  - dense: an alphabet of n symbols can only ever put its entries' fields
//    in that slot (relative value 0, where every read starts, is entry 0's),
//    at most n distinct values; they are numbered in order of appearance, in
//    as few bits as their count needs. Same contexts, the rows in another
//    order: for small alphabets the table is a fraction of the plain one, and
//    the rows one symbol may lead to lie together.
struct FreqContextLayout {
  std::array<uint8_t, kMaxAlphabet> q1_slot{};  // per alphabet index
  unsigned q1_bits = 6;
  unsigned rest_bits = 12;  // mode 0: 12, mode 1: 10

  unsigned context_bits() const { return q1_bits + rest_bits; }

  // Whether every alphabet index is its own q1 slot (the dense numbering of
  // an alphabet whose q1 fields all differ, as in mode 0). Then two indexes
  // differ exactly when their relative values do.
  bool slots_are_indexes(uint32_t n) const {
    for (uint32_t k = 0; k < n; ++k) {
      if (q1_slot[k] != k) return false;
    }
    return true;
  }

  static FreqContextLayout plain(const Alphabet& alphabet, QualityContextMode mode) {
    FreqContextLayout l;
    l.rest_bits = mode == QualityContextMode::Position ? 12 : 10;
    for (uint32_t k = 0; k < alphabet.n; ++k) l.q1_slot[k] = field(alphabet.relative[k], mode);
    return l;
  }

  static FreqContextLayout dense(const Alphabet& alphabet, QualityContextMode mode) {
    FreqContextLayout l;
    l.rest_bits = mode == QualityContextMode::Position ? 12 : 10;
    std::array<int, 64> slot_of_field;
    slot_of_field.fill(-1);
    uint32_t slots = 0;
    for (uint32_t k = 0; k < alphabet.n; ++k) {
      int& slot = slot_of_field[field(alphabet.relative[k], mode)];
      if (slot < 0) slot = static_cast<int>(slots++);
      l.q1_slot[k] = static_cast<uint8_t>(slot);
    }
    l.q1_bits = slots <= 1 ? 0u : static_cast<unsigned>(std::bit_width(slots - 1));
    return l;
  }

 private:
  static uint8_t field(uint8_t relative, QualityContextMode mode) {
    return static_cast<uint8_t>((mode == QualityContextMode::Position ? relative : relative >> 1) & 63);
  }
};

// Walks the frequency-model contexts of `lengths` reads. code(row, pos)
// codes the symbol at output position pos under the context numbered `row`
// by `layout` and returns its alphabet index; an index of n or more (a
// decoder's symbol outside the alphabet) stops the walk. `bases` holds the
// reads' bases from the first read on (mode 1 only); `capacity` is the room
// of the output. Returns nullptr on success, else the detail text of the
// failure.
//
// With kSlotsAreIndexes (a layout whose slots_are_indexes() holds) the next
// context follows from the symbol's index without the two table lookups
// that otherwise lie between one symbol and the next.
template <QualityContextMode Mode, bool kSlotsAreIndexes = false, class CodeFn>
[[gnu::always_inline]] inline const char* walk_freq_contexts(std::span<const uint32_t> lengths,
                                                             std::span<const uint8_t> bases, uint64_t capacity,
                                                             const Alphabet& alphabet,
                                                             const FreqContextLayout& layout, CodeFn&& code) {
  static_assert(Mode == QualityContextMode::Position || Mode == QualityContextMode::Bases);
  const uint32_t n = alphabet.n;
  const unsigned q1_bits = layout.q1_bits;
  // Entry 0 has relative value 0, the value before every read's first symbol.
  const uint32_t q1_start = layout.q1_slot[0];
  uint64_t pos = 0;
  for (const uint32_t len : lengths) {
    if (capacity - pos < len) return "quality output range too short";
    uint32_t q1 = 0, q2 = 0;
    uint32_t f1 = q1_start;  // q1's slot
    if constexpr (Mode == QualityContextMode::Position) {
      uint32_t q3 = 0;
      uint32_t d = 0;  // how often the quality changed in this read, saturating at 3
      for (uint32_t i = 0; i < len; ++i) {
        const uint32_t rest = ((q2 >> 2) & 15) | d << 4 | ((q3 >> 4) & 3) << 6 | position_bucket(i) << 8;
        const uint32_t d_change = i != 0 ? std::min<uint32_t>(d, 2) + 1 : d;
        const uint32_t s = code(f1 | rest << q1_bits, pos + i);
        if (s >= n) [[unlikely]] return "decoded symbol outside alphabet";
        const uint32_t rel = alphabet.relative[s];
        if constexpr (kSlotsAreIndexes) {
          // f1 is the previous index here (its value at i = 0 is not used).
          d = s != f1 ? d_change : d;
          f1 = s;
        } else {
          d = rel != q1 ? d_change : d;
          f1 = layout.q1_slot[s];
        }
        q3 = q2;
        q2 = q1;
        q1 = rel;
      }
    } else {
      if (bases.size() - pos < len) return "sequence shorter than quality lengths";
      const uint8_t* b = bases.data() + pos;
      const auto code_at = [b, len](uint64_t i) -> uint32_t { return i < len ? kBaseCode[b[i]] : 0u; };
      // Only min(run, 7) is seen, so the counter can stop at 7.
      uint32_t run = 1;
      for (uint32_t i = 0; i < len; ++i) {
        const uint32_t rest = ((q2 >> 3) & 7) | code_at(i) << 3 | code_at(uint64_t{i} + 1) << 5 | run << 7;
        const uint32_t run_next = i + 1 < len && b[i + 1] == b[i] ? std::min<uint32_t>(run + 1, 7) : 1;
        const uint32_t s = code(f1 | rest << q1_bits, pos + i);
        if (s >= n) [[unlikely]] return "decoded symbol outside alphabet";
        run = run_next;
        q2 = q1;
        q1 = alphabet.relative[s];
        f1 = kSlotsAreIndexes ? s : layout.q1_slot[s];
      }
    }
    pos += len;
  }
  return nullptr;
}

// walk_freq_contexts for a decoder's dense layout: with the index shortcut
// whenever the layout allows it.
template <QualityContextMode Mode, class CodeFn>
inline const char* walk_dense_freq_contexts(std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                                            uint64_t capacity, const Alphabet& alphabet,
                                            const FreqContextLayout& layout, CodeFn&& code) {
  return layout.slots_are_indexes(alphabet.n)
             ? walk_freq_contexts<Mode, true>(lengths, bases, capacity, alphabet, layout, code)
             : walk_freq_contexts<Mode, false>(lengths, bases, capacity, alphabet, layout, code);
}

// ---- binary mixing model ------------------------------------------------

// Bits per symbol: 1 for n < 2, else the bit width of n - 1 (7 for n = 94).
inline constexpr unsigned mixing_bits(uint32_t n) {
  return n < 2 ? 1u : static_cast<unsigned>(std::bit_width(n - 1));
}

// Fibonacci hash of the order-3 context to 20 bits.
inline uint32_t hash_context(uint32_t c3) { return (c3 * 0x9E3779B1u) >> 12; }

// The three contexts of one symbol; c3 is hashed by the model.
struct MixingContexts {
  uint32_t c1 = 0, c2 = 0, c3 = 0;
};

// What the model may know of the symbol after the one it codes: that
// symbol's contexts lack only their Q0 field, which is Q0 of the relative
// value of the symbol being coded. `q0_of_index` holds it per alphabet index
// (128 entries, any value past the alphabet).
struct MixingLookahead {
  MixingContexts next;
  const uint8_t* q0_of_index = nullptr;
};

// The same pointer, but one the compiler cannot see through: loads through
// it are done again rather than kept in registers from an earlier load.
template <class T>
[[gnu::always_inline]] inline T* opaque(T* p) {
  asm("" : "+r"(p));
  return p;
}

// mask ? a : b for a mask of all ones or all zeros, without a branch.
[[gnu::always_inline]] inline uint32_t select(uint32_t mask, uint32_t a, uint32_t b) { return b ^ ((a ^ b) & mask); }
[[gnu::always_inline]] inline uint32_t select(uint32_t mask, int32_t a, int32_t b) {
  return select(mask, static_cast<uint32_t>(a), static_cast<uint32_t>(b));
}

// bit ? if1 : if0 for a bit of 0 or 1, without a branch. On x86 a
// conditional move: two instructions where the mask takes four, and the bit
// is on the decoder's critical path.
[[gnu::always_inline]] inline uint32_t select_by_bit(uint32_t bit, uint32_t if1, uint32_t if0) {
#if defined(__x86_64__) || defined(__i386__)
  uint32_t r = if0;
  asm("test %[bit], %[bit]\n\tcmovnz %[if1], %[r]" : [r] "+r"(r) : [bit] "r"(bit), [if1] "rm"(if1) : "cc");
  return r;
#else
  return select(0u - bit, if1, if0);
#endif
}

class MixingModel {
 public:
  static constexpr int32_t kInitialWeight = 21845;
  static constexpr uint32_t kT1Bits = 16, kT2Bits = 18, kT3Bits = 20;
  static constexpr unsigned kMaxBits = 7;
  // Once this few candidates remain for the symbol being coded, the model
  // asks for the next symbol's rows under each of them.
  static constexpr unsigned kLookaheadCandidates = 2;

  // Builds the model for an alphabet of n (1..94) with every probability at
  // 2048 and every weight at 21845; fails only when memory runs out.
  // `symbols` is how many symbols the model will code (a hint: tables that
  // so many symbols reach nearly everywhere are mapped with huge pages).
  static Result<MixingModel> create(uint32_t n, uint64_t symbols = 0);

  unsigned bits() const { return bits_; }

  // Calls fn(std::integral_constant<unsigned, B>{}) with B = bits(): the
  // bit loop below is unrolled for each width.
  template <class Fn>
  decltype(auto) with_bits(Fn&& fn) const {
    switch (bits_) {
      case 1: return fn(std::integral_constant<unsigned, 1>{});
      case 2: return fn(std::integral_constant<unsigned, 2>{});
      case 3: return fn(std::integral_constant<unsigned, 3>{});
      case 4: return fn(std::integral_constant<unsigned, 4>{});
      case 5: return fn(std::integral_constant<unsigned, 5>{});
      case 6: return fn(std::integral_constant<unsigned, 6>{});
      default: return fn(std::integral_constant<unsigned, 7>{});
    }
  }

  // Codes one symbol of B = bits() bits under contexts c1 (16 bits), c2
  // (18 bits) and the hashed c3 (20 bits), most significant bit first.
  // bit_fn(p, j) codes bit j given p, the 12-bit probability of a 1, and
  // returns the bit. With kAdapt the weights and the three table entries move
  // toward each coded bit; without it the model is only read. `ahead`, when
  // given, lets the model fetch the next symbol's rows early (it changes no
  // result). Returns the alphabet index.
  //
  // Bit j's probability comes from level j of the tree and weight set j;
  // bit j's update writes only level j and weight set j. So while bit j is
  // being coded, both of its children's probabilities can already be mixed,
  // and the coder only waits for a select once the bit is known.
  template <unsigned B, bool kAdapt, class BitFn>
  [[gnu::always_inline]] uint32_t code(uint32_t c1, uint32_t c2, uint32_t h3, const MixingLookahead* ahead,
                                       BitFn&& bit_fn) {
    static_assert(B >= 1 && B <= kMaxBits);
    // Table entries are stored as p - 2048, so calloc's zeros are the initial
    // 2048; stretch_ is offset to take the stored value as its index.
    int16_t* const r1 = t1_.data() + (size_t{c1} << B);
    int16_t* const r2 = t2_.data() + (size_t{c2} << B);
    int16_t* const r3 = t3_.data() + (size_t{h3} << B);
    if constexpr (B > 5) {
      // Rows of more than one line: the levels past the fifth live on the
      // later lines; ask for them now, while the first levels are coded.
      for (size_t off = 64; off < (size_t{2} << B); off += 64) {
        __builtin_prefetch(reinterpret_cast<const char*>(r3) + off, 1);
        __builtin_prefetch(reinterpret_cast<const char*>(r2) + off, 1);
        __builtin_prefetch(reinterpret_cast<const char*>(r1) + off, 1);
      }
    }
    if (ahead && (1u << B) <= kLookaheadCandidates) prefetch_next<B>(*ahead, 0, 1u << B);
    int32_t* const w = weights_.data();
    // One base register for both tables; a stored entry e (p - 2048) is
    // stretched by stretch[e + 2048].
    const MixingTables& tab = tables_;
    const int16_t* const stc = tab.stretch.data() + 2048;
    const auto st = [stc](int16_t e) -> int32_t { return stc[e]; };
    uint32_t p = mix(tab, w, st(r1[1]), st(r2[1]), st(r3[1]));
    uint32_t node = 1;
#pragma GCC unroll 8
    for (unsigned j = 0; j < B; ++j) {
      uint32_t pa = 0, pb = 0;
      if (j + 1 < B) {
        const uint32_t c = 2 * node;
        pa = mix(tab, w + 3 * (j + 1), st(r1[c]), st(r2[c]), st(r3[c]));
        pb = mix(tab, w + 3 * (j + 1), st(r1[c + 1]), st(r2[c + 1]), st(r3[c + 1]));
      }
      const unsigned bit = bit_fn(p, j);
      if constexpr (kAdapt) {
        // The entries at this node are as they were when p was mixed; loading
        // them again is cheaper than keeping them in registers until now.
        // Through opaque() the compiler cannot reuse the values of the mix
        // (or of the weights), which it would otherwise hold across the bit
        // and spill.
        int16_t* const u1 = opaque(r1);
        int16_t* const u2 = opaque(r2);
        int16_t* const u3 = opaque(r3);
        const int16_t e1 = u1[node], e2 = u2[node], e3 = u3[node];
        const int32_t target = static_cast<int32_t>(bit << 12);
        const int32_t err = target - static_cast<int32_t>(p);
        int32_t* wj = opaque(w) + 3 * j;
        // 32-bit weights, wrapping rather than overflowing.
        wj[0] = static_cast<int32_t>(static_cast<uint32_t>(wj[0]) + static_cast<uint32_t>((st(e1) * err) >> 11));
        wj[1] = static_cast<int32_t>(static_cast<uint32_t>(wj[1]) + static_cast<uint32_t>((st(e2) * err) >> 11));
        wj[2] = static_cast<int32_t>(static_cast<uint32_t>(wj[2]) + static_cast<uint32_t>((st(e3) * err) >> 11));
        // entry += (target - entry) >> 5, on the stored p - 2048; entries stay in -2048..2017.
        const int32_t t = target - 2048;
        u1[node] = static_cast<int16_t>(e1 + ((t - e1) >> 5));
        u2[node] = static_cast<int16_t>(e2 + ((t - e2) >> 5));
        u3[node] = static_cast<int16_t>(e3 + ((t - e3) >> 5));
      }
      node = 2 * node + bit;
      if (ahead && (1u << (B - 1 - j)) <= kLookaheadCandidates && (2u << (B - 1 - j)) > kLookaheadCandidates) {
        prefetch_next<B>(*ahead, (node - (2u << j)) << (B - 1 - j), 1u << (B - 1 - j));
      }
      // Selected without a branch: a bit is a coin flip to the branch predictor.
      if (j + 1 < B) p = select_by_bit(bit, pb, pa);
    }
    return node - (uint32_t{1} << B);
  }

  // One symbol with a run-time width (B = bits()), without lookahead: a 1
  // bit is the lower part of the split (weight p).
  template <bool kAdapt = true>
  uint32_t decode(RangeDecoder& rd, uint32_t c1, uint32_t c2, uint32_t h3) {
    return with_bits([&](auto b) {
      return code<decltype(b)::value, kAdapt>(c1, c2, h3, nullptr,
                                              [&rd](uint32_t p, unsigned) { return rd.decode_split(p, 12) ^ 1u; });
    });
  }

  template <bool kAdapt = true>
  void encode(RangeEncoder& re, uint32_t c1, uint32_t c2, uint32_t h3, uint32_t symbol) {
    with_bits([&](auto b) { encode_fixed<decltype(b)::value, kAdapt>(re, c1, c2, h3, nullptr, symbol); });
  }

  template <unsigned B, bool kAdapt = true>
  [[gnu::always_inline]] void encode_fixed(RangeEncoder& re, uint32_t c1, uint32_t c2, uint32_t h3,
                                           const MixingLookahead* ahead, uint32_t symbol) {
    code<B, kAdapt>(c1, c2, h3, ahead, [&re, symbol](uint32_t p, unsigned j) {
      const unsigned bit = (symbol >> (B - 1 - j)) & 1u;
      re.encode_split(p, 12, bit ^ 1u);
      return bit;
    });
  }

 private:
  MixingModel() = default;

  // Squash of the clamped dot product of weight set w with the stretched
  // probabilities: 1..4095.
  [[gnu::always_inline]] static uint32_t mix(const MixingTables& tab, const int32_t* w, int32_t s1, int32_t s2,
                                             int32_t s3) {
    // Weights are unbounded in principle; 64-bit products cannot overflow
    // (|w s| < 2^42 for each of the three terms). Clamping the sum to the
    // values whose bits above 16 read -2047..2047 is the clamp of sum >> 16,
    // and leaves the squash index in a 64-bit register.
    const int64_t sum = int64_t{w[0]} * s1 + int64_t{w[1]} * s2 + int64_t{w[2]} * s3;
    const int64_t clamped = std::clamp(sum, int64_t{-2047} * 65536, int64_t{2047} * 65536 + 65535);
    return (tab.squash.data() + 2048)[clamped >> 16];
  }

  // Asks for the first line of the next symbol's three rows under each of
  // the `count` candidate indexes from `first`.
  template <unsigned B>
  [[gnu::always_inline]] void prefetch_next(const MixingLookahead& a, uint32_t first, uint32_t count) const {
    for (uint32_t k = first; k < first + count; ++k) {
      const uint32_t q = a.q0_of_index[k];
      __builtin_prefetch(t3_.data() + (size_t{hash_context(a.next.c3 | q)} << B), 1);
      __builtin_prefetch(t2_.data() + (size_t{a.next.c2 | q} << B), 1);
      __builtin_prefetch(t1_.data() + (size_t{a.next.c1 | q} << B), 1);
    }
  }

  unsigned bits_ = 1;
  ZeroedArray<int16_t> t1_, t2_, t3_;
  std::array<int32_t, 3 * kMaxBits> weights_{};
  // A copy of the logistic tables in the model, next to the weights: the bit
  // loop reaches both from the model instead of through another pointer.
  MixingTables tables_{};
};

// The fields of a position's mixing contexts that come from the bases:
// code(b0) << 9 | code(b1) << 11 | min(run, 7) << 13 | code(bp) << 16 |
// code(b2) << 18. Fills out[0 .. count) for positions first .. first + count
// of a read of `len` bases (positions at or past the end give 0); `run` is
// the run counter at position first - 1 and ends as the one at the last
// position filled.
inline void mixing_base_fields(const uint8_t* b, uint32_t len, uint32_t first, uint32_t count, uint32_t& run,
                               uint32_t* out) {
  const auto code_at = [b, len](uint64_t i) -> uint32_t { return i < len ? kBaseCode[b[i]] : 0u; };
  const auto field = [&run](bool repeat, uint32_t c_prev, uint32_t c0, uint32_t c1, uint32_t c2) {
    // Only min(run, 7) is seen, so the counter stops at 7.
    run = repeat ? std::min<uint32_t>(run + 1, 7) : 1;
    return c0 << 9 | c1 << 11 | run << 13 | c_prev << 16 | c2 << 18;
  };
  uint32_t k = 0;
  // Positions with a base before them and two after need no bound checks.
  for (; k < count && uint64_t{first} + k < len; ++k) {
    const uint64_t i = uint64_t{first} + k;
    if (i == 0 || i + 2 >= len) {
      out[k] = field(i > 0 && b[i] == b[i - 1], i > 0 ? code_at(i - 1) : 0u, code_at(i), code_at(i + 1),
                     code_at(i + 2));
      continue;
    }
    const uint32_t last = static_cast<uint32_t>(std::min<uint64_t>(count, len - 2 - uint64_t{first}));
    for (; k < last; ++k) {
      const uint8_t* p = b + first + k;
      out[k] = field(p[0] == p[-1], kBaseCode[p[-1]], kBaseCode[p[0]], kBaseCode[p[1]], kBaseCode[p[2]]);
    }
    --k;
  }
  for (; k < count; ++k) out[k] = 0;
}

// Walks the mixing-model contexts of `lengths` reads, as walk_freq_contexts;
// code(contexts, lookahead, pos) codes one symbol. Every mixing mode uses the
// bases. The base fields of each stretch of a read are laid out first, so the
// symbol loop only adds the quantized qualities; and since only Q0 of the
// symbol being coded is missing from the next symbol's contexts, the
// lookahead carries the rest.
template <class CodeFn>
[[gnu::always_inline]] inline const char* walk_mixing_contexts(std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                                 uint64_t capacity, const Alphabet& alphabet, const Quantizers& q,
                                 CodeFn&& code) {
  const uint32_t n = alphabet.n;
  // The quantized fields each alphabet index gives the next symbols'
  // contexts, by how far back it is: Q0 one symbol back, Q1 (at bit 6) two,
  // Q2 (at bit 20) three. Index 0 has relative value 0, which is also what
  // every read starts from. Indexes past the alphabet (only ever looked at
  // ahead of time) give 0.
  std::array<uint8_t, 128> q0_of_index{};
  std::array<uint32_t, 128> back1{}, back2{}, back3{};
  for (uint32_t k = 0; k < n; ++k) {
    const uint8_t v = alphabet.relative[k];
    q0_of_index[k] = q.q0[v];
    back1[k] = q.q0[v];
    back2[k] = uint32_t{q.q1[v]} << 6;
    back3[k] = uint32_t{q.q2[v]} << 20;
  }
  MixingLookahead ahead;
  ahead.q0_of_index = q0_of_index.data();
  constexpr uint32_t kTile = 1024;
  std::array<uint32_t, kTile + 1> fields;
  uint64_t pos = 0;
  for (const uint32_t len : lengths) {
    if (capacity - pos < len) return "quality output range too short";
    if (bases.size() - pos < len) return "sequence shorter than quality lengths";
    const uint8_t* b = bases.data() + pos;
    // Alphabet indexes of the previous three symbols (0 before the read).
    uint32_t s1 = 0, s2 = 0, s3 = 0;
    uint32_t run = 0;
    for (uint32_t start = 0; start < len; start += kTile) {
      const uint32_t m = std::min(kTile, len - start);
      // One field past the stretch, for the lookahead of its last symbol;
      // the run counter must then restart from the stretch's last position.
      uint32_t run_after = run;
      mixing_base_fields(b, len, start, m, run_after, fields.data());
      uint32_t run_peek = run_after;
      mixing_base_fields(b, len, start + m, 1, run_peek, fields.data() + m);
      run = run_after;
      for (uint32_t k = 0; k < m; ++k) {
        const uint32_t x = fields[k] | back1[s1] | back2[s2];
        const uint32_t xn = fields[k + 1] | back2[s1];
        ahead.next = MixingContexts{xn & 0xFFFF, xn & 0x3FFFF, xn | back3[s2]};
        const uint32_t s = code(MixingContexts{x & 0xFFFF, x & 0x3FFFF, x | back3[s3]}, ahead, pos + start + k);
        if (s >= n) [[unlikely]] return "decoded symbol outside alphabet";
        s3 = s2;
        s2 = s1;
        s1 = s;
      }
    }
    pos += len;
  }
  return nullptr;
}

// ---- payload decoders ---------------------------------------------------
//
// Each decodes `lengths` reads from one range-coded payload into `out`, with
// `bases` starting at the first read's bases. Return an error for a symbol
// outside the alphabet, bases shorter than the reads, or an output range
// shorter than the reads; what was written to `out` is then meaningless.

Status decode_freq_payload(QualityContextMode mode, const Alphabet& alphabet, std::span<const uint8_t> payload,
                           std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                           std::span<uint8_t> out);

// decode_freq_payload for alphabets of more than eight symbols with
// AVX-512BW (quality_freq_avx512.cpp): the same results and errors. Only for
// processors that have it; decode_freq_payload selects it by itself.
Status decode_freq_payload_avx512(QualityContextMode mode, const Alphabet& alphabet,
                                  std::span<const uint8_t> payload, std::span<const uint32_t> lengths,
                                  std::span<const uint8_t> bases, std::span<uint8_t> out);

// decode_freq_payload in mode 0 for alphabets of 2 to 8 symbols with AVX2
// and BMI2 (quality_freq_avx2.cpp): the same results and errors, selected the
// same way. Mode 1 has no such rows: they measured slower than the generic
// ones there.
Status decode_freq_payload_avx2(const Alphabet& alphabet, std::span<const uint8_t> payload,
                                std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                                std::span<uint8_t> out);

Status decode_mixing_payload(MixingModel& model, const Alphabet& alphabet, const Quantizers& quantizers,
                             std::span<const uint8_t> payload, std::span<const uint32_t> lengths,
                             std::span<const uint8_t> bases, std::span<uint8_t> out);

}  // namespace zarv::quality
