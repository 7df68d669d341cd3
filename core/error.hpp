// ArchiveError: the one error value of the container and of every codec.
//
// An error is a kind plus, depending on the kind, a fixed detail text and up to
// two integers. Nested codec kinds (Names, Sequence, Quality, ...) carry their
// complete message in `text`, formatted once by the codec that raised it; the
// container kinds are formatted by message() at the Python edge.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace zarv {

enum class ErrorKind : uint8_t {
  Io,
  BadMagic,
  UnsupportedVersion,
  UnsupportedFeatures,
  UnsupportedCriticalExtension,
  UnsupportedHeaderFlags,
  UnsupportedCodec,
  Truncated,
  Corrupt,
  Malformed,
  InvalidFastq,
  Names,
  Sequence,
  Quality,
  Clustered,
  LrOverlap,
  Rans,
  Crypto,
  PassphraseRequired,
  UnsupportedEncryptionVersion,
  ProjectionOnEncrypted,
  Estimate,  // estimation failures outside the codecs; `text` is the message
};

struct ArchiveError {
  ErrorKind kind = ErrorKind::Malformed;
  // Io: the OS error text. Corrupt: section name. Malformed: detail.
  // UnsupportedCodec: stream name. Nested codec kinds: the full message.
  std::string text;
  uint64_t a = 0;  // first value (version major, feature bits, tag, ...)
  uint64_t b = 0;  // second value (version minor, method, ...)
  int os_errno = 0;  // Io only: errno when the failure came from the OS, else 0

  // The message exactly as the module raises it.
  std::string message() const;

  // Constructors for every kind, named after the kind.
  static ArchiveError io(std::string text, int err = 0) {
    return {ErrorKind::Io, std::move(text), 0, 0, err};
  }
  static ArchiveError bad_magic() { return {ErrorKind::BadMagic, {}, 0, 0, 0}; }
  static ArchiveError unsupported_version(uint8_t major, uint8_t minor) {
    return {ErrorKind::UnsupportedVersion, {}, major, minor, 0};
  }
  static ArchiveError unsupported_features(uint64_t bits) {
    return {ErrorKind::UnsupportedFeatures, {}, bits, 0, 0};
  }
  static ArchiveError unsupported_critical_extension(uint8_t tag) {
    return {ErrorKind::UnsupportedCriticalExtension, {}, tag, 0, 0};
  }
  static ArchiveError unsupported_header_flags(uint8_t bits) {
    return {ErrorKind::UnsupportedHeaderFlags, {}, bits, 0, 0};
  }
  static ArchiveError unsupported_codec(std::string stream, uint8_t method) {
    return {ErrorKind::UnsupportedCodec, std::move(stream), method, 0, 0};
  }
  static ArchiveError truncated() { return {ErrorKind::Truncated, {}, 0, 0, 0}; }
  static ArchiveError corrupt(std::string section) {
    return {ErrorKind::Corrupt, std::move(section), 0, 0, 0};
  }
  static ArchiveError malformed(std::string detail) {
    return {ErrorKind::Malformed, std::move(detail), 0, 0, 0};
  }
  static ArchiveError invalid_fastq(uint64_t seq_len, uint64_t qual_len) {
    return {ErrorKind::InvalidFastq, {}, seq_len, qual_len, 0};
  }
  // A nested codec error whose message is already complete.
  static ArchiveError nested(ErrorKind kind, std::string full_message) {
    return {kind, std::move(full_message), 0, 0, 0};
  }
  static ArchiveError passphrase_required() {
    return {ErrorKind::PassphraseRequired, {}, 0, 0, 0};
  }
  static ArchiveError unsupported_encryption_version(uint8_t v) {
    return {ErrorKind::UnsupportedEncryptionVersion, {}, v, 0, 0};
  }
  static ArchiveError projection_on_encrypted() {
    return {ErrorKind::ProjectionOnEncrypted, {}, 0, 0, 0};
  }
};

// Shared stream primitives (byte cursor, varints, length lists) report a bare
// detail text such as "varint too long"; the codec that owns the stream turns it
// into its own error with codec_error().
inline ArchiveError detail(std::string text) { return ArchiveError::malformed(std::move(text)); }

// Re-homes an error raised below a codec: a bare detail (kind Malformed) gets
// the codec's prefix ("malformed name stream: "), a nested codec error (for
// instance a rANS error) keeps its own message. The result has kind `owner`.
inline ArchiveError codec_error(ErrorKind owner, std::string_view prefix, const ArchiveError& inner) {
  if (inner.kind == ErrorKind::Malformed) {
    return ArchiveError::nested(owner, std::string(prefix) + inner.text);
  }
  return ArchiveError::nested(owner, inner.message());
}

// Formats `value` as lower-case hexadecimal with a "0x" prefix.
std::string hex(uint64_t value);

}  // namespace zarv
