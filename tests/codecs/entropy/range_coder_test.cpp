// Range coder and adaptive models: worked values, normalisation corner cases,
// zero-extension of the payload, and encoder/decoder round trips in lock step.
#include "codecs/entropy/range_coder.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <vector>

#include "codecs/entropy/models.hpp"

namespace zarv {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode_with(const std::function<void(RangeEncoder&)>& body) {
  Bytes out;
  RangeEncoder re(out);
  body(re);
  re.finish();
  return out;
}

// A fixed mix of every decode kind, used to compare payload variants.
std::vector<uint32_t> decode_mix(std::span<const uint8_t> payload, size_t rounds) {
  RangeDecoder rd(payload);
  AdaptiveFreqModel<5> freq;
  BitModel bit;
  BitTree<6> tree;
  std::vector<uint32_t> out;
  for (size_t i = 0; i < rounds; ++i) {
    out.insert(out.end(), {rd.decode_symbol(freq), rd.decode_bit(bit), rd.decode_tree(tree),
                           rd.decode_tree_reverse(tree), rd.decode_direct(static_cast<unsigned>(i % 33))});
  }
  return out;
}

TEST(RangeDecoder, StartsOnFirstFourBytesAndReadsZerosPastTheEnd) {
  const Bytes full{0x12, 0x34, 0x56, 0x78, 0x9A}, two{0xAB, 0xCD};
  RangeDecoder a(full), b(two), c(std::span<const uint8_t>{});
  EXPECT_EQ(a.code(), 0x12345678u);  // big-endian
  EXPECT_EQ(a.low(), 0u);
  EXPECT_EQ(a.range(), 0xFFFFFFFFu);
  EXPECT_EQ(b.code(), 0xABCD0000u);
  EXPECT_EQ(c.code(), 0u);
  EXPECT_EQ(a.position(), 4u);
  EXPECT_EQ(b.position(), 4u);

  std::mt19937 rng(7);
  for (size_t len : {0, 1, 3, 4, 9, 40}) {
    Bytes payload(len);
    for (auto& c : payload) c = static_cast<uint8_t>(rng());
    Bytes padded = payload;
    padded.resize(len + 4096, 0);
    EXPECT_EQ(decode_mix(payload, 60), decode_mix(padded, 60)) << "length " << len;
  }
  const Bytes one{0xFF};
  RangeDecoder rd(one);
  rd.decode_direct(32);
  rd.decode_direct(32);
  EXPECT_GT(rd.position(), one.size());  // still advancing past the end
}

TEST(RangeNormalise, WorkedCases) {
  // Top bytes of low and low + range differ and range < 2^16: range is cut to
  // end at the 2^16 boundary, one shift, then range is large enough.
  // Settled top bytes leave one by one: 0x12, 0x34, 0x56, then range >= 2^24.
  const struct {
    uint32_t low, range, low_after, range_after;
    Bytes shifted;
  } cases[] = {{0x00FFFF00, 0x100, 0xFFFF0000u, 0x10000u, {0x00}},
               {0x12345678, 0x10, 0x78000000u, 0x10000000u, {0x12, 0x34, 0x56}}};
  for (const auto& c : cases) {
    uint32_t low = c.low, range = c.range;
    Bytes shifted;
    range_normalise(low, range, [&](uint32_t l) { shifted.push_back(static_cast<uint8_t>(l >> 24)); });
    EXPECT_EQ(shifted, c.shifted);
    EXPECT_EQ(low, c.low_after);
    EXPECT_EQ(range, c.range_after);
  }
}

TEST(AdaptiveModels, BitModelAndFrequencyModelUpdates) {
  BitModel zero, one;
  zero.update(0);
  one.update(1);
  EXPECT_EQ(zero.p, 1056);
  EXPECT_EQ(one.p, 992);
  // p saturates at 2017 and 31, so neither half of the split is ever empty.
  for (int i = 0; i < 2000; ++i) zero.update(0), one.update(1);
  EXPECT_EQ(zero.p, 2017);
  EXPECT_EQ(one.p, 31);

  // Five symbols from all 1: total 8197 after 512 updates of one, halved at once.
  AdaptiveFreqModel<5> f;
  EXPECT_EQ(f.total(), 5u);
  for (int i = 0; i < 511; ++i) f.update(3);
  EXPECT_EQ(f.total(), 8181u);
  EXPECT_EQ(f.freq(3), 8177u);
  f.update(3);
  EXPECT_EQ(f.freqs(), (std::array<uint16_t, 5>{1, 1, 1, 4097, 1}));
  EXPECT_EQ(f.total(), 4101u);
  // Total 8192 is kept, 8208 halves; odd frequencies round up, zero stays zero.
  AdaptiveFreqModel<4> z({8000, 0, 7, 9});
  for (int i = 0; i < 11; ++i) z.update(3);
  EXPECT_EQ(z.total(), 8192u);
  z.update(3);
  EXPECT_EQ(z.freqs(), (std::array<uint16_t, 4>{4000, 0, 4, 101}));
  EXPECT_EQ(z.total(), 4105u);
}

template <class Model>
void expect_search(const Model& m) {
  // Model frequencies start 3, 0, 5, 2, ...: the zero-width symbol 1 is never chosen.
  for (uint32_t c = 0; c < 8; ++c) EXPECT_EQ(m.find(c).symbol, c < 3 ? 0u : 2u) << c;
  EXPECT_EQ(m.find(7).cum, 3u);
  EXPECT_EQ(m.find(9).symbol, 3u);
  EXPECT_EQ(m.find(9).cum, 8u);
  EXPECT_EQ(m.find(m.total()).symbol, Model::kSymbols - 1);
  EXPECT_EQ(m.find(0xFFFFFFFF).cum, m.total() - m.freq(Model::kSymbols - 1));
}

TEST(AdaptiveModels, SearchFollowsCumulativeFrequencies) {
  expect_search(AdaptiveFreqModel<4>({3, 0, 5, 2}));
  std::array<uint16_t, 12> wide{3, 0, 5, 2};
  wide[11] = 4;
  expect_search(AdaptiveFreqModel<12>(wide));  // the early-exit scan
}

TEST(RangeDecoder, ExtremePayloadsGiveExtremeValues) {
  // A code pinned to the bottom (all zeros) or the top (all ones) of every
  // interval selects the first or last symbol, bit 0 or 1, whatever the model.
  // At the top the count lands on the slack at or beyond the total (first
  // symbol: 0xFFFFFFFF / (0xFFFFFFFF / 5) = 5), which the last symbol owns.
  for (const uint32_t top : {0u, 1u}) {
    const Bytes payload(64, top ? 0xFF : 0x00);
    RangeDecoder rd(payload);
    AdaptiveFreqModel<5> m;
    BitModel b;
    BitTree<4> t;
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(rd.decode_symbol(m), 4 * top);
      EXPECT_EQ(rd.decode_bit(b), top);
      EXPECT_EQ(rd.decode_tree(t), 15 * top);
      EXPECT_EQ(rd.decode_tree_reverse(t), 15 * top);
      EXPECT_EQ(rd.decode_direct(12), 0xFFF * top);
    }
  }
}

TEST(BitTree, ReverseTreeCodesTheSameBitsLeastSignificantFirst) {
  // Both walks visit node 2m + bit, so a value coded by the reverse walk reads
  // back bit-reversed through the forward walk of a fresh tree.
  const Bytes out = encode_with([](RangeEncoder& re) { BitTree<7> t; re.encode_tree_reverse(t, 0b0010011); });
  RangeDecoder rd(out);
  BitTree<7> t;
  EXPECT_EQ(rd.decode_tree(t), 0b1100100u);
}

// Codes a random script of every primitive and model kind, then decodes it and
// checks each value and the decoder state (low, range) against the encoder's,
// step by step. Returns the number of straddle normalisations (after which
// low + range is a multiple of 2^24).
int round_trip_mixed(uint64_t seed, size_t steps, bool starve_range) {
  struct Models {
    std::array<AdaptiveFreqModel<5>, 4> nuc;
    std::array<AdaptiveFreqModel<94>, 2> qual;
    std::array<BitModel, 8> bits;
    BitTree<8> t8;
    BitTree<16> t16;
  };
  std::mt19937_64 rng(seed);
  std::vector<uint32_t> ops(steps), vals(steps), aux(steps);
  for (size_t i = 0; i < steps; ++i) {
    ops[i] = starve_range ? 7 : static_cast<uint32_t>(rng() % 8);
    // Mostly small values, so the models adapt; full-width ones when starving.
    vals[i] = rng() % 8 == 0 || starve_range ? static_cast<uint32_t>(rng()) : static_cast<uint32_t>(rng() % 3);
    aux[i] = static_cast<uint32_t>(rng());
  }
  auto run = [&](auto& coder, std::vector<std::array<uint32_t, 3>>& trace) {
    constexpr bool kEnc = std::is_same_v<std::decay_t<decltype(coder)>, RangeEncoder>;
    Models m;
    for (size_t i = 0; i < steps; ++i) {
      uint32_t v = vals[i], a = aux[i], got = 0;
      // Only the branch for this coder's direction is instantiated.
      auto code = [&](auto&& enc, auto&& dec) {
        if constexpr (kEnc) enc(coder); else got = dec(coder);
      };
      switch (ops[i]) {
        case 0: v %= 5; code([&](auto& c) { c.encode_symbol(m.nuc[a % 4], v); }, [&](auto& c) { return c.decode_symbol(m.nuc[a % 4]); }); break;
        case 1: v %= 94; code([&](auto& c) { m.qual[a % 2].encode(c, v); }, [&](auto& c) { return m.qual[a % 2].decode(c); }); break;
        case 2: v %= 2; code([&](auto& c) { c.encode_bit(m.bits[a % 8], v); }, [&](auto& c) { return c.decode_bit(m.bits[a % 8]); }); break;
        case 3: v %= 256; code([&](auto& c) { c.encode_tree_reverse(m.t8, v); }, [&](auto& c) { return c.decode_tree_reverse(m.t8); }); break;
        case 4: v %= 65536; code([&](auto& c) { c.encode_tree(m.t16, v); }, [&](auto& c) { return c.decode_tree(m.t16); }); break;
        case 5: {
          const unsigned n = a % 33;
          v = n == 32 ? v : v & ((uint32_t{1} << n) - 1);
          code([&](auto& c) { c.encode_direct(v, n); }, [&](auto& c) { return c.decode_direct(n); });
          break;
        }
        case 6:  // quality-mixer style split: 12 bits, p in [1, 4095]
          v %= 2;
          code([&](auto& c) { c.encode_split(1 + a % 4095, 12, v); },
               [&](auto& c) { return c.decode_split(1 + a % 4095, 12); });
          break;
        default: {  // raw frequencies, total up to 2^16, tiny symbols to starve range
          const uint32_t total = starve_range ? 65536 - a % 256 : 1 + a % 65536;
          const uint32_t freq = 1 + (a >> 16) % (starve_range ? 2 : total);
          v %= total - freq + 1;  // the symbol's cum
          if constexpr (kEnc) coder.encode_freq(v, freq, total);
          else {
            const uint32_t c = coder.decode_freq(total);
            got = c >= v && c < v + freq ? v : ~0u;
            coder.consume(v, freq);
          }
        }
      }
      trace.push_back({kEnc ? v : got, coder.low(), coder.range()});
    }
  };
  Bytes out;
  std::vector<std::array<uint32_t, 3>> want, seen;
  RangeEncoder re(out);
  run(re, want);
  re.finish();
  EXPECT_TRUE(out.empty() || out.back() != 0);
  RangeDecoder rd(out);
  run(rd, seen);
  int straddles = 0;
  for (size_t i = 0; i < steps; ++i) {
    EXPECT_EQ(seen[i], want[i]) << "value, low, range at step " << i << " op " << ops[i];
    EXPECT_GE(seen[i][2], kRangeBottom);  // normalised, and the interval never wraps
    EXPECT_LE(uint64_t{seen[i][1]} + seen[i][2], uint64_t{1} << 32);
    if (::testing::Test::HasFailure()) break;
    straddles += (uint64_t{seen[i][1]} + seen[i][2]) % kRangeTop == 0;
  }
  return straddles;
}

TEST(RangeCoderRoundTrip, EveryModelKindInOneStreamAndStarvedRange) {
  for (uint64_t seed = 1; seed <= 6; ++seed) round_trip_mixed(seed, 40000, false);
  EXPECT_GT(round_trip_mixed(99, 60000, true), 100);  // many straddle normalisations
}

TEST(RangeEncoder, EmptyStreamAndAppendingToCallerBuffer) {
  EXPECT_TRUE(encode_with([](RangeEncoder&) {}).empty());
  Bytes out{0x5A, 0x00, 0x00};  // caller's own trailing zeros are not trimmed
  RangeEncoder idle(out);
  idle.finish();
  EXPECT_EQ(out, (Bytes{0x5A, 0x00, 0x00}));
  RangeEncoder re(out);
  AdaptiveFreqModel<5> enc_model, dec_model;
  for (uint32_t s = 0; s < 100; ++s) re.encode_symbol(enc_model, (s * 7) % 5);
  re.finish();
  RangeDecoder rd(std::span<const uint8_t>(out).subspan(3));
  for (uint32_t s = 0; s < 100; ++s) ASSERT_EQ(rd.decode_symbol(dec_model), (s * 7) % 5);
  EXPECT_EQ(enc_model, dec_model);
}

}  // namespace
}  // namespace zarv
