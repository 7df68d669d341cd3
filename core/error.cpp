// Messages of ArchiveError, exactly as the Python module raises them.
#include "core/error.hpp"

#include <cstdio>

namespace zarv {

std::string hex(uint64_t value) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(value));
  return buf;
}

std::string ArchiveError::message() const {
  switch (kind) {
    case ErrorKind::Io:
      return text;
    case ErrorKind::BadMagic:
      return "not an zarv container (bad magic)";
    case ErrorKind::UnsupportedVersion:
      return "unsupported zarv format version " + std::to_string(a) + "." + std::to_string(b) +
             " (this build reads 1.x)";
    case ErrorKind::UnsupportedFeatures:
      return "zarv archive requires unsupported features (bits " + hex(a) + "); upgrade zarv";
    case ErrorKind::UnsupportedCriticalExtension:
      return "zarv archive has an unsupported critical header extension (tag " + hex(a) +
             "); upgrade zarv";
    case ErrorKind::UnsupportedHeaderFlags:
      return "zarv archive uses unsupported header flags (bits " + hex(a) + "); upgrade zarv";
    case ErrorKind::UnsupportedCodec:
      return "unsupported zarv " + text + " codec method " + std::to_string(a) + "; upgrade zarv";
    case ErrorKind::Truncated:
      return "truncated zarv stream";
    case ErrorKind::Corrupt:
      return "corrupted zarv data: " + text + " (crc mismatch)";
    case ErrorKind::Malformed:
      return "malformed zarv block: " + text;
    case ErrorKind::InvalidFastq:
      return "invalid FASTQ: sequence length " + std::to_string(a) + " but quality length " +
             std::to_string(b) + " (must be equal)";
    case ErrorKind::PassphraseRequired:
      return "archive is encrypted; a passphrase is required";
    case ErrorKind::UnsupportedEncryptionVersion:
      return "zarv archive uses an unsupported encryption scheme version " + std::to_string(a) +
             "; upgrade zarv";
    case ErrorKind::ProjectionOnEncrypted:
      return "column-projection random access is not supported on encrypted archives; decode "
             "the whole archive instead";
    case ErrorKind::Names:
    case ErrorKind::Sequence:
    case ErrorKind::Quality:
    case ErrorKind::Clustered:
    case ErrorKind::LrOverlap:
    case ErrorKind::Rans:
    case ErrorKind::Crypto:
    case ErrorKind::Estimate:
      return text;
  }
  return text;
}

}  // namespace zarv
