// Quality stream decoder: header, read lengths, and the payload of context
// modes 0, 1, 3 and 4. The chunked modes 5 and 6 are parsed up to their read
// lengths and then refused.
//
// Memory: the output is bounded by the declared total (at most 2^34 bytes, or
// the caller's tighter bound); read lengths by the length-list rules; the
// model tables are fixed by the alphabet size and come zeroed from the kernel,
// so a block pays only for the contexts it reaches.
#include <algorithm>
#include <new>
#include <stdexcept>

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/entropy/cpu_features.hpp"
#include "codecs/entropy/varint.hpp"
#include "codecs/quality/quality.hpp"
#include "codecs/quality/quality_model.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zarv {

namespace quality {

namespace {

constexpr const char* kTruncated = "truncated header";

// Reads a varint, reporting a cut-off one the way every quality varint is
// reported.
Result<uint64_t> varint(ByteCursor& cur) {
  auto r = read_varint(cur);
  if (!r.ok()) return rehome(r.error());
  return r.value();
}

Result<ChunkTable> parse_chunk_table(ByteCursor& cur) {
  ChunkTable t;
  auto variant = cur.u8(kTruncated);
  if (!variant.ok()) return rehome(variant.error());
  t.variant = variant.value();
  if (t.variant != 1 && t.variant != 2) return unsupported_chunk_variant(t.variant);
  ZARV_ASSIGN(const uint64_t count, varint(cur));
  if (count < kMinChunkSegments || count > kMaxChunkSegments) return malformed("chunk segment count out of range");
  ZARV_ASSIGN(t.warmup, varint(cur));
  t.segment_lengths.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    ZARV_ASSIGN(const uint64_t len, varint(cur));
    t.segment_lengths.push_back(len);
  }
  return t;
}

// The symbol search of a frequency row: the first slot whose cumulative
// frequency including itself exceeds `count`, the last slot when none before
// it does. Symbols are unpredictable, so a scan that stops at the symbol pays
// a mispredicted branch per symbol; for 16 or more slots the search instead
// counts, eight slots at a time, the prefix sums that are at most `count`
// (prefix sums never decrease, so they are exactly the slots before the
// symbol) and adds up those slots' frequencies as the symbol's cumulative.
template <size_t N>
[[gnu::always_inline]] inline FreqSlot find_slot(const AdaptiveFreqModel<N>& row, uint32_t r, uint32_t offset) {
  if constexpr (N <= 8) {
    // Few slots: scale each prefix sum instead of dividing the offset, which
    // takes the second division off the path from one symbol to the next.
    const uint16_t* f = row.freqs().data();
    uint32_t acc = 0, cum = 0, symbol = 0;
    for (size_t i = 0; i + 1 < N; ++i) {
      acc += f[i];
      const bool below = acc * r <= offset;
      symbol += below;
      cum = below ? acc : cum;
    }
    return {symbol, cum};
  }
  const uint32_t count = offset / r;
#if defined(__SSE2__)
  if constexpr (N % 8 == 0 && N >= 16) {
    const uint16_t* f = row.freqs().data();
    // Prefix sums stay below 2^15 (totals <= 8208); a larger count selects
    // the last slot whatever its exact value.
    const __m128i limit = _mm_set1_epi16(static_cast<int16_t>(std::min<uint32_t>(count, 32766) + 1));
    __m128i base = _mm_setzero_si128();
    __m128i below = _mm_setzero_si128();
    __m128i cum = _mm_setzero_si128();
    for (size_t b = 0; b < N; b += 8) {
      const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f + b));
      __m128i p = _mm_add_epi16(x, _mm_slli_si128(x, 2));
      p = _mm_add_epi16(p, _mm_slli_si128(p, 4));
      p = _mm_add_epi16(_mm_add_epi16(p, _mm_slli_si128(p, 8)), base);
      const __m128i at_most = _mm_cmpgt_epi16(limit, p);  // all ones where prefix <= count
      below = _mm_sub_epi16(below, at_most);
      cum = _mm_add_epi16(cum, _mm_and_si128(x, at_most));
      base = _mm_shuffle_epi32(_mm_shufflehi_epi16(p, 0xFF), 0xFF);
    }
    // Horizontal sums of both counters at once: below in the low half of each
    // 32-bit lane, cum in the high half.
    const __m128i ones = _mm_set1_epi16(1);
    __m128i both = _mm_add_epi32(_mm_madd_epi16(below, ones), _mm_slli_epi32(_mm_madd_epi16(cum, ones), 16));
    both = _mm_add_epi32(both, _mm_shuffle_epi32(both, 0x4E));
    both = _mm_add_epi32(both, _mm_shuffle_epi32(both, 0xB1));
    const uint32_t sums = static_cast<uint32_t>(_mm_cvtsi128_si32(both));
    uint32_t symbol = sums & 0xFFFF, c = sums >> 16;
    if (symbol >= N) [[unlikely]] {  // count at or past the total: the last slot
      symbol = N - 1;
      c -= f[N - 1];
    }
    return {symbol, c};
  }
#endif
  return row.find(count);
}

template <size_t N, QualityContextMode Mode>
Status decode_freq_rows(const Alphabet& alphabet, std::span<const uint8_t> payload, std::span<const uint32_t> lengths,
                        std::span<const uint8_t> bases, std::span<uint8_t> out) {
  const FreqContextLayout layout = FreqContextLayout::dense(alphabet, Mode);
  FreqTable<N> table;
  if (!table.allocate(alphabet.n, layout.context_bits())) return model_alloc_error();
  RangeDecoder rd(payload);
  uint8_t* dst = out.data();
  const uint32_t n = alphabet.n;
  const auto code = [&](uint32_t ctx, uint64_t pos) -> uint32_t {
        auto& row = table.row(ctx);
        const uint32_t r = rd.scale(row.total());
        const FreqSlot s = find_slot(row, r, rd.offset());
        // Past the alphabet lies only the last slot, reached through the slack
        // above the total; its frequency is 0, so it must not be consumed.
        if (s.symbol >= n) [[unlikely]] return s.symbol;
        rd.consume(s.cum, row.freq(s.symbol));
        row.update(s.symbol);
        dst[pos] = alphabet.symbols[s.symbol];
        return s.symbol;
      };
  const char* failure = walk_dense_freq_contexts<Mode>(lengths, bases, out.size(), alphabet, layout, code);
  if (failure) return malformed(failure);
  return {};
}

template <QualityContextMode Mode>
Status decode_freq_mode(const Alphabet& alphabet, std::span<const uint8_t> payload, std::span<const uint32_t> lengths,
                        std::span<const uint8_t> bases, std::span<uint8_t> out) {
  switch (freq_slots(alphabet.n)) {
    case 4: return decode_freq_rows<4, Mode>(alphabet, payload, lengths, bases, out);
    case 8: return decode_freq_rows<8, Mode>(alphabet, payload, lengths, bases, out);
    case 16: return decode_freq_rows<16, Mode>(alphabet, payload, lengths, bases, out);
    case 32: return decode_freq_rows<32, Mode>(alphabet, payload, lengths, bases, out);
    case 64: return decode_freq_rows<64, Mode>(alphabet, payload, lengths, bases, out);
    default: return decode_freq_rows<94, Mode>(alphabet, payload, lengths, bases, out);
  }
}

// The mixing-model payload for symbols of B bits.
template <unsigned B>
const char* decode_mixing_rows(MixingModel& model, const Alphabet& alphabet, const Quantizers& quantizers,
                               std::span<const uint8_t> payload, std::span<const uint32_t> lengths,
                               std::span<const uint8_t> bases, std::span<uint8_t> out) {
  RangeDecoder rd(payload);
  uint8_t* dst = out.data();
  const uint32_t n = alphabet.n;
  return walk_mixing_contexts(
      lengths, bases, out.size(), alphabet, quantizers,
      [&](const MixingContexts& c, const MixingLookahead& ahead, uint64_t pos) -> uint32_t {
        const uint32_t s = model.code<B, true>(c.c1, c.c2, hash_context(c.c3), &ahead,
                                               [&rd](uint32_t p, unsigned) { return rd.decode_split(p, 12) ^ 1u; });
        if (s < n) [[likely]] dst[pos] = alphabet.symbols[s];
        return s;
      });
}

}  // namespace

Result<StreamHeader> parse_stream_header(std::span<const uint8_t> coded, const QualityDecodeLimits& limits) {
  ByteCursor cur(coded);
  StreamHeader h;
  // The four fixed bytes, each checked before the next is read.
  auto byte = [&cur]() -> Result<uint8_t> {
    auto r = cur.u8(kTruncated);
    if (!r.ok()) return rehome(r.error());
    return r.value();
  };
  ZARV_ASSIGN(const uint8_t version, byte());
  if (version != kStreamVersion) return malformed("unsupported version");
  ZARV_ASSIGN(h.binning_tag, byte());
  if (h.binning_tag > kMaxQualityBinningTag) return malformed("unknown quality-binning tag");
  ZARV_ASSIGN(const uint8_t mode, byte());
  if (!is_known_mode(mode)) return unsupported_mode(mode);
  h.mode = static_cast<QualityContextMode>(mode);
  ZARV_ASSIGN(const uint8_t n, byte());
  if (n == 0 || n > kMaxAlphabet) return alphabet_too_large(n);

  auto alphabet = cur.bytes(n, kTruncated);
  if (!alphabet.ok()) return rehome(alphabet.error());
  h.alphabet = Alphabet::from(alphabet.value());
  if (uses_stored_quantizers(h.mode)) {
    auto q = cur.bytes(2 * uint64_t{n}, kTruncated);
    if (!q.ok()) return rehome(q.error());
    h.quantizer_bytes = q.value();
  }
  if (is_chunked(h.mode)) {
    ZARV_ASSIGN(h.chunks, parse_chunk_table(cur));
  }

  {
    // The count alone decides how much the list may reserve; check the
    // caller's bound on it before the list is read.
    ByteCursor peek = cur;
    auto count = read_varint(peek);
    if (count.ok() && count.value() > limits.max_reads) return malformed("length count too large to allocate");
  }
  auto lengths = read_length_list(cur, kTruncated);
  if (!lengths.ok()) return rehome(lengths.error());
  h.lengths = std::move(lengths).value();
  uint64_t total = 0;
  for (const uint32_t len : h.lengths) {
    if (__builtin_add_overflow(total, uint64_t{len}, &total)) return malformed("total length overflows usize");
  }
  if (total > std::min(limits.max_total, kMaxQualityTotal)) return malformed("declared total length exceeds maximum");
  h.total = total;
  h.payload = cur.rest();
  return h;
}

Status decode_freq_payload(QualityContextMode mode, const Alphabet& alphabet, std::span<const uint8_t> payload,
                           std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                           std::span<uint8_t> out) {
  const uint32_t features = cpu_features();
  if (freq_slots(alphabet.n) >= 16 && (features & kCpuAvx512)) {
    return decode_freq_payload_avx512(mode, alphabet, payload, lengths, bases, out);
  }
  // The small-alphabet rows pay off in mode 0 (5-25% on binned qualities);
  // in mode 1 they measured a few percent slower than the generic rows.
  if (mode == QualityContextMode::Position && freq_slots(alphabet.n) <= 8 && alphabet.n >= 2 &&
      (features & kCpuAvx2)) {
    return decode_freq_payload_avx2(alphabet, payload, lengths, bases, out);
  }
  if (mode == QualityContextMode::Position) {
    return decode_freq_mode<QualityContextMode::Position>(alphabet, payload, lengths, bases, out);
  }
  return decode_freq_mode<QualityContextMode::Bases>(alphabet, payload, lengths, bases, out);
}

Status decode_mixing_payload(MixingModel& model, const Alphabet& alphabet, const Quantizers& quantizers,
                             std::span<const uint8_t> payload, std::span<const uint32_t> lengths,
                             std::span<const uint8_t> bases, std::span<uint8_t> out) {
  const char* failure = model.with_bits([&](auto width) {
    return decode_mixing_rows<decltype(width)::value>(model, alphabet, quantizers, payload, lengths, bases, out);
  });
  if (failure) return malformed(failure);
  return {};
}

}  // namespace quality

bool quality_needs_sequence(std::span<const uint8_t> coded) {
  return coded.size() >= 3 && coded[0] == quality::kStreamVersion && coded[2] != 0;
}

Result<DecodedQualities> decode_quality_stream(std::span<const uint8_t> coded,
                                               std::optional<std::span<const uint8_t>> bases,
                                               const QualityDecodeLimits& limits) {
  using namespace quality;
  ZARV_ASSIGN(StreamHeader h, parse_stream_header(coded, limits));
  const bool with_bases = h.mode != QualityContextMode::Position;
  if (with_bases && (!bases || bases->size() != h.total)) {
    return malformed("sequence context requires the decoded sequence");
  }
  if (is_chunked(h.mode)) return not_yet_implemented("chunked quality streams (context modes 5 and 6)");

  DecodedQualities result;
  try {
    result.qualities.resize(static_cast<size_t>(h.total));
  } catch (const std::bad_alloc&) {
    return malformed("declared total length too large to allocate");
  } catch (const std::length_error&) {
    return malformed("declared total length too large to allocate");
  }
  result.lengths = std::move(h.lengths);
  if (h.total == 0) return result;  // nothing to decode: no model needed

  const std::span<const uint8_t> seq = with_bases ? *bases : std::span<const uint8_t>{};
  if (is_mixing(h.mode)) {
    ZARV_ASSIGN(MixingModel model, MixingModel::create(h.alphabet.n, h.total));
    const Quantizers q = uses_stored_quantizers(h.mode) ? Quantizers::stored(h.alphabet, h.quantizer_bytes)
                                                        : Quantizers::fixed();
    ZARV_TRY(decode_mixing_payload(model, h.alphabet, q, h.payload, result.lengths, seq, result.qualities));
  } else {
    ZARV_TRY(decode_freq_payload(h.mode, h.alphabet, h.payload, result.lengths, seq, result.qualities));
  }
  return result;
}

}  // namespace zarv
