// Name templates: literal texts and decimal counters that regenerate every
// name of an archive from its position, used instead of stored names when the
// names follow a pattern.
#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/entropy/varint.hpp"
#include "codecs/names/name_format.hpp"
#include "codecs/names/names.hpp"

namespace zarv {
namespace {

using namespace names;

constexpr uint64_t kMaxTemplateColumns = 64;
constexpr uint64_t kMaxCounterWidth = 1024;

}  // namespace

Result<NameTemplate> parse_name_template(std::span<const uint8_t> bytes) {
  ByteCursor cur(bytes);
  auto count = read_varint(cur);
  if (!count.ok()) return wrap(count.error());
  if (*count > kMaxTemplateColumns) return fail("name template too large");

  NameTemplate tmpl;
  tmpl.columns.reserve(static_cast<size_t>(*count));
  for (uint64_t c = 0; c < *count; ++c) {
    auto tag = cur.u8();
    if (!tag.ok()) return fail("truncated");
    NameTemplateColumn col;
    if (*tag == 0) {
      auto len = read_varint(cur);
      if (!len.ok()) return wrap(len.error());
      auto text = cur.bytes(*len);  // checks the length against the input first
      if (!text.ok()) return fail("truncated");
      col.kind = NameTemplateColumn::Kind::Literal;
      col.literal.assign(reinterpret_cast<const char*>(text->data()), text->size());
    } else if (*tag == 1) {
      auto offset = read_varint(cur);
      if (!offset.ok()) return wrap(offset.error());
      auto width = read_varint(cur);
      if (!width.ok()) return wrap(width.error());
      if (*width > kMaxCounterWidth) return fail("name-template counter pad too large");
      col.kind = NameTemplateColumn::Kind::Counter;
      col.offset = zigzag_decode(*offset);
      col.width = static_cast<uint32_t>(*width);
    } else {
      return fail("bad name-template column tag");
    }
    tmpl.columns.push_back(std::move(col));
  }
  return tmpl;
}

void append_rendered_name(std::string& out, const NameTemplate& tmpl, int64_t arg) {
  uint8_t digits[20];
  for (const NameTemplateColumn& col : tmpl.columns) {
    if (col.kind == NameTemplateColumn::Kind::Literal) {
      out += col.literal;
      continue;
    }
    const int64_t value =
        static_cast<int64_t>(static_cast<uint64_t>(col.offset) + static_cast<uint64_t>(arg));
    const size_t len = write_padded_decimal(digits, value, 0);
    if (col.width > len) out.append(col.width - len, '0');
    out.append(reinterpret_cast<const char*>(digits), len);
  }
}

std::string render_name(const NameTemplate& tmpl, int64_t arg) {
  std::string out;
  append_rendered_name(out, tmpl, arg);
  return out;
}

}  // namespace zarv
