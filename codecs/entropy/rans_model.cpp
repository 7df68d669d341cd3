// rANS frequency models: stored-table validation, count normalisation, and the
// derived decode and encode tables.
#include "codecs/entropy/rans_model.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "codecs/entropy/byte_cursor.hpp"

namespace zarv {

using rans::kTotFreq;

ArchiveError rans_error(const char* msg) {
  return ArchiveError::nested(ErrorKind::Rans, std::string("malformed rANS stream: ") + msg);
}

namespace rans_detail {

Status read_table(const uint8_t* stored, uint16_t* freq) {
  uint32_t sum = 0;
  for (int s = 0; s < 256; ++s) {
    freq[s] = load_le16(stored + 2 * s);
    sum += freq[s];
    // Checked as the sum grows, so a table is rejected at the first entry that
    // overshoots; 256 * 65535 cannot overflow the 32-bit sum.
    if (sum > kTotFreq) return rans_error("rANS freq table exceeds TOTFREQ");
  }
  if (sum != kTotFreq) return rans_error("rANS freq table does not sum to TOTFREQ");
  return {};
}

void normalise_counts(const uint32_t* counts, uint16_t* freq) {
  uint64_t total = 0;
  for (int s = 0; s < 256; ++s) total += counts[s];
  std::memset(freq, 0, 256 * sizeof(uint16_t));
  if (total == 0) return;

  uint32_t sum = 0;
  uint32_t best_freq = 0;
  int best = 0;
  for (int s = 0; s < 256; ++s) {
    if (counts[s] == 0) continue;
    uint32_t f = static_cast<uint32_t>(uint64_t(counts[s]) * kTotFreq / total);
    if (f == 0) f = 1;  // every symbol that occurs must stay codable
    freq[s] = static_cast<uint16_t>(f);
    sum += f;
    if (f > best_freq) {
      best_freq = f;
      best = s;
    }
  }
  if (sum < kTotFreq) {
    freq[best] = static_cast<uint16_t>(freq[best] + (kTotFreq - sum));
    return;
  }
  // The floors sum to at most 4096, so any excess comes from the bumps to 1
  // (at most 255) and some symbol always has a frequency of 2 or more to give.
  uint32_t excess = sum - kTotFreq;
  int m = best;
  while (excess > 0) {
    const uint32_t r = std::min<uint32_t>(freq[m] - 1u, excess);
    freq[m] = static_cast<uint16_t>(freq[m] - r);
    excess -= r;
    if (excess == 0) break;
    uint32_t top = 0;
    for (int s = 0; s < 256; ++s) {
      if (freq[s] >= 2 && freq[s] > top) {
        top = freq[s];
        m = s;
      }
    }
  }
}

void build_o0_decode_table(const uint16_t* freq, O0Layout layout, O0DecodeTable& t) {
  uint32_t cum = 0;
  for (uint32_t s = 0; s < 256; ++s) {
    const uint32_t f = freq[s];
    t.freq[s] = static_cast<uint16_t>(f);
    t.cum[s] = static_cast<uint16_t>(cum);
    if (f == 0) continue;
    std::memset(t.sym + cum, static_cast<int>(s), f);
    uint32_t* e = t.entry + cum;
    if (layout == O0Layout::Packed) {
      const uint32_t hi = s | ((f - 1) << 20);
      for (uint32_t k = 0; k < f; ++k) e[k] = hi | (k << 8);
      // f * X + k < 2^16  <=>  X < ceil((2^16 - k) / f); stepped down from
      // k = 0 with one division per symbol.
      uint32_t* below = t.renorm_below + cum;
      uint32_t q = (rans::kLowerBound + f - 1) / f;
      uint32_t r = (rans::kLowerBound + f - 1) % f;
      for (uint32_t k = 0; k < f; ++k) {
        below[k] = q;
        if (r == 0) {
          --q;
          r = f - 1;
        } else {
          --r;
        }
      }
    } else {
      for (uint32_t k = 0; k < f; ++k) e[k] = f | (k << 16);
    }
    cum += f;
  }
  t.cum[256] = static_cast<uint16_t>(cum);
}

EncSymbol make_enc_symbol(uint32_t freq, uint32_t cum) {
  EncSymbol e{};
  e.freq = static_cast<uint16_t>(freq);
  e.cmpl = static_cast<uint16_t>(kTotFreq - freq);
  e.lim = (freq << 20) - 1u;  // wraps to 0xffffffff for f = 4096
  e.bias = static_cast<uint16_t>(cum);
  if (freq == 0) {
    e.rcp = 0;  // never coded
    e.shift = 0;
  } else if (freq == 1) {
    e.rcp = 0xffffffffu;
    e.shift = 0;
    e.bias = static_cast<uint16_t>(cum + kTotFreq - 1);
  } else if (freq <= 2048) {
    const unsigned k = std::bit_width(freq - 1);  // ceil(log2 f)
    e.rcp = static_cast<uint32_t>(((uint64_t(1) << (k + 31)) + freq - 1) / freq);
    e.shift = static_cast<uint8_t>(k - 1);
  } else {
    e.rcp = 0;  // divided instead
    e.shift = 0;
  }
  return e;
}

void build_vec_enc_table(const uint16_t* freq, VecEncTable& table) {
  uint32_t cum = 0;
  for (int s = 0; s < 256; ++s) {
    const uint32_t f = freq[s];
    if (f == 0) {
      table.rcp[s] = 0;
      table.pack[s] = 0;
      continue;
    }
    uint32_t rcp, shift, bias = cum;
    if (f == 1) {
      rcp = 0xffffffffu;
      shift = 0;
      bias = cum + kTotFreq - 1;
    } else {
      const unsigned k = std::bit_width(f - 1);
      rcp = static_cast<uint32_t>(((uint64_t(1) << (k + 31)) + f - 1) / f);
      shift = k - 1;
    }
    table.rcp[s] = rcp;
    table.pack[s] = f | (bias << 13) | (shift << 26);
    cum += f;
  }
}

}  // namespace rans_detail

Result<FrequencyModel> FrequencyModel::from_table(std::span<const uint8_t, rans::kTableBytes> stored) {
  FrequencyModel m;
  ZARV_TRY(rans_detail::read_table(stored.data(), m.freq.data()));
  for (int s = 0; s < 256; ++s) m.cum[s + 1] = static_cast<uint16_t>(m.cum[s] + m.freq[s]);
  for (int s = 0; s < 256; ++s) std::memset(m.slot2sym.data() + m.cum[s], s, m.freq[s]);
  return m;
}

FrequencyModel FrequencyModel::from_counts(std::span<const uint32_t, 256> counts) {
  FrequencyModel m;
  rans_detail::normalise_counts(counts.data(), m.freq.data());
  for (int s = 0; s < 256; ++s) m.cum[s + 1] = static_cast<uint16_t>(m.cum[s] + m.freq[s]);
  for (int s = 0; s < 256; ++s) std::memset(m.slot2sym.data() + m.cum[s], s, m.freq[s]);
  return m;
}

}  // namespace zarv
