// Archive assembler: lays out headers, block frames and footers from parts the
// caller supplies. Test, benchmark and example infrastructure; every field can
// be set, including wrong CRCs and lengths, so damaged archives can be made too.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/footer.hpp"
#include "core/header.hpp"

namespace zarv::writer {

using Bytes = std::vector<uint8_t>;

struct ExtensionRecord {
  uint8_t tag = 0;
  Bytes body;
};

struct HeaderSpec {
  std::array<uint8_t, 4> magic = {'Z', 'A', 'R', 'V'};
  uint8_t major = 1;
  uint8_t minor = 0;
  uint64_t required_features = kFeatureBase;
  uint8_t seq_order = 0;
  uint8_t quality_binning = 0;
  uint8_t flags = 0;
  uint8_t group_size = 1;
  uint8_t platform = 0;
  std::vector<ExtensionRecord> extensions;
  // Replaces the records above verbatim (for malformed regions).
  std::optional<Bytes> raw_extension_region;
  // Stored CRC instead of the correct one.
  std::optional<uint32_t> crc;
};

Bytes build_header(const HeaderSpec& layout);

// Body of a member-labels record: count (the number of labels unless given),
// then length-prefixed labels.
Bytes member_labels_body(const std::vector<std::string>& labels, std::optional<uint8_t> count = {});

// "ZARB", payload length, payload CRC, payload. `length`/`crc` override the
// stored fields.
void append_block_frame(Bytes& out, std::span<const uint8_t> payload,
                        std::optional<uint32_t> crc = {}, std::optional<uint64_t> length = {});
// The zero-length frame that ends the block sequence.
void append_end_frame(Bytes& out);

// Stream locations of a block written at `block_offset` whose (plain) payload
// has the read count / three length-prefixed streams layout. Payloads that do
// not have that layout yield empty streams at the block offset.
GroupLoc locate_streams(uint64_t block_offset, std::span<const uint8_t> payload);

struct FooterSpec {
  std::vector<GroupLoc> groups;
  uint64_t total_reads = 0;
  std::optional<std::array<uint8_t, kFooterTagLen>> tag;  // encrypted archives
  std::optional<uint32_t> whole_file_crc;  // default: the correct CRC
  std::optional<uint32_t> footer_crc;      // default: the correct CRC
  std::optional<uint64_t> footer_offset;   // default: where the body starts
  std::optional<uint32_t> group_count;     // default: groups.size()
};

// Appends footer body and trailer to `archive` (which holds everything before).
void append_footer(Bytes& archive, const FooterSpec& layout);

// A plain archive of raw block payloads: header, frames, optional end frame,
// and a footer indexing every block (read counts given per block).
struct RawBlock {
  Bytes payload;
  uint32_t reads = 0;
};
Bytes assemble_archive(const HeaderSpec& header, const std::vector<RawBlock>& blocks,
                       bool end_frame = false);

}  // namespace zarv::writer
