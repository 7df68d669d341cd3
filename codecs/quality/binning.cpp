// Quality binning tables and mode names.
#include "codecs/quality/binning.hpp"

namespace zarv {

namespace {

struct Bin {
  uint8_t first_score;  // bin covers [first_score, next bin's first_score)
  uint8_t representative;
};

// A table of bins in rising score order; the last bin runs to score 255.
template <size_t K>
constexpr std::array<uint8_t, 256> make_table(const std::array<Bin, K>& bins) {
  std::array<uint8_t, 256> table{};
  for (unsigned c = 0; c < 256; ++c) {
    // Bytes below '!' count as score 0: they are not quality characters, and
    // clamping keeps every binned byte printable.
    const unsigned score = c < 33 ? 0 : c - 33;
    uint8_t rep = bins[0].representative;
    for (const Bin& b : bins) {
      if (score >= b.first_score) rep = b.representative;
    }
    table[c] = static_cast<uint8_t>(rep + 33);
  }
  return table;
}

constexpr std::array<uint8_t, 256> make_identity() {
  std::array<uint8_t, 256> table{};
  for (unsigned c = 0; c < 256; ++c) table[c] = static_cast<uint8_t>(c);
  return table;
}

constexpr std::array<std::array<uint8_t, 256>, 6> kTables = {
    make_identity(),
    make_table(std::array<Bin, 9>{{{0, 0}, {1, 1}, {2, 6}, {10, 15}, {20, 22}, {25, 27}, {30, 33}, {35, 37}, {40, 40}}}),
    make_table(std::array<Bin, 4>{{{0, 2}, {3, 12}, {18, 24}, {30, 40}}}),
    make_table(std::array<Bin, 2>{{{0, 15}, {25, 37}}}),
    make_table(std::array<Bin, 4>{{{0, 3}, {7, 10}, {14, 18}, {26, 35}}}),
    make_table(std::array<Bin, 5>{{{0, 3}, {7, 10}, {14, 18}, {26, 35}, {93, 93}}}),
};

constexpr std::array<std::string_view, 6> kNames = {"lossless", "bin8", "bin4", "bin2", "ont", "hifi"};

}  // namespace

std::optional<QualityBinning> quality_binning_from_tag(uint8_t tag) {
  if (tag > kMaxQualityBinningTag) return std::nullopt;
  return static_cast<QualityBinning>(tag);
}

std::string_view quality_binning_name(QualityBinning mode) { return kNames[static_cast<uint8_t>(mode)]; }

std::optional<QualityBinning> parse_quality_binning(std::string_view text) {
  // No name is longer than 8 characters; longer text cannot match.
  if (text.size() > 8) return std::nullopt;
  char lower[8];
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    lower[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  const std::string_view folded(lower, text.size());
  if (folded == "none") return QualityBinning::Lossless;
  for (uint8_t tag = 0; tag <= kMaxQualityBinningTag; ++tag) {
    if (folded == kNames[tag]) return static_cast<QualityBinning>(tag);
  }
  return std::nullopt;
}

std::string unknown_quality_binning_message(std::string_view rendered_name) {
  std::string msg = "unknown quality_binning ";
  msg += rendered_name;
  msg += "; expected lossless, bin8, bin4, bin2, ont, or hifi";
  return msg;
}

const std::array<uint8_t, 256>& quality_binning_table(QualityBinning mode) {
  return kTables[static_cast<uint8_t>(mode)];
}

void bin_qualities(QualityBinning mode, std::span<uint8_t> qualities) {
  if (mode == QualityBinning::Lossless) return;
  const auto& table = quality_binning_table(mode);
  for (uint8_t& c : qualities) c = table[c];
}

}  // namespace zarv
