// Frequency-model decoding (context modes 0 and 1) with AVX-512BW, for
// alphabets of 9 to 94 symbols (rows of 16, 32, 64 or 94 slots).
//
// The rows are kept cumulative: lane k holds the frequencies of slots 0..k
// summed, less that sum in a fresh row (min(k + 1, n)), so a fresh row is all
// zero bytes and the table needs no set-up beyond zeroed pages. Then
//   - the symbol search is one compare of every lane with the target and a
//     population count: the slots whose cumulative frequency is at most the
//     target are exactly the slots before the symbol (cumulative frequencies
//     never decrease), and the last slot is left out of the compare so that a
//     target at or past the total selects it;
//   - the cumulative frequency and the frequency of the symbol are two lane
//     reads;
//   - the update adds 16 to the lanes of the symbol and of every slot after
//     it, one masked add per vector.
// Halving is rare (a row halves once per some 250 of its symbols) and is done
// on the plain frequencies, lane by lane. Results are those of the row-by-row
// model in quality_decoder.cpp, which the tests compare this path with.
#include <immintrin.h>

#include <algorithm>

#include "codecs/quality/quality.hpp"
#include "codecs/quality/quality_model.hpp"

namespace zarv::quality {
namespace {

// A row of V vectors of 32 lanes (slots past the row's slot count are
// never read and never updated).
template <size_t V>
struct alignas(64) CumulativeRow {
  uint16_t lanes[32 * V];
};

template <size_t V, QualityContextMode Mode>
Status decode_rows(uint32_t slots, const Alphabet& alphabet, std::span<const uint8_t> payload,
                   std::span<const uint32_t> lengths, std::span<const uint8_t> bases, std::span<uint8_t> out) {
  const FreqContextLayout layout = FreqContextLayout::dense(alphabet, Mode);
  ZeroedArray<CumulativeRow<V>> table;
  if (!table.allocate(size_t{1} << layout.context_bits())) return model_alloc_error();
  CumulativeRow<V>* const rows = table.data();

  const uint32_t n = alphabet.n;
  const uint32_t last = slots - 1;
  // The fresh cumulative frequencies, the slot numbers, the lanes the search
  // compares (slots 0 .. last - 1) and the lanes a row has (0 .. last).
  __m512i fresh[V], slot[V];
  __mmask32 search[V], valid[V];
  for (size_t v = 0; v < V; ++v) {
    alignas(64) uint16_t f[32], s[32];
    uint32_t search_bits = 0, valid_bits = 0;
    for (uint32_t i = 0; i < 32; ++i) {
      const uint32_t k = static_cast<uint32_t>(32 * v) + i;
      f[i] = static_cast<uint16_t>(std::min(k + 1, n));
      s[i] = static_cast<uint16_t>(k);
      search_bits |= uint32_t{k < last} << i;
      valid_bits |= uint32_t{k <= last} << i;
    }
    fresh[v] = _mm512_load_si512(f);
    slot[v] = _mm512_load_si512(s);
    search[v] = _cvtu32_mask32(search_bits);
    valid[v] = _cvtu32_mask32(valid_bits);
  }
  const __m512i sixteen = _mm512_set1_epi16(16);
  const auto fresh_cum = [n](uint32_t k) { return std::min(k + 1, n); };

  RangeDecoder rd(payload);
  uint8_t* const dst = out.data();
  const auto code = [&](uint32_t ctx, uint64_t pos) -> uint32_t {
        uint16_t* const row = rows[ctx].lanes;
        __m512i cum[V];
        for (size_t v = 0; v < V; ++v) cum[v] = _mm512_load_si512(row + 32 * v);
        const uint32_t total = row[last] + n;
        const uint32_t r = rd.scale(total);
        // Cumulative frequencies stay below 2^16, so a larger target
        // compares the same as 0xFFFF.
        const uint32_t target = std::min<uint32_t>(rd.offset() / r, 0xFFFF);
        const __m512i t = _mm512_set1_epi16(static_cast<int16_t>(target));
        uint32_t s = 0;
        for (size_t v = 0; v < V; ++v) {
          const __m512i c = _mm512_add_epi16(cum[v], fresh[v]);
          s += static_cast<uint32_t>(__builtin_popcount(_cvtmask32_u32(_mm512_mask_cmple_epu16_mask(search[v], c, t))));
        }
        // Only the last slot lies past the alphabet (its frequency is 0):
        // it must not be consumed.
        if (s >= n) [[unlikely]] return s;
        const uint32_t below = s == 0 ? 0 : row[s - 1] + fresh_cum(s - 1);
        const uint32_t upto = row[s] + fresh_cum(s);
        rd.consume(below, upto - below);
        const __m512i sv = _mm512_set1_epi16(static_cast<int16_t>(s));
        for (size_t v = 0; v < V; ++v) {
          const __mmask32 from_s = _mm512_mask_cmpge_epu16_mask(valid[v], slot[v], sv);
          _mm512_store_si512(row + 32 * v, _mm512_mask_add_epi16(cum[v], from_s, cum[v], sixteen));
        }
        if (total + 16 > 8192) [[unlikely]] {
          // Every frequency f becomes (f + 1) / 2, the cumulative lanes
          // follow.
          uint32_t previous = 0, acc = 0;
          for (uint32_t k = 0; k <= last; ++k) {
            const uint32_t c = row[k] + fresh_cum(k);
            acc += (c - previous + 1) >> 1;
            previous = c;
            row[k] = static_cast<uint16_t>(acc - fresh_cum(k));
          }
        }
        dst[pos] = alphabet.symbols[s];
        return s;
      };
  const char* failure = walk_dense_freq_contexts<Mode>(lengths, bases, out.size(), alphabet, layout, code);
  if (failure) return malformed(failure);
  return {};
}

template <QualityContextMode Mode>
Status decode_mode(const Alphabet& alphabet, std::span<const uint8_t> payload, std::span<const uint32_t> lengths,
                   std::span<const uint8_t> bases, std::span<uint8_t> out) {
  const uint32_t slots = freq_slots(alphabet.n);
  if (slots <= 32) return decode_rows<1, Mode>(slots, alphabet, payload, lengths, bases, out);
  if (slots <= 64) return decode_rows<2, Mode>(slots, alphabet, payload, lengths, bases, out);
  return decode_rows<3, Mode>(slots, alphabet, payload, lengths, bases, out);
}

}  // namespace

Status decode_freq_payload_avx512(QualityContextMode mode, const Alphabet& alphabet,
                                  std::span<const uint8_t> payload, std::span<const uint32_t> lengths,
                                  std::span<const uint8_t> bases, std::span<uint8_t> out) {
  if (mode == QualityContextMode::Position) {
    return decode_mode<QualityContextMode::Position>(alphabet, payload, lengths, bases, out);
  }
  return decode_mode<QualityContextMode::Bases>(alphabet, payload, lengths, bases, out);
}

}  // namespace zarv::quality
