// Quality stream encoder for context modes 0, 1, 3 and 4: the exact inverse of
// the decoder, running the same context walkers and models with a range
// encoder in place of the decoder.
#include <algorithm>

#include "codecs/entropy/varint.hpp"
#include "codecs/quality/quality.hpp"
#include "codecs/quality/quality_model.hpp"

namespace zarv {

namespace quality {

namespace {

constexpr uint16_t kNoIndex = 0xFFFF;

// The alphabet to code with: the caller's, or the distinct bytes in rising
// order (so relative values follow the quality scores and entry 0 is the
// lowest), or "!" for a column without qualities.
Result<std::vector<uint8_t>> choose_alphabet(std::span<const uint8_t> qualities,
                                             const std::vector<uint8_t>& given) {
  if (!given.empty()) {
    if (given.size() > kMaxAlphabet) return alphabet_too_large(given.size());
    return given;
  }
  std::array<bool, 256> seen{};
  for (const uint8_t c : qualities) seen[c] = true;
  std::vector<uint8_t> alphabet;
  for (unsigned c = 0; c < 256; ++c) {
    if (seen[c]) alphabet.push_back(static_cast<uint8_t>(c));
  }
  if (alphabet.empty()) alphabet.push_back('!');
  if (alphabet.size() > kMaxAlphabet) return alphabet_too_large(alphabet.size());
  return alphabet;
}

// Default quantizer bytes, by rank: entry k of an alphabet of B bits (its
// mixing bit count) gets k >> max(B - 5, 0), k >> max(B - 3, 0) and
// k >> max(B - 2, 0), so every field keeps as many distinct ranks as it has
// room for, down to one bucket per rank for small alphabets. For a
// contiguous alphabet of 33 to 64 values this equals the fixed quantizers.
std::vector<uint8_t> rank_quantizers(uint32_t n) {
  const unsigned b = mixing_bits(n);
  auto shift = [b](unsigned keep) { return b > keep ? b - keep : 0u; };
  std::vector<uint8_t> bytes;
  bytes.reserve(2 * n);
  for (uint32_t k = 0; k < n; ++k) {
    bytes.push_back(static_cast<uint8_t>(k >> shift(5)));
    bytes.push_back(static_cast<uint8_t>((k >> shift(3)) << 3 | (k >> shift(2))));
  }
  return bytes;
}

template <size_t N, QualityContextMode Mode>
void encode_freq_rows(const Alphabet& alphabet, const std::array<uint16_t, 256>& index,
                      std::span<const uint32_t> lengths, std::span<const uint8_t> qualities,
                      std::span<const uint8_t> bases, RangeEncoder& re, FreqTable<N>& table) {
  // The contexts numbered as the format defines them (the decoders number
  // them densely: the same contexts, so the same stream).
  const FreqContextLayout layout = FreqContextLayout::plain(alphabet, Mode);
  walk_freq_contexts<Mode>(lengths, bases, qualities.size(), alphabet, layout, [&](uint32_t ctx, uint64_t pos) {
    const uint32_t s = index[qualities[pos]];
    table.row(ctx).encode(re, s);
    return s;
  });
}

template <QualityContextMode Mode, size_t N>
Status encode_freq_sized(const Alphabet& alphabet, const std::array<uint16_t, 256>& index,
                         std::span<const uint32_t> lengths, std::span<const uint8_t> qualities,
                         std::span<const uint8_t> bases, RangeEncoder& re) {
  FreqTable<N> table;
  if (!table.allocate(alphabet.n, FreqContextLayout::plain(alphabet, Mode).context_bits())) {
    return model_alloc_error();
  }
  encode_freq_rows<N, Mode>(alphabet, index, lengths, qualities, bases, re, table);
  return {};
}

template <QualityContextMode Mode>
Status encode_freq(const Alphabet& alphabet, const std::array<uint16_t, 256>& index, std::span<const uint32_t> lengths,
                   std::span<const uint8_t> qualities, std::span<const uint8_t> bases, RangeEncoder& re) {
  switch (freq_slots(alphabet.n)) {
    case 4: return encode_freq_sized<Mode, 4>(alphabet, index, lengths, qualities, bases, re);
    case 8: return encode_freq_sized<Mode, 8>(alphabet, index, lengths, qualities, bases, re);
    case 16: return encode_freq_sized<Mode, 16>(alphabet, index, lengths, qualities, bases, re);
    case 32: return encode_freq_sized<Mode, 32>(alphabet, index, lengths, qualities, bases, re);
    case 64: return encode_freq_sized<Mode, 64>(alphabet, index, lengths, qualities, bases, re);
    default: return encode_freq_sized<Mode, 94>(alphabet, index, lengths, qualities, bases, re);
  }
}

}  // namespace

}  // namespace quality

Result<std::vector<uint8_t>> encode_quality_stream(std::span<const uint32_t> lengths,
                                                   std::span<const uint8_t> qualities,
                                                   std::optional<std::span<const uint8_t>> bases,
                                                   const QualityEncodeOptions& options) {
  using namespace quality;
  const QualityContextMode mode = options.mode;
  if (is_chunked(mode)) return not_yet_implemented("chunked quality encoding (context modes 5 and 6)");
  if (!is_known_mode(static_cast<uint8_t>(mode))) return unsupported_mode(static_cast<uint8_t>(mode));

  uint64_t total = 0;
  for (const uint32_t len : lengths) total += len;  // at most 2^32 * 2^32 per length list: no overflow
  if (total != qualities.size()) return length_mismatch(total, qualities.size());
  if (total > kMaxQualityTotal) return malformed("declared total length exceeds maximum");
  const bool with_bases = mode != QualityContextMode::Position;
  if (with_bases && (!bases || bases->size() != total)) {
    return malformed("sequence context requires the decoded sequence");
  }

  std::vector<uint8_t> binned;
  if (options.binning != QualityBinning::Lossless) {
    binned.assign(qualities.begin(), qualities.end());
    bin_qualities(options.binning, binned);
    qualities = binned;
  }

  ZARV_ASSIGN(const std::vector<uint8_t> alphabet_bytes, choose_alphabet(qualities, options.alphabet));
  const Alphabet alphabet = Alphabet::from(alphabet_bytes);
  std::array<uint16_t, 256> index;
  index.fill(kNoIndex);
  for (uint32_t k = alphabet.n; k-- > 0;) index[alphabet.symbols[k]] = static_cast<uint16_t>(k);  // first entry wins
  for (const uint8_t c : qualities) {
    if (index[c] == kNoIndex) return malformed("quality byte outside the given alphabet");
  }

  std::vector<uint8_t> quantizer_bytes;
  if (uses_stored_quantizers(mode)) {
    quantizer_bytes = options.quantizers.empty() ? rank_quantizers(alphabet.n) : options.quantizers;
    if (quantizer_bytes.size() != 2 * size_t{alphabet.n}) {
      return malformed("quantizer table needs two bytes per alphabet entry");
    }
  }

  std::vector<uint8_t> out = {kStreamVersion, static_cast<uint8_t>(options.binning), static_cast<uint8_t>(mode),
                              static_cast<uint8_t>(alphabet.n)};
  out.reserve(out.size() + alphabet_bytes.size() + quantizer_bytes.size() + 16 + total / 2);
  out.insert(out.end(), alphabet_bytes.begin(), alphabet_bytes.end());
  out.insert(out.end(), quantizer_bytes.begin(), quantizer_bytes.end());
  write_length_list(out, lengths);
  if (total == 0) return out;

  const std::span<const uint8_t> seq = with_bases ? *bases : std::span<const uint8_t>{};
  RangeEncoder re(out);
  if (is_mixing(mode)) {
    ZARV_ASSIGN(MixingModel model, MixingModel::create(alphabet.n, total));
    const Quantizers q = uses_stored_quantizers(mode) ? Quantizers::stored(alphabet, quantizer_bytes)
                                                      : Quantizers::fixed();
    model.with_bits([&](auto width) {
      constexpr unsigned B = decltype(width)::value;
      walk_mixing_contexts(lengths, seq, total, alphabet, q,
                           [&](const MixingContexts& c, const MixingLookahead& ahead, uint64_t pos) {
                             const uint32_t s = index[qualities[pos]];
                             model.encode_fixed<B>(re, c.c1, c.c2, hash_context(c.c3), &ahead, s);
                             return s;
                           });
    });
  } else if (mode == QualityContextMode::Position) {
    ZARV_TRY(encode_freq<QualityContextMode::Position>(alphabet, index, lengths, qualities, seq, re));
  } else {
    ZARV_TRY(encode_freq<QualityContextMode::Bases>(alphabet, index, lengths, qualities, seq, re));
  }
  re.finish();
  return out;
}

}  // namespace zarv
