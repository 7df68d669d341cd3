#include "estimate/size_models.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include "estimate/platform.hpp"

namespace zarv {
namespace {

constexpr uint8_t kNotNucleotide = 4;

constexpr std::array<uint8_t, 256> make_base_codes() {
  std::array<uint8_t, 256> t{};
  for (auto& v : t) v = kNotNucleotide;
  t['A'] = t['a'] = 0;
  t['C'] = t['c'] = 1;
  t['G'] = t['g'] = 2;
  t['T'] = t['t'] = 3;
  return t;
}
constexpr std::array<uint8_t, 256> kBaseCodes = make_base_codes();

// Records [first, last) whose bytes start at `offset` of the concatenation.
struct Chunk {
  size_t first = 0;
  size_t last = 0;
  uint64_t offset = 0;
};

std::vector<Chunk> make_chunks(std::span<const uint32_t> lengths, unsigned workers) {
  std::vector<Chunk> chunks;
  const size_t n = lengths.size();
  if (n == 0) return chunks;
  const size_t t = std::max(1u, workers);
  const size_t per = (n + t - 1) / t;
  uint64_t offset = 0;
  for (size_t first = 0; first < n; first += per) {
    const size_t last = std::min(n, first + per);
    chunks.push_back({first, last, offset});
    for (size_t r = first; r < last; ++r) offset += lengths[r];
  }
  return chunks;
}

// The part of record bytes [offset, offset + len) that lies inside `data`.
std::span<const uint8_t> record_slice(std::span<const uint8_t> data, uint64_t offset, uint32_t len) {
  if (offset >= data.size()) return {};
  return data.subspan(offset, std::min<uint64_t>(len, data.size() - offset));
}

unsigned clamp_order(unsigned k) { return std::clamp(k, kMinContextOrder, kMaxContextOrder); }

struct NucleotideCounts {
  std::vector<uint32_t> table;  // [context * 4 + symbol]
  uint64_t non_nucleotide = 0;
};

void count_nucleotides(const Chunk& chunk, std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                       unsigned k, NucleotideCounts& out) {
  const uint32_t mask = (1u << (2 * k)) - 1;
  uint32_t* table = out.table.data();
  uint64_t offset = chunk.offset;
  for (size_t r = chunk.first; r < chunk.last; ++r) {
    uint32_t ctx = 0;
    for (uint8_t b : record_slice(bases, offset, lengths[r])) {
      const uint8_t s = kBaseCodes[b];
      if (s == kNotNucleotide) {
        ++out.non_nucleotide;
        continue;
      }
      ++table[ctx * 4 + s];
      ctx = ((ctx << 2) | s) & mask;
    }
    offset += lengths[r];
  }
}

void sample_kmers(const Chunk& chunk, std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                  std::vector<uint64_t>& out) {
  uint64_t offset = chunk.offset;
  for (size_t r = chunk.first; r < chunk.last; ++r) {
    uint64_t v = 0;
    unsigned run = 0;
    for (uint8_t b : record_slice(bases, offset, lengths[r])) {
      const uint8_t s = kBaseCodes[b];
      if (s == kNotNucleotide) {
        v = 0;
        run = 0;
        continue;
      }
      v = ((v << 2) | s) & kKmerMask;
      if (++run >= kDuplicationKmer) {
        const uint64_t h = v * kKmerHashMultiplier;
        if ((h >> kKmerSampleShift) == 0) out.push_back(h);
      }
    }
    offset += lengths[r];
  }
}

void count_qualities(const Chunk& chunk, std::span<const uint32_t> lengths, std::span<const uint8_t> qualities,
                     const std::array<uint8_t, 256>& bins, std::vector<uint32_t>& table) {
  uint64_t offset = chunk.offset;
  for (size_t r = chunk.first; r < chunk.last; ++r) {
    uint32_t prev = 0;
    for (uint8_t q : record_slice(qualities, offset, lengths[r])) {
      const uint8_t b = bins[q];
      ++table[prev * 256 + b];
      prev = b;
    }
    offset += lengths[r];
  }
}

// Sum over rows (in order) of c * (log2 t - log2 c), t the row total.
double rows_entropy(const std::vector<uint64_t>& counts, size_t row_width) {
  double bits = 0.0;
  for (size_t row = 0; row < counts.size(); row += row_width) {
    uint64_t total = 0;
    for (size_t s = 0; s < row_width; ++s) total += counts[row + s];
    if (total == 0) continue;
    const double log_total = std::log2(static_cast<double>(total));
    for (size_t s = 0; s < row_width; ++s) {
      const uint64_t c = counts[row + s];
      if (c > 0) bits += static_cast<double>(c) * (log_total - std::log2(static_cast<double>(c)));
    }
  }
  return bits;
}

// Runs every task on `pool`; the first exception a task throws is rethrown here.
void run_tasks(ThreadPool& pool, const std::vector<std::function<void()>>& tasks) {
  std::mutex mu;
  std::exception_ptr error;
  pool.run(tasks.size(), [&](size_t i) {
    try {
      tasks[i]();
    } catch (...) {
      std::lock_guard<std::mutex> lock(mu);
      if (!error) error = std::current_exception();
    }
  });
  if (error) std::rethrow_exception(error);
}

bool long_reads(std::span<const uint32_t> lengths) {
  const size_t m = std::min(lengths.size(), kReadClassRecords);
  if (m == 0) return false;
  uint64_t sum = 0;
  for (size_t r = 0; r < m; ++r) sum += lengths[r];
  return sum / m > kLongReadMeanLength;
}

struct Request {
  bool sequence = false;
  bool quality = false;
  bool kmers = false;  // the duplication pass (long reads only)
};

struct PassResults {
  double nucleotide_bits = 0.0;
  double quality_bits = 0.0;
  double duplication = 0.0;
};

PassResults run_passes(std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                       std::span<const uint8_t> qualities, unsigned k, QualityBinning binning, Request req,
                       ThreadPool& pool) {
  k = clamp_order(k);
  const std::vector<Chunk> chunks = make_chunks(lengths, pool.workers());
  const size_t n_chunks = chunks.size();
  const auto& bins = quality_binning_table(binning);

  // Tables are allocated here so that a failing allocation surfaces on the caller.
  std::vector<NucleotideCounts> nuc(req.sequence ? n_chunks : 0);
  for (auto& c : nuc) c.table.assign(size_t{4} << (2 * k), 0);
  std::vector<std::vector<uint32_t>> qual(req.quality ? n_chunks : 0);
  for (auto& t : qual) t.assign(256 * 256, 0);
  std::vector<std::vector<uint64_t>> kmers(req.kmers ? n_chunks : 0);

  std::vector<std::function<void()>> tasks;
  for (size_t i = 0; i < nuc.size(); ++i)
    tasks.push_back([&, i] { count_nucleotides(chunks[i], lengths, bases, k, nuc[i]); });
  for (size_t i = 0; i < qual.size(); ++i)
    tasks.push_back([&, i] { count_qualities(chunks[i], lengths, qualities, bins, qual[i]); });
  for (size_t i = 0; i < kmers.size(); ++i) tasks.push_back([&, i] { sample_kmers(chunks[i], lengths, bases, kmers[i]); });
  run_tasks(pool, tasks);

  PassResults out;
  if (req.sequence) {
    std::vector<uint64_t> merged(size_t{4} << (2 * k), 0);
    uint64_t non_nucleotide = 0;
    for (const auto& c : nuc) {
      for (size_t j = 0; j < merged.size(); ++j) merged[j] += c.table[j];
      non_nucleotide += c.non_nucleotide;
    }
    out.nucleotide_bits = 8.0 * static_cast<double>(non_nucleotide) + rows_entropy(merged, 4);
  }
  if (req.quality) {
    std::vector<uint64_t> merged(256 * 256, 0);
    for (const auto& t : qual)
      for (size_t j = 0; j < merged.size(); ++j) merged[j] += t[j];
    out.quality_bits = rows_entropy(merged, 256);
  }
  if (req.kmers) {
    std::vector<uint64_t> sample;
    for (const auto& v : kmers) sample.insert(sample.end(), v.begin(), v.end());
    if (!sample.empty()) {
      std::sort(sample.begin(), sample.end());
      const size_t distinct = static_cast<size_t>(std::unique(sample.begin(), sample.end()) - sample.begin());
      out.duplication = 1.0 - static_cast<double>(distinct) / static_cast<double>(sample.size());
    }
  }
  return out;
}

// The long-read blend of order-k bits per base and duplication, in bits.
double blend_long_reads(double nucleotide_bits, double dup, uint64_t total_bases, Platform platform) {
  const double h = total_bases == 0 ? 0.0 : nucleotide_bits / static_cast<double>(total_bases);
  const double r = duplicated_bits_per_base(platform);
  const double blended = r * dup + (1.0 - dup) * h;
  if (std::getenv(kEstimateDebugVariable) != nullptr) {
    char line[256];
    std::snprintf(line, sizeof line,
                  "[est dbg] long-read seq: platform=%s bases=%llu dup=%.4f H_k=%.4f R=%.2f -> blended=%.4f b/base\n",
                  platform_member_name(platform), static_cast<unsigned long long>(total_bases), dup, h, r, blended);
    std::fputs(line, stderr);
  }
  return blended * static_cast<double>(total_bases);
}

StreamBits models(std::span<const uint32_t> read_lengths, std::span<const uint8_t> bases,
                  std::span<const uint8_t> qualities, unsigned k, Platform platform, QualityBinning binning,
                  bool with_quality, ThreadPool& pool) {
  const bool is_long = long_reads(read_lengths);
  const Request req{.sequence = true, .quality = with_quality, .kmers = is_long};
  const PassResults p = run_passes(read_lengths, bases, qualities, k, binning, req, pool);
  StreamBits out;
  out.quality = p.quality_bits;
  out.sequence = is_long ? blend_long_reads(p.nucleotide_bits, p.duplication, bases.size(), platform)
                         : kShortReadFactor * p.nucleotide_bits;
  return out;
}

}  // namespace

double nucleotide_entropy_bits(std::span<const uint32_t> read_lengths, std::span<const uint8_t> bases,
                               unsigned k, ThreadPool& pool) {
  return run_passes(read_lengths, bases, {}, k, QualityBinning::Lossless, {.sequence = true}, pool).nucleotide_bits;
}

double duplicated_bits_per_base(Platform platform) {
  switch (platform) {
    case Platform::Nanopore: return 0.28;
    case Platform::PacBio: return 0.07;
    default: return 0.2;
  }
}

double kmer_duplication(std::span<const uint32_t> read_lengths, std::span<const uint8_t> bases, ThreadPool& pool) {
  return run_passes(read_lengths, bases, {}, 1, QualityBinning::Lossless, {.kmers = true}, pool).duplication;
}

double sequence_bits(std::span<const uint32_t> read_lengths, std::span<const uint8_t> bases, unsigned k,
                     Platform platform, ThreadPool& pool) {
  return models(read_lengths, bases, {}, k, platform, QualityBinning::Lossless, false, pool).sequence;
}

double quality_bits(std::span<const uint32_t> read_lengths, std::span<const uint8_t> qualities,
                    QualityBinning binning, ThreadPool& pool) {
  return run_passes(read_lengths, {}, qualities, 1, binning, {.quality = true}, pool).quality_bits;
}

StreamBits stream_bits(std::span<const uint32_t> read_lengths, std::span<const uint8_t> bases,
                       std::span<const uint8_t> qualities, unsigned k, Platform platform, QualityBinning binning,
                       ThreadPool& pool) {
  return models(read_lengths, bases, qualities, k, platform, binning, true, pool);
}

}  // namespace zarv
