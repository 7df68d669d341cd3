// The archive header: 21 fixed bytes, extension records, and a CRC-32C of both.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/byte_source.hpp"
#include "core/result.hpp"

namespace zarv {

inline constexpr uint8_t kHeaderMagic[4] = {'Z', 'A', 'R', 'V'};
inline constexpr size_t kHeaderFixedLen = 21;
inline constexpr size_t kMinHeaderLen = 25;  // fixed part + empty extensions + CRC
inline constexpr uint8_t kSupportedMajor = 1;

// required_features bits
inline constexpr uint64_t kFeatureBase = 0x1;
inline constexpr uint64_t kFeatureEncrypted = 0x2;

// header flag bits (byte 16)
inline constexpr uint8_t kFlagPlusNormalized = 0x01;
inline constexpr uint8_t kFlagReordered = 0x02;
inline constexpr uint8_t kFlagKeepOrder = 0x04;
inline constexpr uint8_t kFlagGlobalReorderLayout = 0x08;
inline constexpr uint8_t kFlagRegeneratedNames = 0x10;
inline constexpr uint8_t kFlagHasGlobalReference = 0x20;
inline constexpr uint8_t kFlagsUnknown = 0xC0;

// extension tags
inline constexpr uint8_t kExtMemberLabels = 0x01;
inline constexpr uint8_t kExtEncryption = 0x81;
inline constexpr uint8_t kExtCritical = 0x80;
inline constexpr size_t kEncryptionParamsLen = 42;

using EncryptionParams = std::array<uint8_t, kEncryptionParamsLen>;

enum class Platform : uint8_t { Unknown = 0, Illumina = 1, Nanopore = 2, PacBio = 3, MgiBgi = 4 };

// Codes 5 to 255 read as Unknown.
Platform platform_from_code(uint8_t code);
// "unknown", "Illumina", "Oxford Nanopore", "PacBio", "MGI/BGI".
const char* platform_long_name(Platform p);
// "unknown", "illumina", "nanopore", "pacbio", "mgi".
const char* platform_short_name(Platform p);

struct HeaderExtensions {
  std::vector<std::string> member_labels;
  std::optional<EncryptionParams> encryption;
};

struct ArchiveHeader {
  uint8_t major = 0;
  uint8_t minor = 0;
  uint64_t required_features = 0;
  uint8_t seq_order = 0;
  uint8_t quality_binning = 0;
  uint8_t flags = 0;
  uint8_t group_size = 1;  // at least 1
  uint8_t platform = 0;    // raw byte
  uint64_t header_len = kMinHeaderLen;
  std::vector<std::string> member_labels;
  std::optional<EncryptionParams> encryption;

  bool encrypted() const { return (required_features & kFeatureEncrypted) != 0; }
  bool has_flag(uint8_t f) const { return (flags & f) != 0; }
  // keep_order reads as true whenever the archive is not reordered.
  bool keep_order() const { return !has_flag(kFlagReordered) || has_flag(kFlagKeepOrder); }
  uint16_t format_version() const { return static_cast<uint16_t>((major << 8) | minor); }
};

// Reads exactly the header from a source positioned at the archive start.
Result<ArchiveHeader> read_header(ByteSource& src);

// Parses the extension region for an archive of the given group size.
Result<HeaderExtensions> parse_extensions(std::span<const uint8_t> region, uint8_t group_size);

}  // namespace zarv
