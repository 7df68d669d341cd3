// Name codec benchmark: decoding speed in MB/s of name text, one thread.
//
// Name sets:
//   - synthetic modern Illumina names ("A00123:8:H5KJLDSXX:1:1101:10004:1000
//     1:N:0:ACGTACGT"), tiles in order, x rising, y random, as a sorted
//     NovaSeq run produces them;
//   - the read names of Debian's velvet-tests FASTQ files (older Illumina
//     style), when the package is installed;
//   - SRA-style names ("SRR1234567.N N length=L").
// Each set is cut into blocks of --block names, each block is encoded once and
// decoded repeatedly for about --seconds.
//
// When built with ZARV_BENCH_HTSCODECS, the same blocks also go through
// htscodecs' name tokenizer (tok3, rANS mode) as an outside yardstick and the
// speed ratio is printed. Only its public encode/decode entry points are used.
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "codecs/names/names.hpp"

#ifdef ZARV_BENCH_HTSCODECS
#include <htscodecs/tokenise_name3.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> illumina_names(size_t count) {
  std::mt19937_64 rng(12345);
  std::vector<std::string> names;
  names.reserve(count);
  int tile = 1101, x = 1000;
  char buf[160];
  for (size_t i = 0; i < count; ++i) {
    if (x > 32000) {
      tile = (tile % 100 == 78) ? tile + 23 : tile + 1;
      x = 1000;
    }
    x += static_cast<int>(rng() % 12);
    const int y = 1000 + static_cast<int>(rng() % 36000);
    std::snprintf(buf, sizeof buf, "A00123:8:H5KJLDSXX:1:%d:%d:%d 1:N:0:ACGTACGT", tile, x, y);
    names.emplace_back(buf);
  }
  return names;
}

std::vector<std::string> sra_names(size_t count) {
  std::mt19937_64 rng(99);
  std::vector<std::string> names;
  names.reserve(count);
  for (size_t i = 1; i <= count; ++i) {
    names.push_back("SRR1234567." + std::to_string(i) + " " + std::to_string(i) +
                    " length=" + std::to_string(100 + rng() % 51));
  }
  return names;
}

// Names (without '@' and without anything after them on the line) of the
// FASTQ files of Debian's velvet-tests package.
std::vector<std::string> velvet_names() {
  std::vector<std::string> names;
  const char* dir = "/usr/share/doc/velvet/tests";
  if (!std::filesystem::is_directory(dir)) return names;
  for (const char* file : {"reads.fq.gz", "read1.fq.gz", "read2.fq.gz"}) {
    const std::string path = std::string(dir) + "/" + file;
    gzFile gz = gzopen(path.c_str(), "rb");
    if (!gz) continue;
    char line[4096];
    for (uint64_t n = 0; gzgets(gz, line, sizeof line); ++n) {
      if (n % 4 != 0 || line[0] != '@') continue;
      size_t len = std::strlen(line);
      while (len && (line[len - 1] == '\n' || line[len - 1] == '\r')) --len;
      names.emplace_back(line + 1, len - 1);
    }
    gzclose(gz);
  }
  return names;
}

struct Block {
  std::vector<std::string> names;
  size_t text_bytes = 0;
  std::vector<uint8_t> coded;
#ifdef ZARV_BENCH_HTSCODECS
  std::vector<uint8_t> tok3;
#endif
};

std::vector<Block> make_blocks(const std::vector<std::string>& names, size_t per_block) {
  std::vector<Block> blocks;
  for (size_t i = 0; i < names.size(); i += per_block) {
    Block b;
    b.names.assign(names.begin() + static_cast<long>(i),
                   names.begin() + static_cast<long>(std::min(names.size(), i + per_block)));
    for (const auto& n : b.names) b.text_bytes += n.size();
    b.coded = zarv::encode_names(std::span<const std::string>(b.names));
    blocks.push_back(std::move(b));
  }
  return blocks;
}

// Seconds for one decode pass over all blocks.
template <class Fn>
double pass_seconds(const std::vector<Block>& blocks, Fn&& decode_block) {
  const auto start = Clock::now();
  for (const Block& b : blocks) decode_block(b);
  return std::chrono::duration<double>(Clock::now() - start).count();
}

bool g_yardstick = true;  // --no-yardstick skips the htscodecs comparison

void run_set(const char* label, const std::vector<std::string>& names, size_t per_block, double seconds) {
  if (names.empty()) {
    std::printf("%-22s (not available)\n", label);
    return;
  }
  std::vector<Block> blocks = make_blocks(names, per_block);
  size_t text = 0, coded = 0;
  for (const Block& b : blocks) {
    text += b.text_bytes;
    coded += b.coded.size();
    auto check = zarv::decode_names(b.coded);
    if (!check.ok() || check->size() != b.names.size()) {
      std::fprintf(stderr, "%s: decode failed\n", label);
      std::exit(1);
    }
    for (size_t i = 0; i < b.names.size(); ++i) {
      if (check->view(i) != b.names[i]) {
        std::fprintf(stderr, "%s: name %zu differs\n", label, i);
        std::exit(1);
      }
    }
  }

  const auto enc_start = Clock::now();
  for (const Block& b : blocks) (void)zarv::encode_names(std::span<const std::string>(b.names));
  const double enc_s = std::chrono::duration<double>(Clock::now() - enc_start).count();

  auto zarv_decode = [](const Block& b) {
    auto r = zarv::decode_names(b.coded);
    if (!r.ok()) std::abort();
  };
  const double text_mb = static_cast<double>(text) / 1e6;
  const double enc_mbs = text_mb / enc_s;
  size_t tok3_coded = 0;
#ifdef ZARV_BENCH_HTSCODECS
  // tok3 takes the names as one text, one name per line.
  for (Block& b : blocks) {
    if (!g_yardstick) break;
    std::string joined;
    for (const auto& n : b.names) {
      joined += n;
      joined += '\n';
    }
    int out_len = 0, last = 0;
    uint8_t* out = tok3_encode_names(joined.data(), static_cast<int>(joined.size()), 9, 0, &out_len, &last);
    if (!out) {
      std::fprintf(stderr, "htscodecs tok3: encode failed\n");
      std::exit(1);
    }
    b.tok3.assign(out, out + out_len);
    std::free(out);
    tok3_coded += b.tok3.size();
  }
  auto tok3_decode = [](const Block& b) {
    uint32_t out_len = 0;
    uint8_t* out = tok3_decode_names(const_cast<uint8_t*>(b.tok3.data()), static_cast<uint32_t>(b.tok3.size()),
                                     &out_len);
    // The same name text; tok3 adds one terminator per name to its output.
    if (!out || out_len < b.text_bytes) std::abort();
    std::free(out);
  };
#endif
  // Passes alternate between the decoders for about `seconds` each; the best
  // pass of each counts, which keeps a busy machine from skewing the ratio.
  double zarv_best = 1e300, tok3_best = 1e300;
  const auto start = Clock::now();
  do {
    zarv_best = std::min(zarv_best, pass_seconds(blocks, zarv_decode));
#ifdef ZARV_BENCH_HTSCODECS
    if (g_yardstick) tok3_best = std::min(tok3_best, pass_seconds(blocks, tok3_decode));
#endif
  } while (std::chrono::duration<double>(Clock::now() - start).count() < 2 * seconds);
  std::printf("%-22s %8zu names %9zu B text -> %8zu B (%.2f%%)  encode %7.1f MB/s  decode %7.1f MB/s\n", label,
              names.size(), text, coded, 100.0 * static_cast<double>(coded) / static_cast<double>(text), enc_mbs,
              text_mb / zarv_best);
  if (tok3_best < 1e300) {
    std::printf("%-22s htscodecs tok3 (rANS, level 9): %8zu B  decode %7.1f MB/s  -> zarv/tok3 decode speed %.2fx\n",
                "", tok3_coded, text_mb / tok3_best, tok3_best / zarv_best);
  }
}

}  // namespace

int main(int argc, char** argv) {
  size_t per_block = 100000;
  double seconds = 2.0;
  size_t synthetic = 1000000;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--no-yardstick")) g_yardstick = false;
    if (i + 1 >= argc) break;
    if (!std::strcmp(argv[i], "--block")) per_block = std::strtoull(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::strtod(argv[i + 1], nullptr);
    if (!std::strcmp(argv[i], "--names")) synthetic = std::strtoull(argv[i + 1], nullptr, 10);
  }
  std::printf("name codec, one thread, blocks of %zu names\n", per_block);
  run_set("illumina (synthetic)", illumina_names(synthetic), per_block, seconds);
  run_set("velvet-tests FASTQ", velvet_names(), per_block, seconds);
  run_set("sra (synthetic)", sra_names(synthetic), per_block, seconds);
  return 0;
}
