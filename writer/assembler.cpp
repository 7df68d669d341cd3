#include "writer/assembler.hpp"

#include "codecs/entropy/byte_cursor.hpp"
#include "core/crc32c.hpp"

namespace zarv::writer {

Bytes build_header(const HeaderSpec& layout) {
  Bytes region;
  if (layout.raw_extension_region) {
    region = *layout.raw_extension_region;
  } else {
    for (const ExtensionRecord& r : layout.extensions) {
      region.push_back(r.tag);
      put_le16(region, static_cast<uint16_t>(r.body.size()));
      region.insert(region.end(), r.body.begin(), r.body.end());
    }
  }
  Bytes out(layout.magic.begin(), layout.magic.end());
  out.push_back(layout.major);
  out.push_back(layout.minor);
  put_le64(out, layout.required_features);
  out.push_back(layout.seq_order);
  out.push_back(layout.quality_binning);
  out.push_back(layout.flags);
  out.push_back(layout.group_size);
  out.push_back(layout.platform);
  put_le16(out, static_cast<uint16_t>(region.size()));
  out.insert(out.end(), region.begin(), region.end());
  put_le32(out, layout.crc.value_or(crc32c(out)));
  return out;
}

Bytes member_labels_body(const std::vector<std::string>& labels, std::optional<uint8_t> count) {
  Bytes body;
  body.push_back(count.value_or(static_cast<uint8_t>(labels.size())));
  for (const std::string& l : labels) {
    body.push_back(static_cast<uint8_t>(l.size()));
    body.insert(body.end(), l.begin(), l.end());
  }
  return body;
}

void append_block_frame(Bytes& out, std::span<const uint8_t> payload, std::optional<uint32_t> crc,
                        std::optional<uint64_t> length) {
  out.insert(out.end(), {'Z', 'A', 'R', 'B'});
  put_le64(out, length.value_or(payload.size()));
  put_le32(out, crc.value_or(crc32c(payload)));
  out.insert(out.end(), payload.begin(), payload.end());
}

void append_end_frame(Bytes& out) {
  out.insert(out.end(), {'Z', 'A', 'R', 'B'});
  put_le64(out, 0);
  put_le32(out, 0);
}

GroupLoc locate_streams(uint64_t block_offset, std::span<const uint8_t> payload) {
  GroupLoc g;
  g.block_offset = block_offset;
  for (auto& s : g.streams) s.offset = block_offset;
  if (payload.size() < 28) return g;
  size_t pos = 28;  // three digests and the read count
  std::array<StreamLoc, kStreamCount> found{};
  for (int s = 0; s < kStreamCount; ++s) {
    if (payload.size() - pos < 4) return g;
    uint32_t len = load_le32(&payload[pos]);
    pos += 4;
    if (payload.size() - pos < len) return g;
    found[s] = {block_offset + 16 + pos, len, crc32c(payload.subspan(pos, len))};
    pos += len;
  }
  g.streams = found;
  return g;
}

void append_footer(Bytes& archive, const FooterSpec& layout) {
  const uint64_t f = layout.footer_offset.value_or(archive.size());
  const size_t body_start = archive.size();
  put_le32(archive, layout.group_count.value_or(static_cast<uint32_t>(layout.groups.size())));
  append_footer_entries(archive, layout.groups);
  put_le64(archive, layout.total_reads);
  put_le32(archive, layout.whole_file_crc.value_or(crc32c(archive)));
  if (layout.tag) archive.insert(archive.end(), layout.tag->begin(), layout.tag->end());
  std::span<const uint8_t> body(archive.data() + body_start, archive.size() - body_start);
  put_le32(archive, layout.footer_crc.value_or(crc32c(body)));
  put_le64(archive, f);
  archive.insert(archive.end(), {'Z', 'A', 'R', 'F'});
}

Bytes assemble_archive(const HeaderSpec& header, const std::vector<RawBlock>& blocks, bool end_frame) {
  Bytes out = build_header(header);
  FooterSpec footer;
  for (const RawBlock& b : blocks) {
    GroupLoc g = locate_streams(out.size(), b.payload);
    g.read_count = b.reads;
    footer.groups.push_back(g);
    footer.total_reads += b.reads;
    append_block_frame(out, b.payload);
  }
  if (end_frame) append_end_frame(out);
  append_footer(out, footer);
  return out;
}

}  // namespace zarv::writer
