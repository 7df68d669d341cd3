// The footer row-group index: per row group the block offset, read count and
// the location and CRC-32C of each coded stream; then total reads, the
// whole-file CRC, an optional authentication tag, the footer CRC, and a 12-byte
// trailer (footer offset + "ZARF").
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <variant>
#include <vector>

#include "core/byte_source.hpp"
#include "core/result.hpp"

namespace zarv {

enum class StreamKind : uint8_t { Names = 0, Sequence = 1, Quality = 2 };
inline constexpr int kStreamCount = 3;
// "Names", "Sequence", "Quality".
const char* stream_display_name(StreamKind k);

inline constexpr uint8_t kFooterMagic[4] = {'Z', 'A', 'R', 'F'};
inline constexpr size_t kTrailerLen = 12;
inline constexpr size_t kFooterEntryLen = 60;
inline constexpr size_t kFooterTagLen = 16;
inline constexpr size_t kPlainFooterFixed = 20;  // count, total reads, file CRC, footer CRC

struct StreamLoc {
  uint64_t offset = 0;
  uint32_t length = 0;
  uint32_t crc = 0;
};

struct GroupLoc {
  uint64_t block_offset = 0;
  uint32_t read_count = 0;
  std::array<StreamLoc, kStreamCount> streams{};
  const StreamLoc& stream(StreamKind k) const { return streams[static_cast<int>(k)]; }
};

struct FooterIndex {
  std::vector<GroupLoc> groups;
  uint64_t total_reads = 0;
  uint32_t whole_file_crc = 0;
  uint64_t crc_covered_len = 0;  // bytes from the file start the whole-file CRC covers
  uint64_t footer_offset = 0;
  bool encrypted = false;
  std::optional<std::array<uint8_t, kFooterTagLen>> tag;
};

// Appends the 60-byte entries of `groups` in their on-disk layout.
void append_footer_entries(std::vector<uint8_t>& out, std::span<const GroupLoc> groups);

// Parses a footer body (the bytes from the footer offset up to the trailer).
Result<FooterIndex> parse_footer_body(std::span<const uint8_t> body, uint64_t footer_offset,
                                      bool encrypted);

// Reads the footer of a seekable source (file or memory).
Result<FooterIndex> read_footer(ByteSource& src, bool encrypted);

// Parses the footer from the archive's last suffix.size() bytes, without I/O:
// the index, or the number of trailing bytes needed to parse it.
using SuffixParse = std::variant<FooterIndex, uint64_t>;
Result<SuffixParse> parse_index_suffix(std::span<const uint8_t> suffix, uint64_t file_len);

}  // namespace zarv
