// Which of a block's three streams a decode produces.
#pragma once

#include <cstdint>

namespace zarv {

struct StreamSelection {
  bool names = true;
  bool sequence = true;
  bool quality = true;

  static constexpr StreamSelection all() { return {true, true, true}; }
  static constexpr StreamSelection none() { return {false, false, false}; }
  bool is_all() const { return names && sequence && quality; }
  // Bit 0 names, bit 8 sequence, bit 16 quality (all three: 0x010101).
  uint32_t packed() const {
    return uint32_t(names) | (uint32_t(sequence) << 8) | (uint32_t(quality) << 16);
  }
  static constexpr StreamSelection from_packed(uint32_t w) {
    return {(w & 0x1) != 0, (w & 0x100) != 0, (w & 0x10000) != 0};
  }
};

}  // namespace zarv
