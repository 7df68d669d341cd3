// Opening sealed units of arbitrary bytes with a fixed key: never opens a unit
// it did not seal (the tag would have to be forged) and never crashes.
#include "crypto/crypto.hpp"
#include "fuzz/fuzz_target.hpp"

ZARV_FUZZ_TARGET(sealed) {
  static const zarv::ArchiveKey key({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23,
                                     24, 25, 26, 27, 28, 29, 30, 31, 32},
                                    {9, 9, 9, 9, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3});
  std::span<const uint8_t> in(data, size);
  uint64_t index = size ? data[0] : 0;
  if (zarv::open_block(key, index, in).ok()) __builtin_trap();
  if (zarv::open_global_reference(key, in).ok()) __builtin_trap();
  if (size >= 16) {
    std::span<const uint8_t, 16> tag(data, 16);
    if (zarv::check_footer_tag(key, in.subspan(16), tag).ok()) __builtin_trap();
  }
  return 0;
}
