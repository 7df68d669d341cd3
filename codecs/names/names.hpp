// Read-name codec: the tokenising coder of the names column and the small name
// template that regenerates names from a counter.
//
// Every name is split into tokens (maximal runs of ASCII digits and of other
// bytes); each token is coded against the token at the same position of the
// previous name as MATCH, STRING, NUMBER or DELTA. Token positions 0..62 each
// have a column of their own, position 63 and beyond share column 63. The op
// codes of a column are run-length coded and every kind of data is a separate
// rANS block.
//
// Errors have kind ErrorKind::Names and the full text "malformed name stream:
// <detail>"; a failing rANS block inside a name stream keeps its own message
// ("malformed rANS stream: ...").
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/result.hpp"

namespace zarv {

// The decoded names of one row group: all names concatenated in order, plus
// N + 1 offsets so that name i is bytes[offsets[i], offsets[i + 1]). Decoding
// builds these two buffers only (no allocation per name); use view()/span() to
// look at a name and to_strings() when owned strings are wanted.
struct NameList {
  std::vector<uint8_t> bytes;
  std::vector<uint64_t> offsets{0};  // always size() + 1 entries, offsets[0] == 0

  size_t size() const { return offsets.size() - 1; }
  bool empty() const { return size() == 0; }
  std::span<const uint8_t> span(size_t i) const {
    return {bytes.data() + offsets[i], static_cast<size_t>(offsets[i + 1] - offsets[i])};
  }
  std::string_view view(size_t i) const {
    return {reinterpret_cast<const char*>(bytes.data()) + offsets[i],
            static_cast<size_t>(offsets[i + 1] - offsets[i])};
  }
  std::string_view operator[](size_t i) const { return view(i); }
  std::vector<std::string> to_strings() const;

  // Appends one name (used by encoders' callers and by tests).
  void push_back(std::string_view name);
};

// Decodes a coded names stream into its N names, or fails; never returns part
// of a result.
Result<NameList> decode_names(std::span<const uint8_t> coded);

// Codes a list of names as a names stream that decode_names turns back into
// the same names. Never fails. The choice of tokens and ops is fixed, so the
// coded size is the same as that of any other conforming encoder.
std::vector<uint8_t> encode_names(std::span<const std::string_view> names);
std::vector<uint8_t> encode_names(std::span<const std::string> names);
std::vector<uint8_t> encode_names(const NameList& names);

// A name template: literal texts and decimal counters, rendered in order.
struct NameTemplateColumn {
  enum class Kind : uint8_t { Literal = 0, Counter = 1 };
  Kind kind = Kind::Literal;
  std::string literal;  // Literal
  int64_t offset = 0;   // Counter: added to the argument, wrapping
  uint32_t width = 0;   // Counter: minimum width, left-padded with '0' (at most 1024)
};

struct NameTemplate {
  std::vector<NameTemplateColumn> columns;  // at most 64
};

// Parses the template format: varint C (at most 64), then C columns of a tag
// byte (0 literal: varint L and L bytes; 1 counter: zigzag varint offset and
// varint width). Bytes after the last column are ignored.
Result<NameTemplate> parse_name_template(std::span<const uint8_t> bytes);

// The name for counter argument `arg`: literals as stored, each counter as the
// decimal text of offset + arg (wrapping in 64 bits) padded to its width.
std::string render_name(const NameTemplate& tmpl, int64_t arg);
// The same, appended to `out`.
void append_rendered_name(std::string& out, const NameTemplate& tmpl, int64_t arg);

}  // namespace zarv
