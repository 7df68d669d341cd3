// rANS decoding on every code path: scalar, AVX2 and AVX-512 (as far as the
// processor has them) must return the same bytes or the same failure, except
// that the vector paths say "truncated renorm stream" where scalar says
// "truncated stream". The input is also coded with both orders on every path:
// the order-0 blocks must be identical and each block must decode back.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "codecs/entropy/cpu_features.hpp"
#include "codecs/entropy/rans.hpp"
#include "fuzz/fuzz_target.hpp"

namespace {

using zarv::kCpuAvx2;
using zarv::kCpuAvx512;

constexpr uint32_t kPathMasks[] = {0, kCpuAvx2, kCpuAvx2 | kCpuAvx512};

std::string outcome(std::span<const uint8_t> block) {
  // A small bound keeps forged lengths (a one-symbol table decodes any n
  // without words) from turning each run into megabytes of output.
  auto r = zarv::rans_decode(block, uint64_t(1) << 16);
  if (r.ok()) return "ok:" + std::string(r->begin(), r->end());
  std::string m = r.error().message();
  if (m == "malformed rANS stream: truncated renorm stream") m = "malformed rANS stream: truncated stream";
  return "error:" + m;
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

ZARV_FUZZ_TARGET(rans) {
  const std::span<const uint8_t> in(data, size);
  const uint32_t detected = zarv::detected_cpu_features();

  std::string reference;
  std::vector<uint8_t> reference_block;
  for (uint32_t mask : kPathMasks) {
    if ((detected & mask) != mask) continue;
    zarv::set_cpu_feature_mask_for_testing(mask);
    const std::string got = outcome(in);
    const std::vector<uint8_t> block = zarv::rans_encode(in, 0);
    if (mask == 0) {
      reference = got;
      reference_block = block;
    } else {
      check(got == reference);
      check(block == reference_block);
    }
    auto back = zarv::rans_decode(block, size);
    check(back.ok() && std::equal(back->begin(), back->end(), in.begin(), in.end()));
  }
  zarv::set_cpu_feature_mask_for_testing(~0u);

  const std::vector<uint8_t> block1 = zarv::rans_encode(in, 1);
  auto back1 = zarv::rans_decode(block1, size);
  check(back1.ok() && std::equal(back1->begin(), back1->end(), in.begin(), in.end()));
  return 0;
}
