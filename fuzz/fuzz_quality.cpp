// Fuzz target of the quality stream decoder and encoder.
//
// The low bit of the first byte picks a mode:
//   0: the rest is a coded quality stream. It is decoded without bases and
//      with bases exactly as long as its declared total; mode 0 must give the
//      same outcome both ways, every other mode must refuse the call without
//      bases. Whatever decodes must have the declared lengths, use only the
//      alphabet, and survive a round trip through the encoder; the generic
//      model code must give the same outcome as the vector paths.
//   1: the rest describes a column (mode, binning, alphabet width, reads,
//      qualities, bases), which must survive an encode and decode round trip.
// Declared totals and read counts are capped at 64 Ki to keep each run short;
// larger declarations must be refused by those bounds before any allocation.
#include <algorithm>
#include <cstdlib>
#include <optional>
#include <vector>

#include "codecs/entropy/cpu_features.hpp"
#include "codecs/quality/quality.hpp"
#include "codecs/quality/quality_model.hpp"
#include "fuzz/fuzz_target.hpp"

namespace {

// Bounds of one run: 64 Ki qualities and 64 Ki reads.
zarv::QualityDecodeLimits limits() {
  zarv::QualityDecodeLimits l;
  l.max_total = 1 << 16;
  l.max_reads = 1 << 16;
  return l;
}

using Bytes = std::vector<uint8_t>;

bool same_outcome(const zarv::Result<zarv::DecodedQualities>& a, const zarv::Result<zarv::DecodedQualities>& b) {
  if (a.ok() != b.ok()) return false;
  if (!a.ok()) return a.error().message() == b.error().message();
  return a->lengths == b->lengths && a->qualities == b->qualities;
}

void decode_stream(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> coded(data, size);
  auto plain = zarv::decode_quality_stream(coded, std::nullopt, limits());
  auto header = zarv::quality::parse_stream_header(coded, limits());
  if (!header.ok()) {
    // The header is the first thing the decoder reads: same failure.
    if (plain.ok() || plain.error().message() != header.error().message()) std::abort();
    return;
  }
  Bytes bases(header->total);
  for (size_t i = 0; i < bases.size(); ++i) bases[i] = "ACGTNacgt\x00"[data[i % size] % 10];
  auto with = zarv::decode_quality_stream(coded, std::span<const uint8_t>(bases), limits());
  // The generic model rows must agree with the vector ones.
  zarv::set_cpu_feature_mask_for_testing(0);
  auto generic = zarv::decode_quality_stream(coded, std::span<const uint8_t>(bases), limits());
  zarv::set_cpu_feature_mask_for_testing(~0u);
  if (!same_outcome(with, generic)) std::abort();
  const bool needs = zarv::quality_needs_sequence(coded);
  if (needs ? plain.ok() : !same_outcome(plain, with)) std::abort();
  if (!with.ok()) return;

  const auto& h = header.value();
  if (with->lengths != h.lengths || with->qualities.size() != h.total) std::abort();
  const Bytes alphabet(h.alphabet.symbols.begin(), h.alphabet.symbols.begin() + h.alphabet.n);
  for (uint8_t q : with->qualities) {
    if (std::find(alphabet.begin(), alphabet.end(), q) == alphabet.end()) std::abort();
  }
  if (zarv::quality::is_chunked(h.mode)) return;
  zarv::QualityEncodeOptions opts;
  opts.mode = h.mode;
  opts.alphabet = alphabet;
  opts.quantizers.assign(h.quantizer_bytes.begin(), h.quantizer_bytes.end());
  auto again = zarv::encode_quality_stream(with->lengths, with->qualities, std::span<const uint8_t>(bases), opts);
  if (!again.ok()) std::abort();
  auto back = zarv::decode_quality_stream(*again, std::span<const uint8_t>(bases), limits());
  if (!same_outcome(with, back)) std::abort();
}

void round_trip(const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  auto next = [&]() -> uint8_t { return p < end ? *p++ : 0; };
  static constexpr uint8_t kModes[] = {0, 1, 3, 4};
  zarv::QualityEncodeOptions opts;
  opts.mode = static_cast<zarv::QualityContextMode>(kModes[next() % 4]);
  opts.binning = static_cast<zarv::QualityBinning>(next() % 6);
  const uint32_t width = 1 + next() % 94;  // qualities take bytes 33 .. 33 + width - 1
  std::vector<uint32_t> lengths(next() % 16);
  for (auto& len : lengths) {
    len = next();
    len |= (next() & 0x0Fu) << 8;  // up to 4095
  }
  Bytes qualities, bases;
  for (uint32_t len : lengths) {
    for (uint32_t i = 0; i < len; ++i) {
      const uint8_t x = next();
      qualities.push_back(static_cast<uint8_t>(33 + x % width));
      bases.push_back("ACGTNacgtX"[(x >> 4) % 10]);
    }
  }
  auto coded = zarv::encode_quality_stream(lengths, qualities, std::span<const uint8_t>(bases), opts);
  if (!coded.ok()) std::abort();
  auto decoded = zarv::decode_quality_stream(*coded, std::span<const uint8_t>(bases));
  zarv::bin_qualities(opts.binning, qualities);
  if (!decoded.ok() || decoded->lengths != lengths || decoded->qualities != qualities) std::abort();
}

}  // namespace

ZARV_FUZZ_TARGET(quality) {
  if (size == 0) {
    decode_stream(data, 0);
    return 0;
  }
  if (data[0] & 1) {
    round_trip(data + 1, size - 1);
  } else {
    decode_stream(data + 1, size - 1);
  }
  return 0;
}
