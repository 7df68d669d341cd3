// Archive metadata from the header and footer index, without payload decoding.
#pragma once

#include <cstdint>
#include <optional>

#include "core/byte_source.hpp"
#include "core/footer.hpp"
#include "core/header.hpp"

namespace zarv {

struct ArchiveInfo {
  ArchiveHeader header;
  uint64_t reads = 0;
  uint64_t blocks = 0;
  uint64_t names_bytes = 0;     // 0 for an encrypted archive
  uint64_t sequence_bytes = 0;  // 0 for an encrypted archive
  uint64_t quality_bytes = 0;   // 0 for an encrypted archive
  uint64_t encrypted_bytes = 0; // ciphertext extents; 0 for a plain archive
  std::optional<uint32_t> whole_file_crc;  // absent for the globally-reordered layout
};

// The source must be seekable (memory or file).
Result<ArchiveInfo> inspect_archive(ByteSource& src);

}  // namespace zarv
