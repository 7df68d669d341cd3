// The context model of the nucleotide codec, shared by its decoder and
// encoder: both drive the same step() with a different coding callback, so the
// tier that codes a base and every model update are one definition.
//
// Internal to codecs/entropy/nucleotide_*.cpp.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <cstring>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "codecs/entropy/models.hpp"
#include "codecs/entropy/nucleotide.hpp"

namespace zarv::nucleotide {

using Model = AdaptiveFreqModel<5>;

inline constexpr uint8_t kSymbolN = 4;
// A model codes once it has seen at least four symbols (initial total 5, +16
// per symbol).
inline constexpr uint32_t kConfidentTotal = 68;
inline constexpr uint64_t kHashMultiplier = 0x9E3779B97F4A7C15ull;
inline constexpr uint32_t kCheckMultiplier = 1717173651u;

inline constexpr uint8_t kSymbolToBase[5] = {'A', 'C', 'G', 'T', 'N'};

// A hashed-tier entry: its check word beside its model, 16 bytes, so one probe
// touches one cache line.
struct HashEntry {
  uint32_t check;
  Model model;
};
static_assert(sizeof(HashEntry) == 16, "a hash entry should fill 16 bytes");
static_assert(sizeof(Model) == 12, "five u16 frequencies and the u16 total");

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};

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

  // Codes one symbol. `code(model)` codes with the chosen model (decoding
  // returns the symbol it read, encoding codes the known symbol), updating
  // that model; step() then adds the symbol to the other tiers and advances
  // the history. Returns the symbol.
  template <bool kHashed, class Code>
  [[gnu::always_inline]] uint32_t step(Code&& code) {
    const uint64_t h = history;
    // The next context is this one shifted by the symbol being coded, so its
    // order-k model is one of four neighbours of ((h << 2) & mask), and the
    // one after that one of sixteen: fetch them now. Large tables miss the
    // cache on nearly every base, and the decoder cannot know the address
    // before the symbol is decoded.
    __builtin_prefetch(&order_k[(h << 4) & k_mask]);
    __builtin_prefetch(&order_k[((h << 4) | 15) & k_mask]);
    __builtin_prefetch(&order_k[(h << 2) & k_mask]);
    Model& mk = order_k[h & k_mask];
    Model& mj = low[h & j_mask];
    uint32_t s;
    if constexpr (kHashed) {
      // Hashed slots of the four possible next contexts lie anywhere.
      const uint64_t next = (h << 2) & h_mask;
      for (uint64_t t = 0; t < 4; ++t) {
        __builtin_prefetch(&hash[((next | t) * kHashMultiplier) >> hash_shift], 1);
      }
      const uint64_t ch = h & h_mask;
      HashEntry& e = hash[(ch * kHashMultiplier) >> hash_shift];
      const uint32_t check = (static_cast<uint32_t>(ch) * kCheckMultiplier) | 1u;
      if (e.check != check) {
        e.check = check;
        e.model.reset(1);
      }
      if (e.model.total() > kConfidentTotal) {
        s = code(e.model);
        mk.update(s);
        mj.update(s);
      } else if (mk.total() <= kConfidentTotal) {
        s = code(mj);
        e.model.update(s);
        mk.update(s);
      } else {
        s = code(mk);
        e.model.update(s);
        mj.update(s);
      }
    } else {
      if (mk.total() <= kConfidentTotal) {
        s = code(mj);
        mk.update(s);
      } else {
        s = code(mk);
        mj.update(s);
      }
    }
    // An N keeps the history; a base shifts in as two bits.
    const uint64_t shifted = ((h << 2) | s) & history_mask;
    history = s < kSymbolN ? shifted : h;
    return s;
  }
};

inline unsigned low_order(unsigned k) { return k / 2 > 1 ? k / 2 : 1; }

// A flat table of n trivially copyable entries. Tables of 2 MiB and more are
// 2 MiB aligned and, on Linux, offered huge pages: every base probes them at
// an unpredictable spot, and with 4 KiB pages most probes would add a TLB
// miss to the cache miss.
template <class T>
class Table {
 public:
  // False when the memory is not there; the entries are uninitialised.
  bool allocate(size_t n) {
    constexpr size_t kHuge = size_t{1} << 21;
    const size_t bytes = n * sizeof(T);
    void* p = nullptr;
    if (bytes < kHuge) {
      p = std::malloc(bytes ? bytes : 1);
    } else {
      const size_t rounded = (bytes + kHuge - 1) & ~(kHuge - 1);
      p = std::aligned_alloc(kHuge, rounded);
#ifdef __linux__
      if (p) madvise(p, rounded, MADV_HUGEPAGE);
#endif
    }
    data_.reset(static_cast<T*>(p));
    return p != nullptr;
  }
  T* data() const { return data_.get(); }

 private:
  std::unique_ptr<T, FreeDeleter> data_;
};

// Owns the tables of one stream. Parameters must be valid and already
// checked against the data size.
class ContextModel {
 public:
  explicit ContextModel(const NucleotideParams& p) : params_(p) {}

  // The order-k and low-order tables, every model at frequency 1.
  bool allocate_context_tables() {
    const size_t k_models = size_t{1} << (2 * params_.k);
    const size_t j_models = size_t{1} << (2 * low_order(params_.k));
    if (!order_k_.allocate(k_models) || !low_.allocate(j_models)) return false;
    std::uninitialized_fill_n(order_k_.data(), k_models, Model{});
    std::uninitialized_fill_n(low_.data(), j_models, Model{});
    return true;
  }

  // The hashed table, when the tier is active. Every probe computes an odd
  // check word, so an entry with check 0 is reset before its model is ever
  // read: zeroed memory is a valid initial table.
  bool allocate_hash_table() {
    if (!params_.hashed()) return true;
    const size_t entries = size_t{1} << params_.b;
    if (!hash_.allocate(entries)) return false;
    std::memset(static_cast<void*>(hash_.data()), 0, entries * sizeof(HashEntry));
    return true;
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
  Table<Model> order_k_;
  Table<Model> low_;
  Table<HashEntry> hash_;
};

}  // namespace zarv::nucleotide
