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

// Sets the claimed output length of a block.
void set_length(Bytes& block, uint64_t n) {
  for (int i = 0; i < 8; ++i) block[1 + i] = static_cast<uint8_t>(n >> (8 * i));
}

// ---------------------------------------------------------------------------
// Models

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
  counts.clear();
  expected.clear();
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
  EXPECT_EQ(from(table({{0, 65535}})).error().message(), "malformed rANS stream: rANS freq table exceeds TOTFREQ");
  EXPECT_EQ(from(table({})).error().message(), "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
  EXPECT_EQ(from(table({{1, 4000}, {255, 95}})).error().message(),
            "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
}

// The scalar step must equal (x div f) * 4096 + (x mod f) + cum for every
// frequency, at the renormalisation limit and at multiples of f, where a
// reciprocal that is off by one shows.
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

// ---------------------------------------------------------------------------
// Hand-worked blocks, checked on every path in both directions.

void expect_block(const Bytes& input, int order, const Bytes& expected) {
  for_each_path([&](int p) {
    EXPECT_EQ(rans_encode(input, order), expected) << kPathNames[p];
    auto back = rans_decode(expected, input.size());
    ASSERT_TRUE(back.ok()) << kPathNames[p] << ": " << back.error().message();
    EXPECT_EQ(*back, input) << kPathNames[p];
  });
}

TEST(RansBlock, HandWorkedOrderZero) {
  // "A": freq['A'] = 4096; lane 0 codes it from 65536 as
  // (65536 div 4096) * 4096 + 0 + 0 = 65536: every state stays 65536.
  expect_block({'A'}, 0, concat({header(0, 1), table({{'A', 4096}}), initial_states()}));

  // "ABA": A 2731 (cum 0), B 1365 (cum 2731), see FromCountsKnownAnswers.
  //   lane 2, A: 65536 = 23 * 2731 + 2723 -> 23 * 4096 + 2723        = 96931
  //   lane 1, B: 65536 = 48 * 1365 + 16   -> 48 * 4096 + 16 + 2731   = 199355
  //   lane 0, A: as lane 2. Lanes 3..31 keep 65536; no word is written.
  std::vector<uint32_t> lanes(32, 65536);
  lanes[0] = lanes[2] = 96931;
  lanes[1] = 199355;
  expect_block({'A', 'B', 'A'}, 0, concat({header(0, 3), table({{'A', 2731}, {'B', 1365}}), states(lanes)}));

  // 128 bytes, 'B' at 0, 32, 64, 96 and 'A' elsewhere: A 124/128 -> 3968
  // (cum 0), B 4/128 -> 128 (cum 3968). Lane 0 codes B four times:
  //   65536      = 512 * 128     -> 512 * 4096 + 3968    = 2101120
  //   2101120    = 16415 * 128   -> 16415 * 4096 + 3968  = 67239808
  //   67239808   = 525311 * 128  -> 525311 * 4096 + 3968 = 2151677824 = 0x803fff80
  //   0x803fff80 >= 128 * 2^20: emit 0xff80, x = 0x803f = 32831
  //   32831      = 256 * 128 + 63 -> 256 * 4096 + 63 + 3968 = 1052607
  // Lanes 1..31 code A four times: 65536 -> 67584 -> 69760 -> 71936 -> 74240
  // (65536 = 16 * 3968 + 2048, 67584 = 17 * 3968 + 128, 69760 = 17 * 3968 +
  // 2304, 71936 = 18 * 3968 + 512).
  Bytes input(128, 'A');
  for (int i = 0; i < 128; i += 32) input[i] = 'B';
  lanes.assign(32, 74240);
  lanes[0] = 1052607;
  expect_block(input, 0,
               concat({header(0, 128), table({{'A', 3968}, {'B', 128}}), states(lanes), Bytes{0x80, 0xff}}));

  // A repeated byte: one frequency of 4096, no state ever changes, no words.
  expect_block(Bytes(1000, 'x'), 0, concat({header(0, 1000), table({{'x', 4096}}), initial_states()}));
  expect_block({}, 0, header(0, 0));
}

TEST(RansBlock, HandWorkedOrderOne) {
  // "AB": context 0 -> {A: 4096}, context 'A' -> {B: 4096}; the states stay
  // 65536. Bitmap: bit 0 of byte 0 and bit 1 of byte 8 ('A' = 65).
  Bytes bitmap(32, 0);
  bitmap[0] = 0x01;
  bitmap[8] = 0x02;
  expect_block({'A', 'B'}, 1,
               concat({header(1, 2), bitmap, table({{'A', 4096}}), table({{'B', 4096}}), initial_states()}));
  expect_block({}, 1, header(1, 0));
}

// ---------------------------------------------------------------------------
// Decoder failures, in the order they are checked.

TEST(RansDecodeErrors, HeaderBoundAndTag) {
  EXPECT_EQ(decode_error({}), "malformed rANS stream: truncated stream");
  EXPECT_EQ(decode_error({0, 1, 0, 0, 0, 0, 0, 0}), "malformed rANS stream: truncated stream");
  // The bound comes before the tag and the body; then the body is short.
  EXPECT_EQ(decode_error(header(7, 10), 9), "malformed rANS stream: rANS output length exceeds caller bound");
  EXPECT_EQ(decode_error(header(0, 10), 10), "malformed rANS stream: truncated stream");
  EXPECT_EQ(decode_error(header(2, 1)), "malformed rANS stream: unknown order tag");
  // n = 0 is empty whatever the tag and whatever follows.
  for (uint8_t tag : {0, 1, 0xff}) {
    Bytes block = header(tag, 0);
    block.push_back(0xee);
    EXPECT_EQ(decode_error(block, 0), "decoded 0 bytes");
  }
}

TEST(RansDecodeErrors, TablesAndStates) {
  const Bytes good = table({{'a', 4096}});
  EXPECT_EQ(decode_error(concat({header(0, 1), Bytes(511, 0)})), "malformed rANS stream: truncated stream");
  EXPECT_EQ(decode_error(concat({header(0, 1), table({{0, 4096}, {9, 3}}), initial_states()})),
            "malformed rANS stream: rANS freq table exceeds TOTFREQ");
  EXPECT_EQ(decode_error(concat({header(0, 1), table({})})),  // the table before the missing states
            "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
  EXPECT_EQ(decode_error(concat({header(0, 1), good, Bytes(127, 0)})), "malformed rANS stream: truncated stream");

  Bytes bitmap(32, 0);
  bitmap[0] = 0x21;  // contexts 0 and 5
  bitmap[1] = 0x02;  // and 9
  EXPECT_EQ(decode_error(concat({header(1, 1), Bytes(31, 0)})), "malformed rANS stream: truncated stream");
  // Context 5's table is bad and context 9's missing: tables are checked in order.
  EXPECT_EQ(decode_error(concat({header(1, 1), bitmap, good, table({{1, 100}})})),
            "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
  EXPECT_EQ(decode_error(concat({header(1, 1), bitmap, good, good, Bytes(100, 0)})),
            "malformed rANS stream: truncated stream");
  EXPECT_EQ(decode_error(concat({header(1, 1), bitmap, good, good, good, Bytes(127, 0)})),
            "malformed rANS stream: truncated stream");
  EXPECT_EQ(decode_error(concat({header(1, 1), bitmap, good, good, good, initial_states()})), "decoded 1 bytes");
}

TEST(RansDecodeErrors, OutputTooLargeToAllocateAfterTheBodyAndBeforeSymbols) {
  const uint64_t huge = uint64_t(1) << 63;
  const Bytes good = table({{'a', 4096}});
  EXPECT_EQ(decode_error(concat({header(0, huge), good, initial_states()})),
            "malformed rANS stream: rANS output length too large to allocate");
  EXPECT_EQ(decode_error(concat({header(0, huge), good})), "malformed rANS stream: truncated stream");
  Bytes only8(32, 0);
  only8[1] = 1;  // context 8 only: absent context 0 is a symbol-decoding failure
  EXPECT_EQ(decode_error(concat({header(1, huge), only8, good, initial_states()})),
            "malformed rANS stream: rANS output length too large to allocate");
  EXPECT_EQ(decode_error(concat({header(1, 1), only8, good, initial_states()})),
            "malformed rANS stream: symbol references absent context");
}

// A valid order-1 block whose last byte ('Z') occurs nowhere else has no table
// for context 'Z'. Claiming more output makes the decoder use that context at
// index n wherever the symbol falls (first batch, a whole batch, the padded
// end, the tail; by-context and by-slot tables), with or without trailing
// bytes that keep the unchecked loop running. Cutting the last word instead
// fails earlier, with "truncated stream".
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

// ---------------------------------------------------------------------------
// Round trips on the default path (the vector paths are compared with it in
// rans_simd_test.cpp).

void expect_round_trip(const Bytes& input, const char* what) {
  for (int order : {0, 1}) {
    Bytes block = rans_encode(input, order);
    ASSERT_EQ(block[0], order);
    block.insert(block.end(), 70, 0xab);  // bytes after the last word are ignored
    auto back = rans_decode(block, input.size());
    ASSERT_TRUE(back.ok()) << what << " n=" << input.size() << " order=" << order << ": " << back.error().message();
    ASSERT_EQ(*back, input) << what << " n=" << input.size() << " order=" << order;
  }
}

TEST(RansRoundTrip, EveryLengthUpTo100AndEveryTail) {
  for (size_t n = 0; n <= 100; ++n) {
    expect_round_trip(flat_data(n, 256, n), "flat");
    expect_round_trip(flat_data(n, 3, n, 'a'), "three");
  }
  for (size_t t = 0; t < 32; ++t) {
    expect_round_trip(skewed_data(2048 + t, t), "skewed");
    expect_round_trip(correlated_data(2048 + t, t), "correlated");
  }
}

TEST(RansRoundTrip, LargerInputsOfEveryShape) {
  for (size_t n : {4095u, 65553u, 300001u}) {
    expect_round_trip(flat_data(n, 256, n), "flat256");
    expect_round_trip(flat_data(n, 2, n), "flat2");
    expect_round_trip(skewed_data(n, n), "skewed");
    expect_round_trip(correlated_data(n, n), "correlated");
    Bytes mostly(n, 'N');
    mostly[n / 2] = 'A';  // frequency 1 beside 4095
    expect_round_trip(mostly, "one-rare");
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
