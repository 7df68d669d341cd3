// The context model of the nucleotide codec, shared by its decoder and
// encoder: both drive the same step() with a different coding callback, so the
// tier that codes a base and every model update are one definition.
//
// Internal to codecs/entropy/nucleotide_*.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codecs/entropy/models.hpp"
#include "codecs/entropy/nucleotide.hpp"
#include "codecs/entropy/zeroed_array.hpp"

namespace zarv::nucleotide {

inline constexpr uint8_t kSymbolN = 4;
// A model codes once it has seen at least four symbols (initial total 5, +16
// per symbol).
inline constexpr uint32_t kConfidentTotal = 68;
inline constexpr uint64_t kHashMultiplier = 0x9E3779B97F4A7C15ull;
inline constexpr uint32_t kCheckMultiplier = 1717173651u;

inline constexpr uint8_t kSymbolToBase[5] = {'A', 'C', 'G', 'T', 'N'};

// The five-symbol adaptive frequency model of the codec (increment 16, every
// frequency f halved to (f + 1) / 2 once the total exceeds 8192), stored so
// that its initial state, every frequency 1, is all zero bytes: tables can
// then come straight from zero-filled pages and cost only where touched.
//
// Fields are cumulative: cum_[i] = (f_0 + ... + f_i) - (i + 1) for i < 4, and
// rest_ = total - 5. Each frequency is at least 1, so every field is the
// count of increments above the floor and never exceeds 8187 (the total
// stays at most 8192 between symbols). The cumulative form lets the decoder
// compare the code against all four symbol boundaries at once, and an update
// is one 64-bit add of a per-symbol constant.
class Model {
 public:
  static constexpr uint32_t kIncrement = 16;
  static constexpr uint32_t kLimit = 8192;
  static constexpr uint32_t kFloor = 5;  // the total of the initial model

  uint32_t total() const { return uint32_t{rest_} + kFloor; }
  bool confident() const { return rest_ > kConfidentTotal - kFloor; }
  // Cumulative frequency of the symbols before `symbol` (0..5).
  uint32_t cum(uint32_t symbol) const {
    if (symbol == 0) return 0;
    if (symbol == 5) return total();
    return uint32_t{cum_[symbol - 1]} + symbol;
  }
  uint32_t freq(uint32_t symbol) const { return cum(symbol + 1) - cum(symbol); }
  // The four boundaries cum(1) .. cum(4) as lanes of one word, without the
  // floor (lane i holds cum(i + 1) - (i + 1)).
  [[gnu::always_inline]] uint64_t lanes() const {
    uint64_t w;
    std::memcpy(&w, cum_, sizeof w);
    return w;
  }

  // Adds one occurrence of `symbol` (0..4).
  [[gnu::always_inline]] void update(uint32_t symbol) {
    // Lanes at or above the symbol (boundaries after it) move by 16.
    static constexpr uint64_t kStep[5] = {0x0010001000100010ull, 0x0010001000100000ull, 0x0010001000000000ull,
                                          0x0010000000000000ull, 0};
    const uint64_t w = lanes() + kStep[symbol];
    std::memcpy(cum_, &w, sizeof w);
    rest_ = static_cast<uint16_t>(rest_ + kIncrement);
    if (rest_ > kLimit - kFloor) [[unlikely]] halve();
  }

  // Resets to the initial model when `keep` is false, without a branch.
  [[gnu::always_inline]] void keep_or_reset(bool keep) {
    const uint64_t mask = 0 - uint64_t{keep};
    const uint64_t w = lanes() & mask;
    std::memcpy(cum_, &w, sizeof w);
    rest_ = static_cast<uint16_t>(rest_ & static_cast<uint16_t>(mask));
  }

  // Codes `symbol` with this model, without updating it.
  void encode(RangeEncoder& re, uint32_t symbol) const { re.encode_freq(cum(symbol), freq(symbol), total()); }

  bool operator==(const Model&) const = default;

 private:
  // (f + 1) / 2 of a frequency f = g + 1 is (g / 2) + 1: the stored excess
  // simply halves.
  void halve() {
    uint32_t previous = 0, acc = 0;
    for (auto& c : cum_) {
      const uint32_t g = c - previous;
      previous = c;
      acc += g >> 1;
      c = static_cast<uint16_t>(acc);
    }
    acc += (uint32_t{rest_} - previous) >> 1;
    rest_ = static_cast<uint16_t>(acc);
  }

  uint16_t cum_[4] = {0, 0, 0, 0};
  uint16_t rest_ = 0;
  uint16_t unused_ = 0;
};

// A hashed-tier entry: its check word beside its model, 16 bytes, so one probe
// touches one cache line. Check word 0 never matches a probe (probes compute
// odd words), so the all-zero entry is a valid initial entry.
struct HashEntry {
  uint32_t check;
  Model model;
};
static_assert(sizeof(HashEntry) == 16, "a hash entry should fill 16 bytes");
static_assert(sizeof(Model) == 12, "four u16 boundaries, the u16 total and padding");

// The tiers and the context history as plain pointers and masks. Coding
// loops copy this into a local so that its fields stay in registers: the
// bases they store are bytes, which the compiler must otherwise assume can
// alias any member they are read through.
struct Tiers {
  Model* order_k;
  Model* low;
  HashEntry* hash;  // null when the hashed tier is off
  uint64_t k_mask;
  uint64_t j_mask;
  uint64_t h_mask;
  uint64_t history_mask;  // 2h bits with the hashed tier, else 2k bits
  unsigned hash_shift;    // 64 - b
  uint64_t history;       // preceding bases, two bits each, newest lowest

  // Codes one symbol. `code(model)` codes with the chosen model without
  // updating it (decoding returns the symbol it read, encoding codes the
  // known symbol and returns it); step() then adds the symbol to every tier,
  // the coding one included, and advances the history.
  template <bool kHashed, class Code>
  [[gnu::always_inline]] uint32_t step(Code&& code) {
    const uint64_t h = history;
    // The next context is this one shifted by the symbol being coded, so its
    // order-k model is one of four neighbours of ((h << 2) & mask), and the
    // one after that one of sixteen: fetch all sixteen now (192 bytes, up to
    // four cache lines), which also covers the four of the next step. Large
    // tables miss the cache on nearly every base, and the decoder cannot know
    // the address before the symbol is decoded.
    {
      const char* g = reinterpret_cast<const char*>(&order_k[(h << 4) & k_mask]);
      __builtin_prefetch(g);
      __builtin_prefetch(g + 64);
      __builtin_prefetch(g + 128);
      __builtin_prefetch(g + 16 * sizeof(Model) - 1);
    }
    Model* mk = &order_k[h & k_mask];
    Model* mj = &low[h & j_mask];
    uint32_t s;
    if constexpr (kHashed) {
      // Hashed slots of the four possible next contexts lie anywhere.
      const uint64_t next = (h << 2) & h_mask;
      for (uint64_t t = 0; t < 4; ++t) {
        __builtin_prefetch(&hash[((next | t) * kHashMultiplier) >> hash_shift], 1);
      }
      const uint64_t ch = h & h_mask;
      HashEntry* e = &hash[(ch * kHashMultiplier) >> hash_shift];
      const uint32_t check = (static_cast<uint32_t>(ch) * kCheckMultiplier) | 1u;
      e->model.keep_or_reset(e->check == check);
      e->check = check;
      Model* me = &e->model;
      // The hashed entry codes when confident, else order-k when confident,
      // else the low order; every tier learns the symbol.
      Model* coder = me->confident() ? me : (mk->confident() ? mk : mj);
      s = code(*coder);
      me->update(s);
    } else {
      s = code(mk->confident() ? *mk : *mj);
    }
    mk->update(s);
    mj->update(s);
    // An N keeps the history; a base shifts in as two bits.
    const uint64_t shifted = ((h << 2) | s) & history_mask;
    history = s < kSymbolN ? shifted : h;
    return s;
  }
};

inline unsigned low_order(unsigned k) { return k / 2 > 1 ? k / 2 : 1; }

// Owns the tables of one stream. Parameters must be valid and already
// checked against the data size.
class ContextModel {
 public:
  explicit ContextModel(const NucleotideParams& p) : params_(p) {}

  // The order-k and low-order tables, every model at frequency 1 (zero
  // bytes).
  bool allocate_context_tables() {
    const size_t k_models = size_t{1} << (2 * params_.k);
    const size_t j_models = size_t{1} << (2 * low_order(params_.k));
    // Sixteen spare models: step() prefetches the sixteen grandchildren of a
    // context, which for k = 1 reach past the four real ones.
    return allocate(order_k_, k_models + 16) && allocate(low_, j_models);
  }

  // The hashed table, when the tier is active. Every probe computes an odd
  // check word, so an entry with check 0 is reset before its model is ever
  // read: zeroed memory is a valid initial table.
  bool allocate_hash_table() {
    if (!params_.hashed()) return true;
    const size_t entries = size_t{1} << params_.b;
    return allocate(hash_, entries);
  }

  bool hashed() const { return params_.hashed(); }

  Tiers tiers() const {
    const unsigned j = low_order(params_.k);
    Tiers t{};
    t.order_k = order_k_.data();
    t.low = low_.data();
    t.hash = hash_.data();
    t.k_mask = (uint64_t{1} << (2 * params_.k)) - 1;
    t.j_mask = (uint64_t{1} << (2 * j)) - 1;
    if (params_.hashed()) {
      t.h_mask = (uint64_t{1} << (2 * params_.h)) - 1;
      t.hash_shift = 64u - params_.b;
      t.history_mask = t.h_mask;
    } else {
      t.history_mask = t.k_mask;
    }
    t.history = 0;
    return t;
  }

 private:
  NucleotideParams params_;
  // Tables of 2 MiB and more are offered huge pages: every base probes them
  // at an unpredictable spot, and with 4 KiB pages most probes would add a
  // TLB miss to the cache miss. Fresh pages cost only when first touched, so
  // a large table that a small stream barely uses stays cheap.
  template <class T>
  static bool allocate(ZeroedArray<T>& table, size_t n) {
    return table.allocate(n, n * sizeof(T) >= (size_t{2} << 20));
  }

  ZeroedArray<Model> order_k_;
  ZeroedArray<Model> low_;
  ZeroedArray<HashEntry> hash_;
};

}  // namespace zarv::nucleotide
