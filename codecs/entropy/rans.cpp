// rANS blocks: the block driver for both orders, the scalar order-0 kernels,
// the order-1 coder, and the choice of order-0 kernel by processor feature.
//
// Decoding is arranged so that hot loops carry no per-symbol error branches:
//  - the first batch (every lane's first symbol) is decoded with the checked
//    reference step, since stored starting states below 2^16 may take several
//    words; afterwards every state is at least 2^16 and takes at most one word;
//  - whole batches run unchecked while 64 bytes (32 words, one batch's worst
//    case) remain; near the end the remaining words are copied into a zero-
//    padded buffer and batches keep running there, checking once per batch
//    whether they consumed more words than exist;
//  - the last n mod 32 symbols use the checked step.
// Order 0 has a single failure during symbol decoding (words run out), so a
// batch that overran simply fails the block. Order 1 can also meet an absent
// context; a batch that may have gone wrong is decoded again from its saved
// states with the checked step, which finds the first failure in stream order.
//
// Decoded symbols go through a small buffer into an output vector that is
// reserved but never zero-filled: for large blocks the fill would cost about
// as much as a tenth of the decode.
#include "codecs/entropy/rans.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/entropy/cpu_features.hpp"
#include "codecs/entropy/rans_model.hpp"

namespace zarv {

using namespace rans;
using namespace rans_detail;

namespace {

constexpr uint32_t kSlotMask = kTotFreq - 1;
// Bytes one batch may read from its starting word cursor: 32 words.
constexpr size_t kBatchReach = 2 * kLanes;

// Renormalises a state that needs at most one word, without a branch: whether
// a lane takes a word is as good as random, and a mispredicted branch costs
// more than the whole step. The word at words + 2 * taken is read whether or
// not it is taken (the caller guarantees those bytes).
inline uint32_t renorm_once(uint32_t x, const uint8_t* words, size_t& taken) {
  const uint32_t y = (x << 16) | load_le16(words + 2 * taken);
#if defined(__GNUC__) && defined(__x86_64__)
  // GCC compiles the portable form below into a jump; compare, cmov and adc
  // keep it straight-line.
  __asm__("cmpl $0x10000, %[x]\n\t"
          "cmovbl %[y], %[x]\n\t"
          "adcq $0, %[t]"
          : [x] "+r"(x), [t] "+r"(taken)
          : [y] "r"(y)
          : "cc");
  return x;
#else
  const bool take = x < kLowerBound;
  taken += take;
  return take ? y : x;
#endif
}

}  // namespace

namespace rans_detail {

size_t decode_o0_batches_scalar(const O0DecodeTable& t, uint32_t* states, const uint8_t** words,
                                const uint8_t* limit, uint8_t* out, size_t batches) {
  const uint8_t* const base = *words;
  size_t taken = 0;
  uint32_t st[kLanes];
  std::memcpy(st, states, sizeof st);
  size_t b = 0;
  for (; b < batches && base + 2 * taken <= limit; ++b, out += kLanes) {
#pragma GCC unroll 32
    for (unsigned j = 0; j < kLanes; ++j) {
      const uint32_t x = st[j];
      const uint32_t slot = x & kSlotMask;
      out[j] = t.sym[slot];
      uint16_t fb[2];  // freq, slot - cum
      std::memcpy(fb, t.entry + slot, sizeof fb);
      st[j] = renorm_once(fb[0] * (x >> kScaleBits) + fb[1], base, taken);
    }
  }
  std::memcpy(states, st, sizeof st);
  *words = base + 2 * taken;
  return b;
}

O0Path select_o0_path() {
  const uint32_t features = cpu_features();
  if (features & kCpuAvx512) {
    return {decode_o0_batches_avx512, O0Layout::Packed, encode_o0_batches_avx512, "truncated renorm stream"};
  }
  if (features & kCpuAvx2) {
    return {decode_o0_batches_avx2, O0Layout::Packed, encode_o0_batches_avx2, "truncated renorm stream"};
  }
  return {decode_o0_batches_scalar, O0Layout::Pairs, nullptr, "truncated stream"};
}

}  // namespace rans_detail

namespace {

// ---------------------------------------------------------------------------
// Shared helpers

// Reserves (does not fill) the n-byte output.
Result<std::vector<uint8_t>> reserve_output(uint64_t n) {
  std::vector<uint8_t> out;
  try {
    if (n > out.max_size()) throw std::length_error("rANS output");
    out.reserve(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    return rans_error("rANS output length too large to allocate");
  } catch (const std::length_error&) {
    return rans_error("rANS output length too large to allocate");
  }
  return out;
}

// Symbols are decoded into `buf` and appended to the reserved output a chunk
// at a time. Callers keep at least one batch of room before decoding.
class OutputChunks {
 public:
  static constexpr size_t kBytes = 16384;
  explicit OutputChunks(std::vector<uint8_t>& out) : out_(out) {}
  ~OutputChunks() = default;

  uint8_t* at() { return buf_ + used_; }
  size_t room_batches() const { return (kBytes - used_) / kLanes; }
  void advance(size_t k) {
    used_ += k;
    if (kBytes - used_ < kLanes) flush();
  }
  void flush() {
    out_.insert(out_.end(), buf_, buf_ + used_);
    used_ = 0;
  }

 private:
  std::vector<uint8_t>& out_;
  size_t used_ = 0;
  alignas(64) uint8_t buf_[kBytes];
};

// The block body after the header; every short read is "truncated stream".
class BodyCursor {
 public:
  explicit BodyCursor(std::span<const uint8_t> body) : cur_(body) {}
  Result<std::span<const uint8_t>> bytes(size_t n) {
    if (n > cur_.remaining()) return rans_error("truncated stream");
    return cur_.bytes(n).value();
  }
  std::span<const uint8_t> rest() const { return cur_.rest(); }

 private:
  ByteCursor cur_;
};

void read_states(const uint8_t* p, uint32_t* states) {
  for (unsigned j = 0; j < kLanes; ++j) states[j] = load_le32(p + 4 * j);
}

// The unread words as a zero-padded copy: at most one batch's reach is ever
// needed once fewer than that remain (or no batch is left), and the padding
// keeps a batch that overruns inside the buffer.
struct PaddedWords {
  alignas(64) uint8_t bytes[2 * kBatchReach] = {};
  const uint8_t* end;  // one past the last real byte

  PaddedWords(const uint8_t* p, const uint8_t* stream_end) {
    const size_t n = std::min<size_t>(static_cast<size_t>(stream_end - p), kBatchReach);
    if (n) std::memcpy(bytes, p, n);
    end = bytes + n;
  }
};

// The reference decoding step: one symbol, then as many words as the state
// needs. False when the words run out.
inline bool o0_step_checked(const O0DecodeTable& t, uint32_t& x, const uint8_t*& p, const uint8_t* end,
                            uint8_t& out) {
  const uint32_t slot = x & kSlotMask;
  const uint32_t s = t.sym[slot];
  out = static_cast<uint8_t>(s);
  x = t.freq[s] * (x >> kScaleBits) + slot - t.cum[s];
  while (x < kLowerBound) {
    if (end - p < 2) return false;
    x = (x << 16) | load_le16(p);
    p += 2;
  }
  return true;
}

void append_words(std::vector<uint8_t>& out, const uint16_t* w, const uint16_t* end) {
  const size_t count = static_cast<size_t>(end - w);
  const size_t at = out.size();
  out.resize(at + 2 * count);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out.data() + at, w, 2 * count);
  } else {
    for (size_t i = 0; i < count; ++i) {
      out[at + 2 * i] = static_cast<uint8_t>(w[i]);
      out[at + 2 * i + 1] = static_cast<uint8_t>(w[i] >> 8);
    }
  }
}

void write_header(std::vector<uint8_t>& out, uint8_t tag, uint64_t n) {
  out.push_back(tag);
  put_le64(out, n);
}

void write_table(std::vector<uint8_t>& out, const uint16_t* freq) {
  for (int s = 0; s < 256; ++s) put_le16(out, freq[s]);
}

void write_states(std::vector<uint8_t>& out, const uint32_t* states) {
  for (unsigned j = 0; j < kLanes; ++j) put_le32(out, states[j]);
}

// A word buffer filled downward: one word per symbol at most, plus the slack
// the coders write below their lowest word.
struct WordBuffer {
  std::unique_ptr<uint16_t[]> buf;
  uint16_t* top;
  explicit WordBuffer(size_t symbols) : buf(new uint16_t[symbols + 32]), top(buf.get() + symbols + 32) {}
};

// ---------------------------------------------------------------------------
// Order 0

Result<std::vector<uint8_t>> decode_o0(BodyCursor& cur, uint64_t n) {
  uint16_t freq[256];
  ZARV_ASSIGN(auto stored, cur.bytes(kTableBytes));
  ZARV_TRY(read_table(stored.data(), freq));
  ZARV_ASSIGN(auto state_bytes, cur.bytes(kStateBytes));
  ZARV_ASSIGN(std::vector<uint8_t> out, reserve_output(n));

  const O0Path path = select_o0_path();
  // Not value-initialised: the build writes every entry a decode can read.
  std::unique_ptr<O0DecodeTable> table(new O0DecodeTable);
  build_o0_decode_table(freq, path.layout, *table);
  const O0DecodeTable& t = *table;
  uint32_t st[kLanes];
  read_states(state_bytes.data(), st);

  const uint8_t* p = cur.rest().data();
  const uint8_t* const end = p + cur.rest().size();
  const size_t len = static_cast<size_t>(n);
  const size_t batches = len / kLanes;
  auto sink = std::make_unique<OutputChunks>(out);

  const size_t first = std::min<size_t>(len, kLanes);
  for (size_t i = 0; i < first; ++i) {
    if (!o0_step_checked(t, st[i], p, end, sink->at()[i])) return rans_error(path.truncated_msg);
  }
  sink->advance(first);

  // Whole batches: unchecked while a batch's reach remains, then on the
  // padded copy of what is left.
  size_t b = std::min<size_t>(batches, 1);
  while (b < batches && end - p >= static_cast<ptrdiff_t>(kBatchReach)) {
    const size_t want = std::min(batches - b, sink->room_batches());
    const size_t done = path.decode(t, st, &p, end - kBatchReach, sink->at(), want);
    sink->advance(kLanes * done);
    b += done;
    if (done < want) break;
  }
  PaddedWords pad(p, end);
  const uint8_t* q = pad.bytes;
  while (b < batches) {
    const size_t want = std::min(batches - b, sink->room_batches());
    const size_t done = path.decode(t, st, &q, pad.end, sink->at(), want);
    if (q > pad.end) return rans_error(path.truncated_msg);
    sink->advance(kLanes * done);
    b += done;
  }

  const size_t tail = batches ? len - kLanes * batches : 0;
  for (size_t j = 0; j < tail; ++j) {
    if (!o0_step_checked(t, st[j], q, pad.end, sink->at()[j])) return rans_error(path.truncated_msg);
  }
  sink->advance(tail);
  sink->flush();
  return out;
}

uint16_t* encode_o0_batches_scalar(const EncSymbol* syms, const uint8_t* in, size_t batches, uint32_t* states,
                                   uint16_t* w) {
  uint32_t st[kLanes];
  std::memcpy(st, states, sizeof st);
  for (size_t b = batches; b-- > 0;) {
    const uint8_t* blk = in + kLanes * b;
#pragma GCC unroll 32
    for (int j = kLanes - 1; j >= 0; --j) st[j] = encode_step(st[j], syms[blk[j]], w);
  }
  std::memcpy(states, st, sizeof st);
  return w;
}

std::vector<uint8_t> encode_o0(std::span<const uint8_t> in) {
  const size_t n = in.size();
  std::vector<uint8_t> out;
  write_header(out, 0, n);
  if (n == 0) return out;

  uint32_t counts[256] = {};
  for (uint8_t c : in) ++counts[c];
  uint16_t freq[256];
  normalise_counts(counts, freq);

  uint32_t st[kLanes];
  std::fill(st, st + kLanes, kLowerBound);
  WordBuffer words(n);
  uint16_t* w = words.top;

  EncSymbol syms[256];
  for (uint32_t s = 0, cum = 0; s < 256; cum += freq[s], ++s) syms[s] = make_enc_symbol(freq[s], cum);

  // The symbols past the last whole batch are coded first (the encoder runs
  // backwards), then whole batches from last to first.
  const size_t batches = n / kLanes;
  for (size_t i = n; i-- > batches * kLanes;) st[i % kLanes] = encode_step(st[i % kLanes], syms[in[i]], w);
  const O0Path path = select_o0_path();
  if (path.encode) {
    VecEncTable table;
    build_vec_enc_table(freq, table);
    w = path.encode(table, in.data(), batches, st, w);
  } else {
    w = encode_o0_batches_scalar(syms, in.data(), batches, st, w);
  }

  out.reserve(kHeaderBytes + kTableBytes + kStateBytes + 2 * static_cast<size_t>(words.top - w));
  write_table(out, freq);
  write_states(out, st);
  append_words(out, w, words.top);
  return out;
}

// ---------------------------------------------------------------------------
// Order 1
//
// Each symbol's model is chosen by the symbol before it, a dependency that runs
// through every symbol of the block, so the decoder keeps that chain to one
// load per symbol. Byte values that occur are renumbered densely (ids) and one
// table maps (slot, context id) to the id of the decoded symbol. Two layouts:
//  - by context, [id][slot]: cheap to build (runs of memset), for small blocks;
//  - by slot, [slot][id] with rows of a power-of-two length: a lane's row
//    depends only on its own state, known a whole batch ahead, so the row is
//    prefetched and the chain's load hits the first-level cache however many
//    contexts there are.
// An id whose byte is not a context with a table gets a stand-in model (one
// symbol, itself, frequency 4096, which leaves the state alone) and is marked
// absent; once a batch steps into it, it stays there, so checking the last id
// of each batch is enough to send that batch to the checked step.

constexpr int kStepOk = 0;
constexpr int kStepAbsent = 1;
constexpr int kStepTruncated = 2;

struct O1Tables {
  const uint8_t* slots;   // slot and context id -> decoded id (layout above)
  unsigned row_shift;     // by slot: log2 of the row length
  const uint16_t* fc;     // [context id][id] -> {freq, cum}
  const uint8_t* sym_of;  // id -> byte value
  const uint8_t* absent;  // id -> 1 when that byte has no table
};

template <bool kBySlot>
inline const uint8_t* o1_row(const O1Tables& t, uint32_t slot) {
  return kBySlot ? t.slots + (size_t(slot) << t.row_shift) : t.slots + slot;
}
template <bool kBySlot>
inline uint32_t o1_lookup(const uint8_t* row, uint32_t prev) {
  return kBySlot ? row[prev] : row[size_t(prev) << kScaleBits];
}
inline const uint16_t* o1_fc(const O1Tables& t, uint32_t prev, uint32_t id) {
  return t.fc + 2 * ((size_t(prev) << 8) | id);
}

template <bool kBySlot>
inline int o1_step_checked(const O1Tables& t, uint32_t& x, uint32_t& prev, const uint8_t*& p, const uint8_t* end,
                           uint8_t& out) {
  if (t.absent[prev]) return kStepAbsent;
  const uint32_t slot = x & kSlotMask;
  const uint32_t id = o1_lookup<kBySlot>(o1_row<kBySlot>(t, slot), prev);
  out = t.sym_of[id];
  const uint16_t* fc = o1_fc(t, prev, id);
  x = fc[0] * (x >> kScaleBits) + slot - fc[1];
  while (x < kLowerBound) {
    if (end - p < 2) return kStepTruncated;
    x = (x << 16) | load_le16(p);
    p += 2;
  }
  prev = id;
  return kStepOk;
}

// One batch without checks; needs 64 readable bytes at p and states >= 2^16.
template <bool kBySlot>
inline void o1_batch_fast(const O1Tables& t, uint32_t* st, uint32_t& prev_io, const uint8_t*& p_io,
                          uint8_t* out) {
  uint32_t prev = prev_io;
  size_t taken = 0;
  const size_t row_bytes = size_t(1) << t.row_shift;
#pragma GCC unroll 32
  for (unsigned j = 0; j < kLanes; ++j) {
    const uint32_t x = st[j];
    const uint32_t slot = x & kSlotMask;
    const uint32_t id = o1_lookup<kBySlot>(o1_row<kBySlot>(t, slot), prev);
    out[j] = t.sym_of[id];
    const uint16_t* fc = o1_fc(t, prev, id);
    const uint32_t next = renorm_once(fc[0] * (x >> kScaleBits) + slot - fc[1], p_io, taken);
    st[j] = next;
    if (kBySlot) {
      // This lane's next row, a batch ahead of its use.
      const uint8_t* row = o1_row<kBySlot>(t, next & kSlotMask);
      for (size_t off = 0; off < row_bytes; off += 64) __builtin_prefetch(row + off);
    }
    prev = id;
  }
  prev_io = prev;
  p_io += 2 * taken;
}

ArchiveError o1_failure(int code) {
  return rans_error(code == kStepAbsent ? "symbol references absent context" : "truncated stream");
}

template <bool kBySlot>
Status o1_decode_symbols(const O1Tables& t, uint32_t* st, uint32_t prev, const uint8_t* p, const uint8_t* end,
                         OutputChunks& sink, size_t len) {
  const size_t first = std::min<size_t>(len, kLanes);
  for (size_t i = 0; i < first; ++i) {
    if (int r = o1_step_checked<kBySlot>(t, st[i], prev, p, end, sink.at()[i])) return o1_failure(r);
  }
  sink.advance(first);

  // Runs one batch from `q` (with at least 64 readable bytes); `stream_end` is
  // where the real words stop. A batch that may have failed is redone checked.
  auto run_batch = [&](const uint8_t*& q, const uint8_t* stream_end) -> int {
    uint32_t saved[kLanes];
    std::memcpy(saved, st, sizeof saved);
    const uint32_t saved_prev = prev;
    const uint8_t* const saved_q = q;
    uint8_t* ob = sink.at();
    o1_batch_fast<kBySlot>(t, st, prev, q, ob);
    if (!t.absent[prev] && q <= stream_end) {
      sink.advance(kLanes);
      return kStepOk;
    }
    std::memcpy(st, saved, sizeof saved);
    prev = saved_prev;
    q = saved_q;
    for (unsigned j = 0; j < kLanes; ++j) {
      if (int r = o1_step_checked<kBySlot>(t, st[j], prev, q, stream_end, ob[j])) return r;
    }
    sink.advance(kLanes);
    return kStepOk;
  };

  const size_t batches = len / kLanes;
  size_t b = std::min<size_t>(batches, 1);
  for (; b < batches && end - p >= static_cast<ptrdiff_t>(kBatchReach); ++b) {
    if (int r = run_batch(p, end)) return o1_failure(r);
  }
  PaddedWords pad(p, end);
  const uint8_t* q = pad.bytes;
  for (; b < batches; ++b) {
    if (int r = run_batch(q, pad.end)) return o1_failure(r);
  }
  const size_t tail = batches ? len - kLanes * batches : 0;
  for (size_t j = 0; j < tail; ++j) {
    if (int r = o1_step_checked<kBySlot>(t, st[j], prev, q, pad.end, sink.at()[j])) return o1_failure(r);
  }
  sink.advance(tail);
  sink.flush();
  return {};
}

Result<std::vector<uint8_t>> decode_o1(BodyCursor& cur, uint64_t n) {
  ZARV_ASSIGN(auto bitmap, cur.bytes(kBitmapBytes));
  bool present[256];
  int table_count = 0;
  for (int c = 0; c < 256; ++c) {
    present[c] = (bitmap[c >> 3] >> (c & 7)) & 1;
    table_count += present[c];
  }
  std::vector<uint16_t> freqs(static_cast<size_t>(table_count) * 256);
  uint16_t* ctx_freq[256] = {};
  for (int c = 0, k = 0; c < 256; ++c) {
    if (!present[c]) continue;
    ZARV_ASSIGN(auto stored, cur.bytes(kTableBytes));
    ctx_freq[c] = freqs.data() + 256 * k++;
    ZARV_TRY(read_table(stored.data(), ctx_freq[c]));
  }
  ZARV_ASSIGN(auto state_bytes, cur.bytes(kStateBytes));
  ZARV_ASSIGN(std::vector<uint8_t> out, reserve_output(n));
  if (!present[0]) return rans_error("symbol references absent context");

  // Dense ids over every byte that is a context or can be decoded.
  bool used[256];
  std::copy(present, present + 256, used);
  for (int c = 0; c < 256; ++c) {
    if (!present[c]) continue;
    for (int s = 0; s < 256; ++s) used[s] |= ctx_freq[c][s] != 0;
  }
  uint8_t id_of[256] = {}, sym_of[256] = {}, absent[256] = {};
  uint32_t ids = 0;
  for (int s = 0; s < 256; ++s) {
    if (!used[s]) continue;
    id_of[s] = static_cast<uint8_t>(ids);
    sym_of[ids] = static_cast<uint8_t>(s);
    absent[ids] = !present[s];
    ++ids;
  }

  // The by-slot table costs a strided write per (slot, context) to build; it
  // pays once a block has a few hundred symbols per context, and only matters
  // when the by-context table no longer fits the first-level cache.
  const size_t len = static_cast<size_t>(n);
  const bool by_slot = ids > 8 && len >= 512 * size_t(ids);
  const unsigned row_shift = by_slot ? std::bit_width(std::max(ids, 16u) - 1) : 0;
  const size_t slot_bytes = by_slot ? size_t(kTotFreq) << row_shift : size_t(ids) * kTotFreq;
  // Rows start on cache lines, so one prefetch per 64 bytes covers a row.
  std::unique_ptr<uint8_t[]> slot_mem(new uint8_t[slot_bytes + 63]);
  uint8_t* slots = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(slot_mem.get()) + 63) & ~uintptr_t(63));
  std::unique_ptr<uint16_t[]> fc(new uint16_t[size_t(ids) * 512]());
  for (uint32_t id = 0; id < ids; ++id) {
    uint16_t* fcrow = fc.get() + size_t(id) * 512;
    const uint16_t* f = ctx_freq[sym_of[id]];
    if (!f) fcrow[2 * id] = kTotFreq;
    for (uint32_t s = 0, cum = 0; f && s < 256; cum += f[s], ++s) {
      if (!f[s]) continue;
      fcrow[2 * id_of[s]] = f[s];
      fcrow[2 * id_of[s] + 1] = static_cast<uint16_t>(cum);
    }
    if (by_slot) {
      uint8_t* col = slots + id;
      if (!f) {
        for (uint32_t k = 0; k < kTotFreq; ++k) col[size_t(k) << row_shift] = static_cast<uint8_t>(id);
      }
      for (uint32_t s = 0, cum = 0; f && s < 256; cum += f[s], ++s) {
        for (uint32_t k = cum; k < cum + f[s]; ++k) col[size_t(k) << row_shift] = id_of[s];
      }
    } else {
      uint8_t* row = slots + size_t(id) * kTotFreq;
      if (!f) std::memset(row, static_cast<int>(id), kTotFreq);
      for (uint32_t s = 0, cum = 0; f && s < 256; cum += f[s], ++s) {
        if (f[s]) std::memset(row + cum, id_of[s], f[s]);
      }
    }
  }
  const O1Tables t{slots, row_shift, fc.get(), sym_of, absent};

  uint32_t st[kLanes];
  read_states(state_bytes.data(), st);
  const uint8_t* p = cur.rest().data();
  const uint8_t* const end = p + cur.rest().size();
  auto sink = std::make_unique<OutputChunks>(out);
  const Status s = by_slot ? o1_decode_symbols<true>(t, st, id_of[0], p, end, *sink, len)
                           : o1_decode_symbols<false>(t, st, id_of[0], p, end, *sink, len);
  if (!s.ok()) return s.error();
  return out;
}

std::vector<uint8_t> encode_o1(std::span<const uint8_t> in) {
  const size_t n = in.size();
  std::vector<uint8_t> out;
  write_header(out, 1, n);
  if (n == 0) return out;

  std::vector<uint32_t> counts(256 * 256);
  counts[in[0]]++;  // the first byte's context is 0
  for (size_t i = 1; i < n; ++i) counts[(size_t(in[i - 1]) << 8) | in[i]]++;

  uint8_t bitmap[kBitmapBytes] = {};
  int index[256];
  int tables = 0;
  for (int c = 0; c < 256; ++c) {
    index[c] = -1;
    const uint32_t* row = counts.data() + 256 * c;
    if (std::any_of(row, row + 256, [](uint32_t v) { return v != 0; })) {
      index[c] = tables++;
      bitmap[c >> 3] = static_cast<uint8_t>(bitmap[c >> 3] | (1u << (c & 7)));
    }
  }
  std::vector<uint16_t> freqs(size_t(tables) * 256);
  std::vector<EncSymbol> syms(size_t(tables) * 256);
  for (int c = 0; c < 256; ++c) {
    if (index[c] < 0) continue;
    uint16_t* f = freqs.data() + 256 * index[c];
    normalise_counts(counts.data() + 256 * c, f);
    EncSymbol* e = syms.data() + 256 * index[c];
    for (uint32_t s = 0, cum = 0; s < 256; cum += f[s], ++s) e[s] = make_enc_symbol(f[s], cum);
  }
  // Per-context symbol rows, indexed by the context byte.
  const EncSymbol* row_of[256];
  for (int c = 0; c < 256; ++c) row_of[c] = index[c] < 0 ? nullptr : syms.data() + 256 * index[c];

  uint32_t st[kLanes];
  std::fill(st, st + kLanes, kLowerBound);
  WordBuffer words(n);
  uint16_t* w = words.top;
  for (size_t i = n; i-- > 1;) st[i % kLanes] = encode_step(st[i % kLanes], row_of[in[i - 1]][in[i]], w);
  st[0] = encode_step(st[0], row_of[0][in[0]], w);

  out.reserve(kHeaderBytes + kBitmapBytes + kTableBytes * tables + kStateBytes +
              2 * static_cast<size_t>(words.top - w));
  out.insert(out.end(), bitmap, bitmap + kBitmapBytes);
  for (int c = 0; c < 256; ++c) {
    if (index[c] >= 0) write_table(out, freqs.data() + 256 * index[c]);
  }
  write_states(out, st);
  append_words(out, w, words.top);
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------

Result<std::vector<uint8_t>> rans_decode(std::span<const uint8_t> in, uint64_t max_len) {
  if (in.empty()) return rans_error("truncated stream");
  if (in.size() >= kHeaderBytes && load_le64(in.data() + 1) > max_len) {
    return rans_error("rANS output length exceeds caller bound");
  }
  if (in.size() < kHeaderBytes) return rans_error("truncated stream");
  const uint8_t tag = in[0];
  const uint64_t n = load_le64(in.data() + 1);
  if (n == 0) return std::vector<uint8_t>();
  if (tag > 1) return rans_error("unknown order tag");

  BodyCursor cur(in.subspan(kHeaderBytes));
  return tag == 0 ? decode_o0(cur, n) : decode_o1(cur, n);
}

std::vector<uint8_t> rans_encode(std::span<const uint8_t> in, int order) {
  return order == 1 ? encode_o1(in) : encode_o0(in);
}

std::vector<uint8_t> rans_encode_best(std::span<const uint8_t> in) {
  std::vector<uint8_t> o0 = encode_o0(in);
  std::vector<uint8_t> o1 = encode_o1(in);
  return o1.size() < o0.size() ? std::move(o1) : std::move(o0);
}

}  // namespace zarv
