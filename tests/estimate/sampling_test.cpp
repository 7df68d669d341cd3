#include "estimate/sampling.hpp"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace zarv {
namespace {

namespace fs = std::filesystem;

const fs::path kVelvetDir = "/usr/share/doc/velvet/tests";
const fs::path kDataDir = fs::path(__FILE__).parent_path() / "data";

std::vector<uint8_t> to_bytes(std::string_view s) { return {s.begin(), s.end()}; }
std::string to_string(const std::vector<uint8_t>& v) { return {v.begin(), v.end()}; }

std::vector<uint8_t> read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& p, const std::vector<uint8_t>& data) {
  std::ofstream out(p, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
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

// Decompresses a whole (possibly multi-member) gzip file with zlib's gz* API,
// independently of the decoder under test.
std::vector<uint8_t> gunzip_file(const fs::path& p) {
  std::vector<uint8_t> out;
  gzFile f = gzopen(p.c_str(), "rb");
  EXPECT_NE(f, nullptr);
  if (!f) return out;
  char buf[65536];
  int n;
  while ((n = gzread(f, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + n);
  gzclose(f);
  return out;
}

Result<SampleBatch> sample(std::string_view text, uint64_t cap = 1000) {
  return sample_bytes(to_bytes(text), cap);
}

std::string error_text(const Result<SampleBatch>& r) {
  return r.ok() ? std::string("<ok>") : r.error().message();
}

void expect_same_batch(const SampleBatch& a, const SampleBatch& b) {
  EXPECT_EQ(a.names, b.names);
  EXPECT_EQ(a.name_ends, b.name_ends);
  EXPECT_EQ(a.read_lengths, b.read_lengths);
  EXPECT_EQ(a.bases, b.bases);
  EXPECT_EQ(a.qualities, b.qualities);
  EXPECT_EQ(a.raw_bytes, b.raw_bytes);
  EXPECT_EQ(a.exhausted, b.exhausted);
}

// Counts the bytes a source hands out.
class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(std::vector<uint8_t> data) : inner_(std::move(data)) {}
  Result<size_t> read(uint8_t* dst, size_t n) override {
    auto r = inner_.read(dst, n);
    if (r.ok()) consumed += *r;
    return r;
  }
  uint64_t consumed = 0;

 private:
  MemorySource inner_;
};

// Independent reading of a well-formed LF-only FASTQ text (no descriptions).
struct Expected {
  size_t records = 0;
  std::string names, bases, quals;
};
Expected parse_simple(const std::vector<uint8_t>& text, size_t limit) {
  Expected e;
  std::string s = to_string(text);
  size_t pos = 0;
  std::string lines[4];
  while (e.records < limit && pos < s.size()) {
    for (auto& line : lines) {
      size_t nl = s.find('\n', pos);
      line = s.substr(pos, nl - pos);
      pos = nl + 1;
    }
    e.names += lines[0].substr(1);
    e.bases += lines[1];
    e.quals += lines[3];
    ++e.records;
  }
  return e;
}

class TempDir {
 public:
  TempDir() {
    std::random_device rd;
    path_ = fs::temp_directory_path() / ("zarv_sampling_" + std::to_string(rd()));
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// ---------------------------------------------------------------------------
// Real FASTQ files (Debian velvet-tests: Illumina reads, 25000 records each).

TEST(SamplingRealFiles, PlainGzipMultiMemberAndBgzfAgree) {
  const fs::path gz = kVelvetDir / "read1.fq.gz";
  if (!fs::exists(gz)) GTEST_SKIP() << "velvet-tests is not installed";
  TempDir tmp;
  const std::vector<uint8_t> plain = gunzip_file(gz);
  ASSERT_FALSE(plain.empty());
  const fs::path plain_path = tmp.path() / "read1.fq";
  write_file(plain_path, plain);

  auto from_plain = sample_path(plain_path.string(), kPerSourceCapCeiling);
  ASSERT_TRUE(from_plain.ok()) << error_text(from_plain);
  const SampleBatch& p = *from_plain;
  const Expected want = parse_simple(plain, SIZE_MAX);
  EXPECT_EQ(p.records(), 25000u);
  EXPECT_EQ(p.records(), want.records);
  EXPECT_TRUE(p.exhausted);
  EXPECT_EQ(p.raw_bytes, plain.size());  // LF-only, bare "+": canonical already
  EXPECT_EQ(to_string(p.names), want.names);
  EXPECT_EQ(to_string(p.bases), want.bases);
  EXPECT_EQ(to_string(p.qualities), want.quals);
  EXPECT_EQ(p.name(0), "HWUSI-EAS-100R_0001:7:1:1:701#TGACCA/1");
  EXPECT_EQ(p.read_lengths[0], 79u);

  // The distributed gzip file itself.
  auto from_gz = sample_path(gz.string(), kPerSourceCapCeiling);
  ASSERT_TRUE(from_gz.ok()) << error_text(from_gz);
  expect_same_batch(*from_gz, p);

  // Several concatenated gzip members, split mid-record and at odd offsets.
  std::vector<uint8_t> multi;
  const size_t cuts[] = {0, 1, 4097, 1000003, 3000000, plain.size()};
  for (size_t i = 0; i + 1 < std::size(cuts); ++i) {
    std::vector<uint8_t> part(plain.begin() + cuts[i], plain.begin() + cuts[i + 1]);
    auto m = gzip_member(part, static_cast<int>(i % 10));
    multi.insert(multi.end(), m.begin(), m.end());
  }
  auto empty_member = gzip_member({});
  multi.insert(multi.end(), empty_member.begin(), empty_member.end());
  auto from_multi = sample_bytes(multi, kPerSourceCapCeiling);
  ASSERT_TRUE(from_multi.ok()) << error_text(from_multi);
  expect_same_batch(*from_multi, p);

  // BGZF written by bgzip, when available.
  const fs::path bgz = tmp.path() / "read1.fq.bgz";
  const std::string cmd = "bgzip -c '" + plain_path.string() + "' > '" + bgz.string() + "' 2>/dev/null";
  if (std::system(cmd.c_str()) == 0 && fs::file_size(bgz) > 0) {
    auto from_bgzf = sample_path(bgz.string(), kPerSourceCapCeiling);
    ASSERT_TRUE(from_bgzf.ok()) << error_text(from_bgzf);
    expect_same_batch(*from_bgzf, p);
  }
}

TEST(SamplingRealFiles, CapTakesTheLeadingRecordsAndStopsReadingEarly) {
  const fs::path gz = kVelvetDir / "reads.fq.gz";
  if (!fs::exists(gz)) GTEST_SKIP() << "velvet-tests is not installed";
  const std::vector<uint8_t> compressed = read_file(gz);
  const std::vector<uint8_t> plain = gunzip_file(gz);
  const Expected want = parse_simple(plain, 1000);

  CountingSource src(compressed);
  auto r = sample_source(src, 1000);
  ASSERT_TRUE(r.ok()) << error_text(r);
  EXPECT_EQ(r->records(), 1000u);
  EXPECT_FALSE(r->exhausted);
  EXPECT_EQ(to_string(r->names), want.names);
  EXPECT_EQ(to_string(r->bases), want.bases);
  EXPECT_EQ(to_string(r->qualities), want.quals);
  // Only the leading part of the compressed file was pulled in.
  EXPECT_LT(src.consumed, compressed.size() / 10);

  CountingSource plain_src(plain);
  auto rp = sample_source(plain_src, 1000);
  ASSERT_TRUE(rp.ok());
  expect_same_batch(*rp, *r);
  EXPECT_LT(plain_src.consumed, plain.size() / 10);
}

TEST(SamplingRealFiles, CommittedBgzfFixtureMatchesPlain) {
  auto plain = sample_path((kDataDir / "velvet_read2_head100.fq").string(), 1000);
  auto bgzf = sample_path((kDataDir / "velvet_read2_head100.fq.bgz").string(), 1000);
  ASSERT_TRUE(plain.ok()) << error_text(plain);
  ASSERT_TRUE(bgzf.ok()) << error_text(bgzf);
  EXPECT_EQ(plain->records(), 100u);
  EXPECT_TRUE(plain->exhausted);
  EXPECT_EQ(plain->raw_bytes, fs::file_size(kDataDir / "velvet_read2_head100.fq"));
  expect_same_batch(*bgzf, *plain);
  // Exactly the cap: not exhausted; one more than the records: exhausted.
  auto at_cap = sample_path((kDataDir / "velvet_read2_head100.fq.bgz").string(), 100);
  ASSERT_TRUE(at_cap.ok());
  EXPECT_EQ(at_cap->records(), 100u);
  EXPECT_FALSE(at_cap->exhausted);
  auto above = sample_path((kDataDir / "velvet_read2_head100.fq.bgz").string(), 101);
  ASSERT_TRUE(above.ok());
  EXPECT_TRUE(above->exhausted);
}

// ---------------------------------------------------------------------------
// Record parsing.

TEST(SamplingRecords, NameDescriptionSplitAndRawBytes) {
  auto r = sample("@r1 x\nACGT\n+r1 x\nIIII\n");
  ASSERT_TRUE(r.ok()) << error_text(r);
  EXPECT_EQ(r->raw_bytes, 18u);
  EXPECT_EQ(to_string(r->names), "r1 x");
  EXPECT_EQ(r->name_ends, std::vector<uint32_t>{4});
  EXPECT_EQ(r->read_lengths, std::vector<uint32_t>{4});
  EXPECT_EQ(to_string(r->bases), "ACGT");
  EXPECT_EQ(to_string(r->qualities), "IIII");
  EXPECT_TRUE(r->exhausted);

  // Tab separator becomes a space; only the first separator splits; a bare
  // trailing separator leaves an empty description; an empty name is allowed.
  auto t = sample("@r1\tlane=2\tz\nAC\n+\nII\n@r2 \nA\n+\nI\n@\nG\n+\n#\n");
  ASSERT_TRUE(t.ok()) << error_text(t);
  ASSERT_EQ(t->records(), 3u);
  EXPECT_EQ(t->name(0), "r1 lane=2\tz");
  EXPECT_EQ(t->name(1), "r2");
  EXPECT_EQ(t->name(2), "");
  EXPECT_EQ(t->raw_bytes, (3 + 8 + 2 + 2 + 6) + (2 + 1 + 1 + 6) + (0 + 1 + 1 + 6));
}

TEST(SamplingRecords, CrlfEqualsLf) {
  const std::string lf = "@a b\nACGTN\n+a b\nIIII#\n@c\n\n+\n\n@d\nTT\n+\nII\n";
  std::string crlf;
  for (char c : lf) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  auto a = sample(lf), b = sample(crlf);
  ASSERT_TRUE(a.ok()) << error_text(a);
  ASSERT_TRUE(b.ok()) << error_text(b);
  EXPECT_EQ(a->records(), 3u);
  expect_same_batch(*a, *b);
  // Same through gzip, and with the last line lacking its line end.
  auto g = sample_bytes(gzip_member(to_bytes(crlf.substr(0, crlf.size() - 2))), 10);
  ASSERT_TRUE(g.ok()) << error_text(g);
  expect_same_batch(*g, *a);
  // A carriage return elsewhere in a line is data.
  auto mid = sample("@a\rb\nA\rC\n+\nIII\n");
  ASSERT_TRUE(mid.ok()) << error_text(mid);
  EXPECT_EQ(mid->name(0), "a\rb");
  EXPECT_EQ(to_string(mid->bases), "A\rC");
}

TEST(SamplingRecords, CapAndExhaustedRules) {
  const std::string three = "@1\nA\n+\nI\n@2\nC\n+\nI\n@3\nG\n+\nI\n";
  auto exact = sample(three, 3);
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(exact->records(), 3u);
  EXPECT_FALSE(exact->exhausted);
  auto more = sample(three, 4);
  ASSERT_TRUE(more.ok());
  EXPECT_EQ(more->records(), 3u);
  EXPECT_TRUE(more->exhausted);
  auto zero = sample(three, 0);  // a cap of 0 still samples one record
  ASSERT_TRUE(zero.ok());
  EXPECT_EQ(zero->records(), 1u);
  EXPECT_FALSE(zero->exhausted);
  // Anything after the cap is never parsed, so garbage there is harmless.
  auto garbage = sample("@1\nA\n+\nI\nnot fastq at all\n", 1);
  ASSERT_TRUE(garbage.ok());
  EXPECT_EQ(garbage->records(), 1u);
}

Result<SampleBatch> sample_with_ceiling(std::string_view text, uint64_t ceiling) {
  MemorySource src(to_bytes(text));
  return sample_source(src, 100, ceiling);
}

TEST(SamplingRecords, BasesCeilingIsCheckedBeforeEachRecord) {
  const std::string recs = "@1\nAAAA\n+\nIIII\n@2\nCCCC\n+\nIIII\n@3\nGG\n+\nII\n";
  auto r = sample_with_ceiling(recs, 8);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->records(), 2u);  // 8 bases reached: record 3 is not read
  // With 10 bases after record 3 and a ceiling of 11, the end of input is seen.
  EXPECT_FALSE(r->exhausted);
  auto r7 = sample_with_ceiling(recs, 11);
  ASSERT_TRUE(r7.ok());
  EXPECT_EQ(r7->records(), 3u);
  EXPECT_TRUE(r7->exhausted);
  // At the ceiling with the input exhausted anyway: still reported as cut.
  auto end = sample_with_ceiling("@1\nAAAA\n+\nIIII\n", 4);
  ASSERT_TRUE(end.ok());
  EXPECT_FALSE(end->exhausted);
  EXPECT_EQ(kSampleBasesCeiling, 0x10000000u);
}

TEST(SamplingRecords, EmptyInputs) {
  auto empty = sample("");
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->records(), 0u);
  EXPECT_EQ(empty->raw_bytes, 0u);
  EXPECT_TRUE(empty->exhausted);
  auto gz = sample_bytes(gzip_member({}), 10);
  ASSERT_TRUE(gz.ok()) << error_text(gz);
  EXPECT_EQ(gz->records(), 0u);
  EXPECT_TRUE(gz->exhausted);
}

// ---------------------------------------------------------------------------
// Failures: exact texts and the Python exception each maps to.

void expect_os_error(const Result<SampleBatch>& r, std::string_view text) {
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::Io);
  EXPECT_EQ(r.error().message(), text);
  EXPECT_EQ(python_error_class(r.error()), PyErrorClass::OSError);
}

TEST(SamplingFailures, FramingErrors) {
  expect_os_error(sample("r1\nACGT\n+\nIIII\n"), "invalid name prefix");
  expect_os_error(sample("@r1\nA\n+\nI\n\n"), "invalid name prefix");  // blank line
  expect_os_error(sample("\x1f"), "invalid name prefix");  // one byte: not gzip
  expect_os_error(sample("@r1\nACGT\n-\nIIII\n"), "invalid description prefix");
  expect_os_error(sample("@r1\nACGT\n\nIIII\n"), "invalid description prefix");
  expect_os_error(sample("@r1\nACGT\n"), "failed to fill whole buffer");
  expect_os_error(sample("@r1\nACGT"), "failed to fill whole buffer");
  expect_os_error(sample("@r1\n"), "failed to fill whole buffer");
  expect_os_error(sample("@"), "failed to fill whole buffer");
  expect_os_error(sample("@1\nA\n+\nI\n@r2"), "failed to fill whole buffer");
  // The same through gzip.
  expect_os_error(sample_bytes(gzip_member(to_bytes("@r1\nAC\n")), 10),
                  "failed to fill whole buffer");
  // The first error wins even when records were already sampled.
  expect_os_error(sample("@1\nA\n+\nI\nx\n"), "invalid name prefix");
}

TEST(SamplingFailures, QualityLengthMismatch) {
  auto check = [](std::string_view text, uint64_t seq, uint64_t qual) {
    auto r = sample(text);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidFastq);
    EXPECT_EQ(r.error().message(), "invalid FASTQ: sequence length " + std::to_string(seq) +
                                       " but quality length " + std::to_string(qual) +
                                       " (must be equal)");
    EXPECT_EQ(python_error_class(r.error()), PyErrorClass::ZarvError);
  };
  check("@r\nACGT\n+\nIII\n@s\nA\n+\nI\n", 4, 3);
  check("@r\nACG\n+\nIIII\n", 3, 4);
  check("@r\nACGT\n+\n", 4, 0);  // quality line missing at the end
  check("@r\nACGT\n+\nIIII\r", 4, 5);  // a CR is dropped only before a line feed
  // An empty sequence with a missing quality line is a valid empty record.
  auto empty_read = sample("@r\n\n+");
  ASSERT_TRUE(empty_read.ok()) << error_text(empty_read);
  EXPECT_EQ(empty_read->records(), 1u);
  EXPECT_EQ(empty_read->raw_bytes, 1u + 6u);
}

TEST(SamplingFailures, GzipAndOpenErrors) {
  const auto member = gzip_member(to_bytes("@r1\nACGT\n+\nIIII\n"));
  // Cut short inside the member.
  auto cut = std::vector<uint8_t>(member.begin(), member.begin() + member.size() - 5);
  auto r = sample_bytes(cut, 10);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::Io);
  EXPECT_EQ(r.error().message(), "unexpected end of gzip stream");
  expect_os_error(sample("\x1f\x8b"), "unexpected end of gzip stream");
  // A corrupted deflate body or header: zlib's own text, as an OSError.
  auto bad = member;
  bad[3] = 0xE0;  // reserved header flag bits
  auto rb = sample_bytes(bad, 10);
  ASSERT_FALSE(rb.ok());
  EXPECT_EQ(rb.error().kind, ErrorKind::Io);
  EXPECT_FALSE(rb.error().message().empty());
  // Trailing bytes that are not another member.
  auto trailing = member;
  trailing.push_back('x');
  trailing.push_back('y');
  auto rt = sample_bytes(trailing, 10);
  ASSERT_FALSE(rt.ok());
  EXPECT_EQ(rt.error().kind, ErrorKind::Io);

  auto missing = sample_path("/nonexistent-zarv-dir/x.fq", 10);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, ErrorKind::Io);
  EXPECT_EQ(missing.error().message(), "/nonexistent-zarv-dir/x.fq: No such file or directory");
  EXPECT_EQ(missing.error().os_errno, ENOENT);
}

// Hands out its bytes, then fails with EIO instead of reporting the end.
class FailingSource final : public ByteSource {
 public:
  explicit FailingSource(std::vector<uint8_t> data) : inner_(std::move(data)) {}
  Result<size_t> read(uint8_t* dst, size_t n) override {
    auto r = inner_.read(dst, std::min<size_t>(n, 3));
    if (r.ok() && *r == 0) return os_error(EIO);
    return r;
  }

 private:
  MemorySource inner_;
};

TEST(SamplingFailures, ReadErrorsPropagate) {
  FailingSource plain(to_bytes("@r1\nACGT\n+\nIIII\n"));
  expect_os_error(sample_source(plain, 10), std::strerror(EIO));
  FailingSource gz(gzip_member(to_bytes("@r1\nACGT\n+\nIIII\n")));
  expect_os_error(sample_source(gz, 10), std::strerror(EIO));
  // Reaching the cap first means the failing read is never made.
  FailingSource capped(to_bytes("@r1\nACGT\n+\nIIII\n"));
  auto r = sample_source(capped, 1);
  ASSERT_TRUE(r.ok()) << error_text(r);
  EXPECT_FALSE(r->exhausted);
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
