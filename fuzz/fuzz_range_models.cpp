// Fuzz target: the range decoder with every model kind over arbitrary bytes.
//
// Input: byte 0 is a script length L, the next L bytes a script of operations
// (each byte picks a model kind and a context), the rest the payload. The
// script is run cyclically for a bounded number of steps. Checks, trapping on
// failure: the coder stays normalised and unwrapped after every step, values
// are in range, and re-encoding the decoded values with fresh models gives a
// stream that decodes back to the same values.
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "codecs/entropy/models.hpp"
#include "codecs/entropy/range_coder.hpp"
#include "fuzz/fuzz_target.hpp"

namespace {

using namespace zarv;

struct Models {
  std::array<AdaptiveFreqModel<5>, 16> nuc;
  std::array<AdaptiveFreqModel<4>, 4> four;
  AdaptiveFreqModel<40> wide;
  std::array<BitModel, 8> bits;
  BitTree<3> t3f, t3r;
  BitTree<8> t8f, t8r;
};

struct Step {
  uint8_t kind;
  uint32_t param;
  uint32_t value;
};

constexpr unsigned kKinds = 11;

// Decodes (RangeDecoder) or encodes (RangeEncoder) one step; `value` is the
// result or the input accordingly. Returns the bound the value must stay under.
template <class Coder>
uint64_t run_step(Coder& c, Models& m, const Step& s, uint32_t& value) {
  constexpr bool kEnc = std::is_same_v<Coder, RangeEncoder>;
  auto sym = [&](auto& model) { if constexpr (kEnc) model.encode(c, value); else value = model.decode(c); };
  const uint32_t p = s.param;
  switch (s.kind) {
    case 0: sym(m.nuc[p % 16]); return 5;
    case 1: sym(m.four[p % 4]); return 4;
    case 2: sym(m.wide); return 40;
    case 3: sym(m.bits[p % 8]); return 2;
    case 4: if constexpr (kEnc) m.t3f.encode(c, value); else value = m.t3f.decode(c); return 8;
    case 5: if constexpr (kEnc) m.t3r.encode_reverse(c, value); else value = m.t3r.decode_reverse(c); return 8;
    case 6: if constexpr (kEnc) m.t8f.encode(c, value); else value = m.t8f.decode(c); return 256;
    case 7: if constexpr (kEnc) m.t8r.encode_reverse(c, value); else value = m.t8r.decode_reverse(c); return 256;
    case 8: {
      const unsigned n = p % 33;
      if constexpr (kEnc) c.encode_direct(value, n); else value = c.decode_direct(n);
      return uint64_t{1} << n;
    }
    case 9: {
      const uint32_t prob = 1 + p % 4095;
      if constexpr (kEnc) c.encode_split(prob, 12, value); else value = c.decode_split(prob, 12);
      return 2;
    }
    default: {  // a flat alphabet of up to 2^16 symbols through the raw primitives
      const uint32_t total = 1 + p % 65536;
      if constexpr (kEnc) {
        c.encode_freq(value, 1, total);
      } else {
        value = std::min(c.decode_freq(total), total - 1);
        c.consume(value, 1);
      }
      return total;
    }
  }
}

void check_state(const RangeDecoder& rd) {
  if (rd.range() < kRangeBottom || uint64_t{rd.low()} + rd.range() > (uint64_t{1} << 32)) __builtin_trap();
}

}  // namespace

ZARV_FUZZ_TARGET(range_models) {
  if (size == 0) return 0;
  const size_t script_len = std::min<size_t>(data[0], size - 1);
  const std::span<const uint8_t> script(data + 1, script_len);
  const std::span<const uint8_t> payload(data + 1 + script_len, size - 1 - script_len);
  const size_t steps = std::min<size_t>(4096, 8 * payload.size() + 64);

  std::vector<Step> trace;
  trace.reserve(steps);
  {
    RangeDecoder rd(payload);
    Models m;
    for (size_t i = 0; i < steps; ++i) {
      const uint8_t b = script.empty() ? static_cast<uint8_t>(i) : script[i % script.size()];
      Step s{static_cast<uint8_t>(b % kKinds), static_cast<uint32_t>(b / kKinds + 131 * i), 0};
      if (run_step(rd, m, s, s.value) <= s.value) __builtin_trap();
      check_state(rd);
      trace.push_back(s);
    }
  }

  std::vector<uint8_t> coded;
  {
    RangeEncoder re(coded);
    Models m;
    for (Step s : trace) run_step(re, m, s, s.value);
    re.finish();
  }
  RangeDecoder rd(coded);
  Models m;
  for (const Step& s : trace) {
    uint32_t value = 0;
    run_step(rd, m, s, value);
    if (value != s.value) __builtin_trap();
  }
  return 0;
}
