// Quality codec benchmark: decoding speed in MB/s of quality values per
// context mode, one thread, with the coded size in bits per quality.
//
// Columns (generators described in tests/codecs/quality/quality_samples.hpp):
//   - "illumina-41": 41-level short reads, 150 cycles, position-dependent
//     means with an AR(1) walk, dips, N bases and '#' tails;
//   - "illumina-4": the same binned to the four levels of recent instruments;
//   - "nanopore": long reads, 1..50 scores, lower in homopolymers;
//   - "velvet": the reads of Debian's velvet-tests FASTQ files (older
//     Illumina, Phred+64), when the package is installed.
// Each column is cut into row groups of --group qualities (default 4 MB), each
// group is encoded once per mode and decoded repeatedly for about --seconds
// of CPU time; the best whole pass counts.
//
// Usage: bench_quality [--reads N] [--group BYTES] [--seconds S]
#include <zlib.h>

#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "codecs/quality/quality.hpp"
#include "tests/codecs/quality/quality_samples.hpp"

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

void run_column(const char* name, const Column& c, size_t group_bytes, double seconds) {
  if (c.qualities.empty()) {
    std::printf("%-12s (not available)\n", name);
    return;
  }
  const auto groups = split(c, group_bytes);
  for (uint8_t mode : {0, 1, 3, 4}) {
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

    // Whole passes over all groups until the time is used; the best pass counts.
    double best = 1e30;
    const double start = cpu_seconds();
    int passes = 0;
    do {
      const double t0 = cpu_seconds();
      for (size_t i = 0; i < groups.size(); ++i) {
        const bool needs = zarv::quality_needs_sequence(coded[i]);
        auto r = zarv::decode_quality_stream(coded[i], needs ? std::optional(groups[i].bases) : std::nullopt);
        if (!r.ok() || r->qualities.size() != groups[i].qualities.size()) {
          std::fprintf(stderr, "decode failed\n");
          std::exit(1);
        }
      }
      best = std::min(best, cpu_seconds() - t0);
      ++passes;
    } while (cpu_seconds() - start < seconds);

    const double mb = static_cast<double>(c.qualities.size()) / 1e6;
    std::printf("%-12s mode %d  %8.2f MB  %5.3f bits/qual  encode %7.1f MB/s  decode %7.1f MB/s  (%d passes)\n", name,
                mode, mb, 8.0 * coded_bytes / c.qualities.size(), mb / encode_s, mb / best, passes);
  }
}

}  // namespace

int main(int argc, char** argv) {
  size_t reads = 60000;
  size_t group_bytes = 4 << 20;
  double seconds = 2.0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--reads")) reads = std::strtoull(argv[i + 1], nullptr, 10);
    else if (!std::strcmp(argv[i], "--group")) group_bytes = std::strtoull(argv[i + 1], nullptr, 10);
    else if (!std::strcmp(argv[i], "--seconds")) seconds = std::strtod(argv[i + 1], nullptr);
  }
  run_column("illumina-41", zarv::quality_samples::short_reads(reads, 150, 1), group_bytes, seconds);
  run_column("illumina-4", zarv::quality_samples::short_reads(reads, 150, 2, true), group_bytes, seconds);
  run_column("nanopore", zarv::quality_samples::long_reads(reads / 30 + 1, 5000, 3), group_bytes, seconds);
  run_column("velvet", velvet_column(), group_bytes, seconds);
  return 0;
}
