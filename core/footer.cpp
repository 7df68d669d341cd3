#include "core/footer.hpp"

#include <cstring>
#include <new>

#include "codecs/entropy/byte_cursor.hpp"
#include "core/crc32c.hpp"
#include "core/header.hpp"

namespace zarv {

const char* stream_display_name(StreamKind k) {
  switch (k) {
    case StreamKind::Names: return "Names";
    case StreamKind::Sequence: return "Sequence";
    case StreamKind::Quality: return "Quality";
  }
  return "Names";
}

void append_footer_entries(std::vector<uint8_t>& out, std::span<const GroupLoc> groups) {
  out.reserve(out.size() + kFooterEntryLen * groups.size());
  for (const GroupLoc& g : groups) {
    put_le64(out, g.block_offset);
    put_le32(out, g.read_count);
    for (const StreamLoc& s : g.streams) {
      put_le64(out, s.offset);
      put_le32(out, s.length);
      put_le32(out, s.crc);
    }
  }
}

Result<FooterIndex> parse_footer_body(std::span<const uint8_t> body, uint64_t footer_offset,
                                      bool encrypted) {
  const size_t tag_len = encrypted ? kFooterTagLen : 0;
  if (body.size() < kPlainFooterFixed + tag_len) return ArchiveError::malformed("footer body too short");
  const size_t crc_at = body.size() - 4;
  if (crc32c(body.first(crc_at)) != load_le32(&body[crc_at])) return ArchiveError::corrupt("footer");

  const uint32_t n = load_le32(body.data());
  const size_t core_len = crc_at - tag_len;  // count, entries, total reads, file CRC
  if (core_len != uint64_t{kFooterEntryLen} * n + 16) {
    return ArchiveError::malformed("footer size does not match its row-group count");
  }

  FooterIndex index;
  index.footer_offset = footer_offset;
  index.encrypted = encrypted;
  index.groups.resize(n);  // bounded: n entries were just found in `body`
  const uint8_t* p = body.data() + 4;
  for (uint32_t i = 0; i < n; ++i, p += kFooterEntryLen) {
    GroupLoc& g = index.groups[i];
    g.block_offset = load_le64(p);
    g.read_count = load_le32(p + 8);
    if (g.block_offset < kMinHeaderLen || g.block_offset >= footer_offset) {
      return ArchiveError::malformed("footer row-group offset out of range");
    }
    for (int s = 0; s < kStreamCount; ++s) {
      const uint8_t* e = p + 12 + 16 * s;
      StreamLoc& loc = g.streams[s];
      loc.offset = load_le64(e);
      loc.length = load_le32(e + 8);
      loc.crc = load_le32(e + 12);
      if (loc.offset > UINT64_MAX - loc.length) return ArchiveError::malformed("footer stream offset overflow");
      if (loc.offset < g.block_offset || loc.offset + loc.length > footer_offset) {
        return ArchiveError::malformed("footer stream location out of range");
      }
    }
  }
  index.total_reads = load_le64(p);
  index.whole_file_crc = load_le32(p + 8);
  index.crc_covered_len = footer_offset + body.size() - (encrypted ? 24 : 8);
  if (encrypted) {
    std::array<uint8_t, kFooterTagLen> tag;
    std::memcpy(tag.data(), p + 12, kFooterTagLen);
    index.tag = tag;
  }
  return index;
}

Result<FooterIndex> read_footer(ByteSource& src, bool encrypted) {
  ZARV_ASSIGN(uint64_t len, src.length());
  if (len < kMinHeaderLen + kTrailerLen) return ArchiveError::truncated();
  uint8_t trailer[kTrailerLen];
  ZARV_TRY(src.seek(len - kTrailerLen));
  ZARV_TRY(read_exact(src, trailer, kTrailerLen));
  if (std::memcmp(trailer + 8, kFooterMagic, 4) != 0) {
    return ArchiveError::malformed("missing footer trailer magic");
  }
  const uint64_t f = load_le64(trailer);
  const uint64_t body_end = len - kTrailerLen;
  const uint64_t min_body = kPlainFooterFixed + (encrypted ? kFooterTagLen : 0);
  if (f < kMinHeaderLen || f > body_end || body_end - f < min_body) {
    return ArchiveError::malformed("footer offset out of range");
  }
  const uint64_t body_len = body_end - f;
  std::vector<uint8_t> body;
  try {
    if (body_len > SIZE_MAX) throw std::bad_alloc();
    body.resize(static_cast<size_t>(body_len));
  } catch (const std::bad_alloc&) {
    return ArchiveError::malformed("footer too large to allocate");
  } catch (const std::length_error&) {
    return ArchiveError::malformed("footer too large to allocate");
  }
  ZARV_TRY(src.seek(f));
  ZARV_TRY(read_exact(src, body.data(), body.size()));
  return parse_footer_body(body, f, encrypted);
}

Result<SuffixParse> parse_index_suffix(std::span<const uint8_t> suffix, uint64_t file_len) {
  if (suffix.size() > file_len) return ArchiveError::malformed("suffix longer than the archive");
  if (suffix.size() < kTrailerLen) return SuffixParse{uint64_t{kTrailerLen}};
  const uint8_t* trailer = suffix.data() + suffix.size() - kTrailerLen;
  if (std::memcmp(trailer + 8, kFooterMagic, 4) != 0) {
    return ArchiveError::malformed("missing footer trailer magic");
  }
  const uint64_t f = load_le64(trailer);
  const uint64_t body_end = file_len - kTrailerLen;  // file_len >= 12 here
  if (f < kMinHeaderLen || f > body_end || body_end - f < kPlainFooterFixed) {
    return ArchiveError::malformed("footer offset out of range");
  }
  const uint64_t suffix_start = file_len - suffix.size();
  if (f < suffix_start) return SuffixParse{file_len - f};
  auto body = suffix.subspan(static_cast<size_t>(f - suffix_start),
                             static_cast<size_t>(body_end - f));
  ZARV_ASSIGN(FooterIndex index, parse_footer_body(body, f, false));
  return SuffixParse{std::move(index)};
}

}  // namespace zarv
