// The processor-feature word that selects the rANS vector paths.
//
// Detected once per process (CPUID plus the vector state the operating system
// has enabled in XCR0) and cached; the only process-wide state of the codecs.
#pragma once

#include <cstdint>

namespace zarv {

enum CpuFeature : uint32_t {
  // AVX2 with the BMI1/BMI2/LZCNT/POPCNT extensions its code is compiled with,
  // and the YMM state enabled by the OS.
  kCpuAvx2 = 1u << 0,
  // AVX-512F (with the BW/VL/DQ subsets that file is compiled with), the AVX2
  // set above, and the opmask/ZMM state enabled by the OS.
  kCpuAvx512 = 1u << 1,
  // SSE4.2, whose crc32 instruction computes CRC-32C (used by the CRC's fast path).
  kCpuSse42 = 1u << 2,
};

// The cached feature word (detected on first use), restricted by the test mask.
uint32_t cpu_features();

// Tests and fuzzers only: restricts the feature word to `mask` (0 forces the
// scalar paths, kCpuAvx2 forces AVX2, ~0u restores what the processor has).
// Features the processor lacks are never turned on.
void set_cpu_feature_mask_for_testing(uint32_t mask);

// What the processor and OS support, ignoring the test mask.
uint32_t detected_cpu_features();

}  // namespace zarv
