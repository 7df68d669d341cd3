// CPUID / XGETBV feature detection, cached in one atomic word.
#include "codecs/entropy/cpu_features.hpp"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#define ZARV_X86 1
#endif

namespace zarv {

namespace {

// The one cached word: bits 0-7 the features in use, bits 8-15 the features
// the processor has (the test mask narrows the first set only), bit 31 set
// until the first detection. CPUID is slow under a hypervisor, so it runs once.
constexpr uint32_t kUnknown = 1u << 31;
constexpr unsigned kDetectedShift = 8;
std::atomic<uint32_t> g_features{kUnknown};

#ifdef ZARV_X86
uint64_t read_xcr0() {
  uint32_t eax, edx;
  // xgetbv with ECX = 0; spelled as bytes so no -mxsave flag is needed here.
  __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(eax), "=d"(edx) : "c"(0));
  return (uint64_t(edx) << 32) | eax;
}

uint32_t detect() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
  const uint32_t base = (ecx & (1u << 20)) ? kCpuSse42 : 0;  // needs no OS-enabled state
  const bool osxsave = ecx & (1u << 27);
  const bool avx = ecx & (1u << 28);
  const bool popcnt = ecx & (1u << 23);
  if (!osxsave || !avx || !popcnt) return base;
  const uint64_t xcr0 = read_xcr0();
  const bool ymm_state = (xcr0 & 0x6) == 0x6;           // SSE and AVX state
  const bool zmm_state = (xcr0 & 0xe6) == 0xe6;         // plus opmask, ZMM_Hi256, Hi16_ZMM
  if (!ymm_state) return base;

  if (__get_cpuid_max(0, nullptr) < 7) return base;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  const bool bmi1 = ebx & (1u << 3);
  const bool avx2 = ebx & (1u << 5);
  const bool bmi2 = ebx & (1u << 8);
  const bool avx512f = ebx & (1u << 16);
  const bool avx512dq = ebx & (1u << 17);
  const bool avx512bw = ebx & (1u << 30);
  const bool avx512vl = ebx & (1u << 31);

  bool lzcnt = false;
  if (__get_cpuid(0x80000001, &eax, &ebx, &ecx, &edx)) lzcnt = ecx & (1u << 5);

  uint32_t features = base;
  if (avx2 && bmi1 && bmi2 && lzcnt) features |= kCpuAvx2;
  if ((features & kCpuAvx2) && zmm_state && avx512f && avx512dq && avx512bw && avx512vl) {
    features |= kCpuAvx512;
  }
  return features;
}
#else
uint32_t detect() { return 0; }
#endif

uint32_t cached_word() {
  uint32_t word = g_features.load(std::memory_order_relaxed);
  if (word & kUnknown) {
    // Racing first callers compute and store the same value.
    const uint32_t f = detect();
    word = (f << kDetectedShift) | f;
    g_features.store(word, std::memory_order_relaxed);
  }
  return word;
}

}  // namespace

uint32_t detected_cpu_features() { return (cached_word() >> kDetectedShift) & 0xff; }

uint32_t cpu_features() { return cached_word() & 0xff; }

void set_cpu_feature_mask_for_testing(uint32_t mask) {
  const uint32_t detected = detected_cpu_features();
  g_features.store((detected << kDetectedShift) | (detected & mask & 0xff), std::memory_order_relaxed);
}

}  // namespace zarv
