// Whole-file CRC (combined from parallel 1 MiB chunk CRCs) and verification of
// an archive's header, footer, footer tag and whole-file CRC.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/byte_source.hpp"
#include "core/result.hpp"
#include "crypto/secret.hpp"

namespace zarv {

// CRC of A followed by B, from crc(A), crc(B) and len(B).
uint32_t crc32c_combine(uint32_t crc_a, uint32_t crc_b, uint64_t len_b);

inline constexpr uint64_t kCrcChunk = uint64_t{1} << 20;

// CRC-32C of the first `covered` bytes of a seekable source, chunks computed
// on `workers` threads and folded in file order.
Result<uint32_t> whole_file_crc(ByteSource& src, uint64_t covered, unsigned workers);

// Header, footer (and its tag when a passphrase is given), whole-file CRC.
Status verify_archive(ByteSource& src, unsigned workers, const std::optional<SecretString>& passphrase);

}  // namespace zarv
