#include "core/inspect.hpp"

namespace zarv {

Result<ArchiveInfo> inspect_archive(ByteSource& src) {
  ArchiveInfo info;
  ZARV_ASSIGN(info.header, read_header(src));
  if (info.header.has_flag(kFlagGlobalReorderLayout)) {
    // This layout has no footer; its figures come from walking its sections,
    // which this build does not read yet.
    return ArchiveError::malformed("globally-reordered layout is not supported by this build");
  }
  ZARV_ASSIGN(FooterIndex footer, read_footer(src, info.header.encrypted()));
  info.reads = footer.total_reads;
  info.blocks = footer.groups.size();
  info.whole_file_crc = footer.whole_file_crc;
  for (const GroupLoc& g : footer.groups) {
    if (footer.encrypted) {
      // A sealed block's ciphertext extent sits in the first stream slot.
      info.encrypted_bytes += g.streams[0].length;
    } else {
      info.names_bytes += g.stream(StreamKind::Names).length;
      info.sequence_bytes += g.stream(StreamKind::Sequence).length;
      info.quality_bytes += g.stream(StreamKind::Quality).length;
    }
  }
  return info;
}

}  // namespace zarv
