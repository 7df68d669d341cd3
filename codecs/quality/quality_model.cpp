// Tables and construction of the quality context models.
#include "codecs/quality/quality_model.hpp"

#include <cmath>

namespace zarv::quality {

const MixingTables& mixing_tables() {
  static const MixingTables tables = [] {
    MixingTables t{};
    for (int i = 0; i < 4096; ++i) {
      // std::round rounds halves away from zero; the only exact half-way case
      // in the table is i = 2048 (4096 / 2).
      const double v = std::round(4096.0 / (1.0 + std::exp((2048.0 - i) / 256.0)));
      t.squash[i] = static_cast<uint16_t>(std::clamp(v, 1.0, 4095.0));
    }
    // squash is non-decreasing, so one forward scan finds, for every p, the
    // first entry that reaches it.
    int i = 0;
    for (int p = 0; p <= 4096; ++p) {
      while (i < 4096 && t.squash[i] < p) ++i;
      t.stretch[p] = static_cast<int16_t>(i < 4096 ? i - 2048 : 2047);
    }
    return t;
  }();
  return tables;
}

Quantizers Quantizers::fixed() {
  Quantizers q;
  for (unsigned v = 0; v < 256; ++v) {
    q.q0[v] = static_cast<uint8_t>((v >> 1) & 63);
    q.q1[v] = static_cast<uint8_t>((v >> 3) & 7);
    q.q2[v] = static_cast<uint8_t>((v >> 4) & 3);
  }
  return q;
}

Quantizers Quantizers::stored(const Alphabet& alphabet, std::span<const uint8_t> bytes) {
  Quantizers q;
  for (uint32_t k = 0; k < alphabet.n && 2 * k + 1 < bytes.size(); ++k) {
    const uint8_t v = alphabet.relative[k];
    const uint8_t x = bytes[2 * k], y = bytes[2 * k + 1];
    q.q0[v] = x & 63;
    q.q1[v] = (y >> 3) & 7;
    q.q2[v] = y & 3;
  }
  return q;
}

Result<MixingModel> MixingModel::create(uint32_t n, uint64_t symbols) {
  MixingModel m;
  m.bits_ = mixing_bits(n);
  // Each symbol probes one row of every table. A table of P pages (4 KiB)
  // that the call probes at least P / 2 times reaches most of its pages
  // anyway (rows are spread by the context and, in T3, the hash): zeroing it
  // whole in huge pages then costs no more, and its probes stop missing the
  // TLB. Smaller calls keep ordinary pages and pay only for what they touch.
  const auto huge = [symbols](size_t entries) { return symbols >= entries * sizeof(int16_t) / 4096 / 2; };
  const size_t n1 = size_t{1} << (kT1Bits + m.bits_), n2 = size_t{1} << (kT2Bits + m.bits_),
               n3 = size_t{1} << (kT3Bits + m.bits_);
  if (!m.t1_.allocate(n1, huge(n1)) || !m.t2_.allocate(n2, huge(n2)) || !m.t3_.allocate(n3, huge(n3))) {
    return model_alloc_error();
  }
  m.weights_.fill(kInitialWeight);
  m.tables_ = mixing_tables();
  return m;
}

}  // namespace zarv::quality
