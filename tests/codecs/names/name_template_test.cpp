// Name templates: parsing, rendering and every parse failure.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "codecs/names/names.hpp"
#include "tests/codecs/names/name_stream_builder.hpp"

namespace zarv {
namespace {

using namespace names_test;

uint64_t zigzag(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }

void literal(Bytes& out, std::string_view s) {
  out.push_back(0);
  write_varint(out, s.size());
  out.insert(out.end(), s.begin(), s.end());
}

void counter(Bytes& out, int64_t offset, uint64_t width) {
  out.push_back(1);
  write_varint(out, zigzag(offset));
  write_varint(out, width);
}

NameTemplate parse_ok(const Bytes& bytes) {
  auto r = parse_name_template(bytes);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? std::move(r).value() : NameTemplate{};
}

std::string parse_error(const Bytes& bytes) {
  auto r = parse_name_template(bytes);
  EXPECT_FALSE(r.ok());
  if (r.ok()) return "<parsed>";
  EXPECT_EQ(r.error().kind, ErrorKind::Names);
  return r.error().message();
}

TEST(NameTemplate, RendersLiteralsAndCounters) {
  Bytes b = varints({4});
  literal(b, "SRR42.");
  counter(b, -1, 3);
  literal(b, " len=");
  counter(b, 100, 0);
  const NameTemplate t = parse_ok(b);
  ASSERT_EQ(t.columns.size(), 4u);
  EXPECT_EQ(t.columns[1].offset, -1);
  EXPECT_EQ(t.columns[1].width, 3u);
  EXPECT_EQ(render_name(t, 5), "SRR42.004 len=105");
  // Wider than the width: rendered in full.
  EXPECT_EQ(render_name(t, 12345), "SRR42.12344 len=12445");
  // Negative results keep their sign inside the padding.
  EXPECT_EQ(render_name(t, -2), "SRR42.0-3 len=98");
  std::string appended = "@";
  append_rendered_name(appended, t, 1);
  EXPECT_EQ(appended, "@SRR42.000 len=101");
}

TEST(NameTemplate, CounterWrapsIn64Bits) {
  Bytes b = varints({1});
  counter(b, std::numeric_limits<int64_t>::max(), 0);
  const NameTemplate t = parse_ok(b);
  EXPECT_EQ(render_name(t, 1), "-9223372036854775808");
  EXPECT_EQ(render_name(t, 0), "9223372036854775807");
}

TEST(NameTemplate, LimitsAndEmptyTemplates) {
  EXPECT_TRUE(parse_ok(varints({0})).columns.empty());
  EXPECT_EQ(render_name(NameTemplate{}, 7), "");

  Bytes wide = varints({1});
  counter(wide, 0, 1024);
  EXPECT_EQ(render_name(parse_ok(wide), 42), std::string(1022, '0') + "42");

  Bytes full = varints({64});
  for (int i = 0; i < 64; ++i) literal(full, "a");
  full.push_back(0xff);  // ignored trailing byte
  EXPECT_EQ(render_name(parse_ok(full), 0), std::string(64, 'a'));
}

TEST(NameTemplate, ParseErrors) {
  auto msg = [](const char* d) { return std::string("malformed name stream: ") + d; };
  EXPECT_EQ(parse_error({}), msg("varint too long"));
  EXPECT_EQ(parse_error(varints({65})), msg("name template too large"));
  EXPECT_EQ(parse_error(varints({2, 0, 0})), msg("truncated"));  // second tag missing
  EXPECT_EQ(parse_error({1, 0, 5, 'a', 'b'}), msg("truncated"));
  EXPECT_EQ(parse_error({1, 0}), msg("varint too long"));
  EXPECT_EQ(parse_error({1, 2}), msg("bad name-template column tag"));
  Bytes wide = varints({1});
  counter(wide, 0, 1025);
  EXPECT_EQ(parse_error(wide), msg("name-template counter pad too large"));
  EXPECT_EQ(parse_error({1, 1, 0}), msg("varint too long"));  // width missing
  // A literal length far beyond the input is refused before any allocation.
  Bytes huge = varints({1, 0, std::numeric_limits<uint64_t>::max()});
  EXPECT_EQ(parse_error(huge), msg("truncated"));
}

}  // namespace
}  // namespace zarv
