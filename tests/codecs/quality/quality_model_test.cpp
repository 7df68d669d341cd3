// Quality context models: known table values, and the decoder against a
// plain step-by-step decoder written straight from the format description
// (full tables filled up front, 255 for "no base", no saturated counters),
// on hand-laid streams with random payloads and on encoder output.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <numeric>
#include <optional>
#include <random>

#include "codecs/quality/quality_model.hpp"
#include "tests/codecs/quality/quality_samples.hpp"
#include "tests/codecs/quality/quality_test_util.hpp"

namespace zarv {
namespace {

using namespace quality_test;
using quality::mixing_tables;

TEST(QualityModelTables, SquashKnownValues) {
  const auto& sq = mixing_tables().squash;
  const std::pair<int, int> known[] = {{0, 1},       {1, 1},       {100, 2},     {1024, 74},   {1792, 1102},
                                       {2000, 1857}, {2047, 2044}, {2048, 2048}, {2049, 2052}, {2304, 2994},
                                       {3072, 4022}, {4000, 4094}, {4095, 4095}};
  for (const auto& [i, v] : known) EXPECT_EQ(sq[i], v) << i;
  EXPECT_TRUE(std::is_sorted(sq.begin(), sq.end()));
}

TEST(QualityModelTables, StretchKnownValues) {
  const auto& st = mixing_tables().stretch;
  const std::pair<int, int> known[] = {{0, -2048}, {1, -2048}, {2, -2025},   {3, -1894}, {100, -945},
                                       {1000, -289}, {1984, -16}, {2048, 0}, {2049, 1},  {3000, 258},
                                       {4094, 1895}, {4095, 2026}, {4096, 2047}};
  for (const auto& [p, v] : known) EXPECT_EQ(st[p], v) << p;
}

TEST(QualityModelTables, QuantizersAndSizes) {
  const auto fixed = quality::Quantizers::fixed();
  EXPECT_EQ(fixed.q0[200], 36);  // (200 >> 1) & 63
  EXPECT_EQ(fixed.q1[200], 1);   // (200 >> 3) & 7
  EXPECT_EQ(fixed.q2[200], 0);   // (200 >> 4) & 3
  EXPECT_EQ(fixed.q0[41], 20);
  EXPECT_EQ(fixed.q1[41], 5);
  EXPECT_EQ(fixed.q2[41], 2);

  // Alphabet "#(F": relative values 0, 5, 35.
  const auto alphabet = quality::Alphabet::from(bytes_of("#(F"));
  const Bytes bytes = {0x7F, 0xFF, 0x05, 0x1A, 0x40, 0x03};
  const auto stored = quality::Quantizers::stored(alphabet, bytes);
  EXPECT_EQ(stored.q0[0], 63);
  EXPECT_EQ(stored.q1[0], 7);
  EXPECT_EQ(stored.q2[0], 3);
  EXPECT_EQ(stored.q0[5], 5);
  EXPECT_EQ(stored.q1[5], 3);
  EXPECT_EQ(stored.q2[5], 2);
  EXPECT_EQ(stored.q0[35], 0);
  EXPECT_EQ(stored.q1[35], 0);
  EXPECT_EQ(stored.q2[35], 3);
  EXPECT_EQ(stored.q0[1] | stored.q1[1] | stored.q2[1], 0);  // not in the alphabet

  const std::pair<uint32_t, uint32_t> slots[] = {{1, 4},   {4, 4},   {5, 8},   {8, 8},   {9, 16},  {16, 16},
                                                 {17, 32}, {32, 32}, {33, 64}, {64, 64}, {65, 94}, {94, 94}};
  for (const auto& [n, s] : slots) EXPECT_EQ(quality::freq_slots(n), s) << n;
  const std::pair<uint32_t, unsigned> bits[] = {{1, 1}, {2, 1}, {3, 2},  {4, 2},  {5, 3},
                                                {8, 3}, {9, 4}, {64, 6}, {65, 7}, {94, 7}};
  for (const auto& [n, b] : bits) EXPECT_EQ(quality::mixing_bits(n), b) << n;
  const std::pair<uint32_t, uint32_t> buckets[] = {{0, 0},   {1, 0},    {15, 7},   {16, 8},
                                                   {47, 9},  {223, 14}, {224, 15}, {1000000, 15}};
  for (const auto& [i, p] : buckets) EXPECT_EQ(quality::position_bucket(i), p) << i;
  EXPECT_EQ(quality::hash_context(1), 0x9E377u);
  EXPECT_EQ(quality::hash_context(0x3FFFFF), 0xCE088u);
}

// ---- the plain decoder ----------------------------------------------------

struct PlainCoder {
  const Bytes& payload;
  size_t pos = 0;
  uint32_t low = 0, range = 0xFFFFFFFFu, code = 0;

  explicit PlainCoder(const Bytes& p) : payload(p) {
    for (int i = 0; i < 4; ++i) code = (code << 8) | next();
  }
  uint32_t next() { return pos < payload.size() ? payload[pos++] : (++pos, 0u); }
  void normalise() {
    for (;;) {
      if (((low + range) ^ low) >= (1u << 24)) {
        if (range >= 65536) return;
        range = (0u - low) & 65535;
      }
      code = (code << 8) | next();
      low <<= 8;
      range <<= 8;
    }
  }
};

uint32_t base_code(uint32_t b) {
  switch (b) {
    case 'C': case 'c': return 1;
    case 'G': case 'g': return 2;
    case 'T': case 't': return 3;
    default: return 0;
  }
}

struct PlainStream {
  uint8_t mode;
  Bytes alphabet, quantizers;
  std::vector<uint32_t> lengths;
  Bytes bases, payload;

  Bytes build() const {
    Bytes out = {2, 0, mode, static_cast<uint8_t>(alphabet.size())};
    out.insert(out.end(), alphabet.begin(), alphabet.end());
    out.insert(out.end(), quantizers.begin(), quantizers.end());
    put_lengths(out, lengths);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
  }
};

// Returns the qualities, or nothing for a symbol outside the alphabet.
std::optional<Bytes> plain_decode(const PlainStream& s) {
  const uint32_t n = static_cast<uint32_t>(s.alphabet.size());
  auto rel = [&](uint32_t k) { return static_cast<uint32_t>(static_cast<uint8_t>(s.alphabet[k] - s.alphabet[0])); };
  PlainCoder rc(s.payload);
  Bytes out;
  size_t offset = 0;
  const uint32_t kNone = 255;
  if (s.mode <= 1) {
    const uint32_t slots = n <= 4 ? 4 : n <= 8 ? 8 : n <= 16 ? 16 : n <= 32 ? 32 : n <= 64 ? 64 : 94;
    std::vector<uint16_t> freq(size_t{262144} * slots, 0);
    std::vector<uint32_t> total(262144, n);
    for (size_t c = 0; c < 262144; ++c) std::fill_n(freq.begin() + c * slots, n, 1);
    for (uint32_t len : s.lengths) {
      uint32_t q1 = 0, q2 = 0, q3 = 0, d = 0, run = 0, prev = kNone;
      for (uint32_t i = 0; i < len; ++i) {
        uint32_t ctx;
        if (s.mode == 0) {
          const uint32_t p = i < 16 ? i >> 1 : i < 224 ? 8 + (i >> 5) : 15;
          ctx = (q1 & 63) | ((q2 >> 2) & 15) << 6 | d << 10 | ((q3 >> 4) & 3) << 12 | p << 14;
        } else {
          const uint32_t b0 = s.bases[offset + i];
          const uint32_t b1 = i + 1 < len ? s.bases[offset + i + 1] : kNone;
          run = b0 == prev ? run + 1 : 1;
          prev = b0;
          ctx = ((q1 >> 1) & 63) | ((q2 >> 3) & 7) << 6 | base_code(b0) << 9 | base_code(b1) << 11 |
                std::min<uint32_t>(run, 7) << 13;
        }
        uint16_t* f = &freq[size_t{ctx} * slots];
        const uint32_t r = rc.range / total[ctx];
        const uint32_t t = (rc.code - rc.low) / r;
        uint32_t sym = slots - 1, cum = 0;
        for (uint32_t k = 0; k + 1 < slots; ++k) {
          if (cum + f[k] > t) {
            sym = k;
            break;
          }
          cum += f[k];
        }
        if (sym >= n) return std::nullopt;
        rc.low += cum * r;
        rc.range = f[sym] * r;
        rc.normalise();
        f[sym] += 16;
        total[ctx] += 16;
        if (total[ctx] > 8192) {
          total[ctx] = 0;
          for (uint32_t k = 0; k < slots; ++k) total[ctx] += f[k] = static_cast<uint16_t>((f[k] + 1) >> 1);
        }
        out.push_back(s.alphabet[sym]);
        if (i >= 1 && rel(sym) != q1) d = std::min<uint32_t>(d, 2) + 1;
        q3 = q2;
        q2 = q1;
        q1 = rel(sym);
      }
      offset += len;
    }
    return out;
  }

  const unsigned bits = n < 2 ? 1 : std::bit_width(n - 1);
  std::vector<uint16_t> t1(size_t{65536} << bits, 2048), t2(size_t{262144} << bits, 2048),
      t3(size_t{1048576} << bits, 2048);
  std::vector<int32_t> w(3 * bits, 21845);
  std::array<uint32_t, 256> q0{}, q1t{}, q2t{};
  for (uint32_t v = 0; v < 256; ++v) {
    if (s.mode == 3) {
      q0[v] = v >> 1;
      q1t[v] = v >> 3;
      q2t[v] = v >> 4;
    }
  }
  if (s.mode == 4) {
    for (uint32_t k = 0; k < n; ++k) {
      q0[rel(k)] = s.quantizers[2 * k] & 63;
      q1t[rel(k)] = (s.quantizers[2 * k + 1] >> 3) & 7;
      q2t[rel(k)] = s.quantizers[2 * k + 1] & 3;
    }
  }
  const auto& squash = mixing_tables().squash;
  const auto& stretch = mixing_tables().stretch;
  for (uint32_t len : s.lengths) {
    uint32_t q1 = 0, q2 = 0, q3 = 0, run = 0;
    for (uint32_t i = 0; i < len; ++i) {
      const uint8_t* b = &s.bases[offset];
      const uint32_t b0 = b[i];
      const uint32_t b1 = i + 1 < len ? b[i + 1] : kNone;
      const uint32_t b2 = i + 2 < len ? b[i + 2] : kNone;
      const uint32_t bp = i > 0 ? b[i - 1] : kNone;
      run = b0 == bp ? run + 1 : 1;
      const uint32_t c1 = (q0[q1] & 63) | (q1t[q2] & 7) << 6 | base_code(b0) << 9 | base_code(b1) << 11 |
                          std::min<uint32_t>(run, 7) << 13;
      const uint32_t c2 = c1 | base_code(bp) << 16;
      const uint32_t c3 = c2 | base_code(b2) << 18 | (q2t[q3] & 3) << 20;
      const uint32_t h = static_cast<uint32_t>(c3 * 2654435761u) >> 12;
      uint32_t node = 1;
      for (unsigned j = 0; j < bits; ++j) {
        uint16_t* e[3] = {&t1[(size_t{c1} << bits) + node], &t2[(size_t{c2} << bits) + node],
                          &t3[(size_t{h} << bits) + node]};
        int32_t st[3];
        int64_t dot = 0;
        for (int k = 0; k < 3; ++k) {
          st[k] = stretch[*e[k]];
          dot += int64_t{w[3 * j + k]} * st[k];
        }
        dot = std::clamp<int64_t>(dot >> 16, -2047, 2047);
        const uint32_t p = std::clamp<uint32_t>(squash[dot + 2048], 1, 4095);
        const uint32_t r = rc.range >> 12;
        uint32_t bit;
        if ((rc.code - rc.low) / r >= p) {
          bit = 0;
          rc.low += p * r;
          rc.range = (4096 - p) * r;
        } else {
          bit = 1;
          rc.range = p * r;
        }
        rc.normalise();
        const int32_t target = bit ? 4096 : 0, err = target - static_cast<int32_t>(p);
        for (int k = 0; k < 3; ++k) {
          w[3 * j + k] += (st[k] * err) >> 11;
          *e[k] = static_cast<uint16_t>(*e[k] + ((target - *e[k]) >> 5));
        }
        node = 2 * node + bit;
      }
      const uint32_t sym = node - (1u << bits);
      if (sym >= n) return std::nullopt;
      out.push_back(s.alphabet[sym]);
      q3 = q2;
      q2 = q1;
      q1 = rel(sym);
    }
    offset += len;
  }
  return out;
}

void expect_same_as_plain(const PlainStream& s) {
  const Bytes coded = s.build();
  auto r = decode_quality_stream(coded, s.mode ? std::optional(std::span<const uint8_t>(s.bases)) : std::nullopt);
  const auto plain = plain_decode(s);
  if (!plain) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), malformed("decoded symbol outside alphabet"));
  } else {
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_TRUE(r->qualities == *plain);
  }
}

TEST(QualityModelPlain, RandomPayloadsDecodeAsThePlainDecoder) {
  // Random payloads drive the models through arbitrary symbol sequences,
  // including symbols outside the alphabet.
  std::mt19937_64 rng(31);
  int failures = 0;
  for (int trial = 0; trial < 120; ++trial) {
    PlainStream s;
    s.mode = std::array<uint8_t, 4>{0, 1, 3, 4}[trial % 4];
    const uint32_t n = std::array<uint32_t, 9>{1, 2, 3, 4, 5, 7, 8, 9, 16}[rng() % 9];
    // Distinct bytes in random order, so relative values wrap.
    std::vector<uint8_t> pool(256);
    std::iota(pool.begin(), pool.end(), 0);
    std::shuffle(pool.begin(), pool.end(), rng);
    s.alphabet.assign(pool.begin(), pool.begin() + n);
    if (s.mode == 4) {
      s.quantizers.resize(2 * n);
      for (auto& b : s.quantizers) b = static_cast<uint8_t>(rng());
    }
    const size_t reads = rng() % 5;
    for (size_t r = 0; r < reads; ++r) s.lengths.push_back(static_cast<uint32_t>(rng() % (trial % 8 == 0 ? 400 : 40)));
    const size_t total = std::accumulate(s.lengths.begin(), s.lengths.end(), size_t{0});
    for (size_t i = 0; i < total; ++i) s.bases.push_back("ACGTNacgt\xFF"[rng() % 10]);
    s.payload.resize(rng() % 48);
    for (auto& b : s.payload) b = static_cast<uint8_t>(rng() % 3 ? rng() : 0xFF);
    SCOPED_TRACE(trial);
    expect_same_as_plain(s);
    failures += !plain_decode(s).has_value();
  }
  EXPECT_GT(failures, 0);  // the error path was exercised too
}

TEST(QualityModelPlain, EncoderOutputDecodesWithThePlainDecoder) {
  const auto col = quality_samples::short_reads(30, 150, 12);
  for (uint8_t mode : {0, 1, 3, 4}) {
    const QualityEncodeOptions opts = with_mode(mode);
    auto enc = encode_quality_stream(col.lengths, col.qualities, std::span<const uint8_t>(col.bases), opts);
    ASSERT_TRUE(enc.ok());
    auto h = quality::parse_stream_header(*enc, kMaxQualityTotal);
    ASSERT_TRUE(h.ok());
    PlainStream s{mode, Bytes(h->alphabet.symbols.begin(), h->alphabet.symbols.begin() + h->alphabet.n),
                  Bytes(h->quantizer_bytes.begin(), h->quantizer_bytes.end()), h->lengths, col.bases,
                  Bytes(h->payload.begin(), h->payload.end())};
    const auto plain = plain_decode(s);
    ASSERT_TRUE(plain.has_value()) << int(mode);
    EXPECT_TRUE(*plain == col.qualities) << int(mode);
  }
}

}  // namespace
}  // namespace zarv
