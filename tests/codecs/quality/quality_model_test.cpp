// Quality context models: known table values, and the decoder against a
// plain step-by-step decoder written straight from the format description
// (tables filled up front, 255 for "no base", unsaturated run counter), on
// hand-laid streams with random payloads and on encoder output. Encoder and
// decoder share their model code, so round trips alone cannot catch a model
// that departs from the format.
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

// A table asked for with huge pages starts all zero, is writable end to end
// and moves like any other; a mixing model built with that mapping decodes
// what the ordinary one decodes.
TEST(QualityModelMemory, HugePageTablesStartZeroedAndDecodeAlike) {
  constexpr size_t kCount = (size_t{5} << 20) / sizeof(int16_t) + 3;  // not a whole number of huge pages
  ZeroedArray<int16_t> a;
  ASSERT_TRUE(a.allocate(kCount, true));
  EXPECT_TRUE(std::all_of(a.data(), a.data() + kCount, [](int16_t v) { return v == 0; }));
  a.data()[0] = 1;
  a.data()[kCount - 1] = 2;
  ZeroedArray<int16_t> b(std::move(a));
  EXPECT_EQ(b.data()[0], 1);
  EXPECT_EQ(b.data()[kCount - 1], 2);
  ASSERT_TRUE(b.allocate(16, true));  // replaces the first mapping
  EXPECT_EQ(b.data()[15], 0);

  std::mt19937 rng(7);
  std::vector<uint8_t> bits(4000), coded;
  for (auto& x : bits) x = static_cast<uint8_t>(rng() % 5);
  const auto ctx = [](size_t i) {
    return std::array{uint32_t(i & 0xFFFF), uint32_t((i * 7) & 0x3FFFF), uint32_t((i * 13) & 0xFFFFF)};
  };
  auto enc = quality::MixingModel::create(5, 0);
  auto small = quality::MixingModel::create(5, 0);
  auto large = quality::MixingModel::create(5, uint64_t{1} << 40);  // every table on huge pages
  ASSERT_TRUE(enc.ok() && small.ok() && large.ok());
  RangeEncoder re(coded);
  for (size_t i = 0; i < bits.size(); ++i) enc->encode(re, ctx(i)[0], ctx(i)[1], ctx(i)[2], bits[i]);
  re.finish();
  RangeDecoder r1(coded), r2(coded);
  for (size_t i = 0; i < bits.size(); ++i) {
    const auto c = ctx(i);
    ASSERT_EQ(small->decode(r1, c[0], c[1], c[2]), bits[i]);
    ASSERT_EQ(large->decode(r2, c[0], c[1], c[2]), bits[i]);
  }
}

TEST(QualityModelTables, SquashAndStretchKnownValues) {
  const auto& sq = mixing_tables().squash;
  for (auto [i, v] : {std::pair{0, 1}, {1, 1}, {100, 2}, {1024, 74}, {1792, 1102}, {2000, 1857}, {2047, 2044},
                      {2048, 2048}, {2049, 2052}, {2304, 2994}, {3072, 4022}, {4000, 4094}, {4095, 4095}}) {
    EXPECT_EQ(sq[i], v) << i;
  }
  EXPECT_TRUE(std::is_sorted(sq.begin(), sq.end()));
  const auto& st = mixing_tables().stretch;
  for (auto [p, v] : {std::pair{0, -2048}, {1, -2048}, {2, -2025}, {3, -1894}, {100, -945}, {1000, -289},
                      {1984, -16}, {2048, 0}, {2049, 1}, {3000, 258}, {4094, 1895}, {4095, 2026}, {4096, 2047}}) {
    EXPECT_EQ(st[p], v) << p;
  }
}

TEST(QualityModelTables, QuantizersSizesAndContextHelpers) {
  const auto fixed = quality::Quantizers::fixed();
  EXPECT_EQ((std::array{fixed.q0[200], fixed.q1[200], fixed.q2[200]}), (std::array<uint8_t, 3>{36, 1, 0}));
  EXPECT_EQ((std::array{fixed.q0[41], fixed.q1[41], fixed.q2[41]}), (std::array<uint8_t, 3>{20, 5, 2}));
  // Alphabet "#(F": relative values 0, 5, 35; other values stay 0.
  const auto stored =
      quality::Quantizers::stored(quality::Alphabet::from(bytes_of("#(F")), Bytes{0x7F, 0xFF, 0x05, 0x1A, 0x40, 0x03});
  for (auto [v, q0, q1, q2] : {std::array{0, 63, 7, 3}, {5, 5, 3, 2}, {35, 0, 0, 3}, {1, 0, 0, 0}}) {
    EXPECT_EQ((std::array<int, 3>{stored.q0[v], stored.q1[v], stored.q2[v]}), (std::array{q0, q1, q2})) << v;
  }
  for (auto [n, slots] : {std::pair{1u, 4u}, {4u, 4u}, {5u, 8u}, {8u, 8u}, {9u, 16u}, {16u, 16u}, {17u, 32u},
                          {32u, 32u}, {33u, 64u}, {64u, 64u}, {65u, 94u}, {94u, 94u}}) {
    EXPECT_EQ(quality::freq_slots(n), slots) << n;
  }
  for (auto [n, bits] : {std::pair{1u, 1u}, {2u, 1u}, {3u, 2u}, {4u, 2u}, {5u, 3u}, {8u, 3u}, {9u, 4u}, {64u, 6u},
                         {65u, 7u}, {94u, 7u}}) {
    EXPECT_EQ(quality::mixing_bits(n), bits) << n;
  }
  for (auto [i, p] : {std::pair{0u, 0u}, {1u, 0u}, {15u, 7u}, {16u, 8u}, {47u, 9u}, {223u, 14u}, {224u, 15u},
                      {1000000u, 15u}}) {
    EXPECT_EQ(quality::position_bucket(i), p) << i;
  }
  EXPECT_EQ(quality::hash_context(1), 0x9E377u);
  EXPECT_EQ(quality::hash_context(0x3FFFFF), 0xCE088u);
}

// ---- the plain decoder ----------------------------------------------------

struct PlainStream {
  uint8_t mode;
  Bytes alphabet, quantizers;
  std::vector<uint32_t> lengths;
  Bytes bases, payload;

  Bytes build() const {
    Bytes out = stream_head(mode, text(alphabet));
    out.insert(out.end(), quantizers.begin(), quantizers.end());
    put_lengths(out, lengths);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
  }
};

struct PlainCoder {
  const Bytes& payload;
  size_t pos = 0;
  uint32_t low = 0, range = 0xFFFFFFFFu, code = 0;

  explicit PlainCoder(const Bytes& p) : payload(p) {
    for (int i = 0; i < 4; ++i) code = (code << 8) | next();
  }
  uint32_t next() { return pos < payload.size() ? payload[pos++] : 0u; }
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

uint32_t base_code(uint32_t b) { return b == 'C' || b == 'c' ? 1 : b == 'G' || b == 'g' ? 2 : b == 'T' || b == 't' ? 3 : 0; }

// The qualities, or nothing for a symbol outside the alphabet.
std::optional<Bytes> plain_decode(const PlainStream& s) {
  const uint32_t n = static_cast<uint32_t>(s.alphabet.size()), kNone = 255;
  auto rel = [&](uint32_t k) { return uint32_t{static_cast<uint8_t>(s.alphabet[k] - s.alphabet[0])}; };
  auto base = [&](size_t read_start, uint32_t len, int64_t i) {
    return i < 0 || i >= len ? kNone : uint32_t{s.bases[read_start + static_cast<size_t>(i)]};
  };
  PlainCoder rc(s.payload);
  Bytes out;
  size_t start = 0;
  // Frequency model: rows of `slots` frequencies and a total per context.
  const uint32_t slots = n <= 4 ? 4 : n <= 8 ? 8 : n <= 16 ? 16 : n <= 32 ? 32 : n <= 64 ? 64 : 94;
  std::vector<uint16_t> freq;
  std::vector<uint32_t> total;
  // Mixing model: three tables of 2^B entries per context, B weight triples.
  const unsigned bits = n < 2 ? 1 : std::bit_width(n - 1);
  std::vector<uint16_t> t[3];
  std::vector<int32_t> w(3 * bits, 21845);
  std::array<uint32_t, 256> qz[3] = {};
  if (s.mode <= 1) {
    freq.assign(size_t{262144} * slots, 0);
    total.assign(262144, n);
    for (size_t c = 0; c < 262144; ++c) std::fill_n(freq.begin() + c * slots, n, 1);
  } else {
    for (int k = 0; k < 3; ++k) t[k].assign((size_t{1} << (16 + 2 * k)) << bits, 2048);
    for (uint32_t v = 0; v < 256 && s.mode == 3; ++v) qz[0][v] = v >> 1, qz[1][v] = v >> 3, qz[2][v] = v >> 4;
    for (uint32_t k = 0; k < n && s.mode == 4; ++k) {
      qz[0][rel(k)] = s.quantizers[2 * k] & 63;
      qz[1][rel(k)] = (s.quantizers[2 * k + 1] >> 3) & 7;
      qz[2][rel(k)] = s.quantizers[2 * k + 1] & 3;
    }
  }
  for (uint32_t len : s.lengths) {
    uint32_t q1 = 0, q2 = 0, q3 = 0, d = 0, run = 0;
    for (uint32_t i = 0; i < len; ++i) {
      const uint32_t b0 = base(start, len, i), b1 = base(start, len, i + 1), b2 = base(start, len, i + 2);
      const uint32_t bp = base(start, len, int64_t{i} - 1);
      run = b0 == bp ? run + 1 : 1;
      uint32_t sym;
      if (s.mode == 0 || s.mode == 1) {
        const uint32_t p = i < 16 ? i >> 1 : i < 224 ? 8 + (i >> 5) : 15;
        const uint32_t ctx = s.mode == 0 ? (q1 & 63) | ((q2 >> 2) & 15) << 6 | d << 10 | ((q3 >> 4) & 3) << 12 | p << 14
                                         : ((q1 >> 1) & 63) | ((q2 >> 3) & 7) << 6 | base_code(b0) << 9 |
                                               base_code(b1) << 11 | std::min<uint32_t>(run, 7) << 13;
        uint16_t* f = &freq[size_t{ctx} * slots];
        const uint32_t r = rc.range / total[ctx], target = (rc.code - rc.low) / r;
        uint32_t cum = 0;
        sym = slots - 1;
        for (uint32_t k = 0; k + 1 < slots; cum += f[k++]) {
          if (cum + f[k] > target) {
            sym = k;
            break;
          }
        }
        if (sym >= n) return std::nullopt;
        rc.low += cum * r;
        rc.range = f[sym] * r;
        rc.normalise();
        f[sym] += 16;
        if ((total[ctx] += 16) > 8192) {
          total[ctx] = 0;
          for (uint32_t k = 0; k < slots; ++k) total[ctx] += f[k] = static_cast<uint16_t>((f[k] + 1) >> 1);
        }
      } else {
        const uint32_t c1 = (qz[0][q1] & 63) | (qz[1][q2] & 7) << 6 | base_code(b0) << 9 | base_code(b1) << 11 |
                            std::min<uint32_t>(run, 7) << 13;
        const uint32_t c2 = c1 | base_code(bp) << 16;
        const uint32_t c3 = c2 | base_code(b2) << 18 | (qz[2][q3] & 3) << 20;
        const uint32_t rows[3] = {c1, c2, static_cast<uint32_t>(c3 * 2654435761u) >> 12};
        uint32_t node = 1;
        for (unsigned j = 0; j < bits; ++j) {
          int32_t st[3];
          int64_t dot = 0;
          for (int k = 0; k < 3; ++k) {
            st[k] = mixing_tables().stretch[t[k][(size_t{rows[k]} << bits) + node]];
            dot += int64_t{w[3 * j + k]} * st[k];
          }
          const uint32_t p =
              std::clamp<uint32_t>(mixing_tables().squash[std::clamp<int64_t>(dot >> 16, -2047, 2047) + 2048], 1, 4095);
          const uint32_t r = rc.range >> 12;
          const uint32_t bit = (rc.code - rc.low) / r >= p ? 0 : 1;
          if (bit == 0) rc.low += p * r;
          rc.range = (bit ? p : 4096 - p) * r;
          rc.normalise();
          const int32_t target = bit ? 4096 : 0, err = target - static_cast<int32_t>(p);
          for (int k = 0; k < 3; ++k) {
            uint16_t& e = t[k][(size_t{rows[k]} << bits) + node];
            w[3 * j + k] += (st[k] * err) >> 11;
            e = static_cast<uint16_t>(e + ((target - e) >> 5));
          }
          node = 2 * node + bit;
        }
        sym = node - (1u << bits);
        if (sym >= n) return std::nullopt;
      }
      out.push_back(s.alphabet[sym]);
      if (i >= 1 && rel(sym) != q1) d = std::min<uint32_t>(d, 2) + 1;
      q3 = q2;
      q2 = q1;
      q1 = rel(sym);
    }
    start += len;
  }
  return out;
}

TEST(QualityModelPlain, RandomPayloadsDecodeAsThePlainDecoder) {
  // Random payloads drive the models through arbitrary symbol sequences,
  // including symbols outside the alphabet.
  std::mt19937_64 rng(31);
  int failures = 0;
  for (int trial = 0; trial < 120; ++trial) {
    PlainStream s{std::array<uint8_t, 4>{0, 1, 3, 4}[trial % 4], {}, {}, {}, {}, {}};
    const uint32_t n = std::array<uint32_t, 10>{1, 2, 3, 4, 5, 7, 8, 9, 16, 40}[rng() % 10];
    Bytes pool(256);  // distinct bytes in random order: relative values wrap
    std::iota(pool.begin(), pool.end(), 0);
    std::shuffle(pool.begin(), pool.end(), rng);
    s.alphabet.assign(pool.begin(), pool.begin() + n);
    s.quantizers.resize(s.mode == 4 ? 2 * n : 0);
    for (auto& b : s.quantizers) b = static_cast<uint8_t>(rng());
    for (size_t r = rng() % 5; r > 0; --r) s.lengths.push_back(static_cast<uint32_t>(rng() % (trial % 8 ? 40 : 400)));
    for (size_t i = std::accumulate(s.lengths.begin(), s.lengths.end(), size_t{0}); i > 0; --i) {
      s.bases.push_back("ACGTNacgt\xFF"[rng() % 10]);
    }
    s.payload.resize(rng() % 48);
    for (auto& b : s.payload) b = static_cast<uint8_t>(rng() % 3 ? rng() : 0xFF);

    const Bytes coded = s.build();
    auto r = decode_quality_stream(coded, s.mode ? std::optional(std::span<const uint8_t>(s.bases)) : std::nullopt);
    const auto plain = plain_decode(s);
    SCOPED_TRACE(trial);
    if (!plain) {
      ++failures;
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().message(), malformed("decoded symbol outside alphabet"));
    } else {
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_TRUE(r->qualities == *plain);
    }
  }
  EXPECT_GT(failures, 0);  // the error path was exercised too
}

TEST(QualityModelPlain, EncoderOutputDecodesWithThePlainDecoder) {
  // Short reads, and long ones that the mixing walker lays out in several
  // stretches of base fields.
  for (const auto& col : {quality_samples::short_reads(30, 150, 12), quality_samples::long_reads(3, 2600, 13)})
  for (uint8_t mode : {0, 1, 3, 4}) {
    auto enc = encode_quality_stream(col.lengths, col.qualities, std::span<const uint8_t>(col.bases), with_mode(mode));
    ASSERT_TRUE(enc.ok());
    auto h = quality::parse_stream_header(*enc);
    ASSERT_TRUE(h.ok());
    const PlainStream s{mode, Bytes(h->alphabet.symbols.begin(), h->alphabet.symbols.begin() + h->alphabet.n),
                        Bytes(h->quantizer_bytes.begin(), h->quantizer_bytes.end()), h->lengths, col.bases,
                        Bytes(h->payload.begin(), h->payload.end())};
    EXPECT_EQ(plain_decode(s), std::optional(col.qualities)) << int(mode) << " " << col.lengths.size();
  }
}

// ---- the quality decoder's range coder and base fields ---------------------

// The frequency decoders search by comparing scaled cumulative frequencies
// with the offset (scale/offset/consume, or scale_by_reciprocal) instead of
// dividing the offset: on random payloads, interleaved with bits, every
// symbol and every later state agrees with decode_freq's target.
TEST(QualityModelCoder, ScaledSearchAgreesWithTheDividedTarget) {
  std::mt19937_64 rng(41);
  for (int trial = 0; trial < 200; ++trial) {
    Bytes payload(rng() % 64);
    for (auto& b : payload) b = static_cast<uint8_t>(rng() % 4 ? rng() : (rng() % 2 ? 0 : 0xFF));
    RangeDecoder plain(payload);
    RangeDecoder fast(payload);
    for (int step = 0; step < 300; ++step) {
      if (rng() % 2) {
        // Probabilities near both ends as well as in the middle.
        const uint32_t p = static_cast<uint32_t>(rng() % 3 ? 1 + rng() % 4095 : (rng() % 2 ? 1 : 4095));
        ASSERT_EQ(fast.decode_split(p, 12), plain.decode_split(p, 12)) << trial << " " << step;
      } else {
        std::array<uint32_t, 5> f{};
        uint32_t total = 0;
        for (auto& x : f) total += x = static_cast<uint32_t>(1 + rng() % (rng() % 2 ? 16 : 1600));
        const uint32_t target = plain.decode_freq(total);
        const uint64_t reciprocal = ~uint64_t{0} / total + 1;
        const uint32_t r = step % 4 ? fast.scale(total) : fast.scale_by_reciprocal(reciprocal);
        ASSERT_EQ(r, plain.range() / total);
        uint32_t symbol = 0, cum = 0;
        for (size_t k = 0; k + 1 < f.size() && (cum + f[k]) * r <= fast.offset(); ++k) cum += f[symbol++];
        // The same symbol as the division: the first whose cumulative
        // frequency including itself exceeds the target (else the last).
        uint32_t expect = 0, expect_cum = 0;
        while (expect + 1 < f.size() && expect_cum + f[expect] <= target) expect_cum += f[expect++];
        ASSERT_EQ(symbol, expect) << trial << " " << step;
        ASSERT_EQ(cum, expect_cum);
        plain.consume(cum, f[symbol]);
        fast.consume(cum, f[symbol]);
        ASSERT_EQ(fast.range(), plain.range());
        ASSERT_EQ(fast.low(), plain.low());
      }
    }
  }
}

// The reciprocal gives range / total exactly for every total a model row
// can have and ranges at both ends and around multiples of the total.
TEST(QualityModelCoder, ReciprocalDivisionIsExact) {
  std::mt19937_64 rng(5);
  const Bytes payload;
  for (uint32_t total = 2; total <= 8208; ++total) {
    const uint64_t reciprocal = ~uint64_t{0} / total + 1;
    for (uint32_t range : {0xFFFFFFFFu, 0xFFFFFFFFu - total, 65536u, total * 65536u, total * 65536u - 1,
                           static_cast<uint32_t>(rng()), static_cast<uint32_t>(rng()) | 0x80000000u}) {
      ASSERT_EQ(uint32_t((static_cast<unsigned __int128>(reciprocal) * range) >> 64), range / total) << range;
    }
    RangeDecoder rd(payload);  // a fresh decoder's range is 2^32 - 1
    ASSERT_EQ(rd.scale_by_reciprocal(reciprocal), 0xFFFFFFFFu / total) << total;
  }
}

// A code exactly at a split point belongs to the upper part, for bits and for
// frequencies: the first four payload bytes put it there for the first
// decode (range all ones, low 0).
TEST(QualityModelCoder, RangeDecoderSplitPointsGoUp) {
  const auto payload_at = [](uint32_t c) {
    return Bytes{uint8_t(c >> 24), uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c), 0x5A};
  };
  for (uint32_t p : {1u, 777u, 2048u, 4095u}) {
    const uint32_t bound = (0xFFFFFFFFu >> 12) * p;
    for (uint32_t code : {bound - 1, bound, bound + 1}) {
      const Bytes payload = payload_at(code);
      RangeDecoder rd(payload);
      EXPECT_EQ(rd.decode_split(p, 12), code < bound ? 0u : 1u) << p << " " << code;
    }
  }
  // Total 7 with frequencies 3, 4: the second symbol starts at 3 * r.
  const uint32_t r = 0xFFFFFFFFu / 7;
  for (uint32_t code : {3 * r - 1, 3 * r}) {
    const Bytes payload = payload_at(code);
    RangeDecoder fast(payload), plain(payload);
    EXPECT_EQ(fast.scale(7), r);
    EXPECT_EQ(fast.offset(), code);
    EXPECT_EQ(plain.decode_freq(7), code / r);
  }
}

// The base fields of the mixing contexts, laid out in stretches, against the
// formula applied position by position.
TEST(QualityModelCoder, MixingBaseFieldsMatchTheContextFormula) {
  std::mt19937_64 rng(43);
  for (int trial = 0; trial < 60; ++trial) {
    const uint32_t len = static_cast<uint32_t>(rng() % (trial % 3 ? 20 : 300));
    Bytes b(len);
    // Two letters make long runs common, so the counter's cap at 7 is seen.
    for (auto& c : b) c = trial % 2 ? "AC"[rng() % 8 == 0] : "AACCGTNacg\xFF"[rng() % 11];
    std::vector<uint32_t> expected(len);
    uint32_t run = 0;
    for (uint32_t i = 0; i < len; ++i) {
      const auto code = [&](int64_t k) { return k < 0 || k >= len ? 0u : base_code(b[static_cast<size_t>(k)]); };
      run = i > 0 && b[i] == b[i - 1] ? run + 1 : 1;
      expected[i] = code(i) << 9 | code(i + 1) << 11 | std::min<uint32_t>(run, 7) << 13 | code(int64_t{i} - 1) << 16 |
                    code(i + 2) << 18;
    }
    // Random stretch sizes, each asking for one field more than it keeps
    // (as the walker does); fields past the read are 0.
    uint32_t carried = 0;
    for (uint32_t start = 0; start < len || start == 0;) {
      const uint32_t count = static_cast<uint32_t>(1 + rng() % 40);
      std::vector<uint32_t> got(count + 1, 0xDEADBEEF);
      uint32_t run_after = carried;
      quality::mixing_base_fields(b.data(), len, start, count, run_after, got.data());
      uint32_t peek = run_after;
      quality::mixing_base_fields(b.data(), len, start + count, 1, peek, got.data() + count);
      for (uint32_t k = 0; k <= count; ++k) {
        ASSERT_EQ(got[k], start + k < len ? expected[start + k] : 0u) << trial << " " << start + k;
      }
      carried = run_after;
      start += count;
      if (len == 0) break;
    }
  }
}

// The dense numbering of the frequency-model contexts is a relabelling of
// the plain one: two alphabet entries share a slot exactly when they share
// the q1 field, the slot fits its bits, and the plain slot is the field as the
// format defines it.
TEST(QualityModelCoder, DenseContextsRelabelThePlainOnes) {
  std::mt19937_64 rng(44);
  for (int trial = 0; trial < 300; ++trial) {
    const uint32_t n = 1 + static_cast<uint32_t>(rng() % (trial % 2 ? 8 : 94));
    Bytes alphabet(n);
    for (auto& c : alphabet) c = static_cast<uint8_t>(rng());
    const auto a = quality::Alphabet::from(alphabet);
    for (auto mode : {QualityContextMode::Position, QualityContextMode::Bases}) {
      const auto plain = quality::FreqContextLayout::plain(a, mode);
      const auto dense = quality::FreqContextLayout::dense(a, mode);
      EXPECT_EQ(plain.context_bits(), mode == QualityContextMode::Position ? 18u : 16u);
      EXPECT_LE(dense.context_bits(), plain.context_bits());
      bool fields_differ = true;
      for (uint32_t x = 0; x < n; ++x) {
        const uint8_t rel = a.relative[x];
        ASSERT_EQ(plain.q1_slot[x], (mode == QualityContextMode::Position ? rel : rel >> 1) & 63);
        ASSERT_LT(dense.q1_slot[x], 1u << dense.q1_bits);
        for (uint32_t y = 0; y < n; ++y) {
          ASSERT_EQ(dense.q1_slot[x] == dense.q1_slot[y], plain.q1_slot[x] == plain.q1_slot[y]) << n;
          if (x != y && plain.q1_slot[x] == plain.q1_slot[y]) fields_differ = false;
        }
      }
      // Indexes are their own slots exactly when no two fields coincide (the
      // decoders then skip the slot lookups).
      EXPECT_EQ(dense.slots_are_indexes(n), fields_differ) << n;
    }
  }
  // Eight levels of distinct fields take three bits; one level none.
  const auto eight = quality::Alphabet::from(bytes_of("#+0:?AEJ"));
  EXPECT_EQ(quality::FreqContextLayout::dense(eight, QualityContextMode::Position).q1_bits, 3u);
  EXPECT_TRUE(quality::FreqContextLayout::dense(eight, QualityContextMode::Position).slots_are_indexes(8));
  const auto paired = quality::Alphabet::from(bytes_of("#$0:"));  // '#' and '$' share a mode-1 field
  EXPECT_TRUE(quality::FreqContextLayout::dense(paired, QualityContextMode::Position).slots_are_indexes(4));
  EXPECT_FALSE(quality::FreqContextLayout::dense(paired, QualityContextMode::Bases).slots_are_indexes(4));
  const auto one = quality::Alphabet::from(bytes_of("I"));
  EXPECT_EQ(quality::FreqContextLayout::dense(one, QualityContextMode::Position).context_bits(), 12u);
}

}  // namespace
}  // namespace zarv
