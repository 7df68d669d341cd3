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
#include <utility>
#include <vector>

#include "codecs/entropy/models.hpp"
#include "codecs/entropy/range_coder.hpp"
#include "codecs/quality/quality.hpp"
#include "core/result.hpp"

namespace zarv::quality {

inline constexpr uint8_t kStreamVersion = 2;
inline constexpr unsigned kMaxAlphabet = 94;
inline constexpr uint32_t kFreqContextBits = 18;  // mode 0; mode 1 uses the low 16
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

// ---- memory -------------------------------------------------------------

// A zeroed anonymous mapping of at least `bytes` with room to align to a
// 2 MiB boundary, advised to use huge pages; nullptr when unavailable.
// `mapped` receives the size to unmap.
void* map_huge_zeroed(size_t bytes, size_t& mapped);
void unmap_huge(void* map, size_t mapped);
// The first 2 MiB boundary inside a mapping from map_huge_zeroed.
inline void* align_huge(void* map) {
  if (!map) return nullptr;
  const uintptr_t a = (reinterpret_cast<uintptr_t>(map) + (uintptr_t{2} << 20) - 1) & ~((uintptr_t{2} << 20) - 1);
  return reinterpret_cast<void*>(a);
}

// A zero-filled array from calloc. Large model tables come straight from the
// kernel as untouched zero pages, so a table pays only for the pages its
// contexts actually reach; the models below are laid out so that all-zero
// bytes mean their initial state (or "not yet initialised").
//
// A table that a call will reach nearly everywhere can ask for huge pages
// instead: its random probes then stay within the TLB's reach, and the kernel
// zeroes the same memory in a few hundred faults instead of tens of
// thousands. Where huge pages are unavailable this is an ordinary mapping.
template <class T>
class ZeroedArray {
 public:
  ZeroedArray() = default;
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;
  ZeroedArray(ZeroedArray&& o) noexcept
      : p_(std::exchange(o.p_, nullptr)), map_(std::exchange(o.map_, nullptr)), map_bytes_(o.map_bytes_) {}
  ZeroedArray& operator=(ZeroedArray&& o) noexcept {
    std::swap(p_, o.p_);
    std::swap(map_, o.map_);
    std::swap(map_bytes_, o.map_bytes_);
    return *this;
  }
  ~ZeroedArray() { release(); }

  // False when the memory is not available.
  [[nodiscard]] bool allocate(size_t count, bool huge_pages = false) {
    release();
    if (huge_pages) {
      map_ = map_huge_zeroed(count * sizeof(T), map_bytes_);
      p_ = static_cast<T*>(align_huge(map_));
      if (p_) return true;
    }
    p_ = static_cast<T*>(std::calloc(count, sizeof(T)));
    return p_ != nullptr;
  }
  T* data() const { return p_; }

 private:
  void release() {
    if (map_) {
      unmap_huge(map_, map_bytes_);
    } else {
      std::free(p_);
    }
    p_ = nullptr;
    map_ = nullptr;
  }

  T* p_ = nullptr;
  void* map_ = nullptr;  // the mapping behind p_ when huge pages were asked for
  size_t map_bytes_ = 0;
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

// Walks the frequency-model contexts of `lengths` reads. code(ctx, pos)
// codes the symbol at output position pos under context ctx and returns its
// alphabet index; an index of n or more (a decoder's symbol outside the
// alphabet) stops the walk. `bases` holds the reads' bases from the first
// read on (mode 1 only); `capacity` is the room of the output. Returns
// nullptr on success, else the detail text of the failure.
template <QualityContextMode Mode, class CodeFn>
const char* walk_freq_contexts(std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                               uint64_t capacity, const Alphabet& alphabet, CodeFn&& code) {
  static_assert(Mode == QualityContextMode::Position || Mode == QualityContextMode::Bases);
  const uint32_t n = alphabet.n;
  uint64_t pos = 0;
  for (const uint32_t len : lengths) {
    if (capacity - pos < len) return "quality output range too short";
    uint32_t q1 = 0, q2 = 0, q3 = 0;
    if constexpr (Mode == QualityContextMode::Position) {
      uint32_t d = 0;  // how often the quality changed in this read, saturating at 3
      for (uint32_t i = 0; i < len; ++i) {
        const uint32_t ctx = (q1 & 63) | ((q2 >> 2) & 15) << 6 | d << 10 | ((q3 >> 4) & 3) << 12 |
                             position_bucket(i) << 14;
        const uint32_t s = code(ctx, pos + i);
        if (s >= n) [[unlikely]] return "decoded symbol outside alphabet";
        const uint32_t rel = alphabet.relative[s];
        if (i != 0 && rel != q1) d = std::min<uint32_t>(d, 2) + 1;
        q3 = q2;
        q2 = q1;
        q1 = rel;
      }
    } else {
      if (bases.size() - pos < len) return "sequence shorter than quality lengths";
      const uint8_t* b = bases.data() + pos;
      uint32_t run = 0;
      uint32_t prev = 0x100;  // no previous base: equal to no byte
      for (uint32_t i = 0; i < len; ++i) {
        const uint32_t b0 = b[i];
        const uint32_t b1 = i + 1 < len ? kBaseCode[b[i + 1]] : 0;
        // Only min(run, 7) is seen, so the counter can stop at 7.
        run = b0 == prev ? std::min<uint32_t>(run + 1, 7) : 1;
        prev = b0;
        const uint32_t ctx = ((q1 >> 1) & 63) | ((q2 >> 3) & 7) << 6 | uint32_t{kBaseCode[b0]} << 9 | b1 << 11 |
                             run << 13;
        const uint32_t s = code(ctx, pos + i);
        if (s >= n) [[unlikely]] return "decoded symbol outside alphabet";
        q3 = q2;
        q2 = q1;
        q1 = alphabet.relative[s];
      }
    }
    pos += len;
  }
  return nullptr;
}

// ---- binary mixing model ------------------------------------------------

// Bits per symbol: 1 for n < 2, else the bit width of n - 1 (7 for n = 94).
inline constexpr unsigned mixing_bits(uint32_t n) {
  return n < 2 ? 1u : static_cast<unsigned>(std::bit_width(n - 1));
}

class MixingModel {
 public:
  static constexpr int32_t kInitialWeight = 21845;
  static constexpr uint32_t kT1Bits = 16, kT2Bits = 18, kT3Bits = 20;

  // Builds the model for an alphabet of n (1..94) with every probability at
  // 2048 and every weight at 21845; fails only when memory runs out.
  // `symbols` is how many symbols the model will code (a hint: tables that
  // so many symbols reach nearly everywhere are mapped with huge pages).
  static Result<MixingModel> create(uint32_t n, uint64_t symbols = 0);

  unsigned bits() const { return bits_; }

  // Codes one symbol under contexts c1 (16 bits), c2 (18 bits) and the
  // hashed c3 (20 bits), most significant bit first. bit_fn(p, j) codes bit
  // j given p, the 12-bit probability of a 1, and returns the bit. With
  // kAdapt the weights and the three table entries move toward each coded
  // bit; without it the model is only read. Returns the alphabet index.
  template <bool kAdapt, class BitFn>
  [[gnu::always_inline]] uint32_t code(uint32_t c1, uint32_t c2, uint32_t h3, BitFn&& bit_fn) {
    // Table entries are stored as p - 2048, so calloc's zeros are the initial
    // 2048; stretch_ is offset to take the stored value as its index.
    int16_t* r1 = t1_.data() + (size_t{c1} << bits_);
    int16_t* r2 = t2_.data() + (size_t{c2} << bits_);
    int16_t* r3 = t3_.data() + (size_t{h3} << bits_);
    // The bits walk down one row of each table, one dependent load after the
    // other; asking for every line of the three rows up front overlaps their
    // cache misses instead (a row is 2^B * 2 bytes: at most 256).
    const size_t row_bytes = size_t{2} << bits_;
    for (size_t off = 0; off < row_bytes; off += 64) {
      __builtin_prefetch(reinterpret_cast<const char*>(r3) + off, 1);
      __builtin_prefetch(reinterpret_cast<const char*>(r2) + off, 1);
      __builtin_prefetch(reinterpret_cast<const char*>(r1) + off, 1);
    }
    uint32_t node = 1;
    for (unsigned j = 0; j < bits_; ++j) {
      int16_t& e1 = r1[node];
      int16_t& e2 = r2[node];
      int16_t& e3 = r3[node];
      const int32_t s1 = stretch_[e1], s2 = stretch_[e2], s3 = stretch_[e3];
      int32_t* w = &weights_[3 * j];
      // Weights are unbounded in principle; 64-bit products cannot overflow.
      int64_t dot = (int64_t{w[0]} * s1 + int64_t{w[1]} * s2 + int64_t{w[2]} * s3) >> 16;
      dot = std::clamp<int64_t>(dot, -2047, 2047);
      const uint32_t p = squash_[dot + 2048];  // 1..4095
      const unsigned bit = bit_fn(p, j);
      if constexpr (kAdapt) {
        const int32_t target = bit ? 4096 : 0;
        const int32_t err = target - static_cast<int32_t>(p);
        // 32-bit weights, wrapping rather than overflowing.
        w[0] = static_cast<int32_t>(static_cast<uint32_t>(w[0]) + static_cast<uint32_t>((s1 * err) >> 11));
        w[1] = static_cast<int32_t>(static_cast<uint32_t>(w[1]) + static_cast<uint32_t>((s2 * err) >> 11));
        w[2] = static_cast<int32_t>(static_cast<uint32_t>(w[2]) + static_cast<uint32_t>((s3 * err) >> 11));
        // entry += (target - entry) >> 5, on the stored p - 2048; entries stay in 0..4065.
        const int32_t t = target - 2048;
        e1 = static_cast<int16_t>(e1 + ((t - e1) >> 5));
        e2 = static_cast<int16_t>(e2 + ((t - e2) >> 5));
        e3 = static_cast<int16_t>(e3 + ((t - e3) >> 5));
      }
      node = 2 * node + bit;
    }
    return node - (uint32_t{1} << bits_);
  }

  // Decodes one symbol: a 1 bit is the lower part of the split (weight p).
  template <bool kAdapt = true>
  [[gnu::always_inline]] uint32_t decode(RangeDecoder& rd, uint32_t c1, uint32_t c2, uint32_t h3) {
    return code<kAdapt>(c1, c2, h3, [&rd](uint32_t p, unsigned) { return rd.decode_split(p, 12) ^ 1u; });
  }

  template <bool kAdapt = true>
  void encode(RangeEncoder& re, uint32_t c1, uint32_t c2, uint32_t h3, uint32_t symbol) {
    const unsigned top = bits_ - 1;
    code<kAdapt>(c1, c2, h3, [&re, symbol, top](uint32_t p, unsigned j) {
      const unsigned bit = (symbol >> (top - j)) & 1u;
      re.encode_split(p, 12, bit ^ 1u);
      return bit;
    });
  }

 private:
  MixingModel() = default;

  unsigned bits_ = 1;
  ZeroedArray<int16_t> t1_, t2_, t3_;
  std::array<int32_t, 3 * 7> weights_{};
  const int16_t* stretch_ = nullptr;  // &stretch[2048]
  const uint16_t* squash_ = nullptr;
};

// Fibonacci hash of the order-3 context to 20 bits.
inline uint32_t hash_context(uint32_t c3) { return (c3 * 0x9E3779B1u) >> 12; }

// Walks the mixing-model contexts of `lengths` reads, as walk_freq_contexts;
// code(c1, c2, h3, pos) codes one symbol. Every mixing mode uses the bases.
template <class CodeFn>
const char* walk_mixing_contexts(std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                                 uint64_t capacity, const Alphabet& alphabet, const Quantizers& q,
                                 CodeFn&& code) {
  const uint32_t n = alphabet.n;
  uint64_t pos = 0;
  for (const uint32_t len : lengths) {
    if (capacity - pos < len) return "quality output range too short";
    if (bases.size() - pos < len) return "sequence shorter than quality lengths";
    const uint8_t* b = bases.data() + pos;
    uint32_t q1 = 0, q2 = 0, q3 = 0, run = 0;
    uint32_t prev = 0x100;  // no previous base
    uint32_t code_prev = 0;
    for (uint32_t i = 0; i < len; ++i) {
      const uint32_t b0 = b[i];
      const uint32_t code0 = kBaseCode[b0];
      const uint32_t code1 = i + 1 < len ? kBaseCode[b[i + 1]] : 0;
      const uint32_t code2 = i + 2 < len ? kBaseCode[b[i + 2]] : 0;
      run = b0 == prev ? std::min<uint32_t>(run + 1, 7) : 1;
      const uint32_t c1 = q.q0[q1] | uint32_t{q.q1[q2]} << 6 | code0 << 9 | code1 << 11 | run << 13;
      const uint32_t c2 = c1 | code_prev << 16;
      const uint32_t c3 = c2 | code2 << 18 | uint32_t{q.q2[q3]} << 20;
      const uint32_t s = code(c1, c2, hash_context(c3), pos + i);
      if (s >= n) [[unlikely]] return "decoded symbol outside alphabet";
      q3 = q2;
      q2 = q1;
      q1 = alphabet.relative[s];
      prev = b0;
      code_prev = code0;
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

Status decode_mixing_payload(MixingModel& model, const Alphabet& alphabet, const Quantizers& quantizers,
                             std::span<const uint8_t> payload, std::span<const uint32_t> lengths,
                             std::span<const uint8_t> bases, std::span<uint8_t> out);

}  // namespace zarv::quality
