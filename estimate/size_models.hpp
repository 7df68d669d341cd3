// Size models of the estimate: empirical-entropy sizes (in bits) of a sample's
// sequence and quality streams, standing in for running the real encoders.
//
// Every counting pass cuts the records into one chunk per pool worker, counts
// each chunk into private tables and merges them by addition, so results do
// not depend on the number of workers.
#pragma once

#include <cstdint>
#include <span>

#include "codecs/quality/binning.hpp"
#include "core/header.hpp"
#include "core/thread_pool.hpp"

namespace zarv {

inline constexpr unsigned kMinContextOrder = 1;
inline constexpr unsigned kMaxContextOrder = 8;
// Records whose integer mean length decides short against long reads.
inline constexpr size_t kReadClassRecords = 256;
inline constexpr uint64_t kLongReadMeanLength = 500;  // a mean above this is long
inline constexpr double kShortReadFactor = 0.86;
inline constexpr unsigned kDuplicationKmer = 15;
inline constexpr uint64_t kKmerMask = 0x3FFFFFFF;
inline constexpr uint64_t kKmerHashMultiplier = 0x9E3779B97F4A7C15ULL;
inline constexpr unsigned kKmerSampleShift = 58;  // keep hashes whose top 6 bits are 0
inline constexpr const char* kEstimateDebugVariable = "ZARV_ESTIMATE_DEBUG";

// Order-k cost of `bases` in bits: 8 bits per non-nucleotide byte plus the
// empirical entropy of each base given the k bases before it (context reset at
// every record). k must be 1 to 8; other values are clamped.
double nucleotide_entropy_bits(std::span<const uint32_t> read_lengths, std::span<const uint8_t> bases,
                               unsigned k, ThreadPool& pool);

// Bits per base of duplicated content for a platform (0.28 nanopore, 0.07
// PacBio, 0.2 otherwise).
double duplicated_bits_per_base(Platform platform);

// The duplicated fraction of the sampled forward 15-mers: 1 - distinct/total,
// 0 when no 15-mer was sampled.
double kmer_duplication(std::span<const uint32_t> read_lengths, std::span<const uint8_t> bases, ThreadPool& pool);

// Projected sequence-stream size in bits. Short reads: 0.86 x the order-k
// cost. Long reads: the order-k bits per base blended with the duplication
// estimate; writes one diagnostic line to stderr when ZARV_ESTIMATE_DEBUG is set.
double sequence_bits(std::span<const uint32_t> read_lengths, std::span<const uint8_t> bases, unsigned k,
                     Platform platform, ThreadPool& pool);

// Projected quality-stream size in bits: order-1 empirical entropy of the
// binned quality bytes, context reset at every record. Each record's quality
// slice has its read length; slices are cut at the end of `qualities`, never
// read past it.
double quality_bits(std::span<const uint32_t> read_lengths, std::span<const uint8_t> qualities,
                    QualityBinning binning, ThreadPool& pool);

struct StreamBits {
  double sequence = 0.0;
  double quality = 0.0;
};

// Both models with their counting passes run together on `pool` (whose run()
// is not re-entrant, so the two models share its passes instead of nesting).
// Same results as sequence_bits() and quality_bits() called separately.
StreamBits stream_bits(std::span<const uint32_t> read_lengths, std::span<const uint8_t> bases,
                       std::span<const uint8_t> qualities, unsigned k, Platform platform, QualityBinning binning,
                       ThreadPool& pool);

}  // namespace zarv
