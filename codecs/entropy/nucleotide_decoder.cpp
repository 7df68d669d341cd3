// Nucleotide stream decoder.
//
// Everything that can fail is checked before the first base is decoded: the
// header, the length list, the exception list (parsed once to validate it and
// find its end, and a second time after decoding to apply it, so it costs no
// memory), the size guards and the allocations. The decode loop itself has
// no error path: it writes exactly `total` symbols into a buffer sized up
// front, and the range decoder reads zeros past the end of its payload.
//
// Memory is bounded by the declared data: at most 2^18 bases per payload byte
// (plus 2^18), an order-k table of 4^k models no larger than the number of
// bases, and a hash table of 2^b entries no larger than the number of bases.
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/entropy/nucleotide.hpp"
#include "codecs/entropy/nucleotide_model.hpp"
#include "codecs/entropy/range_coder.hpp"
#include "codecs/entropy/varint.hpp"

namespace zarv {
namespace {

using nucleotide::Model;
using nucleotide::Tiers;

constexpr uint64_t kBasesPerByte = uint64_t{1} << 18;

// 2^18 + R * 2^18, saturating.
uint64_t payload_capacity(uint64_t remaining) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  if (remaining > (kMax - kBasesPerByte) / kBasesPerByte) return kMax;
  return kBasesPerByte + remaining * kBasesPerByte;
}

// (p <= x ? a : b) as a compare and a conditional move. The interval bounds
// of the decoded symbol are picked from the products on conditions as
// unpredictable as the symbol itself, and compilers turn plain ternaries
// there back into branches.
[[gnu::always_inline]] inline uint32_t select_le(uint32_t p, uint32_t x, uint32_t a, uint32_t b) {
#if defined(__GNUC__) && defined(__x86_64__)
  __asm__("cmp %[x], %[p]\n\tcmovbe %[a], %[b]" : [b] "+r"(b) : [a] "r"(a), [p] "r"(p), [x] "r"(x) : "cc");
  return b;
#else
  return p <= x ? a : b;
#endif
}

// The range decoder of range_coder.hpp specialised to this codec's model, its
// state in locals for the whole decode loop. Same arithmetic, step for step:
//
//  - Symbol search without the second division: with r = range / total and
//    x = code - low, the reference search asks whether cum <= x / r for each
//    symbol boundary cum, which for integers is cum * r <= x. All four
//    boundaries are compared at once and the symbol is the number that pass;
//    no product overflows, as cum * r < total * r <= range. The interval
//    bounds cum * r and (cum + freq) * r of the chosen symbol are among the
//    products, so consume needs no further multiply.
//  - Payload bytes are read unchecked while at least four remain (one
//    normalisation shifts at most four bytes), with the bounds check of
//    reading zeros past the end only for the last few symbols.
struct FastDecoder {
  const uint8_t* data;
  uint64_t size;
  uint64_t pos;
  uint32_t low;
  uint32_t range;
  uint32_t code;

  explicit FastDecoder(const RangeDecoder& rd, std::span<const uint8_t> payload)
      : data(payload.data()), size(payload.size()), pos(rd.position()), low(rd.low()), range(rd.range()),
        code(rd.code()) {}

  template <bool kChecked>
  [[gnu::always_inline]] uint32_t byte_at(uint64_t p) const {
    if constexpr (kChecked) {
      return p < size ? data[p] : 0u;
    } else {
      return data[p];
    }
  }

  template <bool kChecked>
  [[gnu::always_inline]] void normalise() {
    range_decoder_normalise(code, low, range, pos, [this](uint64_t p) { return byte_at<kChecked>(p); });
  }

  // decode_symbol of the model: search and consume (the caller updates).
  template <bool kChecked>
  [[gnu::always_inline]] uint32_t decode(const nucleotide::Model& m) {
    const uint64_t w = m.lanes();
    const uint32_t total = m.total();
    const uint32_t r = range / total;
    const uint32_t x = code - low;
    const uint32_t p1 = (static_cast<uint32_t>(w & 0xFFFF) + 1) * r;
    const uint32_t p2 = (static_cast<uint32_t>((w >> 16) & 0xFFFF) + 2) * r;
    const uint32_t p3 = (static_cast<uint32_t>((w >> 32) & 0xFFFF) + 3) * r;
    const uint32_t p4 = (static_cast<uint32_t>(w >> 48) + 4) * r;
    const uint32_t p5 = total * r;
    const bool b1 = p1 <= x, b2 = p2 <= x, b3 = p3 <= x, b4 = p4 <= x;
    const uint32_t s = uint32_t{b1} + uint32_t{b2} + uint32_t{b3} + uint32_t{b4};
    uint32_t lo = select_le(p1, x, p1, 0u);
    lo = select_le(p2, x, p2, lo);
    lo = select_le(p3, x, p3, lo);
    lo = select_le(p4, x, p4, lo);
    uint32_t hi = select_le(p4, x, p5, p4);
    hi = select_le(p3, x, hi, p3);
    hi = select_le(p2, x, hi, p2);
    hi = select_le(p1, x, hi, p1);
    low += lo;
    range = hi - lo;
    normalise<kChecked>();
    return s;
  }
};

// Decodes symbols [i, total): unchecked while the payload has four bytes
// left at the start of a symbol, then checked. The tiers and the decoder are
// locals so that their state stays in registers across the byte stores.
template <bool kHashed>
void decode_bases(Tiers tiers, FastDecoder dec, uint8_t* out, uint64_t total) {
  // 'A', 'C', 'G', 'T', 'N' as the bytes of one word.
  constexpr uint64_t kBases = 0x4E54474341ull;
  uint64_t i = 0;
  if (dec.size >= 4) {
    auto code = [&dec](const Model& model) { return dec.decode<false>(model); };
    const uint64_t last_safe = dec.size - 4;
    while (i < total && dec.pos <= last_safe) {
      out[i++] = static_cast<uint8_t>(kBases >> (8 * tiers.step<kHashed>(code)));
    }
  }
  auto code = [&dec](const Model& model) { return dec.decode<true>(model); };
  for (; i < total; ++i) {
    out[i] = static_cast<uint8_t>(kBases >> (8 * tiers.step<kHashed>(code)));
  }
}

}  // namespace

Result<DecodedColumn> decode_nucleotides(std::span<const uint8_t> coded, const ColumnBounds& bounds) {
  // Header: the checks run byte by byte, so a short stream reports the first
  // field it lacks only after the fields it has were found valid.
  if (coded.empty()) return detail("truncated stream");
  if (coded[0] != kNucleotideVersion) return detail("unsupported version");
  if (coded.size() < 2) return detail("truncated stream");
  const uint8_t k = coded[1];
  if (k < 1 || k > kNucleotideMaxOrder) return detail("order out of range");
  if (coded.size() < 4) return detail("truncated stream");
  const NucleotideParams params{k, coded[2], coded[3]};
  if (params.hashed() && (params.h > kNucleotideMaxHashedOrder || params.b > kNucleotideMaxHashBits)) {
    return detail("hashed-tier params out of range");
  }

  ByteCursor cur(coded);
  ZARV_TRY(cur.skip(4));
  if (bounds.max_reads != std::numeric_limits<uint64_t>::max()) {
    // The caller's read bound applies before the list is allocated.
    ByteCursor peek = cur;
    auto count = read_varint(peek);
    if (count.ok() && *count > bounds.max_reads) return detail("length count too large to allocate");
  }
  ZARV_ASSIGN(std::vector<uint32_t> lengths, read_length_list(cur, "truncated stream"));

  // Exceptions: validate now, apply after decoding.
  ZARV_ASSIGN(const uint64_t exception_count, read_varint(cur));
  const size_t exceptions_begin = cur.pos();
  uint64_t last_position = 0;
  for (uint64_t i = 0; i < exception_count; ++i) {
    ZARV_ASSIGN(const uint64_t delta, read_varint(cur));
    ZARV_TRY(cur.skip(1, "truncated stream"));
    if (i == 0) {
      last_position = delta;
    } else if (__builtin_add_overflow(last_position, delta, &last_position)) {
      return detail("exception position overflows");
    }
  }
  const size_t exceptions_end = cur.pos();

  uint64_t total = 0;
  for (const uint32_t len : lengths) {
    if (__builtin_add_overflow(total, uint64_t{len}, &total)) return detail("total length overflows usize");
  }
  if (total > std::numeric_limits<size_t>::max()) return detail("total length overflows usize");
  if (total > payload_capacity(cur.remaining()) || total > bounds.max_bases) {
    return detail("declared length exceeds payload capacity");
  }
  const uint64_t order_k_models = uint64_t{1} << (2 * k);
  if (order_k_models > (total > 4 ? total : 4)) return detail("order-k table exceeds declared length");
  if (params.hashed() && total < (uint64_t{1} << params.b)) {
    return detail("hashed-tier table exceeds declared length");
  }

  // The order-k table is bounded by the declared total (checked above), so
  // its failure is reported as the total's.
  nucleotide::ContextModel model(params);
  if (!model.allocate_context_tables()) return detail("declared total length too large to allocate");
  if (!model.allocate_hash_table()) return detail("hashed-tier table too large to allocate");
  std::vector<uint8_t> bases;
  try {
    bases.resize(static_cast<size_t>(total));
  } catch (const std::bad_alloc&) {
    return detail("declared total length too large to allocate");
  } catch (const std::length_error&) {
    return detail("declared total length too large to allocate");
  }
  // Positions never decrease, so the last one bounds them all. Decoding
  // cannot fail, so checking before it reports the same outcome sooner.
  if (exception_count != 0 && last_position >= total) return detail("exception out of range");

  const RangeDecoder rd(cur.rest());
  const FastDecoder dec(rd, cur.rest());
  if (model.hashed()) {
    decode_bases<true>(model.tiers(), dec, bases.data(), total);
  } else {
    decode_bases<false>(model.tiers(), dec, bases.data(), total);
  }

  // Second pass over the already validated exception list.
  ByteCursor exceptions(coded.subspan(exceptions_begin, exceptions_end - exceptions_begin));
  uint64_t position = 0;
  for (uint64_t i = 0; i < exception_count; ++i) {
    const uint64_t delta = read_varint(exceptions).value();
    position = i == 0 ? delta : position + delta;
    bases[static_cast<size_t>(position)] = exceptions.u8().value();
  }

  return DecodedColumn{std::move(lengths), std::move(bases)};
}

}  // namespace zarv
