// rANS: models, hand-worked blocks, every decoder failure, and round trips.
#include "codecs/entropy/rans.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codecs/entropy/rans_model.hpp"
#include "tests/codecs/entropy/rans_test_util.hpp"

namespace zarv {
namespace {

using namespace rans_test;

std::string decode_error(const Bytes& block, uint64_t max_len = std::numeric_limits<uint64_t>::max()) {
  auto r = rans_decode(block, max_len);
  if (r.ok()) return "decoded " + std::to_string(r->size()) + " bytes";
  EXPECT_EQ(r.error().kind, ErrorKind::Rans);
  return r.error().message();
}

std::map<int, uint16_t> normalised(const std::map<int, uint32_t>& counts) {
  std::array<uint32_t, 256> c{};
  for (auto [s, n] : counts) c[s] = n;
  const auto m = FrequencyModel::from_counts(c);
  std::map<int, uint16_t> out;
  for (int s = 0; s < 256; ++s) {
    if (m.freq[s]) out[s] = m.freq[s];
  }
  EXPECT_EQ(m.cum[256], out.empty() ? 0 : 4096);
  return out;
}

void set_length(Bytes& block, uint64_t n) {
  for (int i = 0; i < 8; ++i) block[1 + i] = static_cast<uint8_t>(n >> (8 * i));
}

TEST(RansModel, FromCountsKnownAnswers) {
  // A: 2/3 * 4096 = 2730.67 -> 2730, B: 1365.33 -> 1365; the missing 1 goes to
  // the first symbol with the largest frequency, also on a tie.
  EXPECT_EQ(normalised({{'A', 2}, {'B', 1}}), (std::map<int, uint16_t>{{'A', 2731}, {'B', 1365}}));
  EXPECT_EQ(normalised({{12, 1}, {5, 1}, {9, 1}}), (std::map<int, uint16_t>{{5, 1366}, {9, 1365}, {12, 1365}}));
  EXPECT_EQ(normalised({{200, 7}}), (std::map<int, uint16_t>{{200, 4096}}));
  EXPECT_TRUE(normalised({}).empty());

  // total 10200: symbol 0 floors to 4015, 200 singletons floor to 0 and rise
  // to 1; the excess of 119 comes off symbol 0.
  std::map<int, uint32_t> counts{{0, 10000}};
  std::map<int, uint16_t> expected{{0, 3896}};
  for (int s = 1; s <= 200; ++s) counts[s] = 1, expected[s] = 1;
  EXPECT_EQ(normalised(counts), expected);

  // 64 symbols of count 189 and 192 of count 1: total 12288, so each of the 64
  // gets exactly 63 and each singleton 1/3 -> 1. Excess 128: symbol 0 gives 62
  // (down to 1), then symbol 1 gives 62, then symbol 2 the last 4.
  for (int s = 0; s < 256; ++s) counts[s] = s < 64 ? 189 : 1, expected[s] = s < 64 ? 63 : 1;
  expected[0] = 1, expected[1] = 1, expected[2] = 59;
  EXPECT_EQ(normalised(counts), expected);
}

TEST(RansModel, FromTableValidatesAndBuildsSlots) {
  auto from = [](const Bytes& t) { return FrequencyModel::from_table(std::span<const uint8_t, 512>(t.data(), 512)); };
  auto m = from(table({{3, 1000}, {200, 3096}}));
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m->cum[4], 1000);
  EXPECT_EQ(m->cum[201], 4096);
  EXPECT_EQ(m->slot2sym[999], 3);
  EXPECT_EQ(m->slot2sym[1000], 200);
  EXPECT_EQ(from(table({{0, 4096}, {7, 1}})).error().message(),
            "malformed rANS stream: rANS freq table exceeds TOTFREQ");
  EXPECT_EQ(from(table({{1, 4000}, {255, 95}})).error().message(),
            "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
}

// The scalar step must equal (x div f) * 4096 + (x mod f) + cum for every f,
// at the renormalisation limit and at multiples of f, where an off-by-one
// reciprocal shows.
TEST(RansModel, EncodeStepMatchesTheDivisionFormula) {
  std::mt19937_64 rng(7);
  for (uint64_t f = 1; f <= 4096; ++f) {
    const uint32_t cum = static_cast<uint32_t>(4096 - f);
    const rans_detail::EncSymbol e = rans_detail::make_enc_symbol(static_cast<uint32_t>(f), cum);
    const uint64_t limit = f << 20;
    std::vector<uint64_t> xs = {65536, limit - 1, limit, 0xffffffffu, 65536 + rng() % 0xffff0000u};
    for (uint64_t k = (limit - 1) / f - 1; k <= (limit - 1) / f; ++k) xs.insert(xs.end(), {k * f - 1, k * f});
    for (uint64_t x : xs) {
      if (x < 65536 || x > 0xffffffffu) continue;
      uint16_t buf[2] = {};
      uint16_t* w = buf + 2;
      const uint32_t got = rans_detail::encode_step(static_cast<uint32_t>(x), e, w);
      const bool emits = x >= limit;
      ASSERT_EQ(w, buf + (emits ? 1 : 2)) << "f=" << f << " x=" << x;
      if (emits) {
        ASSERT_EQ(buf[1], x & 0xffff);
      }
      const uint64_t y = emits ? x >> 16 : x;
      ASSERT_EQ(got, (y / f) * 4096 + y % f + cum) << "f=" << f << " x=" << x;
    }
  }
}

// The vector decoders learn which lanes take a word from renorm_below[slot]
// rather than from the updated state; both must agree at the boundary.
TEST(RansModel, RenormThresholdsMatchTheStateUpdate) {
  for (const Bytes& t : {table({{'a', 1}, {'b', 2}, {'c', 3}, {'d', 4090}}), table({{1, 2048}, {2, 2047}, {3, 1}})}) {
    uint16_t freq[256];
    ASSERT_TRUE(rans_detail::read_table(t.data(), freq).ok());
    auto dt = std::make_unique<rans_detail::O0DecodeTable>();
    rans_detail::build_o0_decode_table(freq, rans_detail::O0Layout::Packed, *dt);
    for (uint32_t slot = 0; slot < 4096; ++slot) {
      const uint32_t e = dt->entry[slot], below = dt->renorm_below[slot];
      for (uint32_t hi : {below - 1, below}) {
        if (hi < 16) continue;  // states start at 2^16
        const uint64_t updated = uint64_t((e >> 20) + 1) * hi + ((e >> 8) & 4095);
        ASSERT_EQ(updated < 65536, hi < below) << "slot " << slot;
      }
    }
  }
}

// Hand-worked blocks, checked on every path in both directions.
TEST(RansBlock, HandWorked) {
  // "ABA": A 2731 (cum 0), B 1365 (cum 2731), see FromCountsKnownAnswers.
  //   lane 2, A: 65536 = 23 * 2731 + 2723 -> 23 * 4096 + 2723        = 96931
  //   lane 1, B: 65536 = 48 * 1365 + 16   -> 48 * 4096 + 16 + 2731   = 199355
  //   lane 0, A: as lane 2. Lanes 3..31 keep 65536; no word is written.
  std::vector<uint32_t> aba(32, 65536);
  aba[0] = aba[2] = 96931;
  aba[1] = 199355;
  // 128 bytes, 'B' at 0, 32, 64, 96 and 'A' elsewhere: A 3968 (cum 0), B 128
  // (cum 3968). Lane 0 codes B four times: 65536 -> 2101120 -> 67239808 ->
  // 0x803fff80, which is >= 128 * 2^20, so 0xff80 is emitted and 0x803f codes
  // to 1052607. Lanes 1..31 code A: 65536 -> 67584 -> 69760 -> 71936 -> 74240.
  Bytes b4(128, 'A');
  for (int i = 0; i < 128; i += 32) b4[i] = 'B';
  std::vector<uint32_t> b4_lanes(32, 74240);
  b4_lanes[0] = 1052607;
  // Order 1 "AB": context 0 -> {A: 4096}, context 'A' -> {B: 4096}; the
  // states stay 65536. Bitmap: bit 0 of byte 0 and bit 1 of byte 8 ('A' = 65).
  Bytes bitmap(32, 0);
  bitmap[0] = 0x01;
  bitmap[8] = 0x02;
  const struct {
    Bytes input;
    int order;
    Bytes block;
  } cases[] = {
      // A single symbol has frequency 4096 and never changes a state.
      {{'A'}, 0, concat({header(0, 1), table({{'A', 4096}}), states()})},
      {Bytes(1000, 'x'), 0, concat({header(0, 1000), table({{'x', 4096}}), states()})},
      {{'A', 'B', 'A'}, 0, concat({header(0, 3), table({{'A', 2731}, {'B', 1365}}), states(aba)})},
      {b4, 0, concat({header(0, 128), table({{'A', 3968}, {'B', 128}}), states(b4_lanes), Bytes{0x80, 0xff}})},
      {{}, 0, header(0, 0)},
      {{'A', 'B'}, 1, concat({header(1, 2), bitmap, table({{'A', 4096}}), table({{'B', 4096}}), states()})},
      {{}, 1, header(1, 0)},
  };
  for (const auto& c : cases) {
    for_each_path([&](int p) {
      EXPECT_EQ(rans_encode(c.input, c.order), c.block) << kPathNames[p];
      auto back = rans_decode(c.block, c.input.size());
      ASSERT_TRUE(back.ok()) << kPathNames[p] << ": " << back.error().message();
      EXPECT_EQ(*back, c.input) << kPathNames[p];
    });
  }
}

// Decoder failures, in the order they are checked.
TEST(RansDecodeErrors, EveryCheckInOrder) {
  const uint64_t huge = uint64_t(1) << 63, any = std::numeric_limits<uint64_t>::max();
  const Bytes good = table({{'a', 4096}});
  Bytes bitmap(32, 0), only8(32, 0);
  bitmap[0] = 0x21;  // contexts 0 and 5
  bitmap[1] = 0x02;  // and 9
  only8[1] = 1;      // context 8 only: absent context 0 is a symbol-decoding failure
  const std::string m = "malformed rANS stream: ";
  const struct {
    Bytes block;
    uint64_t max_len;
    std::string expected;
  } cases[] = {
      {{}, any, m + "truncated stream"},
      {{0, 1, 0, 0, 0, 0, 0, 0}, any, m + "truncated stream"},
      // The bound comes before the tag and the body; then the body is short.
      {header(7, 10), 9, m + "rANS output length exceeds caller bound"},
      {header(0, 10), 10, m + "truncated stream"},
      {header(2, 1), any, m + "unknown order tag"},
      // n = 0 is empty whatever the tag and whatever follows.
      {concat({header(0, 0), {0xee}}), 0, "decoded 0 bytes"},
      {concat({header(1, 0), {0xee}}), 0, "decoded 0 bytes"},
      {concat({header(0xff, 0), {0xee}}), 0, "decoded 0 bytes"},
      {concat({header(0, 1), Bytes(511, 0)}), any, m + "truncated stream"},
      {concat({header(0, 1), table({{0, 4096}, {9, 3}}), states()}), any,
       m + "rANS freq table exceeds TOTFREQ"},
      {concat({header(0, 1), table({})}), any, m + "rANS freq table does not sum to TOTFREQ"},  // before the states
      {concat({header(0, 1), good, Bytes(127, 0)}), any, m + "truncated stream"},
      {concat({header(1, 1), Bytes(31, 0)}), any, m + "truncated stream"},
      // Context 5's table is bad and context 9's missing: tables are checked in order.
      {concat({header(1, 1), bitmap, good, table({{1, 100}})}), any, m + "rANS freq table does not sum to TOTFREQ"},
      {concat({header(1, 1), bitmap, good, good, Bytes(100, 0)}), any, m + "truncated stream"},
      {concat({header(1, 1), bitmap, good, good, good, Bytes(127, 0)}), any, m + "truncated stream"},
      {concat({header(1, 1), bitmap, good, good, good, states()}), any, "decoded 1 bytes"},
      // The output is reserved after the body and before any symbol.
      {concat({header(0, huge), good, states()}), any, m + "rANS output length too large to allocate"},
      {concat({header(0, huge), good}), any, m + "truncated stream"},
      {concat({header(1, huge), only8, good, states()}), any, m + "rANS output length too large to allocate"},
      {concat({header(1, 1), only8, good, states()}), any, m + "symbol references absent context"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(decode_error(cases[i].block, cases[i].max_len), cases[i].expected) << "case " << i;
  }
}

// An order-1 block whose last byte ('Z') occurs nowhere else has no table for
// context 'Z'; claiming more output makes the decoder use it at index n in the
// first batch, a whole batch, the padded end or the tail, with by-context and
// by-slot tables, with or without trailing bytes. Cutting a word fails first.
TEST(RansDecodeErrors, AbsentContextMidStream) {
  for (size_t n : {5u, 40u, 95u, 4031u, 4064u, 40000u, 40031u}) {
    Bytes input = correlated_data(n - 1, n);
    input.push_back('Z');
    const Bytes block = rans_encode(input, 1);
    for (size_t extra : {1u, 33u}) {
      for (size_t junk : {0u, 100u}) {
        Bytes longer = block;
        set_length(longer, n + extra);
        longer.resize(longer.size() + junk, 0x5a);
        for_each_path([&](int p) {
          EXPECT_EQ(decode_error(longer), "malformed rANS stream: symbol references absent context")
              << kPathNames[p] << " n=" << n << " extra=" << extra << " junk=" << junk;
        });
      }
    }
    if (n < 1000) continue;
    Bytes cut = block;
    set_length(cut, n + 1);
    cut.erase(cut.end() - 2, cut.end());
    EXPECT_EQ(decode_error(cut), "malformed rANS stream: truncated stream") << n;
  }
}

TEST(RansDecodeErrors, MissingWordsOnEveryPath) {
  for (size_t n : {100u, 1000u, 5000u}) {
    const Bytes input = flat_data(n, 200, n);
    for (int order : {0, 1}) {
      const Bytes block = rans_encode(input, order);
      for (size_t cut : {1u, 2u, 64u}) {
        if (order == 0 && cut > block.size() - 649) continue;  // words only, not the states
        const Bytes shorter(block.begin(), block.end() - cut);
        for_each_path([&](int p) {
          EXPECT_EQ(decode_error(shorter), order == 0 && p > 0 ? "malformed rANS stream: truncated renorm stream"
                                                               : "malformed rANS stream: truncated stream")
              << kPathNames[p] << " n=" << n << " order=" << order << " cut=" << cut;
        });
      }
    }
  }
}

// Round trips on the default path, both orders (rans_simd_test.cpp compares
// the vector paths with it): short lengths, every tail, larger inputs.
TEST(RansRoundTrip, LengthsAndShapes) {
  std::vector<Bytes> inputs;
  for (size_t n = 0; n <= 100; ++n) inputs.insert(inputs.end(), {flat_data(n, 256, n), flat_data(n, 3, n, 'a')});
  for (size_t t = 0; t < 32; ++t) inputs.insert(inputs.end(), {skewed_data(2048 + t, t), correlated_data(2048 + t, t)});
  for (size_t n : {4095u, 65553u, 300001u}) {
    Bytes mostly(n, 'N');
    mostly[n / 2] = 'A';  // frequency 1 beside 4095
    inputs.insert(inputs.end(),
                  {flat_data(n, 256, n), flat_data(n, 2, n), skewed_data(n, n), correlated_data(n, n), mostly});
  }
  for (const Bytes& input : inputs) {
    for (int order : {0, 1}) {
      Bytes block = rans_encode(input, order);
      ASSERT_EQ(block[0], order);
      block.insert(block.end(), 70, 0xab);  // bytes after the last word are ignored
      auto back = rans_decode(block, input.size());
      ASSERT_TRUE(back.ok()) << "n=" << input.size() << " order=" << order << ": " << back.error().message();
      ASSERT_EQ(*back, input) << "n=" << input.size() << " order=" << order;
    }
  }
}

TEST(RansEncodeBest, ShorterBlockAndOrderZeroOnATie) {
  Bytes ab;
  for (int i = 0; i < 20000; ++i) ab.push_back(i % 2 ? 'B' : 'A');
  // Order 1 knows every next symbol: three one-entry tables (contexts 0, 'A',
  // 'B') and no words; order 0 needs a bit per symbol.
  EXPECT_EQ(rans_encode(ab, 1).size(), 9u + 32 + 3 * 512 + 128);
  EXPECT_EQ(rans_encode_best(ab), rans_encode(ab, 1));
  const Bytes flat = flat_data(5000, 256, 1);
  EXPECT_EQ(rans_encode_best(flat), rans_encode(flat, 0));
  EXPECT_EQ(rans_encode_best({}), header(0, 0));
  // A two-letter Markov chain (10% switches) where the order-1 tables cost
  // exactly what order 1 saves in words: both blocks are 2633 bytes.
  std::mt19937_64 rng(90);
  Bytes chain{'a'};
  while (chain.size() < 16160) chain.push_back(rng() % 100 >= 90 ? 'a' + 'b' - chain.back() : chain.back());
  const Bytes o0 = rans_encode(chain, 0);
  ASSERT_EQ(o0.size(), rans_encode(chain, 1).size());
  EXPECT_EQ(rans_encode_best(chain), o0);
}

}  // namespace
}  // namespace zarv
