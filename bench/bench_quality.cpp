// Quality codec benchmark: decoding speed in MB/s of quality values per
// context mode, one thread, with the coded size in bits per quality.
//
// Columns (generators described in tests/codecs/quality/quality_samples.hpp):
//   - "illumina-41": 41-level short reads, 150 cycles, position-dependent
//     means with an AR(1) walk, dips, N bases and '#' tails;
//   - "illumina-4": the same binned to the four levels of recent instruments;
//   - "nanopore": long reads, 1..50 scores, lower in homopolymers;
//   - "velvet": the reads of Debian's velvet-tests FASTQ files (older
//     Illumina, Phred+64), when the package is installed;
//   - "hs25": the first --reads records of a simulated HiSeq 2500 run
//     (art_illumina -ss HS25, 150 bp), read from --hs25 FILE when it exists.
// Each column is cut into row groups of --group qualities (default 4 MB), each
// group is encoded once per mode and decoded repeatedly for about --seconds
// of CPU time; the best whole pass counts.
//
// When built against htscodecs (ZARV_BENCH_HTSCODECS), every column also
// codes its groups with htscodecs' fqz_compress and times fqz_decompress in
// the same way; each mode's line then shows its speed as a ratio of that.
//
// "per call" is the time of decoding a one-read group: the allocation and
// first touches of the model tables that every call pays whatever its size.
//
// Usage: bench_quality [--reads N] [--group BYTES] [--seconds S]
//                      [--columns a,b,...] [--modes 0,1,3,4] [--hs25 FILE]
#include <zlib.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "codecs/quality/quality.hpp"
#include "core/result.hpp"
#include "tests/codecs/quality/quality_samples.hpp"

#if defined(ZARV_BENCH_HTSCODECS)
#include <htscodecs/fqzcomp_qual.h>
#endif

namespace {

// Thread CPU time: the machine this runs on is usually shared, and CPU time
// is far less disturbed by other processes than wall time.
double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}
using zarv::quality_samples::Column;

// The reads of the velvet-tests FASTQ files: qualities and bases.
Column velvet_column() {
  Column c;
  const char* dir = "/usr/share/doc/velvet/tests";
  if (!std::filesystem::is_directory(dir)) return c;
  for (const char* file : {"reads.fq.gz", "read1.fq.gz", "read2.fq.gz"}) {
    gzFile gz = gzopen((std::string(dir) + "/" + file).c_str(), "rb");
    if (!gz) continue;
    char line[4096];
    size_t seq_len = 0;
    for (uint64_t n = 0; gzgets(gz, line, sizeof line); ++n) {
      size_t len = std::strlen(line);
      while (len && (line[len - 1] == '\n' || line[len - 1] == '\r')) --len;
      if (n % 4 == 1) {
        c.bases.insert(c.bases.end(), line, line + len);
        seq_len = len;
      } else if (n % 4 == 3) {
        if (len != seq_len) {  // not a 4-line record; drop its bases
          c.bases.resize(c.bases.size() - seq_len);
          continue;
        }
        c.qualities.insert(c.qualities.end(), line, line + len);
        c.lengths.push_back(static_cast<uint32_t>(len));
      }
    }
    gzclose(gz);
  }
  return c;
}

// The first `reads` 4-line records of a FASTQ file: qualities and bases.
Column fastq_column(const std::string& path, size_t reads) {
  Column c;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return c;
  std::string seq;
  char line[65536];
  for (uint64_t n = 0; c.lengths.size() < reads && std::fgets(line, sizeof line, f); ++n) {
    size_t len = std::strlen(line);
    while (len && (line[len - 1] == '\n' || line[len - 1] == '\r')) --len;
    if (n % 4 == 1) {
      seq.assign(line, len);
    } else if (n % 4 == 3 && len == seq.size()) {
      c.bases.insert(c.bases.end(), seq.begin(), seq.end());
      c.qualities.insert(c.qualities.end(), line, line + len);
      c.lengths.push_back(static_cast<uint32_t>(len));
    }
  }
  std::fclose(f);
  return c;
}

struct Group {
  std::vector<uint32_t> lengths;
  std::span<const uint8_t> qualities, bases;
};

std::vector<Group> split(const Column& c, size_t group_bytes) {
  std::vector<Group> groups;
  size_t read = 0, offset = 0;
  while (read < c.lengths.size()) {
    Group g;
    size_t bytes = 0;
    while (read < c.lengths.size() && (bytes == 0 || bytes + c.lengths[read] <= group_bytes)) {
      g.lengths.push_back(c.lengths[read]);
      bytes += c.lengths[read++];
    }
    g.qualities = std::span<const uint8_t>(c.qualities).subspan(offset, bytes);
    g.bases = std::span<const uint8_t>(c.bases).subspan(offset, bytes);
    offset += bytes;
    groups.push_back(std::move(g));
  }
  return groups;
}

// Decodes every group once; false when one fails or comes out wrong-sized.
bool decode_all(const std::vector<Group>& groups, const std::vector<std::vector<uint8_t>>& coded) {
  for (size_t i = 0; i < groups.size(); ++i) {
    const bool needs = zarv::quality_needs_sequence(coded[i]);
    auto r = zarv::decode_quality_stream(coded[i], needs ? std::optional(groups[i].bases) : std::nullopt);
    if (!r.ok() || r->qualities.size() != groups[i].qualities.size()) return false;
  }
  return true;
}

// Best whole pass of pass() over about `seconds` of CPU time (at least one).
template <class Pass>
double best_pass(double seconds, int& passes, Pass&& pass) {
  double best = 1e30;
  const double start = cpu_seconds();
  passes = 0;
  do {
    const double t0 = cpu_seconds();
    if (!pass()) {
      std::fprintf(stderr, "decode failed\n");
      std::exit(1);
    }
    best = std::min(best, cpu_seconds() - t0);
    ++passes;
  } while (cpu_seconds() - start < seconds);
  return best;
}

#if defined(ZARV_BENCH_HTSCODECS)
// htscodecs' fqz decoder over the same groups, each coded with its default
// strategy; returns MB/s, or 0 when the library fails.
double fqz_speed(const char* name, const Column& c, const std::vector<Group>& groups, double seconds) {
  std::vector<std::vector<char>> coded;
  std::vector<std::vector<int>> lens;
  size_t coded_bytes = 0;
  for (const Group& g : groups) {
    std::vector<uint32_t> len32(g.lengths), flags(g.lengths.size(), 0);
    fqz_slice slice{static_cast<int>(len32.size()), len32.data(), flags.data()};
    std::vector<char> in(g.qualities.begin(), g.qualities.end());
    size_t out_size = 0;
    char* out = fqz_compress(FQZ_VERS, &slice, in.data(), in.size(), &out_size, 0, nullptr);
    if (!out) return 0;
    coded.emplace_back(out, out + out_size);
    coded_bytes += out_size;
    std::free(out);
    lens.emplace_back(g.lengths.begin(), g.lengths.end());
    // Check the round trip once.
    size_t back = 0;
    char* dec = fqz_decompress(coded.back().data(), coded.back().size(), &back, lens.back().data(),
                               static_cast<int>(lens.back().size()));
    const bool same = dec && back == g.qualities.size() && std::memcmp(dec, g.qualities.data(), back) == 0;
    std::free(dec);
    if (!same) return 0;
  }
  int passes = 0;
  const double best = best_pass(seconds, passes, [&] {
    for (size_t i = 0; i < coded.size(); ++i) {
      size_t back = 0;
      char* dec = fqz_decompress(coded[i].data(), coded[i].size(), &back, lens[i].data(),
                                 static_cast<int>(lens[i].size()));
      std::free(dec);
      if (!dec) return false;
    }
    return true;
  });
  const double mb = static_cast<double>(c.qualities.size()) / 1e6;
  std::printf("%-12s fqz     %8.2f MB  %5.3f bits/qual  (htscodecs fqz_decompress)   decode %7.1f MB/s  (%d passes)\n",
              name, mb, 8.0 * coded_bytes / c.qualities.size(), mb / best, passes);
  return mb / best;
}
#endif

void run_column(const char* name, const Column& c, size_t group_bytes, double seconds,
                const std::vector<int>& modes) {
  if (c.qualities.empty()) {
    std::printf("%-12s (not available)\n", name);
    return;
  }
  const auto groups = split(c, group_bytes);
  double yardstick = 0;
#if defined(ZARV_BENCH_HTSCODECS)
  yardstick = fqz_speed(name, c, groups, seconds);
#endif
  for (const int mode : modes) {
    zarv::QualityEncodeOptions opts;
    opts.mode = static_cast<zarv::QualityContextMode>(mode);
    std::vector<std::vector<uint8_t>> coded;
    size_t coded_bytes = 0;
    const double e0 = cpu_seconds();
    for (const Group& g : groups) {
      auto r = zarv::encode_quality_stream(g.lengths, g.qualities, g.bases, opts);
      if (!r.ok()) {
        std::fprintf(stderr, "encode failed: %s\n", r.error().message().c_str());
        std::exit(1);
      }
      coded_bytes += r->size();
      coded.push_back(std::move(r).value());
    }
    const double encode_s = cpu_seconds() - e0;

    int passes = 0;
    const double best = best_pass(seconds, passes, [&] { return decode_all(groups, coded); });

    // One-read group: what a call costs before its first symbol.
    std::vector<Group> one(1);
    one[0].lengths = {groups[0].lengths[0]};
    one[0].qualities = groups[0].qualities.subspan(0, groups[0].lengths[0]);
    one[0].bases = groups[0].bases.subspan(0, groups[0].lengths[0]);
    auto small = zarv::encode_quality_stream(one[0].lengths, one[0].qualities, one[0].bases, opts);
    std::vector<std::vector<uint8_t>> small_coded{std::move(small).value()};
    int small_passes = 0;
    const double per_call = best_pass(std::min(seconds, 0.2), small_passes, [&] {
      for (int k = 0; k < 16; ++k) {
        if (!decode_all(one, small_coded)) return false;
      }
      return true;
    }) / 16;

    const double mb = static_cast<double>(c.qualities.size()) / 1e6;
    const double speed = mb / best;
    std::printf("%-12s mode %d  %8.2f MB  %5.3f bits/qual  encode %7.1f MB/s  decode %7.1f MB/s  (%d passes)", name,
                mode, mb, 8.0 * coded_bytes / c.qualities.size(), mb / encode_s, speed, passes);
    if (yardstick > 0) std::printf("  %5.2fx fqz", speed / yardstick);
    std::printf("  per call %7.1f us\n", per_call * 1e6);
  }
}

}  // namespace

int main(int argc, char** argv) {
  size_t reads = 60000;
  size_t group_bytes = 4 << 20;
  double seconds = 2.0;
  std::string columns = "illumina-41,illumina-4,nanopore,velvet,hs25";
  std::string hs25 = "build/bench-data/hs25_600000.fq";
  std::vector<int> modes = {0, 1, 3, 4};
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--reads")) reads = std::strtoull(argv[i + 1], nullptr, 10);
    else if (!std::strcmp(argv[i], "--group")) group_bytes = std::strtoull(argv[i + 1], nullptr, 10);
    else if (!std::strcmp(argv[i], "--seconds")) seconds = std::strtod(argv[i + 1], nullptr);
    else if (!std::strcmp(argv[i], "--columns")) columns = argv[i + 1];
    else if (!std::strcmp(argv[i], "--hs25")) hs25 = argv[i + 1];
    else if (!std::strcmp(argv[i], "--modes")) {
      modes.clear();
      for (const char* m = argv[i + 1]; *m; ++m) {
        if (*m >= '0' && *m <= '9') modes.push_back(*m - '0');
      }
    }
  }
  // Whether `name` is one of the comma-separated entries of --columns.
  const auto wanted = [&columns](const char* name) {
    const std::string_view want(name);
    size_t start = 0;
    for (;;) {
      const size_t end = std::min(columns.find(',', start), columns.size());
      if (std::string_view(columns).substr(start, end - start) == want) return true;
      if (end == columns.size()) return false;
      start = end + 1;
    }
  };
  if (wanted("illumina-41")) {
    run_column("illumina-41", zarv::quality_samples::short_reads(reads, 150, 1), group_bytes, seconds, modes);
  }
  if (wanted("illumina-4")) {
    run_column("illumina-4", zarv::quality_samples::short_reads(reads, 150, 2, true), group_bytes, seconds, modes);
  }
  if (wanted("nanopore")) {
    run_column("nanopore", zarv::quality_samples::long_reads(reads / 30 + 1, 5000, 3), group_bytes, seconds, modes);
  }
  if (wanted("velvet")) run_column("velvet", velvet_column(), group_bytes, seconds, modes);
  if (wanted("hs25")) run_column("hs25", fastq_column(hs25, reads), group_bytes, seconds, modes);
  return 0;
}
