// Quality stream: the coded quality column of one row group.
//
// Layout: version byte (2), binning tag, context mode, alphabet size n
// (1..94), the n alphabet bytes, 2n quantizer bytes (modes 4 and 6), the chunk
// table (modes 5 and 6), the read lengths (a LengthList) and the range-coded
// payload. Mode 0 codes each quality against the previous qualities and the
// position in the read; every other mode also conditions on the read's bases,
// so the decoder needs the row group's decoded bases for it.
//
// Errors have kind ErrorKind::Quality and carry their full message:
//   "malformed fqzcomp stream: <detail>"
//   "quality alphabet too large (<n> > 64 symbols)"   (any n outside 1..94)
//   "unsupported quality context mode <m>; this archive needs a newer zarv"
//   "unsupported quality chunk variant <v>; this archive needs a newer zarv"
//   "read lengths (<total>) do not match quality bytes (<count>)"  (encoder input)
//   "not yet implemented: <what>"
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codecs/quality/binning.hpp"
#include "core/result.hpp"

namespace zarv {

// Context modes (byte 2 of the stream).
enum class QualityContextMode : uint8_t {
  Position = 0,          // frequency model, previous qualities + position
  Bases = 1,             // frequency model, previous qualities + bases
  Mixing = 3,            // binary mixing model, fixed quantizers
  MixingQuantized = 4,   // binary mixing model, stored quantizers
  ChunkedMixing = 5,     // mode 3 in parallel chunks
  ChunkedQuantized = 6,  // mode 4 in parallel chunks
};

// Largest declared quality total a stream may carry (2^34 bytes).
inline constexpr uint64_t kMaxQualityTotal = uint64_t{1} << 34;

// A decoded quality column: one length per read and all reads' quality bytes
// concatenated in read order (qualities.size() == sum of lengths).
struct DecodedQualities {
  std::vector<uint32_t> lengths;
  std::vector<uint8_t> qualities;
};

// True when decoding `coded` needs the row group's bases: at least 3 bytes,
// version 2 and a context mode other than 0. Looks at nothing else.
bool quality_needs_sequence(std::span<const uint8_t> coded);

// Bounds a caller may put on a stream's declarations, checked before anything
// is allocated. The defaults are the format's own limits; a caller that knows
// what to expect (the row group's read count, the size of its sequence
// column) can refuse larger declarations outright.
struct QualityDecodeLimits {
  // Declared quality total; above it: "declared total length exceeds
  // maximum". Never more than kMaxQualityTotal.
  uint64_t max_total = kMaxQualityTotal;
  // Declared read count; above it: "length count too large to allocate".
  // The length list itself refuses run-layout counts above 2^28.
  uint64_t max_reads = UINT64_MAX;
};

// Decodes a quality stream. `bases` is the row group's decoded sequence,
// concatenated in read order; modes other than 0 need it to be exactly as long
// as the quality total ("sequence context requires the decoded sequence"),
// mode 0 ignores it. Returns the whole column or an error, never part of one.
Result<DecodedQualities> decode_quality_stream(std::span<const uint8_t> coded,
                                               std::optional<std::span<const uint8_t>> bases,
                                               const QualityDecodeLimits& limits = {});

// What a writer chooses when coding a quality column.
struct QualityEncodeOptions {
  // Applied to the qualities before coding and stored as the stream's tag.
  QualityBinning binning = QualityBinning::Lossless;
  // 0, 1, 3 or 4. The chunked modes 5 and 6 have no encoder yet.
  QualityContextMode mode = QualityContextMode::Position;
  // Alphabet in coding order, entry 0 the base symbol that relative values
  // are taken from; empty: the distinct (binned) quality bytes in rising
  // order, or "!" alone for a column without qualities. Must hold every
  // quality byte; at most 94 entries.
  std::vector<uint8_t> alphabet;
  // Mode 4 only: two bytes per alphabet entry (x, y) giving Q0 = x & 63,
  // Q1 = (y >> 3) & 7, Q2 = y & 3 for that entry's relative value. Empty:
  // spread by rank, as many distinct ranks per field as the field holds.
  std::vector<uint8_t> quantizers;
};

// Codes a quality column that decode_quality_stream() turns back into
// `lengths` and the binned `qualities`. `bases` as for the decoder (required
// by every mode but 0). Fails on inconsistent input: a length total that does
// not match the quality bytes, missing or mismatched bases, a quality byte
// outside a given alphabet, more than 94 distinct bytes, a quantizer list of
// the wrong size, or a mode without an encoder.
Result<std::vector<uint8_t>> encode_quality_stream(std::span<const uint32_t> lengths,
                                                   std::span<const uint8_t> qualities,
                                                   std::optional<std::span<const uint8_t>> bases,
                                                   const QualityEncodeOptions& options = {});

}  // namespace zarv
