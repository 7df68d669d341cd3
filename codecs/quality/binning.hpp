// Quality binning modes: how quality characters are coarsened before coding.
//
// The tag of the mode is byte 1 of every quality stream. Decoding never undoes
// binning (a stream stores the binned characters themselves); the writer and
// the size estimate bin with bin_quality()/bin_qualities().
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zarv {

enum class QualityBinning : uint8_t {
  Lossless = 0,  // characters unchanged
  Bin8 = 1,      // eight levels (plus scores 0 and 1 kept as they are)
  Bin4 = 2,
  Bin2 = 3,
  Ont = 4,   // four levels for nanopore data
  Hifi = 5,  // five levels for high-accuracy long reads
};

inline constexpr uint8_t kMaxQualityBinningTag = 5;
inline constexpr QualityBinning kDefaultQualityBinning = QualityBinning::Lossless;

// The mode of a stored tag, or nothing for a tag above 5.
std::optional<QualityBinning> quality_binning_from_tag(uint8_t tag);

// The canonical name ("lossless", "bin8", ...).
std::string_view quality_binning_name(QualityBinning mode);

// Parses a mode name after folding ASCII A-Z to lower case. Accepts the six
// names and "none" (= lossless); anything else gives nothing.
std::optional<QualityBinning> parse_quality_binning(std::string_view text);

// The value-error text for a name parse_quality_binning() rejected.
// `rendered_name` is the name as the module's debug quoting renders it,
// quotes included (python/frame.hpp debug_quote), so that every argument
// error quotes text the same way.
std::string unknown_quality_binning_message(std::string_view rendered_name);

// The binning of every byte value under `mode`: table[c] is the binned c.
const std::array<uint8_t, 256>& quality_binning_table(QualityBinning mode);

inline uint8_t bin_quality(QualityBinning mode, uint8_t c) { return quality_binning_table(mode)[c]; }

// Bins `qualities` in place.
void bin_qualities(QualityBinning mode, std::span<uint8_t> qualities);

}  // namespace zarv
