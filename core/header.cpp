#include "core/header.hpp"

#include <cstring>

#include "codecs/entropy/byte_cursor.hpp"
#include "core/crc32c.hpp"

namespace zarv {

Platform platform_from_code(uint8_t code) {
  return code <= 4 ? static_cast<Platform>(code) : Platform::Unknown;
}

const char* platform_long_name(Platform p) {
  switch (p) {
    case Platform::Illumina: return "Illumina";
    case Platform::Nanopore: return "Oxford Nanopore";
    case Platform::PacBio: return "PacBio";
    case Platform::MgiBgi: return "MGI/BGI";
    case Platform::Unknown: break;
  }
  return "unknown";
}

const char* platform_short_name(Platform p) {
  switch (p) {
    case Platform::Illumina: return "illumina";
    case Platform::Nanopore: return "nanopore";
    case Platform::PacBio: return "pacbio";
    case Platform::MgiBgi: return "mgi";
    case Platform::Unknown: break;
  }
  return "unknown";
}

namespace {

bool valid_utf8(std::span<const uint8_t> s) {
  size_t i = 0;
  while (i < s.size()) {
    uint8_t c = s[i];
    size_t n;
    uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { n = 1; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { n = 2; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { n = 3; cp = c & 0x07; }
    else return false;
    for (size_t k = 1; k <= n; ++k) {
      if (i + k >= s.size() || (s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    // Reject overlong forms, surrogates and values past U+10FFFF.
    static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return false;
    i += n + 1;
  }
  return true;
}

// One member-label record body: the labels, or none when anything is off.
std::vector<std::string> parse_member_labels(std::span<const uint8_t> body, uint8_t group_size) {
  if (body.empty() || body[0] != group_size) return {};
  std::vector<std::string> labels;
  size_t pos = 1;
  while (labels.size() < group_size) {
    if (pos >= body.size()) return {};
    size_t len = body[pos++];
    if (len < 1 || len > 15 || len > body.size() - pos) return {};
    auto label = body.subspan(pos, len);
    if (!valid_utf8(label)) return {};
    labels.emplace_back(reinterpret_cast<const char*>(label.data()), len);
    pos += len;
  }
  return labels;
}

}  // namespace

Result<HeaderExtensions> parse_extensions(std::span<const uint8_t> region, uint8_t group_size) {
  HeaderExtensions ext;
  size_t pos = 0;
  while (pos < region.size()) {
    size_t left = region.size() - pos;
    if (left < 3) return ArchiveError::malformed("truncated header extension record");
    uint8_t tag = region[pos];
    size_t len = load_le16(&region[pos + 1]);
    if (len + 3 > left) return ArchiveError::malformed("header extension record overruns region");
    auto body = region.subspan(pos + 3, len);
    pos += 3 + len;
    if (tag == kExtMemberLabels) {
      ext.member_labels = parse_member_labels(body, group_size);
    } else if (tag == kExtEncryption) {
      if (len != kEncryptionParamsLen) {
        return ArchiveError::malformed("encryption header extension has the wrong length");
      }
      if (body[0] != 1) return ArchiveError::unsupported_encryption_version(body[0]);
      EncryptionParams params;
      std::memcpy(params.data(), body.data(), kEncryptionParamsLen);
      ext.encryption = params;
    } else if (tag & kExtCritical) {
      return ArchiveError::unsupported_critical_extension(tag);
    }
  }
  return ext;
}

Result<ArchiveHeader> read_header(ByteSource& src) {
  uint8_t fixed[kHeaderFixedLen];
  ZARV_TRY(read_exact(src, fixed, sizeof fixed));
  if (std::memcmp(fixed, kHeaderMagic, 4) != 0) return ArchiveError::bad_magic();
  ArchiveHeader h;
  h.major = fixed[4];
  h.minor = fixed[5];
  if (h.major != kSupportedMajor) return ArchiveError::unsupported_version(h.major, h.minor);
  h.required_features = load_le64(&fixed[6]);
  uint64_t unknown = h.required_features & ~(kFeatureBase | kFeatureEncrypted);
  if (unknown) return ArchiveError::unsupported_features(unknown);
  h.seq_order = fixed[14];
  h.quality_binning = fixed[15];
  h.flags = fixed[16];
  h.group_size = fixed[17] ? fixed[17] : 1;
  h.platform = fixed[18];
  size_t ext_len = load_le16(&fixed[19]);

  // At most 64 KiB + 4: bounded by the u16 length field.
  std::vector<uint8_t> rest(ext_len + 4);
  ZARV_TRY(read_exact(src, rest.data(), rest.size()));
  std::span<const uint8_t> region(rest.data(), ext_len);
  uint32_t stored = load_le32(&rest[ext_len]);
  uint32_t crc = crc32c_update(crc32c({fixed, sizeof fixed}), region);
  if (crc != stored) return ArchiveError::corrupt("header");
  if (h.flags & kFlagsUnknown) return ArchiveError::unsupported_header_flags(h.flags & kFlagsUnknown);

  ZARV_ASSIGN(HeaderExtensions ext, parse_extensions(region, h.group_size));
  if (h.encrypted() != ext.encryption.has_value()) {
    return ArchiveError::malformed("encryption feature bit and header extension disagree");
  }
  h.member_labels = std::move(ext.member_labels);
  h.encryption = ext.encryption;
  h.header_len = kMinHeaderLen + ext_len;
  return h;
}

}  // namespace zarv
