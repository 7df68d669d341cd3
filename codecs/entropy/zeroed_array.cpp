// The mapping behind huge-page model tables.
#include "codecs/entropy/zeroed_array.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace zarv {

void* map_huge_zeroed(size_t bytes, size_t& mapped) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr size_t kHuge = size_t{2} << 20;
  if (bytes > SIZE_MAX - 2 * kHuge) return nullptr;
  mapped = (bytes + kHuge - 1) / kHuge * kHuge + kHuge;  // whole huge pages, plus alignment room
  void* p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  madvise(align_huge(p), mapped - kHuge, MADV_HUGEPAGE);  // advice only: failure leaves normal pages
  return p;
#else
  (void)bytes;
  mapped = 0;
  return nullptr;
#endif
}

void unmap_huge(void* map, size_t mapped) {
#if defined(__linux__)
  munmap(map, mapped);
#else
  (void)map;
  (void)mapped;
#endif
}

}  // namespace zarv
