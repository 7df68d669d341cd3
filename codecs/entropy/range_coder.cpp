// RangeEncoder::finish: the flush of the carryless range encoder.
#include "codecs/entropy/range_coder.hpp"

namespace zarv {

void RangeEncoder::finish() {
  // The code the decoder ends up with is these bytes followed by zeros, so any
  // value in [low, low + range) ending in as many zero bytes as possible will
  // do. No carry: low + range never exceeds 2^32. k = 4 (v = low) always fits.
  const uint64_t lo = low_;
  const uint64_t hi = lo + range_;  // exclusive
  assert(hi <= (uint64_t{1} << 32));
  for (unsigned k = 0; k <= 4; ++k) {
    const uint64_t unit = uint64_t{1} << (32 - 8 * k);
    const uint64_t v = (lo + unit - 1) / unit * unit;
    if (v < hi) {
      for (unsigned i = 0; i < k; ++i) out_->push_back(static_cast<uint8_t>(v >> (24 - 8 * i)));
      break;
    }
  }
  while (out_->size() > start_ && out_->back() == 0) out_->pop_back();
}

}  // namespace zarv
