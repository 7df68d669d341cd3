// Nucleotide codec: hand-built streams, a literal second coder written from the
// format's rules (payloads must match it byte for byte), round trips, and every
// reachable error in the order the checks run.
#include "codecs/entropy/nucleotide.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "codecs/entropy/models.hpp"
#include "codecs/entropy/nucleotide_model.hpp"
#include "codecs/entropy/range_coder.hpp"
#include "codecs/entropy/varint.hpp"

namespace zarv {
namespace {

using Bytes = std::vector<uint8_t>;
using Params = std::array<unsigned, 3>;  // k, h, b

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes vint(uint64_t v) {
  Bytes b;
  write_varint(b, v);
  return b;
}

std::string decode_error(const Bytes& coded, const ColumnBounds& bounds = {}) {
  auto r = decode_nucleotides(coded, bounds);
  return r.ok() ? "<ok>" : r.error().text;
}

// Header, one read of `total` bases in run mode, no exceptions.
Bytes one_read_header(unsigned k, unsigned h, unsigned b, uint64_t total) {
  return cat({{1, uint8_t(k), uint8_t(h), uint8_t(b), 1, 1}, vint(total), {0}});
}

// A second, deliberately naive coder of the tiers: contexts are recomputed
// from the list of preceding bases, each tier is a plain table of the generic
// five-symbol model. Its payloads are compared with the codec's. `tier_uses`
// counts the symbols coded by the hashed, order-k and low-order tiers.
using LiteralModel = AdaptiveFreqModel<5>;
Bytes literal_payload(const std::string& bases, Params p, std::array<size_t, 3>* tier_uses = nullptr) {
  const auto [k, h, b] = p;
  const bool hashed = h > k && b != 0;
  const unsigned j = std::max(1u, k / 2);
  std::vector<LiteralModel> ok(size_t{1} << (2 * k)), low(size_t{1} << (2 * j)), hash(hashed ? size_t{1} << b : 0);
  std::vector<uint32_t> checks(hash.size(), 0);
  std::vector<int> seen;  // codes of the preceding A/C/G/T, oldest first
  auto context = [&](unsigned n) {
    uint64_t c = 0;
    for (unsigned d = 0; d < n && d < seen.size(); ++d) c |= uint64_t(seen[seen.size() - 1 - d]) << (2 * d);
    return c;
  };
  std::array<size_t, 3> uses{};
  Bytes out;
  RangeEncoder re(out);
  for (const char base : bases) {
    const int s = std::string("ACGTN").find(base);
    LiteralModel& mk = ok[context(k)];
    LiteralModel& mj = low[context(j)];
    LiteralModel* mh = nullptr;
    if (hashed) {
      const uint64_t ch = context(h);
      const uint64_t slot = (ch * 0x9E3779B97F4A7C15ull) >> (64 - b);
      const uint32_t check = static_cast<uint32_t>(ch * 1717173651ull) | 1u;
      if (checks[slot] != check) checks[slot] = check, hash[slot] = LiteralModel{};
      mh = &hash[slot];
    }
    // The confident hashed entry, else the confident order-k model, else the
    // low-order model codes; every other tier learns the symbol.
    LiteralModel* coder = mh && mh->total() > 68 ? mh : mk.total() > 68 ? &mk : &mj;
    ++uses[coder == mh ? 0 : coder == &mk ? 1 : 2];
    coder->encode(re, s);
    for (LiteralModel* m : {mh, &mk, &mj}) {
      if (m && m != coder) m->update(s);
    }
    if (s < 4) seen.push_back(s);
  }
  re.finish();
  if (tier_uses) *tier_uses = uses;
  return out;
}

// Reads sampled from a small random genome with substitutions and N runs, so
// that long contexts recur and every tier gets to code.
std::string sampled_reads(size_t reads, size_t len, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::string genome(3000, 'A');
  for (auto& c : genome) c = "ACGT"[rng() % 4];
  std::string out;
  for (size_t r = 0; r < reads; ++r) {
    std::string read = genome.substr(rng() % (genome.size() - len), len);
    for (auto& c : read) {
      if (rng() % 50 == 0) c = "ACGT"[rng() % 4];
      if (rng() % 400 == 0) c = 'N';
    }
    out += read;
  }
  return out;
}

TEST(NucleotideDecoder, HandBuiltStreams) {
  // One empty read (either list mode) needs no payload.
  for (const Bytes& coded : {Bytes{1, 1, 0, 0, 1, 0, 0, 0}, Bytes{1, 1, 0, 0, 1, 1, 0, 0}}) {
    auto r = decode_nucleotides(coded);
    ASSERT_TRUE(r.ok()) << r.error().text;
    EXPECT_EQ(r->lengths, std::vector<uint32_t>{0});
    EXPECT_TRUE(r->bases.empty());
  }
  // A payload of zeros keeps code == low, so every symbol is the first: 'A'.
  // Lengths 2, 4 (mode 0); exceptions at 1 ('x'), 4 ('n'), 4 again ('y').
  auto r = decode_nucleotides(Bytes{1, 1, 0, 0, 2, 0, 2, 4, 3, 1, 'x', 3, 'n', 0, 'y'});
  ASSERT_TRUE(r.ok()) << r.error().text;
  EXPECT_EQ(r->lengths, (std::vector<uint32_t>{2, 4}));
  EXPECT_EQ(text_of(r->bases), "AxAAyA");
}

TEST(NucleotideEncoder, PayloadMatchesLiteralModelOnEveryTier) {
  // Long enough for frequent halving (k = 1), for every tier to code, and to
  // end in the decoder's checked tail. The leading text puts bases after N,
  // which keeps the context (after A C N the next base is coded after A C).
  const std::string bases = "ACNGTNNACGTTGCANACGTACGTAC" + sampled_reads(200, 100, 7);
  for (const Params p : {Params{1, 0, 0}, {3, 0, 0}, {6, 0, 0}, {4, 12, 10}, {5, 24, 12}, {2, 9, 14}, {1, 3, 2},
                         {4, 4, 12}, {4, 30, 0}}) {
    const auto [k, h, b] = p;
    const std::vector<uint32_t> one{static_cast<uint32_t>(bases.size())};
    auto coded = encode_nucleotides(one, bytes_of(bases), NucleotideParams{uint8_t(k), uint8_t(h), uint8_t(b)});
    ASSERT_TRUE(coded.ok()) << coded.error().text;
    std::array<size_t, 3> uses;
    EXPECT_EQ(*coded, cat({one_read_header(k, h, b, bases.size()), literal_payload(bases, p, &uses)}))
        << "k=" << k << " h=" << h << " b=" << b;
    // The data is repetitive enough for every active tier to code.
    EXPECT_EQ(uses[0] > 0, h > k && b != 0);
    EXPECT_GT(uses[1], 0u);
    EXPECT_GT(uses[2], 0u);
    // The decoder's own symbol search and unchecked payload reads.
    auto r = decode_nucleotides(*coded);
    ASSERT_TRUE(r.ok()) << r.error().text;
    EXPECT_EQ(text_of(r->bases), bases);
  }
}

TEST(NucleotideEncoder, HistoryRunsAcrossReadsAndOnlyNonAcgtnAreExceptions) {
  // Read boundaries change the length list only, never the payload.
  const Bytes bases = bytes_of("ACGTTGCANNACGGTACCA");
  auto split = encode_nucleotides(std::vector<uint32_t>{4, 0, 9, 6}, bases, {2, 0, 0});
  auto whole = encode_nucleotides(std::vector<uint32_t>{19}, bases, {2, 0, 0});
  ASSERT_TRUE(split.ok() && whole.ok());
  EXPECT_EQ(Bytes(split->begin() + 4 + 6 + 1, split->end()), Bytes(whole->begin() + 4 + 3 + 1, whole->end()));

  auto coded = encode_nucleotides(std::vector<uint32_t>{12}, bytes_of("ACGTNacgtnRY"), {1, 0, 0});
  ASSERT_TRUE(coded.ok());
  // header(4) + lengths(3), then e = 7 and deltas 5,1,1,1,1,1,1.
  const Bytes expected{7, 5, 'a', 1, 'c', 1, 'g', 1, 't', 1, 'n', 1, 'R', 1, 'Y'};
  EXPECT_EQ(Bytes(coded->begin() + 7, coded->begin() + 7 + expected.size()), expected);
}

TEST(NucleotideRoundTrip, ParametersAndReadShapes) {
  std::mt19937_64 rng(3);
  std::string long_read(200000, 'A');
  for (auto& c : long_read) c = "ACGTN"[rng() % 5];
  const std::pair<std::vector<uint32_t>, std::string> cases[] = {
      {{}, ""},
      {{0, 0, 0}, ""},
      {{3, 0, 2, 0}, "ACGTA"},
      {{20, 5}, "NNNNNNNNNNACGTNNNNNNNNNNN"},
      {{12, 11}, "acgtnACGTRYKMSWBDHV-.*\xff"},  // soft-masked and IUPAC
      {std::vector<uint32_t>(400, 150), sampled_reads(400, 150, 11)},
      {{200000}, long_read},
  };
  for (const auto& [lengths, bases] : cases) {
    for (const NucleotideParams wish : {NucleotideParams{1, 0, 0}, {4, 0, 0}, {8, 16, 12}, {11, 24, 26}}) {
      const NucleotideParams p = fit_nucleotide_params(wish, bases.size());
      auto coded = encode_nucleotides(lengths, bytes_of(bases), p);
      ASSERT_TRUE(coded.ok()) << coded.error().text;
      auto r = decode_nucleotides(*coded);
      ASSERT_TRUE(r.ok()) << r.error().text;
      EXPECT_EQ(r->lengths, lengths);
      EXPECT_EQ(text_of(r->bases), bases) << "k=" << int(p.k) << " h=" << int(p.h);
    }
  }
}

TEST(NucleotideRoundTrip, OrderElevenAtItsSmallestTotalAndRepetitiveData) {
  // 4^11 bases is the least an order-11 stream may declare. A periodic text
  // is learnt by the order-k tier and codes to almost nothing.
  const size_t total = size_t{1} << 22;
  std::string bases(total, 'A');
  for (size_t i = 0; i < total; ++i) bases[i] = "ACGGT"[i % 5];
  auto coded = encode_nucleotides(std::vector<uint32_t>{uint32_t(total)}, bytes_of(bases), {11, 0, 0});
  ASSERT_TRUE(coded.ok());
  EXPECT_LT(coded->size(), 4096u);
  auto r = decode_nucleotides(*coded);
  ASSERT_TRUE(r.ok()) << r.error().text;
  EXPECT_EQ(text_of(r->bases), bases);
  // One base fewer makes the table too large for the stream.
  EXPECT_EQ(decode_error(cat({one_read_header(11, 0, 0, total - 1), Bytes(16, 0)})),
            "order-k table exceeds declared length");
}

// The plainest decoder the shared model allows, to check the codec's own loop
// against: Tiers::step driven by the generic RangeDecoder, one division and a
// linear search per symbol.
std::string reference_decode(const Bytes& payload, const NucleotideParams& p, uint64_t total) {
  nucleotide::ContextModel model(p);
  if (!model.allocate_context_tables() || !model.allocate_hash_table()) return "<alloc>";
  nucleotide::Tiers tiers = model.tiers();
  RangeDecoder rd(payload);
  auto code = [&rd](const nucleotide::Model& m) {
    const uint32_t count = rd.decode_freq(m.total());
    uint32_t s = 0;
    while (s < 4 && m.cum(s + 1) <= count) ++s;
    rd.consume(m.cum(s), m.freq(s));
    return s;
  };
  std::string out;
  for (uint64_t i = 0; i < total; ++i) {
    out.push_back("ACGTN"[p.hashed() ? tiers.step<true>(code) : tiers.step<false>(code)]);
  }
  return out;
}

TEST(NucleotideDecoder, ArbitraryPayloadsDecodeAsTheReferenceDecoder) {
  // Payloads no encoder wrote: runs of 0x00 and 0xFF keep the interval pinned
  // against a byte boundary (the carry-avoiding range cut), random bytes make
  // rare symbols and N frequent, and the short payload is read far past its end.
  std::mt19937_64 rng(23);
  for (const int fill : {0, 1, 2, 3, 4}) {  // random, zeros, ones, sparse, short
    for (const Params kp : {Params{1, 0, 0}, {2, 0, 0}, {5, 0, 0}, {3, 9, 8}, {4, 14, 12}}) {
      const uint64_t total = 30000;
      Bytes payload(fill == 4 ? 3 : 2000);
      for (auto& byte : payload) {
        const uint8_t r = static_cast<uint8_t>(rng());
        const uint8_t runs[] = {r, 0x00, 0xFF, rng() % 2 ? uint8_t{0x00} : uint8_t{0xFF}, r};
        byte = rng() % (fill == 3 ? 3 : 16) == 0 ? r : runs[fill];
      }
      const NucleotideParams p{uint8_t(kp[0]), uint8_t(kp[1]), uint8_t(kp[2])};
      auto r = decode_nucleotides(cat({one_read_header(p.k, p.h, p.b, total), payload}));
      ASSERT_TRUE(r.ok()) << r.error().text;
      const std::string expected = reference_decode(payload, p, total);
      ASSERT_EQ(expected.size(), r->bases.size());
      const auto diverge = std::mismatch(expected.begin(), expected.end(), r->bases.begin());
      EXPECT_EQ(diverge.first, expected.end()) << "fill " << fill << " k=" << kp[0] << " h=" << kp[1]
                                               << ": first difference at base " << (diverge.first - expected.begin());
    }
  }
}

TEST(NucleotideDecoderErrors, EveryCheckInOrder) {
  const Bytes list1{1, 1, 0, 0, 1, 0};  // header, one read (mode 0); its length follows
  const struct {
    Bytes coded;
    ColumnBounds bounds;
    const char* expected;
  } cases[] = {
      {{}, {}, "truncated stream"},
      {{2}, {}, "unsupported version"},
      {{1}, {}, "truncated stream"},
      {{1, 0}, {}, "order out of range"},
      {{1, 12, 0, 0}, {}, "order out of range"},
      {{1, 1, 0}, {}, "truncated stream"},
      {{1, 4, 25, 10}, {}, "hashed-tier params out of range"},
      {{1, 4, 20, 27}, {}, "hashed-tier params out of range"},
      // An inactive hashed tier ignores its values: these fail later.
      {{1, 4, 200, 0}, {}, "varint too long"},
      {{1, 4, 3, 200}, {}, "varint too long"},
      {{1, 4, 4, 200, 1}, {}, "truncated stream"},  // no mode byte
      // Lists and exceptions.
      {cat({{1, 1, 0, 0}, vint((uint64_t{1} << 28) + 1), {1}}), {}, "length count too large to allocate"},
      {cat({list1, {0x80}}), {}, "varint too long"},
      {cat({list1, {4}}), {}, "varint too long"},                // no exception count
      {cat({list1, {4, 1, 2}}), {}, "truncated stream"},         // no exception byte
      {cat({list1, {4, 2}, vint(uint64_t{1} << 63), {'x'}, vint(uint64_t{1} << 63), {'y'}}), {},
       "exception position overflows"},
      // Size guards: 2^18 bases fit without payload, one more needs a payload
      // byte; capacity is checked before the table sizes.
      {one_read_header(1, 0, 0, 262144), {}, "<ok>"},
      {one_read_header(1, 0, 0, 262145), {}, "declared length exceeds payload capacity"},
      {cat({one_read_header(1, 0, 0, 524288), {0}}), {}, "<ok>"},
      {one_read_header(11, 0, 0, 300000), {}, "declared length exceeds payload capacity"},
      {one_read_header(2, 0, 0, 15), {}, "order-k table exceeds declared length"},
      {one_read_header(2, 0, 0, 16), {}, "<ok>"},
      {one_read_header(1, 0, 0, 0), {}, "<ok>"},  // 4^1 <= max(0, 4)
      {one_read_header(2, 3, 5, 16), {}, "hashed-tier table exceeds declared length"},
      {one_read_header(2, 3, 5, 32), {}, "<ok>"},
      {one_read_header(2, 2, 26, 16), {}, "<ok>"},  // h <= k: no hashed tier
      // Three bases; an exception at 2 is the last valid one, 3 is out.
      {{1, 1, 0, 0, 1, 1, 3, 2, 1, 'x', 1, 'y'}, {}, "<ok>"},
      {{1, 1, 0, 0, 1, 1, 3, 2, 1, 'x', 2, 'y'}, {}, "exception out of range"},
      {{1, 1, 0, 0, 0, 0, 1, 0, 'x'}, {}, "exception out of range"},
      // The caller's bounds.
      {one_read_header(1, 0, 0, 1000), {.max_reads = 0}, "length count too large to allocate"},
      {one_read_header(1, 0, 0, 1000), {.max_reads = 1, .max_bases = 999}, "declared length exceeds payload capacity"},
      {one_read_header(1, 0, 0, 1000), {.max_reads = 1, .max_bases = 1000}, "<ok>"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(decode_error(cases[i].coded, cases[i].bounds), cases[i].expected) << "case " << i;
  }
}

TEST(NucleotideEncoder, RefusesWhatTheDecoderWouldRefuseAndFitsParams) {
  const Bytes bases = bytes_of("ACGTACGTACGTACGT");
  auto error_of = [&](NucleotideParams p, uint32_t total) {
    Bytes out{0xEE};
    auto s = encode_nucleotides(out, std::vector<uint32_t>{total}, bases, p);
    if (s.ok()) return std::string("<ok>");
    EXPECT_EQ(out, Bytes{0xEE});  // untouched on failure
    return s.error().text;
  };
  EXPECT_EQ(error_of({2, 0, 0}, 15), "read lengths (15) do not match sequence bytes (16)");
  EXPECT_EQ(error_of({0, 0, 0}, 16), "order out of range");
  EXPECT_EQ(error_of({2, 25, 4}, 16), "hashed-tier params out of range");
  EXPECT_EQ(error_of({3, 0, 0}, 16), "order-k table exceeds declared length");
  EXPECT_EQ(error_of({2, 6, 5}, 16), "hashed-tier table exceeds declared length");
  EXPECT_EQ(error_of({2, 6, 4}, 16), "<ok>");

  const std::pair<NucleotideParams, uint64_t> wishes[] = {{{11, 20, 22}, 0}, {{11, 20, 22}, 1000},
      {{11, 20, 22}, uint64_t{1} << 30}, {{40, 99, 99}, uint64_t{1} << 30}, {{4, 3, 9}, 1000}};
  const Params fitted[] = {{1, 0, 0}, {4, 20, 9}, {11, 20, 22}, {11, 24, 26}, {4, 0, 0}};
  for (size_t i = 0; i < std::size(wishes); ++i) {
    const NucleotideParams p = fit_nucleotide_params(wishes[i].first, wishes[i].second);
    EXPECT_EQ((Params{p.k, p.h, p.b}), fitted[i]) << "case " << i;
  }
}

}  // namespace
}  // namespace zarv
