// rANS: models, hand-worked blocks, every decoder failure, and round trips.
#include "codecs/entropy/rans.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "codecs/entropy/rans_model.hpp"
#include "tests/codecs/entropy/rans_test_util.hpp"

namespace zarv {
namespace {

using namespace rans_test;

constexpr uint64_t kNoBound = std::numeric_limits<uint64_t>::max();

std::string decode_error(const Bytes& block, uint64_t max_len = kNoBound) {
  auto r = rans_decode(block, max_len);
  if (r.ok()) return "decoded " + std::to_string(r->size()) + " bytes";
  EXPECT_EQ(r.error().kind, ErrorKind::Rans);
  return r.error().message();
}

std::map<int, uint16_t> nonzero(const std::array<uint16_t, 256>& freq) {
  std::map<int, uint16_t> m;
  for (int s = 0; s < 256; ++s) {
    if (freq[s]) m[s] = freq[s];
  }
  return m;
}

FrequencyModel model_from_counts(const std::map<int, uint32_t>& counts) {
  std::array<uint32_t, 256> c{};
  for (auto [s, n] : counts) c[s] = n;
  return FrequencyModel::from_counts(c);
}

// ---------------------------------------------------------------------------
// Models

TEST(RansModel, FromCountsGivesTheDeficitToTheFirstLargest) {
  // A: 2/3 * 4096 = 2730.67 -> 2730, B: 1365.33 -> 1365; 4095 in all, and the
  // missing 1 goes to A.
  EXPECT_EQ(nonzero(model_from_counts({{'A', 2}, {'B', 1}}).freq),
            (std::map<int, uint16_t>{{'A', 2731}, {'B', 1365}}));
  // Three-way tie at 1365: the lowest symbol takes the deficit.
  EXPECT_EQ(nonzero(model_from_counts({{12, 1}, {5, 1}, {9, 1}}).freq),
            (std::map<int, uint16_t>{{5, 1366}, {9, 1365}, {12, 1365}}));
  EXPECT_EQ(nonzero(model_from_counts({{200, 7}}).freq), (std::map<int, uint16_t>{{200, 4096}}));
}

TEST(RansModel, FromCountsTakesTheExcessFromTheLargest) {
  // total 10200: symbol 0 gets floor(10000 * 4096 / 10200) = 4015, the 200
  // singletons floor to 0 and are raised to 1: 4215, so 119 comes off symbol 0.
  std::map<int, uint32_t> counts{{0, 10000}};
  for (int s = 1; s <= 200; ++s) counts[s] = 1;
  const auto m = model_from_counts(counts);
  EXPECT_EQ(m.freq[0], 3896);
  for (int s = 1; s <= 200; ++s) EXPECT_EQ(m.freq[s], 1) << s;
  EXPECT_EQ(m.freq[201], 0);
}

TEST(RansModel, FromCountsMovesOnWhenTheLargestCannotCoverTheExcess) {
  // 64 symbols of count 189 and 192 of count 1: total 12288, so each of the 64
  // gets exactly 63 and each singleton 1/3 -> 0 -> 1. Sum 4032 + 192 = 4224,
  // excess 128: symbol 0 gives 62 (down to 1), symbol 1 gives 62, symbol 2
  // the last 4.
  std::map<int, uint32_t> counts;
  for (int s = 0; s < 64; ++s) counts[s] = 189;
  for (int s = 64; s < 256; ++s) counts[s] = 1;
  const auto m = model_from_counts(counts);
  EXPECT_EQ(m.freq[0], 1);
  EXPECT_EQ(m.freq[1], 1);
  EXPECT_EQ(m.freq[2], 59);
  for (int s = 3; s < 64; ++s) EXPECT_EQ(m.freq[s], 63) << s;
  for (int s = 64; s < 256; ++s) EXPECT_EQ(m.freq[s], 1) << s;
  EXPECT_EQ(m.cum[256], 4096);
}

TEST(RansModel, FromCountsOfNothingIsAllZero) {
  const auto m = FrequencyModel::from_counts(std::array<uint32_t, 256>{});
  EXPECT_TRUE(nonzero(m.freq).empty());
}

TEST(RansModel, FromTableBuildsCumulativeFrequenciesAndSlots) {
  const Bytes t = table({{3, 1000}, {200, 3096}});
  auto m = FrequencyModel::from_table(std::span<const uint8_t, 512>(t.data(), 512));
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(m->cum[3], 0);
  EXPECT_EQ(m->cum[4], 1000);
  EXPECT_EQ(m->cum[200], 1000);
  EXPECT_EQ(m->cum[201], 4096);
  EXPECT_EQ(m->cum[256], 4096);
  EXPECT_EQ(m->slot2sym[0], 3);
  EXPECT_EQ(m->slot2sym[999], 3);
  EXPECT_EQ(m->slot2sym[1000], 200);
  EXPECT_EQ(m->slot2sym[4095], 200);
}

TEST(RansModel, FromTableRejectsTablesNotSummingTo4096) {
  auto error_of = [](const Bytes& t) {
    auto m = FrequencyModel::from_table(std::span<const uint8_t, 512>(t.data(), 512));
    return m.ok() ? std::string("ok") : m.error().message();
  };
  EXPECT_EQ(error_of(table({{0, 4096}, {7, 1}})), "malformed rANS stream: rANS freq table exceeds TOTFREQ");
  EXPECT_EQ(error_of(table({{0, 65535}})), "malformed rANS stream: rANS freq table exceeds TOTFREQ");
  EXPECT_EQ(error_of(table({})), "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
  EXPECT_EQ(error_of(table({{1, 4000}, {255, 95}})),
            "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
}

// The scalar step must equal (x div f) * 4096 + (x mod f) + cum for every
// frequency, including states right below and at the renormalisation limit
// and at multiples of f, where a reciprocal that is off by one shows.
TEST(RansModel, EncodeStepMatchesTheDivisionFormulaForEveryFrequency) {
  std::mt19937_64 rng(7);
  for (uint32_t f = 1; f <= 4096; ++f) {
    const uint32_t cum = 4096 - f;
    const rans_detail::EncSymbol e = rans_detail::make_enc_symbol(f, cum);
    const uint64_t limit = uint64_t(f) << 20;
    std::vector<uint64_t> xs = {65536, 65537, limit - 1, limit, 0xffffffffu};
    for (uint64_t k = (limit - 1) / f - 2; k <= (limit - 1) / f; ++k) {
      for (int64_t d = -1; d <= 1; ++d) xs.push_back(k * f + d);
    }
    for (int i = 0; i < 8; ++i) xs.push_back(65536 + rng() % (0x100000000ull - 65536));
    for (uint64_t x0 : xs) {
      if (x0 < 65536 || x0 > 0xffffffffu) continue;
      uint16_t buf[2] = {0, 0};
      uint16_t* w = buf + 2;
      const uint32_t got = rans_detail::encode_step(static_cast<uint32_t>(x0), e, w);
      uint64_t x = x0;
      if (x >= limit) {
        ASSERT_EQ(w, buf + 1) << "f=" << f << " x=" << x0;
        ASSERT_EQ(buf[1], x & 0xffff);
        x >>= 16;
      } else {
        ASSERT_EQ(w, buf + 2) << "f=" << f << " x=" << x0;
      }
      ASSERT_EQ(got, (x / f) * 4096 + x % f + cum) << "f=" << f << " x=" << x0;
    }
  }
}

// The vector decoders learn which lanes take a word from renorm_below[slot]
// instead of waiting for the updated state; it must agree with the update at
// every slot, right at the boundary.
TEST(RansModel, RenormThresholdsMatchTheStateUpdate) {
  for (const Bytes& t : {table({{'a', 1}, {'b', 2}, {'c', 3}, {'d', 4090}}), table({{7, 4096}}),
                         table({{1, 2048}, {2, 2047}, {3, 1}})}) {
    uint16_t freq[256];
    ASSERT_TRUE(rans_detail::read_table(t.data(), freq).ok());
    auto dt = std::make_unique<rans_detail::O0DecodeTable>();
    rans_detail::build_o0_decode_table(freq, rans_detail::O0Layout::Packed, *dt);
    for (uint32_t slot = 0; slot < 4096; ++slot) {
      const uint32_t e = dt->entry[slot];
      const uint32_t below = dt->renorm_below[slot];
      ASSERT_EQ(e & 0xff, dt->sym[slot]);
      for (uint32_t hi : {below - 1, below}) {
        if (hi < 16) continue;  // states start at 2^16
        const uint64_t updated = uint64_t((e >> 20) + 1) * hi + ((e >> 8) & 4095);
        ASSERT_EQ(updated < 65536, hi < below) << "slot " << slot << " x>>12 " << hi;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Hand-worked blocks, checked on every path in both directions.

void expect_block(const Bytes& input, int order, const Bytes& expected) {
  for (Path p : kAllPaths) {
    if (!path_available(p)) continue;
    ForcePath force(p);
    EXPECT_EQ(rans_encode(input, order), expected) << path_name(p);
    auto back = rans_decode(expected, input.size());
    ASSERT_TRUE(back.ok()) << path_name(p) << ": " << back.error().message();
    EXPECT_EQ(*back, input) << path_name(p);
  }
}

TEST(RansBlock, SingleByte) {
  // One symbol: freq['A'] = 4096, cum 0. Lane 0 codes it from 65536:
  // (65536 div 4096) * 4096 + 0 + 0 = 65536, so every state stays 65536.
  expect_block({'A'}, 0,
               concat({header(0, 1), table({{'A', 4096}}), states(std::vector<uint32_t>(32, 65536))}));
}

TEST(RansBlock, ThreeBytesUseOnlyTheirLanes) {
  // "ABA": A 2731 (cum 0), B 1365 (cum 2731); see FromCounts above.
  // Lane 2, A: 65536 = 23 * 2731 + 2723 -> 23 * 4096 + 2723 = 96931.
  // Lane 1, B: 65536 = 48 * 1365 + 16   -> 48 * 4096 + 16 + 2731 = 199355.
  // Lane 0, A: as lane 2. Lanes 3..31 keep 65536. No state reaches f * 2^20.
  std::vector<uint32_t> lanes(32, 65536);
  lanes[0] = 96931;
  lanes[1] = 199355;
  lanes[2] = 96931;
  expect_block({'A', 'B', 'A'}, 0,
               concat({header(0, 3), table({{'A', 2731}, {'B', 1365}}), states(lanes)}));
}

TEST(RansBlock, OneRenormalisationWord) {
  // 128 bytes, 'B' at 0, 32, 64, 96 and 'A' elsewhere: A 124/128 -> 3968
  // (cum 0), B 4/128 -> 128 (cum 3968).
  // Lane 0 sees B four times (i = 96, 64, 32, 0, in encoding order):
  //   65536      = 512 * 128         -> 512 * 4096 + 3968         = 2101120
  //   2101120    = 16415 * 128       -> 16415 * 4096 + 3968       = 67239808
  //   67239808   = 525311 * 128      -> 525311 * 4096 + 3968      = 2151677824 (0x803fff80)
  //   0x803fff80 >= 128 * 2^20: emit 0xff80, x = 0x803f = 32831
  //   32831      = 256 * 128 + 63    -> 256 * 4096 + 63 + 3968    = 1052607
  // Lanes 1..31 see A four times:
  //   65536 = 16 * 3968 + 2048 -> 67584;  67584 = 17 * 3968 + 128 -> 69760;
  //   69760 = 17 * 3968 + 2304 -> 71936;  71936 = 18 * 3968 + 512 -> 74240.
  Bytes input(128, 'A');
  for (int i = 0; i < 128; i += 32) input[i] = 'B';
  std::vector<uint32_t> lanes(32, 74240);
  lanes[0] = 1052607;
  expect_block(input, 0,
               concat({header(0, 128), table({{'A', 3968}, {'B', 128}}), states(lanes), Bytes{0x80, 0xff}}));
}

TEST(RansBlock, OrderOneTwoBytes) {
  // "AB": context 0 -> {A}, context 'A' -> {B}; both tables are a single
  // 4096, so the states stay 65536. Bitmap: bit 0 of byte 0, bit 1 of byte 8.
  Bytes bitmap(32, 0);
  bitmap[0] = 0x01;
  bitmap['A' / 8] = 1u << ('A' % 8);
  expect_block({'A', 'B'}, 1,
               concat({header(1, 2), bitmap, table({{'A', 4096}}), table({{'B', 4096}}),
                       states(std::vector<uint32_t>(32, 65536))}));
}

TEST(RansBlock, EmptyInputIsTheBareHeader) {
  expect_block({}, 0, header(0, 0));
  expect_block({}, 1, header(1, 0));
}

TEST(RansBlock, RepeatedByteWritesNoWords) {
  const Bytes input(1000, 'x');
  const Bytes block = rans_encode(input, 0);
  EXPECT_EQ(block, concat({header(0, 1000), table({{'x', 4096}}), states(std::vector<uint32_t>(32, 65536))}));
  EXPECT_EQ(*rans_decode(block, 1000), input);
}

// ---------------------------------------------------------------------------
// Decoder failures, in the order they are checked.

TEST(RansDecodeErrors, ShortHeaderAndBound) {
  EXPECT_EQ(decode_error({}), "malformed rANS stream: truncated stream");
  EXPECT_EQ(decode_error({0, 1, 0, 0}), "malformed rANS stream: truncated stream");
  EXPECT_EQ(decode_error({0, 1, 0, 0, 0, 0, 0, 0}), "malformed rANS stream: truncated stream");
  // The bound is checked before the tag and before the body.
  EXPECT_EQ(decode_error(header(7, 10), 9), "malformed rANS stream: rANS output length exceeds caller bound");
  EXPECT_EQ(decode_error(header(0, 10), 9), "malformed rANS stream: rANS output length exceeds caller bound");
  EXPECT_EQ(decode_error(header(0, 10), 10), "malformed rANS stream: truncated stream");
}

TEST(RansDecodeErrors, ZeroLengthIsEmptyWhateverFollows) {
  for (uint8_t tag : {0, 1, 2, 0xff}) {
    Bytes block = header(tag, 0);
    block.push_back(0xee);
    auto r = rans_decode(block, 0);
    ASSERT_TRUE(r.ok()) << int(tag);
    EXPECT_TRUE(r->empty());
  }
}

TEST(RansDecodeErrors, UnknownOrderTag) {
  EXPECT_EQ(decode_error(header(2, 1)), "malformed rANS stream: unknown order tag");
  EXPECT_EQ(decode_error(header(0xff, 5)), "malformed rANS stream: unknown order tag");
}

TEST(RansDecodeErrors, OrderZeroTableAndStates) {
  const Bytes good = table({{'a', 4096}});
  const Bytes lanes = states(std::vector<uint32_t>(32, 65536));
  EXPECT_EQ(decode_error(concat({header(0, 1), Bytes(511, 0)})), "malformed rANS stream: truncated stream");
  EXPECT_EQ(decode_error(concat({header(0, 1), table({{0, 4096}, {9, 3}}), lanes})),
            "malformed rANS stream: rANS freq table exceeds TOTFREQ");
  EXPECT_EQ(decode_error(concat({header(0, 1), table({{0, 4095}}), lanes})),
            "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
  EXPECT_EQ(decode_error(concat({header(0, 1), good, Bytes(lanes.begin(), lanes.end() - 1)})),
            "malformed rANS stream: truncated stream");
  // A bad table wins over missing states.
  EXPECT_EQ(decode_error(concat({header(0, 1), table({})})),
            "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
}

TEST(RansDecodeErrors, OrderOneTablesInContextOrder) {
  Bytes bitmap(32, 0);
  bitmap[0] = 0x21;  // contexts 0 and 5
  bitmap[1] = 0x02;  // context 9
  const Bytes good = table({{'a', 4096}});
  const Bytes lanes = states(std::vector<uint32_t>(32, 65536));
  EXPECT_EQ(decode_error(concat({header(1, 1), Bytes(31, 0)})), "malformed rANS stream: truncated stream");
  // Context 5's table is bad and context 9's is missing: the bad one is met first.
  EXPECT_EQ(decode_error(concat({header(1, 1), bitmap, good, table({{1, 100}})})),
            "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
  EXPECT_EQ(decode_error(concat({header(1, 1), bitmap, good, good, Bytes(100, 0)})),
            "malformed rANS stream: truncated stream");
  EXPECT_EQ(decode_error(concat({header(1, 1), bitmap, good, good, good, Bytes(127, 0)})),
            "malformed rANS stream: truncated stream");
  EXPECT_TRUE(rans_decode(concat({header(1, 1), bitmap, good, good, good, lanes}), 1).ok());
}

TEST(RansDecodeErrors, OutputTooLargeToAllocateComesAfterTheBody) {
  const uint64_t huge = uint64_t(1) << 63;
  const Bytes lanes = states(std::vector<uint32_t>(32, 65536));
  EXPECT_EQ(decode_error(concat({header(0, huge), table({{'a', 4096}}), lanes})),
            "malformed rANS stream: rANS output length too large to allocate");
  Bytes bitmap(32, 0);
  bitmap[0] = 1;
  EXPECT_EQ(decode_error(concat({header(1, huge), bitmap, table({{'a', 4096}}), lanes})),
            "malformed rANS stream: rANS output length too large to allocate");
  // Table and state checks come first.
  EXPECT_EQ(decode_error(concat({header(0, huge), table({})})),
            "malformed rANS stream: rANS freq table does not sum to TOTFREQ");
  EXPECT_EQ(decode_error(concat({header(0, huge), table({{'a', 4096}})})),
            "malformed rANS stream: truncated stream");
  // ... and the absent first context comes after it.
  Bytes no_zero(32, 0);
  no_zero[1] = 1;  // context 8 only
  EXPECT_EQ(decode_error(concat({header(1, huge), no_zero, table({{'a', 4096}}), lanes})),
            "malformed rANS stream: rANS output length too large to allocate");
}

TEST(RansDecodeErrors, OrderOneWithoutContextZeroFailsOnTheFirstSymbol) {
  Bytes bitmap(32, 0);
  bitmap[1] = 1;  // context 8 only
  EXPECT_EQ(decode_error(concat({header(1, 1), bitmap, table({{8, 4096}}), states(std::vector<uint32_t>(32, 65536))})),
            "malformed rANS stream: symbol references absent context");
}

// A valid order-1 block whose last byte ('Z') occurs nowhere else has no
// table for context 'Z'. Claiming more output makes the decoder use that
// context at index n, wherever that symbol falls (first batch, a whole batch,
// the padded end, the tail), and with or without trailing bytes that keep
// the unchecked loop running to the end.
TEST(RansDecodeErrors, AbsentContextAfterTheLastByteOnEveryPath) {
  // Large n use the by-slot order-1 table (about 40 contexts here).
  for (size_t n : {5u, 31u, 40u, 63u, 95u, 100u, 4000u, 4031u, 4064u, 40000u, 40031u}) {
    Bytes input = correlated_data(n - 1, n);
    input.push_back('Z');
    const Bytes block = rans_encode(input, 1);
    for (size_t extra : {1u, 2u, 33u}) {
      for (size_t junk : {0u, 100u}) {
        Bytes longer = block;
        for (int i = 0; i < 8; ++i) longer[1 + i] = static_cast<uint8_t>((n + extra) >> (8 * i));
        longer.resize(longer.size() + junk, 0x5a);
        for (Path p : kAllPaths) {
          if (!path_available(p)) continue;
          ForcePath force(p);
          EXPECT_EQ(decode_error(longer), "malformed rANS stream: symbol references absent context")
              << path_name(p) << " n=" << n << " extra=" << extra << " junk=" << junk;
        }
      }
    }
  }
}

TEST(RansDecodeErrors, MissingWordsOnEveryPath) {
  for (size_t n : {20u, 33u, 100u, 1000u, 5000u}) {
    const Bytes input = flat_data(n, 200, n);
    for (int order : {0, 1}) {
      const Bytes block = rans_encode(input, order);
      for (size_t cut : {1u, 2u, 3u, 64u}) {
        if (cut > block.size() - 649) continue;
        const Bytes shorter(block.begin(), block.end() - cut);
        for (Path p : kAllPaths) {
          if (!path_available(p)) continue;
          ForcePath force(p);
          EXPECT_EQ(decode_error(shorter),
                    order == 0 ? truncated_msg(p) : std::string("malformed rANS stream: truncated stream"))
              << path_name(p) << " n=" << n << " order=" << order << " cut=" << cut;
        }
      }
    }
  }
}

TEST(RansDecodeErrors, TruncationBeforeAnAbsentContextIsReportedFirst) {
  Bytes input = flat_data(999, 50, 3);
  input.push_back('Z');
  Bytes block = rans_encode(input, 1);
  for (int i = 0; i < 8; ++i) block[1 + i] = static_cast<uint8_t>(uint64_t(1010) >> (8 * i));
  // The last word is consumed before index 1000, where context 'Z' is used.
  block.resize(block.size() - 2);
  EXPECT_EQ(decode_error(block), "malformed rANS stream: truncated stream");
}

TEST(RansDecode, BytesAfterTheLastWordAreIgnored) {
  const Bytes input = skewed_data(3000, 11);
  for (int order : {0, 1}) {
    Bytes block = rans_encode(input, order);
    block.insert(block.end(), 300, 0xab);
    for (Path p : kAllPaths) {
      if (!path_available(p)) continue;
      ForcePath force(p);
      EXPECT_EQ(*rans_decode(block, input.size()), input) << path_name(p);
    }
  }
}

// ---------------------------------------------------------------------------
// Round trips

void expect_round_trip(const Bytes& input, const char* what) {
  for (int order : {0, 1}) {
    const Bytes block = rans_encode(input, order);
    ASSERT_EQ(block[0], order);
    auto back = rans_decode(block, input.size());
    ASSERT_TRUE(back.ok()) << what << " n=" << input.size() << " order=" << order << ": "
                           << back.error().message();
    ASSERT_EQ(*back, input) << what << " n=" << input.size() << " order=" << order;
  }
}

TEST(RansRoundTrip, EveryLengthUpTo100) {
  for (size_t n = 0; n <= 100; ++n) {
    expect_round_trip(flat_data(n, 256, n), "flat");
    expect_round_trip(flat_data(n, 3, n, 'a'), "three");
  }
}

TEST(RansRoundTrip, EveryTailLength) {
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
    expect_round_trip(Bytes(n, 0), "zeros");
    Bytes mostly(n, 'N');
    mostly[n / 2] = 'A';  // a frequency-1 symbol in a sea of f = 4095
    expect_round_trip(mostly, "one-rare");
  }
}

TEST(RansRoundTrip, CompressesWhatItShould) {
  const Bytes ab = [] {
    Bytes b;
    for (int i = 0; i < 20000; ++i) b.push_back(i % 2 ? 'B' : 'A');
    return b;
  }();
  // Order 0 needs one bit per symbol. Order 1 knows the next symbol exactly:
  // three single-entry tables (contexts 0, 'A', 'B') and no words at all.
  EXPECT_GT(rans_encode(ab, 0).size(), 20000u / 8);
  EXPECT_EQ(rans_encode(ab, 1).size(), 9u + 32 + 3 * 512 + 128);
}

// ---------------------------------------------------------------------------
// Choosing the order

TEST(RansEncodeBest, TakesTheShorterBlock) {
  Bytes ab;
  for (int i = 0; i < 20000; ++i) ab.push_back(i % 2 ? 'B' : 'A');
  EXPECT_EQ(rans_encode_best(ab), rans_encode(ab, 1));

  const Bytes flat = flat_data(5000, 256, 1);
  ASSERT_LT(rans_encode(flat, 0).size(), rans_encode(flat, 1).size());
  EXPECT_EQ(rans_encode_best(flat), rans_encode(flat, 0));
}

TEST(RansEncodeBest, EqualLengthsGiveOrderZero) {
  EXPECT_EQ(rans_encode_best({}), header(0, 0));

  // A two-letter Markov chain (10% switches) where the order-1 tables (three
  // contexts) cost exactly what order 1 saves in words at this length: both
  // blocks are 2633 bytes.
  std::mt19937_64 rng(90);
  Bytes chain{'a'};
  while (chain.size() < 16160) {
    uint8_t c = chain.back();
    if (rng() % 100 >= 90) c = c == 'a' ? 'b' : 'a';
    chain.push_back(c);
  }
  const Bytes o0 = rans_encode(chain, 0);
  const Bytes o1 = rans_encode(chain, 1);
  ASSERT_EQ(o0.size(), o1.size());
  EXPECT_EQ(rans_encode_best(chain), o0);
}

}  // namespace
}  // namespace zarv
