// Zero-filled model tables shared by the context-model codecs (nucleotide,
// quality): the models are laid out so that all-zero bytes are their
// initial state, so a table needs no set-up beyond fresh pages.
//
// Internal to the codecs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <utility>

namespace zarv {

// A zeroed anonymous mapping of at least `bytes` with room to align to a
// 2 MiB boundary, advised to use huge pages; nullptr when unavailable.
// `mapped` receives the size to unmap.
void* map_huge_zeroed(size_t bytes, size_t& mapped);
void unmap_huge(void* map, size_t mapped);
// The first 2 MiB boundary inside a mapping from map_huge_zeroed.
inline void* align_huge(void* map) {
  if (!map) return nullptr;
  const uintptr_t a = (reinterpret_cast<uintptr_t>(map) + (uintptr_t{2} << 20) - 1) & ~((uintptr_t{2} << 20) - 1);
  return reinterpret_cast<void*>(a);
}

// A zero-filled array from calloc. Large model tables come straight from the
// kernel as untouched zero pages, so a table pays only for the pages its
// contexts actually reach; the codecs lay their models out so that all-zero
// bytes mean their initial state (or "not yet initialised").
//
// A table that a call will reach nearly everywhere can ask for huge pages
// instead: its random probes then stay within the TLB's reach, and the kernel
// zeroes the same memory in a few hundred faults instead of tens of
// thousands. Where huge pages are unavailable this is an ordinary mapping.
template <class T>
class ZeroedArray {
 public:
  ZeroedArray() = default;
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;
  ZeroedArray(ZeroedArray&& o) noexcept
      : p_(std::exchange(o.p_, nullptr)),
        raw_(std::exchange(o.raw_, nullptr)),
        map_(std::exchange(o.map_, nullptr)),
        map_bytes_(o.map_bytes_) {}
  ZeroedArray& operator=(ZeroedArray&& o) noexcept {
    std::swap(p_, o.p_);
    std::swap(raw_, o.raw_);
    std::swap(map_, o.map_);
    std::swap(map_bytes_, o.map_bytes_);
    return *this;
  }
  ~ZeroedArray() { release(); }

  // False when the memory is not available.
  [[nodiscard]] bool allocate(size_t count, bool huge_pages = false) {
    release();
    if (huge_pages) {
      map_ = map_huge_zeroed(count * sizeof(T), map_bytes_);
      p_ = static_cast<T*>(align_huge(map_));
      if (p_) return true;
    }
    // Rows are laid out at multiples of their size from the start of the
    // table: a 64-byte start keeps a row of up to 64 bytes on one cache line.
    if (count > (SIZE_MAX - 64) / sizeof(T)) return false;
    raw_ = std::calloc(count * sizeof(T) + 64, 1);
    if (!raw_) return false;
    p_ = reinterpret_cast<T*>((reinterpret_cast<uintptr_t>(raw_) + 63) & ~uintptr_t{63});
    return true;
  }
  T* data() const { return p_; }

 private:
  void release() {
    if (map_) {
      unmap_huge(map_, map_bytes_);
    } else {
      std::free(raw_);
    }
    p_ = nullptr;
    raw_ = nullptr;
    map_ = nullptr;
  }

  T* p_ = nullptr;
  void* raw_ = nullptr;  // the calloc block behind p_ otherwise
  void* map_ = nullptr;  // the mapping behind p_ when huge pages were asked for
  size_t map_bytes_ = 0;
};

}  // namespace zarv
