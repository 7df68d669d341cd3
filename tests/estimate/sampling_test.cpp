#include "estimate/sampling.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace zarv {
namespace {

namespace fs = std::filesystem;

const fs::path kVelvetDir = "/usr/share/doc/velvet/tests";
const fs::path kDataDir = fs::path(__FILE__).parent_path() / "data";

std::vector<uint8_t> to_bytes(std::string_view s) { return {s.begin(), s.end()}; }
std::string to_string(const std::vector<uint8_t>& v) { return {v.begin(), v.end()}; }

// Standard output of a shell command (the gzip and bgzip tools decode and
// encode independently of the decoder under test).
std::vector<uint8_t> run(const std::string& cmd) {
  std::vector<uint8_t> out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return out;
  char buf[65536];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.insert(out.end(), buf, buf + n);
  return pclose(p) == 0 ? out : std::vector<uint8_t>{};
}

// One complete gzip member of `data` (zlib's deflate with a gzip wrapper).
std::vector<uint8_t> gzip_member(const std::vector<uint8_t>& data, int level = 6) {
  z_stream zs{};
  EXPECT_EQ(deflateInit2(&zs, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::vector<uint8_t> out(deflateBound(&zs, data.size()) + 32);
  zs.next_in = const_cast<uint8_t*>(data.data());
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

Result<SampleBatch> sample(std::string_view text, uint64_t cap = 1000) { return sample_bytes(to_bytes(text), cap); }

std::string error_text(const Result<SampleBatch>& r) { return r.ok() ? "<ok>" : r.error().message(); }

// The batch of a sample that must succeed (empty, with the failure reported, if not).
SampleBatch ok_batch(const Result<SampleBatch>& r) {
  EXPECT_TRUE(r.ok()) << error_text(r);
  return r.ok() ? *r : SampleBatch{};
}

auto fields(const SampleBatch& b) {
  return std::tie(b.names, b.name_ends, b.read_lengths, b.bases, b.qualities, b.raw_bytes, b.exhausted);
}

// Names, bases and qualities of the first `limit` records of an LF-only FASTQ
// text without descriptions, read independently.
std::array<std::string, 3> parse_simple(const std::vector<uint8_t>& text, size_t limit) {
  std::istringstream in(to_string(text));
  std::array<std::string, 3> out;
  std::string l[4];
  for (size_t n = 0; n < limit && std::getline(in, l[0]) && std::getline(in, l[1]) && std::getline(in, l[2]) &&
                     std::getline(in, l[3]);
       ++n) {
    out[0] += l[0].substr(1);
    out[1] += l[1];
    out[2] += l[3];
  }
  return out;
}
std::array<std::string, 3> content(const SampleBatch& b) {
  return {to_string(b.names), to_string(b.bases), to_string(b.qualities)};
}

// Hands out its bytes (at most `chunk` per read) and counts them; with
// `fail_at_end`, fails with EIO instead of reporting the end.
class TestSource final : public ByteSource {
 public:
  explicit TestSource(std::vector<uint8_t> data, bool fail_at_end = false, size_t chunk = SIZE_MAX)
      : inner_(std::move(data)), fail_at_end_(fail_at_end), chunk_(chunk) {}
  Result<size_t> read(uint8_t* dst, size_t n) override {
    auto r = inner_.read(dst, std::min(n, chunk_));
    if (r.ok() && *r == 0 && fail_at_end_) return os_error(EIO);
    if (r.ok()) consumed += *r;
    return r;
  }
  uint64_t consumed = 0;

 private:
  MemorySource inner_;
  bool fail_at_end_;
  size_t chunk_;
};

// Real FASTQ files (Debian velvet-tests: Illumina reads, 25000 records each).
TEST(SamplingRealFiles, PlainGzipMultiMemberAndBgzfAgree) {
  const fs::path gz = kVelvetDir / "read1.fq.gz";
  if (!fs::exists(gz)) GTEST_SKIP() << "velvet-tests is not installed";
  const std::vector<uint8_t> plain = run("gzip -dc '" + gz.string() + "'");
  ASSERT_FALSE(plain.empty());
  const SampleBatch p = ok_batch(sample_bytes(plain, kPerSourceCapCeiling));
  ASSERT_EQ(p.records(), 25000u);
  EXPECT_TRUE(p.exhausted);
  EXPECT_EQ(p.raw_bytes, plain.size());  // LF-only, bare "+": canonical already
  EXPECT_EQ(content(p), parse_simple(plain, SIZE_MAX));
  EXPECT_EQ(p.name(0), "HWUSI-EAS-100R_0001:7:1:1:701#TGACCA/1");
  EXPECT_EQ(p.read_lengths[0], 79u);

  EXPECT_EQ(fields(ok_batch(sample_path(gz.string(), kPerSourceCapCeiling))), fields(p));

  // Several concatenated gzip members, split mid-record and at odd offsets.
  std::vector<uint8_t> multi;
  const size_t cuts[] = {0, 1, 4097, 1000003, 3000000, plain.size(), plain.size()};  // last: empty member
  for (size_t i = 0; i + 1 < std::size(cuts); ++i) {
    auto m = gzip_member({plain.begin() + cuts[i], plain.begin() + cuts[i + 1]}, static_cast<int>(i % 10));
    multi.insert(multi.end(), m.begin(), m.end());
  }
  EXPECT_EQ(fields(ok_batch(sample_bytes(multi, kPerSourceCapCeiling))), fields(p));

  // BGZF written by bgzip, when available.
  const std::vector<uint8_t> bgzf = run("gzip -dc '" + gz.string() + "' | bgzip -c 2>/dev/null");
  if (bgzf.empty()) GTEST_SKIP() << "bgzip is not installed";
  EXPECT_EQ(fields(ok_batch(sample_bytes(bgzf, kPerSourceCapCeiling))), fields(p));
}

TEST(SamplingRealFiles, CapTakesTheLeadingRecordsAndStopsReadingEarly) {
  const fs::path gz = kVelvetDir / "reads.fq.gz";
  if (!fs::exists(gz)) GTEST_SKIP() << "velvet-tests is not installed";
  std::ifstream in(gz, std::ios::binary);
  const std::vector<uint8_t> compressed{std::istreambuf_iterator<char>(in), {}};
  const std::vector<uint8_t> plain = run("gzip -dc '" + gz.string() + "'");
  TestSource src(compressed), plain_src(plain);
  const SampleBatch r = ok_batch(sample_source(src, 1000));
  EXPECT_EQ(r.records(), 1000u);
  EXPECT_FALSE(r.exhausted);
  EXPECT_EQ(content(r), parse_simple(plain, 1000));
  EXPECT_EQ(fields(ok_batch(sample_source(plain_src, 1000))), fields(r));
  // Only the leading part of the input was pulled in.
  EXPECT_LT(src.consumed, compressed.size() / 10);
  EXPECT_LT(plain_src.consumed, plain.size() / 10);
}

TEST(SamplingRealFiles, CommittedBgzfFixtureMatchesPlain) {
  const fs::path fq = kDataDir / "velvet_read2_head100.fq";
  const SampleBatch plain = ok_batch(sample_path(fq.string(), 1000));
  EXPECT_EQ(plain.records(), 100u);
  EXPECT_TRUE(plain.exhausted);
  EXPECT_EQ(plain.raw_bytes, fs::file_size(fq));
  EXPECT_EQ(fields(ok_batch(sample_path(fq.string() + ".bgz", 1000))), fields(plain));
}

TEST(SamplingRecords, NameDescriptionSplitAndRawBytes) {
  EXPECT_EQ(fields(ok_batch(sample("@r1 x\nACGT\n+r1 x\nIIII\n"))), fields(SampleBatch{to_bytes("r1 x"), {4}, {4}, to_bytes("ACGT"), to_bytes("IIII"), 18, true}));
  // Tab separator becomes a space; only the first separator splits; a bare
  // trailing separator leaves an empty description; an empty name is allowed.
  const SampleBatch t = ok_batch(sample("@r1\tlane=2\tz\nAC\n+\nII\n@r2 \nA\n+\nI\n@\nG\n+\n#\n"));
  ASSERT_EQ(t.records(), 3u);
  EXPECT_EQ(t.name(0), "r1 lane=2\tz");
  EXPECT_EQ(t.name(1), "r2");
  EXPECT_EQ(t.name(2), "");
  EXPECT_EQ(t.raw_bytes, (3 + 8 + 2 + 2 + 6) + (2 + 1 + 1 + 6) + (0 + 1 + 1 + 6));
}

TEST(SamplingRecords, CrlfEqualsLf) {
  const std::string lf = "@a b\nACGTN\n+a b\nIIII#\n@c\n\n+\n\n@d\nTT\n+\nII\n";
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const SampleBatch a = ok_batch(sample(lf));
  EXPECT_EQ(a.records(), 3u);
  EXPECT_EQ(fields(ok_batch(sample(crlf))), fields(a));
  // Same through gzip, and with the last line lacking its line end.
  EXPECT_EQ(fields(ok_batch(sample_bytes(gzip_member(to_bytes(crlf.substr(0, crlf.size() - 2))), 10))), fields(a));
  // A carriage return elsewhere in a line is data.
  const SampleBatch mid = ok_batch(sample("@a\rb\nA\rC\n+\nIII\n"));
  EXPECT_EQ(to_string(mid.names) + "|" + to_string(mid.bases), "a\rb|A\rC");
}

TEST(SamplingRecords, CapCeilingAndExhaustedRules) {
  // {text, cap, bases ceiling, records, exhausted}
  const std::string three = "@1\nA\n+\nI\n@2\nC\n+\nI\n@3\nG\n+\nI\n";
  const std::string ten = "@1\nAAAA\n+\nIIII\n@2\nCCCC\n+\nIIII\n@3\nGG\n+\nII\n";
  const struct { std::string text; uint64_t cap, ceiling; size_t records; bool exhausted; } cases[] = {
      {three, 3, kSampleBasesCeiling, 3, false},
      {three, 4, kSampleBasesCeiling, 3, true},
      {three, 0, kSampleBasesCeiling, 1, false},  // a cap of 0 still samples one record
      {"@1\nA\n+\nI\nnot fastq at all\n", 1, kSampleBasesCeiling, 1, false},  // nothing parsed past the cap
      // The ceiling is checked before each record: 8 bases reached, record 3 is not read.
      {ten, 100, 8, 2, false},
      {ten, 100, 11, 3, true},
      {"@1\nAAAA\n+\nIIII\n", 100, 4, 1, false},  // at the ceiling: reported as cut even at the end
      {"", 100, kSampleBasesCeiling, 0, true},
      {to_string(gzip_member({})), 100, kSampleBasesCeiling, 0, true},
  };
  for (const auto& c : cases) {
    MemorySource src(to_bytes(c.text));
    const SampleBatch r = ok_batch(sample_source(src, c.cap, c.ceiling));
    EXPECT_EQ(std::pair(r.records(), r.exhausted), std::pair(c.records, c.exhausted))
        << c.text << " cap " << c.cap << " ceiling " << c.ceiling;
  }
  EXPECT_EQ(kSampleBasesCeiling, 0x10000000u);
}

// Failures: exact texts and the Python exception each maps to.
void expect_os_error(const Result<SampleBatch>& r, std::string_view text) {
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::Io);
  EXPECT_EQ(r.error().message(), text);
  EXPECT_EQ(python_error_class(r.error()), PyErrorClass::OSError);
}

TEST(SamplingFailures, FramingErrors) {
  for (auto [text, message] : std::initializer_list<std::pair<std::string_view, std::string_view>>{
           {"r1\nACGT\n+\nIIII\n", "invalid name prefix"},
           {"@r1\nA\n+\nI\n\n", "invalid name prefix"},  // blank line after a sampled record
           {"\x1f", "invalid name prefix"},              // one byte: not gzip
           {"@r1\nACGT\n-\nIIII\n", "invalid description prefix"},
           {"@r1\nACGT\n\nIIII\n", "invalid description prefix"},
           {"@r1\nACGT\n", "failed to fill whole buffer"},
           {"@r1\nACGT", "failed to fill whole buffer"},
           {"@r1\n", "failed to fill whole buffer"},
           {"\x1f\x8b", "unexpected end of gzip stream"}}) {
    SCOPED_TRACE(text);
    expect_os_error(sample(text), message);
  }
  expect_os_error(sample_bytes(gzip_member(to_bytes("@r1\nAC\n")), 10), "failed to fill whole buffer");
}

TEST(SamplingFailures, QualityLengthMismatch) {
  auto check = [](std::string_view text, uint64_t seq, uint64_t qual) {
    auto r = sample(text);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidFastq);
    EXPECT_EQ(r.error().message(), "invalid FASTQ: sequence length " + std::to_string(seq) +
                                       " but quality length " + std::to_string(qual) + " (must be equal)");
    EXPECT_EQ(python_error_class(r.error()), PyErrorClass::ZarvError);
  };
  check("@r\nACGT\n+\nIII\n@s\nA\n+\nI\n", 4, 3);
  check("@r\nACG\n+\nIIII\n", 3, 4);
  check("@r\nACGT\n+\n", 4, 0);        // quality line missing at the end
  check("@r\nACGT\n+\nIIII\r", 4, 5);  // a CR is dropped only before a line feed
  // An empty sequence with a missing quality line is a valid empty record.
  const SampleBatch empty_read = ok_batch(sample("@r\n\n+"));
  EXPECT_EQ(empty_read.records(), 1u);
  EXPECT_EQ(empty_read.raw_bytes, 1u + 6u);
}

TEST(SamplingFailures, GzipAndOpenErrors) {
  const auto member = gzip_member(to_bytes("@r1\nACGT\n+\nIIII\n"));
  expect_os_error(sample_bytes({member.begin(), member.end() - 5}, 10), "unexpected end of gzip stream");
  // A corrupted header (reserved flag bits) or trailing bytes that are not
  // another member: zlib's own text, as an OSError.
  auto bad = member;
  bad[3] = 0xE0;
  auto trailing = member;
  trailing.insert(trailing.end(), {'x', 'y'});
  for (const auto& input : {bad, trailing}) {
    auto r = sample_bytes(input, 10);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::Io);
    EXPECT_FALSE(r.error().message().empty());
  }
  auto missing = sample_path("/nonexistent-zarv-dir/x.fq", 10);
  expect_os_error(missing, "/nonexistent-zarv-dir/x.fq: No such file or directory");
  EXPECT_EQ(missing.error().os_errno, ENOENT);
}

TEST(SamplingFailures, ReadErrorsPropagate) {
  const auto text = to_bytes("@r1\nACGT\n+\nIIII\n");
  TestSource plain(text, true, 3), gz(gzip_member(text), true, 3), capped(text, true, 3);
  expect_os_error(sample_source(plain, 10), std::strerror(EIO));
  expect_os_error(sample_source(gz, 10), std::strerror(EIO));
  // Reaching the cap first means the failing read is never made.
  EXPECT_FALSE(ok_batch(sample_source(capped, 1)).exhausted);
}

TEST(SamplingCaps, PerSourceCap) {
  EXPECT_EQ(per_source_cap(kDefaultSampleReads, 1), 300000u);
  EXPECT_EQ(per_source_cap(kDefaultSampleReads, 2), 300000u);
  EXPECT_EQ(per_source_cap(kDefaultSampleReads, 16), 65536u);
  EXPECT_EQ(per_source_cap(0, 1), 1u);
  EXPECT_EQ(per_source_cap(5, 10), 1u);
  EXPECT_EQ(per_source_cap(10, 3), 3u);
  EXPECT_EQ(per_source_cap(UINT64_MAX, 1), 300000u);
}

}  // namespace
}  // namespace zarv
