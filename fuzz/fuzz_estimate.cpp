// Sampling and estimating arbitrary bytes (plain or gzip): never crashes, and
// a sample never holds more records than the cap or inconsistent columns.
#include "estimate/estimate.hpp"
#include "estimate/sampling.hpp"
#include "fuzz/fuzz_target.hpp"

ZARV_FUZZ_TARGET(estimate) {
  zarv::MemorySource src(std::vector<uint8_t>(data, data + size));
  auto batch = zarv::sample_source(src, 64, uint64_t{1} << 20);
  if (!batch.ok()) return 0;
  const zarv::SampleBatch& b = *batch;
  if (b.records() > 64 || b.read_lengths.size() != b.records()) __builtin_trap();
  uint64_t total = 0;
  for (uint32_t len : b.read_lengths) total += len;
  if (total != b.bases.size() || b.qualities.size() != b.bases.size()) __builtin_trap();
  zarv::ThreadPool pool(1);
  for (uint8_t level : {0, 9}) {
    auto e = zarv::estimate_batch(b, zarv::estimate_order(level), zarv::QualityBinning::Lossless, pool);
    if (e.reads != b.records()) __builtin_trap();
  }
  return 0;
}
