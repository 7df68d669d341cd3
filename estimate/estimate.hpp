// The estimate of one source and of a group: the sample's names coded with the
// name encoder, its sequence and quality sized by the models, a fixed
// per-source overhead, and the group's platform rule.
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/quality/binning.hpp"
#include "core/header.hpp"
#include "core/result.hpp"
#include "core/thread_pool.hpp"
#include "estimate/sample_batch.hpp"

namespace zarv {

inline constexpr uint64_t kSourceOverheadBytes = 52;

struct SourceEstimate {
  uint64_t reads = 0;
  uint64_t bases = 0;
  uint64_t raw_bytes = 0;
  uint64_t names_bytes = 0;
  uint64_t sequence_bytes = 0;
  uint64_t quality_bytes = 0;
  uint64_t archive_bytes = 0;
  Platform platform = Platform::Unknown;
  bool exhausted = true;
};

// Context order of the sequence model for an effort level: min(level, 5) + 6
// below level 7, 11 from level 7, then clamped to 1..8.
unsigned estimate_order(uint8_t level);

// Estimate of one source's sample (all zeros, exhausted, when it is empty).
SourceEstimate estimate_batch(const SampleBatch& batch, unsigned k, QualityBinning binning, ThreadPool& pool);

// Adds sources one by one, enforcing the shared-platform rule.
class GroupEstimate {
 public:
  // Fails with the group-platform error when `s` resolves to a known
  // platform other than the group's.
  Status add(const SourceEstimate& s);
  const SourceEstimate& total() const { return total_; }

 private:
  SourceEstimate total_;
  std::optional<Platform> platform_;
  bool first_ = true;
};

}  // namespace zarv
