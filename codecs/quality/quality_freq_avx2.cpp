// Frequency-model decoding in context mode 0 for alphabets of 2 to 8
// symbols (rows of 4 or 8 slots), built for processors with AVX2 and BMI2
// (the 64-bit multiply-high below is one mulx).
//
// Small alphabets are the binned qualities of recent instruments, where the
// decoder spends its time on the chain from one symbol to the next: the row
// of the next context, the division of the range by the row's total, the
// search, the narrowing. Here each row carries what that chain needs ready:
//   - its frequencies as cumulative sums; the last lane is the total;
//   - the reciprocal of its total (floor((2^64 - 1) / total) + 1), with
//     which range / total is one multiply-high instead of a 32-bit division.
//     The reciprocal of the new total is looked up when the row is updated,
//     off the path to the next symbol unless that symbol uses the same row.
// A row of zero bytes (total 0, which no row in use has) has not been used
// yet and is set to the fresh row (1 in the first n slots) on first use, so
// the table needs no set-up beyond zeroed pages.
// The search compares each scaled cumulative sum with code - low (no second
// division), and the symbol's bounds are two lane reads. Results are those
// of the generic rows in quality_decoder.cpp, which the tests compare with.
#include <algorithm>
#include <cstring>

#include "codecs/quality/quality.hpp"
#include "codecs/quality/quality_model.hpp"

namespace zarv::quality {
namespace {

// floor((2^64 - 1) / total) + 1 for every total a row can have between
// symbols (1 to 8192), computed once by the compiler: a 64-bit division per
// update would otherwise sit on the path to the next symbol whenever that
// symbol uses the same row, as runs of one quality do.
struct Reciprocals {
  uint64_t of[8193];
  constexpr Reciprocals() : of() {
    for (uint32_t t = 1; t <= 8192; ++t) of[t] = ~uint64_t{0} / t + 1;
  }
};
constexpr Reciprocals kReciprocals;
inline uint64_t reciprocal(uint32_t total) { return kReciprocals.of[total]; }

template <size_t N>
struct CumulativeRow {
  uint64_t reciprocal;  // of the total
  uint16_t lanes[N];    // cumulative frequency of slots 0..k
};

// 16 in each of four u16 lanes.
constexpr uint64_t kSixteens = 0x0010001000100010ull;

// 16 in the lanes of a four-lane word from lane `from` on (0..4); shifted in
// two halves so that from = 4 shifts everything out.
inline uint64_t step_from(uint32_t from) { return (kSixteens << (8 * from)) << (8 * from); }

template <size_t N, QualityContextMode Mode>
Status decode_rows(const Alphabet& alphabet, std::span<const uint8_t> payload, std::span<const uint32_t> lengths,
                   std::span<const uint8_t> bases, std::span<uint8_t> out) {
  static_assert(N == 4 || N == 8);
  const FreqContextLayout layout = FreqContextLayout::dense(alphabet, Mode);
  ZeroedArray<CumulativeRow<N>> table;
  if (!table.allocate(size_t{1} << layout.context_bits())) return model_alloc_error();
  CumulativeRow<N>* const rows = table.data();

  const uint32_t n = alphabet.n;
  CumulativeRow<N> fresh{};
  fresh.reciprocal = reciprocal(n);
  for (uint32_t k = 0; k < N; ++k) fresh.lanes[k] = static_cast<uint16_t>(std::min(k + 1, n));

  RangeDecoder rd(payload);
  uint8_t* const dst = out.data();
  const auto code = [&](uint32_t ctx, uint64_t pos) -> uint32_t {
        CumulativeRow<N>& row = rows[ctx];
        if (row.lanes[N - 1] == 0) [[unlikely]] row = fresh;
        const uint32_t r = rd.scale_by_reciprocal(row.reciprocal);
        const uint32_t x = rd.offset();
        uint64_t words[N / 4];
        std::memcpy(words, row.lanes, sizeof words);
        // The slots before the symbol are those whose cumulative sum, scaled,
        // is at most the offset; the last slot is not compared, so an offset
        // in the slack past the total selects it.
        uint32_t s = 0;
        for (uint32_t k = 0; k + 1 < N; ++k) {
          const uint32_t c = static_cast<uint32_t>(words[k / 4] >> (16 * (k % 4))) & 0xFFFF;
          s += c * r <= x;
        }
        // Only the last slot lies past the alphabet (its frequency is 0):
        // it must not be consumed.
        if (s >= n) [[unlikely]] return s;
        const uint32_t below = s == 0 ? 0 : row.lanes[s - 1];
        const uint32_t upto = row.lanes[s];
        rd.consume(below, upto - below);

        uint32_t total = row.lanes[N - 1] + 16u;
        if constexpr (N == 4) {
          words[0] += step_from(s);
        } else {
          words[0] += step_from(s < 4 ? s : 4);
          words[1] += step_from(s > 4 ? s - 4 : 0);
        }
        std::memcpy(row.lanes, words, sizeof words);
        if (total > 8192) [[unlikely]] {
          // Every frequency f becomes (f + 1) / 2; the cumulative lanes
          // follow.
          uint32_t previous = 0, acc = 0;
          for (uint32_t k = 0; k < N; ++k) {
            const uint32_t c = row.lanes[k];
            acc += (c - previous + 1) >> 1;
            previous = c;
            row.lanes[k] = static_cast<uint16_t>(acc);
          }
          total = acc;
        }
        row.reciprocal = reciprocal(total);
        dst[pos] = alphabet.symbols[s];
        return s;
      };
  const char* failure = walk_dense_freq_contexts<Mode>(lengths, bases, out.size(), alphabet, layout, code);
  if (failure) return malformed(failure);
  return {};
}

}  // namespace

Status decode_freq_payload_avx2(const Alphabet& alphabet, std::span<const uint8_t> payload,
                                std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                                std::span<uint8_t> out) {
  return freq_slots(alphabet.n) == 4
             ? decode_rows<4, QualityContextMode::Position>(alphabet, payload, lengths, bases, out)
             : decode_rows<8, QualityContextMode::Position>(alphabet, payload, lengths, bases, out);
}

}  // namespace zarv::quality
