#include "estimate/estimate.hpp"

#include <cmath>
#include <future>
#include <string_view>
#include <vector>

#include "codecs/names/names.hpp"
#include "estimate/platform.hpp"
#include "estimate/size_models.hpp"

namespace zarv {
namespace {

// ceil(x) as u64, saturating: negative gives 0, beyond 2^64 - 1 gives the maximum.
uint64_t saturating_ceil(double x) {
  if (!(x > 0.0)) return 0;
  const double c = std::ceil(x);
  if (c >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<uint64_t>(c);
}

double quality_factor(Platform p) {
  switch (p) {
    case Platform::Nanopore: return 0.95;
    case Platform::PacBio: return 0.83;
    default: return 0.94;
  }
}

uint64_t saturating_add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

}  // namespace

unsigned estimate_order(uint8_t level) {
  const unsigned k = level < 7 ? std::min<unsigned>(level, 5) + 6 : 11;
  return std::clamp(k, 1u, 8u);
}

SourceEstimate estimate_batch(const SampleBatch& batch, unsigned k, QualityBinning binning, ThreadPool& pool) {
  SourceEstimate e;
  e.exhausted = batch.exhausted;
  if (batch.records() == 0) {
    e.exhausted = true;
    return e;
  }
  e.reads = batch.records();
  e.bases = batch.bases.size();
  e.raw_bytes = batch.raw_bytes;
  e.platform = detect_platform(kNoPlatformHint, batch);

  // The names are coded on a thread of their own while the models' counting
  // passes run on the pool.
  auto names_task = std::async(std::launch::async, [&batch] {
    std::vector<std::string_view> names(batch.records());
    for (size_t i = 0; i < names.size(); ++i) names[i] = batch.name(i);
    return static_cast<uint64_t>(encode_names(names).size());
  });
  const StreamBits bits = stream_bits(batch.read_lengths, batch.bases, batch.qualities, k, e.platform, binning, pool);
  e.names_bytes = names_task.get();
  e.sequence_bytes = saturating_ceil(bits.sequence * 0.125);
  e.quality_bytes = saturating_ceil((bits.quality * 0.125) * quality_factor(e.platform));
  e.archive_bytes = saturating_add(
      saturating_add(saturating_add(e.names_bytes, e.sequence_bytes), e.quality_bytes), kSourceOverheadBytes);
  return e;
}

Status GroupEstimate::add(const SourceEstimate& s) {
  if (s.platform != Platform::Unknown) {
    if (!platform_) {
      platform_ = s.platform;
    } else if (*platform_ != s.platform) {
      return ArchiveError::nested(ErrorKind::Estimate, std::string("grouped sources span multiple platforms (") +
                                     platform_long_name(*platform_) + " and " + platform_long_name(s.platform) +
                                     "); estimate a single archive's mates together, not different datasets");
    }
  }
  if (first_) {
    total_ = s;
    first_ = false;
  } else {
    total_.reads += s.reads;
    total_.bases += s.bases;
    total_.raw_bytes += s.raw_bytes;
    total_.names_bytes += s.names_bytes;
    total_.sequence_bytes += s.sequence_bytes;
    total_.quality_bytes += s.quality_bytes;
    total_.archive_bytes += s.archive_bytes;
    total_.exhausted = total_.exhausted && s.exhausted;
  }
  total_.platform = platform_.value_or(Platform::Unknown);
  return {};
}

}  // namespace zarv
