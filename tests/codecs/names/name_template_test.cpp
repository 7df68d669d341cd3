// Name templates: parsing, rendering and every parse failure.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "codecs/names/names.hpp"
#include "tests/codecs/names/name_stream_builder.hpp"

namespace zarv {
namespace {

using namespace names_test;

Bytes& literal(Bytes& out, std::string_view s) {
  out.push_back(0);
  write_varint(out, s.size());
  out.insert(out.end(), s.begin(), s.end());
  return out;
}

Bytes& counter(Bytes& out, int64_t offset, uint64_t width) {
  out.push_back(1);
  write_varint(out, (static_cast<uint64_t>(offset) << 1) ^ static_cast<uint64_t>(offset >> 63));
  write_varint(out, width);
  return out;
}

std::string render(const Bytes& bytes, int64_t arg) {
  auto t = parse_name_template(bytes);
  EXPECT_TRUE(t.ok()) << (t.ok() ? "" : t.error().message());
  return t.ok() ? render_name(*t, arg) : "<error>";
}

TEST(NameTemplate, RendersLiteralsAndCounters) {
  Bytes b = varints({4});
  counter(literal(counter(literal(b, "SRR42."), -1, 3), " len="), 100, 0);
  EXPECT_EQ(render(b, 5), "SRR42.004 len=105");
  EXPECT_EQ(render(b, 12345), "SRR42.12344 len=12445");  // wider than the width: in full
  EXPECT_EQ(render(b, -2), "SRR42.0-3 len=98");          // the sign sits inside the padding
  std::string appended = "@";
  append_rendered_name(appended, parse_name_template(b).value(), 1);
  EXPECT_EQ(appended, "@SRR42.000 len=101");

  Bytes wrap = varints({1});
  counter(wrap, std::numeric_limits<int64_t>::max(), 0);
  EXPECT_EQ(render(wrap, 1), "-9223372036854775808");
  Bytes wide = varints({1});
  counter(wide, 0, 1024);
  EXPECT_EQ(render(wide, 42), std::string(1022, '0') + "42");
  Bytes full = varints({64});
  for (int i = 0; i < 64; ++i) literal(full, "a");
  full.push_back(0xff);  // trailing bytes are ignored
  EXPECT_EQ(render(full, 0), std::string(64, 'a'));
  EXPECT_EQ(render(varints({0}), 7), "");
}

TEST(NameTemplate, ParseErrors) {
  auto error = [](const Bytes& bytes) {
    auto r = parse_name_template(bytes);
    if (r.ok()) return std::string("<parsed>");
    EXPECT_EQ(r.error().kind, ErrorKind::Names);
    return r.error().message();
  };
  const std::string m = "malformed name stream: ";
  Bytes wide = varints({1});
  counter(wide, 0, 1025);
  EXPECT_EQ(error({}), m + "varint too long");
  EXPECT_EQ(error(varints({65})), m + "name template too large");
  EXPECT_EQ(error(varints({2, 0, 0})), m + "truncated");  // second tag missing
  EXPECT_EQ(error({1, 0, 5, 'a', 'b'}), m + "truncated");  // literal past the end
  EXPECT_EQ(error(varints({1, 0, std::numeric_limits<uint64_t>::max()})), m + "truncated");
  EXPECT_EQ(error({1, 0}), m + "varint too long");
  EXPECT_EQ(error({1, 2}), m + "bad name-template column tag");
  EXPECT_EQ(error(wide), m + "name-template counter pad too large");
  EXPECT_EQ(error({1, 1, 0}), m + "varint too long");  // width missing
}

}  // namespace
}  // namespace zarv
