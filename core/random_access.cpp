#include "core/random_access.hpp"

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/quality/quality.hpp"
#include "codecs/sequence/sequence.hpp"
#include "core/crc32c.hpp"
#include "core/header.hpp"

namespace zarv {
namespace {

ArchiveError group_out_of_range() { return ArchiveError::malformed("row-group index out of range"); }

// Cuts `bytes` into per-read values by `lengths`.
Result<ColumnValues> split(const std::vector<uint32_t>& lengths, const std::vector<uint8_t>& bytes,
                           ColumnValues out = {}) {
  uint64_t offset = 0;
  const char* base = reinterpret_cast<const char*>(bytes.data());
  out.reserve(out.size() + lengths.size());
  for (uint32_t len : lengths) {
    if (len > bytes.size() - offset) return ArchiveError::malformed("read lengths exceed the decoded column");
    out.emplace_back(base + offset, len);
    offset += len;
  }
  return out;
}

// Reads a stream's coded bytes and checks them against the footer CRC.
Result<std::vector<uint8_t>> fetch_stream(ByteSource& src, const FooterIndex& index, uint64_t group,
                                          StreamKind kind) {
  const StreamLoc& loc = index.groups[group].stream(kind);
  std::vector<uint8_t> coded(loc.length);  // bounded by the footer offset check
  ZARV_TRY(src.seek(loc.offset));
  ZARV_TRY(read_exact(src, coded.data(), coded.size()));
  if (crc32c(coded) != loc.crc) return ArchiveError::corrupt(stream_section(group, kind));
  return coded;
}

}  // namespace

std::string stream_section(uint64_t group, StreamKind kind) {
  return "row group " + std::to_string(group) + " " + stream_display_name(kind) + " stream";
}

Result<FooterIndex> open_random_access(ByteSource& src) {
  ZARV_ASSIGN(ArchiveHeader header, read_header(src));
  if (header.has_flag(kFlagGlobalReorderLayout)) {
    return ArchiveError::malformed("reorder layout has no row-group index; random access is unsupported");
  }
  if (header.encrypted()) return ArchiveError::projection_on_encrypted();
  return read_footer(src, false);
}

Result<std::vector<Record>> read_group(ByteSource& src, const FooterIndex& index, uint64_t group) {
  if (group >= index.groups.size()) return group_out_of_range();
  // The footer's offset is trusted: no magic or payload CRC check here; the
  // content digests still check what is decoded.
  uint8_t frame[kBlockFrameHeaderLen];
  ZARV_TRY(src.seek(index.groups[group].block_offset));
  ZARV_TRY(read_exact(src, frame, sizeof frame));
  const uint64_t len = load_le64(frame + 4);
  if (len > kMaxBlockPayload) return ArchiveError::malformed("block payload length exceeds the maximum");
  ZARV_ASSIGN(uint64_t file_len, src.length());
  if (len > file_len) return ArchiveError::truncated();  // cannot all be there
  std::vector<uint8_t> payload(static_cast<size_t>(len));
  ZARV_TRY(read_exact(src, payload.data(), payload.size()));
  ZARV_ASSIGN(DecodedBlock block, decode_block(payload, StreamSelection::all()));
  return block_to_records(block, StreamSelection::all());
}

Result<ColumnValues> read_column(ByteSource& src, const FooterIndex& index, StreamKind kind,
                                 const std::optional<std::vector<uint64_t>>& groups) {
  std::vector<uint64_t> order;
  if (groups) {
    for (uint64_t g : *groups) {
      if (g >= index.groups.size()) return group_out_of_range();
    }
    order = *groups;
  } else {
    order.resize(index.groups.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  }
  ColumnValues out;
  for (uint64_t g : order) {
    ZARV_ASSIGN(std::vector<uint8_t> coded, fetch_stream(src, index, g, kind));
    switch (kind) {
      case StreamKind::Names: {
        ZARV_ASSIGN(NameList names, decode_names(coded));
        for (size_t i = 0; i < names.size(); ++i) out.emplace_back(names.view(i));
        break;
      }
      case StreamKind::Sequence: {
        ZARV_ASSIGN(DecodedColumn col, decode_sequence_stream(coded, nullptr));
        ZARV_ASSIGN(out, split(col.lengths, col.bases, std::move(out)));
        break;
      }
      case StreamKind::Quality: {
        std::optional<std::span<const uint8_t>> bases;
        DecodedColumn seq;
        if (quality_coded_against_sequence(coded)) {
          ZARV_ASSIGN(std::vector<uint8_t> seq_coded, fetch_stream(src, index, g, StreamKind::Sequence));
          ZARV_ASSIGN(seq, decode_sequence_stream(seq_coded, nullptr));
          bases = std::span<const uint8_t>(seq.bases);
        }
        ZARV_ASSIGN(DecodedQualities q, decode_quality_stream(coded, bases));
        ZARV_ASSIGN(out, split(q.lengths, q.qualities, std::move(out)));
        break;
      }
    }
  }
  return out;
}

Result<ColumnValues> decode_names_column(std::span<const uint8_t> coded) {
  ZARV_ASSIGN(NameList names, decode_names(coded));
  ColumnValues out;
  out.reserve(names.size());
  for (size_t i = 0; i < names.size(); ++i) out.emplace_back(names.view(i));
  return out;
}

Result<ColumnValues> decode_sequences_column(std::span<const uint8_t> coded) {
  ZARV_ASSIGN(DecodedColumn col, decode_sequence_stream(coded, nullptr));
  return split(col.lengths, col.bases);
}

Result<ColumnValues> decode_qualities_column(std::span<const uint8_t> coded, std::span<const uint8_t> bases) {
  ZARV_ASSIGN(DecodedQualities q, decode_quality_stream(coded, bases));
  return split(q.lengths, q.qualities);
}

}  // namespace zarv
