// Name stream decoder.
//
// Layout: version byte 1, varint N, eight rANS sections (token counts, string
// lengths, string data, numbers, pads, op run counts, op symbols, op run
// lengths), then per column a varint plane count B and B rANS sections of
// difference-code byte planes.
//
// Memory: every rANS section is bounded by max(64 KiB per input byte, 1 MiB).
// The op columns are validated in one pass but never expanded: each column
// keeps a cursor into the run symbol and run length sections and re-reads its
// next run when the current one is used up, so a run of billions of ops costs
// nothing. Delta planes are kept as decoded (at most eight per column; plane p
// is OR-ed into plane p mod 8, which is where its bits land).
//
// Speed: names are written into one growing buffer with offsets. The token
// loop is split in two: MATCH, most tokens of most names, stays in the loop
// with few live values (consecutive MATCH tokens become one pending copy);
// STRING, NUMBER and DELTA go to an out-of-line function that keeps the data
// stream cursors in memory.
#include <algorithm>
#include <limits>
#include <new>
#include <optional>
#include <utility>

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/entropy/rans.hpp"
#include "codecs/entropy/varint.hpp"
#include "codecs/names/name_format.hpp"
#include "codecs/names/names.hpp"

namespace zarv {
namespace {

using namespace names;

#if defined(__GNUC__)
#define ZARV_LIKELY(x) __builtin_expect(!!(x), 1)
#define ZARV_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define ZARV_LIKELY(x) (x)
#define ZARV_UNLIKELY(x) (x)
#endif

// Output bound of every section but the delta planes: 64 KiB per byte of the
// whole stream, at least 1 MiB, saturating.
uint64_t section_bound(size_t stream_len) {
  constexpr uint64_t kPerByte = 65536;
  constexpr uint64_t kFloor = uint64_t{1} << 20;
  const uint64_t len = stream_len;
  const uint64_t scaled =
      len > std::numeric_limits<uint64_t>::max() / kPerByte ? std::numeric_limits<uint64_t>::max()
                                                            : len * kPerByte;
  return std::max(scaled, kFloor);
}

Result<std::vector<uint8_t>> read_rans_section(ByteCursor& cur, uint64_t bound) {
  auto section = read_section(cur);
  if (!section.ok()) return wrap(section.error());
  auto decoded = rans_decode(*section, bound);
  if (!decoded.ok()) return wrap(decoded.error());
  return std::move(decoded).value();
}

// Varints of the decoded data streams: one-byte values inline, the rest via
// the shared reader. `next` is null when the varint is malformed; the shared
// reader is then asked again for its error.
struct Varint {
  const uint8_t* next;
  uint64_t value;
};

[[gnu::noinline]] Varint read_varint_slow(const uint8_t* p, const uint8_t* end) {
  ByteCursor cur({p, static_cast<size_t>(end - p)});
  auto r = read_varint(cur);
  if (!r.ok()) return {nullptr, 0};
  return {p + cur.pos(), r.value()};
}

[[gnu::always_inline]] inline Varint next_varint(const uint8_t* p, const uint8_t* end) {
  if (ZARV_LIKELY(p != end && *p < 0x80)) return {p + 1, *p};
  return read_varint_slow(p, end);
}

[[gnu::noinline]] ArchiveError varint_error(const uint8_t* p, const uint8_t* end) {
  ByteCursor cur({p, static_cast<size_t>(end - p)});
  auto r = read_varint(cur);
  return wrap(r.ok() ? detail("varint too long") : r.error());
}

// One op column during the name loop: the op of the current run, how many of
// it are left, and where the column's next run lies in the symbol and run
// length sections. Runs were validated before the loop, so re-reading them
// cannot fail.
struct alignas(64) OpColumn {
  uint64_t left = 0;       // ops left in the current run
  uint8_t op = 0;
  uint64_t runs_left = 0;  // runs not yet started
  const uint8_t* sym = nullptr;
  const uint8_t* run_len = nullptr;
  const uint8_t* run_len_end = nullptr;

  // Starts the next non-empty run; false when the column is exhausted.
  [[gnu::noinline]] bool advance() {
    while (runs_left != 0) {
      --runs_left;
      op = *sym++;
      const Varint len = read_varint_slow(run_len, run_len_end);
      run_len = len.next;
      left = len.value;
      if (left != 0) return true;
    }
    return false;
  }
};

// The difference codes of one column: planes[p][i] holds bits 8p..8p+7 of code i.
struct DeltaCodes {
  const uint8_t* planes[8] = {};
  uint32_t plane_count = 0;
  uint64_t count = 0;  // number of codes (0 when the column has no planes)
  uint64_t next = 0;

  uint64_t take() {
    const uint64_t i = next++;
    uint64_t code = planes[0][i];
    for (uint32_t p = 1; p < plane_count; ++p) code |= uint64_t{planes[p][i]} << (8 * p);
    return code;
  }
};

// A token of the previous name, updated in place: position t of the previous
// name is read exactly once, right before position t of the current name
// replaces it, so one array serves both names. A MATCH only moves `off`.
struct Token {
  uint64_t off;  // start of the text in the output buffer
  uint64_t len;
  int64_t value;
  uint64_t numeric;
};

// The output buffer keeps kSlack spare bytes past its capacity so that short
// copies and pad zeros can be written 16 bytes at a time.
constexpr size_t kSlack = 64;

// Everything the STRING, NUMBER and DELTA tokens need besides the token
// itself; kept in memory, away from the MATCH loop's registers.
struct LiteralState {
  const uint8_t* str_lens;
  const uint8_t* str_lens_end;
  const uint8_t* nums;
  const uint8_t* nums_end;
  const uint8_t* str_data;
  size_t str_size;
  size_t str_pos = 0;
  const uint8_t* pads;
  size_t pad_size;
  size_t pad_pos = 0;
  DeltaCodes* deltas;
  // The output: buf holds cap + kSlack bytes.
  std::vector<uint8_t>* buf;
  uint8_t* base = nullptr;
  size_t cap = 0;
  uint64_t names_total = 0;
  uint64_t names_done = 0;
  std::optional<ArchiveError> error;
};

// Grows the output to hold `need` more bytes after `pos`, sized by the mean
// name length so far when that asks for more.
[[gnu::noinline]] void grow_output(LiteralState& st, size_t pos, size_t need) {
  const uint64_t mean = pos / (st.names_done + 1) + 1;
  const uint64_t estimate = st.names_total > std::numeric_limits<uint64_t>::max() / mean
                                ? std::numeric_limits<uint64_t>::max()
                                : mean * st.names_total + mean * st.names_total / 16;
  uint64_t want = std::max<uint64_t>(st.cap + st.cap / 2, std::min<uint64_t>(estimate, uint64_t{4} * st.cap));
  want = std::max<uint64_t>(want, uint64_t{pos} + need);
  if (want > std::numeric_limits<size_t>::max() - kSlack) throw std::bad_alloc();
  st.buf->resize(static_cast<size_t>(want) + kSlack);
  st.base = st.buf->data();
  st.cap = static_cast<size_t>(want);
}

[[gnu::noinline]] Token* grow_tokens(std::vector<Token>& tokens) {
  tokens.resize(tokens.size() * 2);
  return tokens.data();
}

// Copies len bytes from src to dst in 16-byte steps; may write up to 15 bytes
// past dst + len (slack, or bytes that are written again afterwards) and read
// up to 15 bytes past src + len. src + len <= dst, so every byte that matters
// is read before anything is written over it.
[[gnu::always_inline]] inline void copy_forward(uint8_t* dst, const uint8_t* src, size_t len) {
  for (size_t k = 0; k < len; k += 16) {
    uint8_t tmp[16];
    std::memcpy(tmp, src + k, 16);
    std::memcpy(dst + k, tmp, 16);
  }
}

constexpr size_t kFailed = std::numeric_limits<size_t>::max();

// Decodes one STRING, NUMBER or DELTA token (or reports an unknown op) at
// `pos`; returns the end of its text, or kFailed with st.error set.
[[gnu::noinline]] size_t decode_literal(LiteralState& st, uint8_t op, uint64_t column, Token& tok,
                                        bool has_prior, size_t pos) {
  int64_t value;
  switch (op) {
    case kString: {
      const Varint sl = next_varint(st.str_lens, st.str_lens_end);
      if (!sl.next) {
        st.error = varint_error(st.str_lens, st.str_lens_end);
        return kFailed;
      }
      st.str_lens = sl.next;
      const uint64_t len = sl.value;
      if (len > st.str_size - st.str_pos) {
        st.error = fail("string data underrun");
        return kFailed;
      }
      if (len > st.cap - pos) grow_output(st, pos, len);
      std::memcpy(st.base + pos, st.str_data + st.str_pos, len);
      st.str_pos += len;
      tok = Token{pos, len, 0, 0};
      return pos + len;
    }
    case kNumber: {
      const Varint v = next_varint(st.nums, st.nums_end);
      if (!v.next) {
        st.error = varint_error(st.nums, st.nums_end);
        return kFailed;
      }
      st.nums = v.next;
      value = static_cast<int64_t>(v.value);
      break;
    }
    case kDelta: {
      DeltaCodes& codes = st.deltas[column];
      if (codes.next >= codes.count) {
        st.error = fail("delta underrun");
        return kFailed;
      }
      const uint64_t code = codes.take();
      if (!has_prior || !tok.numeric) {
        st.error = fail("DELTA without numeric prior");
        return kFailed;
      }
      value = static_cast<int64_t>(static_cast<uint64_t>(tok.value) + static_cast<uint64_t>(zigzag_decode(code)));
      break;
    }
    default:
      st.error = fail("unknown op");
      return kFailed;
  }
  // NUMBER and DELTA: decimal text padded by the next pad byte.
  if (st.pad_pos >= st.pad_size) {
    st.error = fail("pad underrun");
    return kFailed;
  }
  const uint8_t pad = st.pads[st.pad_pos++];
  if (kMaxNumericText > st.cap - pos) grow_output(st, pos, kMaxNumericText);
  size_t len;
  if (ZARV_LIKELY(value >= 1 && pad <= 16)) {
    // pad zeros, then exactly digits(value) digits (16 zero bytes fit the slack).
    std::memset(st.base + pos, '0', 16);
    len = pad + write_padded_decimal(st.base + pos + pad, value, 0);
  } else {
    len = write_padded_decimal(st.base + pos, value, token_digits(value) + pad);
  }
  tok = Token{pos, len, value, 1};
  return pos + len;
}

Result<NameList> decode(std::span<const uint8_t> in) {
  if (in.empty()) return fail("truncated");
  if (in[0] != 1) return fail("unsupported version");
  ByteCursor cur(in);
  (void)cur.skip(1);

  auto n_read = read_varint(cur);
  if (!n_read.ok()) return wrap(n_read.error());
  const uint64_t n = *n_read;
  const uint64_t bound = section_bound(in.size());

  ZARV_ASSIGN(std::vector<uint8_t> token_counts, read_rans_section(cur, bound));
  if (n > token_counts.size()) return fail("record count exceeds token stream");
  ZARV_ASSIGN(std::vector<uint8_t> string_lengths, read_rans_section(cur, bound));
  ZARV_ASSIGN(std::vector<uint8_t> string_data, read_rans_section(cur, bound));
  ZARV_ASSIGN(std::vector<uint8_t> numbers, read_rans_section(cur, bound));
  ZARV_ASSIGN(std::vector<uint8_t> pads, read_rans_section(cur, bound));
  ZARV_ASSIGN(std::vector<uint8_t> run_counts, read_rans_section(cur, bound));
  ZARV_ASSIGN(std::vector<uint8_t> run_syms, read_rans_section(cur, bound));
  ZARV_ASSIGN(std::vector<uint8_t> run_lens, read_rans_section(cur, bound));

  // Validate the op runs of every column and count their DELTA ops. Columns
  // 0..62 take at most one op per name; column 63 is bounded only by the total.
  OpColumn columns[kColumns];
  uint64_t delta_ops[kColumns] = {};
  {
    const uint8_t* counts = run_counts.data();
    const uint8_t* const counts_end = counts + run_counts.size();
    const uint8_t* lens = run_lens.data();
    const uint8_t* const lens_end = lens + run_lens.size();
    size_t sym_pos = 0;
    uint64_t total = 0;
    for (int c = 0; c < kColumns; ++c) {
      OpColumn& col = columns[c];
      col.sym = run_syms.data() + sym_pos;
      col.run_len = lens;
      col.run_len_end = lens_end;
      uint64_t runs = 0;
      // An exhausted run-count section reads as no runs for the remaining columns.
      if (counts != counts_end) {
        const Varint v = next_varint(counts, counts_end);
        if (!v.next) return varint_error(counts, counts_end);
        counts = v.next;
        runs = v.value;
      }
      uint64_t in_column = 0;
      for (uint64_t k = 0; k < runs; ++k) {
        if (sym_pos >= run_syms.size()) return fail("op sym underrun");
        const uint8_t op = run_syms[sym_pos++];
        const Varint len = next_varint(lens, lens_end);
        if (!len.next) return varint_error(lens, lens_end);
        lens = len.next;
        if (c != kColumns - 1 && len.value > n - in_column) return fail("op run too long");
        if (len.value > bound - total) return fail("op columns exceed the stream bound");
        in_column += len.value;
        total += len.value;
        if (op == kDelta) delta_ops[c] += len.value;
      }
      col.runs_left = runs;
    }
  }

  // Difference-code planes. Each plane holds exactly one byte per DELTA op of
  // its column; plane p contributes bits 8 (p mod 8) upwards.
  DeltaCodes deltas[kColumns];
  std::vector<std::vector<uint8_t>> plane_store;
  for (int c = 0; c < kColumns; ++c) {
    auto b_read = read_varint(cur);
    if (!b_read.ok()) return wrap(b_read.error());
    const uint64_t planes = *b_read;
    const uint64_t d = delta_ops[c];
    const size_t first = plane_store.size();
    for (uint64_t p = 0; p < planes; ++p) {
      ZARV_ASSIGN(std::vector<uint8_t> plane, read_rans_section(cur, d));
      if (plane.size() != d) return fail("delta plane length mismatch");
      if (p < 8) {
        try {
          plane_store.push_back(std::move(plane));
        } catch (const std::bad_alloc&) {
          return fail("delta plane too large to allocate");
        }
      } else {
        uint8_t* dst = plane_store[first + p % 8].data();
        for (size_t i = 0; i < plane.size(); ++i) dst[i] |= plane[i];
      }
    }
    deltas[c].plane_count = static_cast<uint32_t>(std::min<uint64_t>(planes, 8));
    deltas[c].count = planes == 0 ? 0 : d;
  }
  // plane_store no longer grows: its buffers can be pointed at.
  for (int c = 0, next = 0; c < kColumns; ++c) {
    for (uint32_t p = 0; p < deltas[c].plane_count; ++p) deltas[c].planes[p] = plane_store[next++].data();
  }

  // The names. n <= token_counts.size(), so the offsets are bounded by an
  // allocation already made; the text buffer grows as names are written.
  NameList result;
  result.offsets.resize(static_cast<size_t>(n) + 1);
  uint64_t* const offsets = result.offsets.data();
  std::vector<uint8_t> buf;

  LiteralState st{};
  st.str_lens = string_lengths.data();
  st.str_lens_end = st.str_lens + string_lengths.size();
  st.nums = numbers.data();
  st.nums_end = st.nums + numbers.size();
  st.str_data = string_data.data();
  st.str_size = string_data.size();
  st.pads = pads.data();
  st.pad_size = pads.size();
  st.deltas = deltas;
  st.buf = &buf;
  st.names_total = n;
  grow_output(st, 0, std::min<uint64_t>(n, 2048) * 64 + 256);

  std::vector<Token> token_store(64);
  Token* tokens = token_store.data();
  size_t token_cap = token_store.size();
  uint64_t prev_count = 0;

  const uint8_t* counts = token_counts.data();
  const uint8_t* const counts_end = counts + token_counts.size();
  uint8_t* base = st.base;
  size_t cap = st.cap;
  size_t pos = 0;

  // Consecutive MATCH tokens copy consecutive bytes of the previous name; they
  // are gathered into one pending copy [pend_src, pend_end) -> pend_dst, which
  // is carried out before any other token is written and at the end of a name.
  constexpr size_t kNoPending = std::numeric_limits<size_t>::max();
  size_t pend_src = 0, pend_end = kNoPending, pend_dst = 0;
#define ZARV_FLUSH_PENDING()                                                        \
  do {                                                                              \
    if (pend_end != kNoPending) {                                                   \
      copy_forward(base + pend_dst, base + pend_src, pend_end - pend_src);          \
      pend_end = kNoPending;                                                        \
    }                                                                               \
  } while (0)

  for (uint64_t i = 0; i < n; ++i) {
    offsets[i] = pos;
    const Varint tc = next_varint(counts, counts_end);
    if (!tc.next) return varint_error(counts, counts_end);
    counts = tc.next;
    const uint64_t t_count = tc.value;
    for (uint64_t t = 0; t < t_count; ++t) {
      const uint64_t c = t < kLastColumn ? t : kLastColumn;
      OpColumn& col = columns[c];
      if (ZARV_UNLIKELY(col.left == 0) && !col.advance()) return fail("truncated");
      --col.left;
      if (ZARV_UNLIKELY(t >= token_cap)) {
        tokens = grow_tokens(token_store);
        token_cap = token_store.size();
      }
      Token& tok = tokens[t];
      if (ZARV_LIKELY(col.op == kMatch)) {
        if (ZARV_UNLIKELY(t >= prev_count)) return fail("MATCH without prior token");
        const size_t len = tok.len;
        const size_t src = tok.off;
        if (ZARV_UNLIKELY(len > cap - pos)) {
          st.names_done = i;
          grow_output(st, pos, len);
          base = st.base;
          cap = st.cap;
        }
        if (src == pend_end) {
          pend_end += len;
        } else {
          ZARV_FLUSH_PENDING();
          pend_src = src;
          pend_end = src + len;
          pend_dst = pos;
        }
        tok.off = pos;
        pos += len;
        continue;
      }
      ZARV_FLUSH_PENDING();
      st.base = base;
      st.cap = cap;
      st.names_done = i;
      pos = decode_literal(st, col.op, c, tok, t < prev_count, pos);
      if (ZARV_UNLIKELY(pos == kFailed)) return std::move(*st.error);
      base = st.base;
      cap = st.cap;
    }
    ZARV_FLUSH_PENDING();
    prev_count = t_count;
  }
#undef ZARV_FLUSH_PENDING
  offsets[n] = pos;
  buf.resize(pos);
  result.bytes = std::move(buf);
  return result;
}

}  // namespace

Result<NameList> decode_names(std::span<const uint8_t> coded) {
  try {
    return decode(coded);
  } catch (const std::bad_alloc&) {
    // Only the decoded text can get here: every other size is checked first.
    return fail("names too large to allocate");
  }
}

std::vector<std::string> NameList::to_strings() const {
  std::vector<std::string> names;
  names.reserve(size());
  for (size_t i = 0; i < size(); ++i) names.emplace_back(view(i));
  return names;
}

void NameList::push_back(std::string_view name) {
  bytes.insert(bytes.end(), name.begin(), name.end());
  offsets.push_back(bytes.size());
}

}  // namespace zarv
