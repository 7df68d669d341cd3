// Nucleotide codec: hand-built streams, a literal second model written
// straight from the format's rules (payloads must match it byte for byte),
// round trips across parameters and read shapes, and every reachable error in
// the order the checks run.
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

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }
std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

std::string decode_error(const Bytes& coded, const ColumnBounds& bounds = {}) {
  auto r = decode_nucleotides(coded, bounds);
  if (r.ok()) return "<ok>";
  return r.error().text;
}

// A second, deliberately naive model: contexts are recomputed from the list
// of preceding bases, models are plain arrays updated by the textual rule.
// It only encodes; its payloads are compared with the codec's.
struct LiteralModel {
  std::array<uint32_t, 5> f{1, 1, 1, 1, 1};
  uint32_t total() const { return f[0] + f[1] + f[2] + f[3] + f[4]; }
  void add(int s) {
    f[s] += 16;
    if (total() >= 8193) {
      for (auto& x : f) x = (x + 1) / 2;
    }
  }
  void code(RangeEncoder& re, int s) {
    uint32_t cum = 0;
    for (int i = 0; i < s; ++i) cum += f[i];
    re.encode_freq(cum, f[s], total());
    add(s);
  }
};

// `tier_uses` counts the symbols coded by the hashed, order-k and low-order
// tiers.
Bytes literal_payload(const std::string& bases, unsigned k, unsigned h, unsigned b,
                      std::array<size_t, 3>* tier_uses = nullptr) {
  std::array<size_t, 3> uses{};
  const bool hashed = h > k && b != 0;
  const unsigned j = std::max(1u, k / 2);
  std::vector<LiteralModel> ok(size_t{1} << (2 * k)), low(size_t{1} << (2 * j));
  std::vector<uint32_t> checks(hashed ? size_t{1} << b : 0, 0);
  std::vector<LiteralModel> hash(checks.size());
  std::vector<int> seen;  // codes of the preceding A/C/G/T, oldest first
  auto context = [&](unsigned n) {
    uint64_t c = 0;
    for (unsigned d = 0; d < n && d < seen.size(); ++d) c |= uint64_t(seen[seen.size() - 1 - d]) << (2 * d);
    return c;
  };
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
      if (checks[slot] != check) {
        checks[slot] = check;
        hash[slot] = LiteralModel{};
      }
      mh = &hash[slot];
    }
    if (mh && mh->total() > 68) {
      ++uses[0];
      mh->code(re, s);
      mk.add(s);
      mj.add(s);
    } else if (mk.total() <= 68) {
      ++uses[2];
      mj.code(re, s);
      if (mh) mh->add(s);
      mk.add(s);
    } else {
      ++uses[1];
      mk.code(re, s);
      if (mh) mh->add(s);
      mj.add(s);
    }
    if (s < 4) seen.push_back(s);
  }
  re.finish();
  if (tier_uses) *tier_uses = uses;
  return out;
}

// Reads sampled from a small random genome with substitutions and N runs, so
// that long contexts recur and every tier gets to code.
std::string sampled_reads(size_t reads, size_t len, uint64_t seed, std::vector<uint32_t>* lengths = nullptr) {
  std::mt19937_64 rng(seed);
  std::string genome(3000, 'A');
  for (auto& c : genome) c = "ACGT"[rng() % 4];
  std::string out;
  for (size_t r = 0; r < reads; ++r) {
    const size_t start = rng() % (genome.size() - len);
    std::string read = genome.substr(start, len);
    for (auto& c : read) {
      if (rng() % 50 == 0) c = "ACGT"[rng() % 4];
      if (rng() % 400 == 0) c = 'N';
    }
    out += read;
    if (lengths) lengths->push_back(static_cast<uint32_t>(len));
  }
  return out;
}

// Header, one read of `total` bases in run mode, no exceptions.
Bytes one_read_header(uint8_t k, uint8_t h, uint8_t b, uint64_t total) {
  Bytes s{1, k, h, b, 1, 1};
  write_varint(s, total);
  s.push_back(0);
  return s;
}

// One read of `bases` coded by the literal model under each (k, h, b) must
// decode to `bases`.
void expect_literal_streams_decode(const std::string& bases,
                                   std::initializer_list<std::array<unsigned, 3>> params) {
  for (const auto& [k, h, b] : params) {
    Bytes coded = one_read_header(k, h, b, bases.size());
    const Bytes payload = literal_payload(bases, k, h, b);
    coded.insert(coded.end(), payload.begin(), payload.end());
    auto r = decode_nucleotides(coded);
    ASSERT_TRUE(r.ok()) << r.error().text;
    EXPECT_EQ(text_of(r->bases), bases) << "k=" << k << " h=" << h << " b=" << b;
  }
}

TEST(NucleotideDecoder, EmptyReadNeedsNoPayload) {
  for (const Bytes& coded : {Bytes{1, 1, 0, 0, 1, 0, 0, 0}, Bytes{1, 1, 0, 0, 1, 1, 0, 0}}) {
    auto r = decode_nucleotides(coded);
    ASSERT_TRUE(r.ok()) << r.error().text;
    EXPECT_EQ(r->lengths, std::vector<uint32_t>{0});
    EXPECT_TRUE(r->bases.empty());
  }
}

TEST(NucleotideDecoder, HandBuiltExceptionsOverZeroPayload) {
  // A payload of zeros keeps code == low, so every symbol is the first: 'A'.
  // Lengths 2, 4 (mode 0); exceptions at 1 ('x'), 4 ('n'), 4 again ('y').
  const Bytes coded{1, 1, 0, 0, 2, 0, 2, 4, 3, 1, 'x', 3, 'n', 0, 'y'};
  auto r = decode_nucleotides(coded);
  ASSERT_TRUE(r.ok()) << r.error().text;
  EXPECT_EQ(r->lengths, (std::vector<uint32_t>{2, 4}));
  EXPECT_EQ(text_of(r->bases), "AxAAyA");
}

TEST(NucleotideDecoder, HandBuiltPayloadFromLiteralModel) {
  // Contexts around N: after A C N the next base is coded in the context A C.
  expect_literal_streams_decode("ACNGTNNACGTTGCANACGTACGTAC", {{1, 0, 0}, {2, 0, 0}, {1, 3, 2}, {2, 5, 4}});
}

TEST(NucleotideEncoder, PayloadMatchesLiteralModelOnEveryTier) {
  const std::string bases = sampled_reads(200, 100, 7);
  for (const auto& [k, h, b] : {std::array<unsigned, 3>{1, 0, 0}, {3, 0, 0}, {6, 0, 0}, {4, 12, 10},
                                {5, 24, 12}, {4, 4, 12}, {4, 30, 0}}) {
    const std::vector<uint32_t> one{static_cast<uint32_t>(bases.size())};
    auto coded = encode_nucleotides(one, bytes_of(bases), NucleotideParams{uint8_t(k), uint8_t(h), uint8_t(b)});
    ASSERT_TRUE(coded.ok()) << coded.error().text;
    const Bytes header = one_read_header(k, h, b, bases.size());
    ASSERT_GT(coded->size(), header.size());
    EXPECT_EQ(Bytes(coded->begin(), coded->begin() + header.size()), header);
    std::array<size_t, 3> uses;
    EXPECT_EQ(Bytes(coded->begin() + header.size(), coded->end()), literal_payload(bases, k, h, b, &uses))
        << "k=" << k << " h=" << h << " b=" << b;
    // The data is repetitive enough for every active tier to code.
    EXPECT_EQ(uses[0] > 0, h > k && b != 0);
    EXPECT_GT(uses[1], 0u);
    EXPECT_GT(uses[2], 0u);
  }
}

TEST(NucleotideModel, ZeroBasedCumulativeFormTracksTheFrequencyModel) {
  // The codec's model keeps cumulative excesses over the all-ones start; it
  // must agree with the plain frequency model after every update, through
  // many halvings, for skewed and even symbol streams.
  std::mt19937_64 rng(5);
  for (const unsigned skew : {0u, 1u, 3u}) {
    nucleotide::Model m;
    AdaptiveFreqModel<5> ref;
    for (int i = 0; i < 40000; ++i) {
      const uint32_t s = skew && rng() % (skew + 1) != 0 ? 2u : static_cast<uint32_t>(rng() % 5);
      m.update(s);
      ref.update(s);
      ASSERT_EQ(m.total(), ref.total());
      ASSERT_EQ(m.confident(), ref.total() > 68);
      for (uint32_t t = 0; t < 5; ++t) {
        ASSERT_EQ(m.freq(t), ref.freq(t)) << "symbol " << t << " after " << i;
        ASSERT_EQ(m.cum(t), ref.cum(t));
      }
    }
  }
  EXPECT_EQ(nucleotide::Model{}.total(), 5u);
  EXPECT_FALSE(nucleotide::Model{}.confident());
}

TEST(NucleotideDecoder, DecodesLiteralModelPayloadsOnEveryTier) {
  // The decoder's own symbol search (boundary products instead of a second
  // division) and its unchecked payload reads, against payloads written by
  // the literal model alone: long enough for frequent halving (k = 1), for
  // every tier to code, and to end in the checked tail past the payload.
  expect_literal_streams_decode(sampled_reads(300, 100, 19),
                                {{1, 0, 0}, {3, 0, 0}, {6, 0, 0}, {4, 12, 10}, {5, 24, 12}, {2, 9, 14}});
}

TEST(NucleotideEncoder, HistoryRunsAcrossReads) {
  // Read boundaries change the length list only, never the payload.
  const Bytes bases = bytes_of("ACGTTGCANNACGGTACCA");
  auto split = encode_nucleotides(std::vector<uint32_t>{4, 0, 9, 6}, bases, {2, 0, 0});
  auto whole = encode_nucleotides(std::vector<uint32_t>{19}, bases, {2, 0, 0});
  ASSERT_TRUE(split.ok() && whole.ok());
  const size_t split_header = 4 + 1 + 1 + 4 + 1, whole_header = 4 + 3 + 1;
  EXPECT_EQ(Bytes(split->begin() + split_header, split->end()), Bytes(whole->begin() + whole_header, whole->end()));
}

TEST(NucleotideRoundTrip, ParametersAndReadShapes) {
  std::vector<uint32_t> sampled_lengths;
  const std::string sampled = sampled_reads(400, 150, 11, &sampled_lengths);
  struct Case {
    std::string name;
    std::vector<uint32_t> lengths;
    std::string bases;
  };
  std::vector<Case> cases = {
      {"no reads", {}, ""},
      {"empty reads", {0, 0, 0}, ""},
      {"empty between", {3, 0, 2, 0}, "ACGTA"},
      {"N runs", {20, 5}, "NNNNNNNNNNACGTNNNNNNNNNNN"},
      {"soft-masked and IUPAC", {12, 11}, "acgtnACGTRYKMSWBDHV-.*\xff"},
      {"sampled", sampled_lengths, sampled},
  };
  std::mt19937_64 rng(3);
  std::string long_read(200000, 'A');
  for (auto& c : long_read) c = "ACGTN"[rng() % 5];
  cases.push_back({"long read", {200000}, long_read});
  for (const auto& c : cases) {
    for (const NucleotideParams wish : {NucleotideParams{1, 0, 0}, {4, 0, 0}, {8, 16, 12}, {11, 24, 26}}) {
      const NucleotideParams p = fit_nucleotide_params(wish, c.bases.size());
      auto coded = encode_nucleotides(c.lengths, bytes_of(c.bases), p);
      ASSERT_TRUE(coded.ok()) << c.name << ": " << coded.error().text;
      auto r = decode_nucleotides(*coded);
      ASSERT_TRUE(r.ok()) << c.name << ": " << r.error().text;
      EXPECT_EQ(r->lengths, c.lengths) << c.name;
      EXPECT_EQ(text_of(r->bases), c.bases) << c.name << " k=" << int(p.k) << " h=" << int(p.h);
    }
  }
}

TEST(NucleotideRoundTrip, OnlyNonAcgtnBytesBecomeExceptions) {
  const std::string bases = "ACGTNacgtnRY";
  auto coded = encode_nucleotides(std::vector<uint32_t>{12}, bytes_of(bases), {1, 0, 0});
  ASSERT_TRUE(coded.ok());
  // header(4) + lengths(3), then e = 7 and deltas 5,1,1,1,1,1,1.
  const Bytes expected{7, 5, 'a', 1, 'c', 1, 'g', 1, 't', 1, 'n', 1, 'R', 1, 'Y'};
  EXPECT_EQ(Bytes(coded->begin() + 7, coded->begin() + 7 + expected.size()), expected);
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
  Bytes short_stream = one_read_header(11, 0, 0, total - 1);
  short_stream.resize(short_stream.size() + 16, 0);
  EXPECT_EQ(decode_error(short_stream), "order-k table exceeds declared length");
}

// The codec's own decode loop (unrolled symbol search, batched payload
// reads, the unchecked and checked stretches) against the plainest decoder
// the shared model allows: Tiers::step driven by the generic RangeDecoder,
// one division and a linear search per symbol, bytes fetched one at a time.
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
    const uint32_t s = p.hashed() ? tiers.step<true>(code) : tiers.step<false>(code);
    out.push_back("ACGTN"[s]);
  }
  return out;
}

TEST(NucleotideDecoder, ArbitraryPayloadsDecodeAsTheReferenceDecoder) {
  // Payloads no encoder wrote drive the coder through states real streams
  // seldom reach: long runs of 0x00 and 0xFF bytes keep the interval pinned
  // against a byte boundary (the carry-avoiding range cut), random bytes
  // make rare symbols and N frequent (context kept, halving of skewed
  // models), and the short payloads are read far past their end.
  std::mt19937_64 rng(23);
  struct Fill {
    const char* name;
    int kind;
  };
  for (const Fill fill : {Fill{"random", 0}, {"zeros", 1}, {"ones", 2}, {"sparse", 3}, {"short", 4}}) {
    for (const auto& [k, h, b] : {std::array<unsigned, 3>{1, 0, 0}, {2, 0, 0}, {5, 0, 0}, {3, 9, 8}, {4, 14, 12}}) {
      const uint64_t total = 30000;
      Bytes payload(fill.kind == 4 ? 3 : 2000);
      for (auto& byte : payload) {
        const uint8_t r = static_cast<uint8_t>(rng());
        switch (fill.kind) {
          case 1: byte = rng() % 16 == 0 ? r : 0x00; break;
          case 2: byte = rng() % 16 == 0 ? r : 0xFF; break;
          case 3: byte = rng() % 3 == 0 ? r : (rng() % 2 ? 0x00 : 0xFF); break;
          default: byte = r; break;
        }
      }
      const NucleotideParams p{uint8_t(k), uint8_t(h), uint8_t(b)};
      Bytes coded = one_read_header(p.k, p.h, p.b, total);
      coded.insert(coded.end(), payload.begin(), payload.end());
      auto r = decode_nucleotides(coded);
      ASSERT_TRUE(r.ok()) << r.error().text;
      const std::string expected = reference_decode(payload, p, total);
      ASSERT_EQ(expected.size(), r->bases.size());
      const auto diverge = std::mismatch(expected.begin(), expected.end(), r->bases.begin());
      EXPECT_EQ(diverge.first, expected.end())
          << fill.name << " k=" << k << " h=" << h << " b=" << b << ": first difference at base "
          << (diverge.first - expected.begin());
    }
  }
}

TEST(NucleotideDecoderErrors, HeaderInOrder) {
  EXPECT_EQ(decode_error({}), "truncated stream");
  EXPECT_EQ(decode_error({2}), "unsupported version");
  EXPECT_EQ(decode_error({1}), "truncated stream");
  EXPECT_EQ(decode_error({1, 0}), "order out of range");
  EXPECT_EQ(decode_error({1, 12, 0, 0}), "order out of range");
  EXPECT_EQ(decode_error({1, 1, 0}), "truncated stream");
  EXPECT_EQ(decode_error({1, 4, 25, 10}), "hashed-tier params out of range");
  EXPECT_EQ(decode_error({1, 4, 20, 27}), "hashed-tier params out of range");
  // An inactive hashed tier ignores its values: these fail later.
  EXPECT_EQ(decode_error({1, 4, 200, 0}), "varint too long");
  EXPECT_EQ(decode_error({1, 4, 3, 200}), "varint too long");
  EXPECT_EQ(decode_error({1, 4, 4, 200, 1}), "truncated stream");  // no mode byte
}

TEST(NucleotideDecoderErrors, ListsAndExceptionsInOrder) {
  Bytes run_count{1, 1, 0, 0};
  write_varint(run_count, (uint64_t{1} << 28) + 1);
  run_count.push_back(1);
  EXPECT_EQ(decode_error(run_count), "length count too large to allocate");
  EXPECT_EQ(decode_error({1, 1, 0, 0, 1, 0, 0x80}), "varint too long");
  EXPECT_EQ(decode_error({1, 1, 0, 0, 1, 0, 4}), "varint too long");     // no exception count
  EXPECT_EQ(decode_error({1, 1, 0, 0, 1, 0, 4, 1, 2}), "truncated stream");  // no exception byte
  Bytes overflow{1, 1, 0, 0, 1, 0, 4, 2};
  write_varint(overflow, uint64_t{1} << 63);
  overflow.push_back('x');
  write_varint(overflow, uint64_t{1} << 63);
  overflow.push_back('y');
  EXPECT_EQ(decode_error(overflow), "exception position overflows");
}

TEST(NucleotideDecoderErrors, SizeGuardsInOrder) {
  // 2^18 bases fit without payload, one more needs a payload byte.
  EXPECT_EQ(decode_error(one_read_header(1, 0, 0, 262144)), "<ok>");
  EXPECT_EQ(decode_error(one_read_header(1, 0, 0, 262145)), "declared length exceeds payload capacity");
  Bytes one_byte = one_read_header(1, 0, 0, 524288);
  one_byte.push_back(0);
  EXPECT_EQ(decode_error(one_byte), "<ok>");
  // Capacity is checked before the table sizes.
  EXPECT_EQ(decode_error(one_read_header(11, 0, 0, 300000)), "declared length exceeds payload capacity");
  EXPECT_EQ(decode_error(one_read_header(2, 0, 0, 15)), "order-k table exceeds declared length");
  EXPECT_EQ(decode_error(one_read_header(2, 0, 0, 16)), "<ok>");
  EXPECT_EQ(decode_error(one_read_header(1, 0, 0, 0)), "<ok>");  // 4^1 <= max(0, 4)
  EXPECT_EQ(decode_error(one_read_header(2, 3, 5, 16)), "hashed-tier table exceeds declared length");
  EXPECT_EQ(decode_error(one_read_header(2, 3, 5, 32)), "<ok>");
  EXPECT_EQ(decode_error(one_read_header(2, 2, 26, 16)), "<ok>");  // h <= k: no hashed tier
}

TEST(NucleotideDecoderErrors, ExceptionOutOfRange) {
  // Three bases; an exception at 2 is the last valid one, 3 is out.
  EXPECT_EQ(decode_error({1, 1, 0, 0, 1, 1, 3, 2, 1, 'x', 1, 'y'}), "<ok>");
  EXPECT_EQ(decode_error({1, 1, 0, 0, 1, 1, 3, 2, 1, 'x', 2, 'y'}), "exception out of range");
  EXPECT_EQ(decode_error({1, 1, 0, 0, 0, 0, 1, 0, 'x'}), "exception out of range");
}

TEST(NucleotideDecoderErrors, CallerBounds) {
  const Bytes coded = one_read_header(1, 0, 0, 1000);
  EXPECT_EQ(decode_error(coded, {.max_reads = 0}), "length count too large to allocate");
  EXPECT_EQ(decode_error(coded, {.max_reads = 1, .max_bases = 999}), "declared length exceeds payload capacity");
  EXPECT_EQ(decode_error(coded, {.max_reads = 1, .max_bases = 1000}), "<ok>");
}

TEST(NucleotideEncoder, RefusesWhatTheDecoderWouldRefuse) {
  const Bytes bases = bytes_of("ACGTACGTACGTACGT");
  const std::vector<uint32_t> lengths{16};
  auto error_of = [&](NucleotideParams p, std::vector<uint32_t> l) {
    Bytes out{0xEE};
    auto s = encode_nucleotides(out, l, bases, p);
    if (s.ok()) return std::string("<ok>");
    EXPECT_EQ(out, Bytes{0xEE});  // untouched on failure
    return s.error().text;
  };
  EXPECT_EQ(error_of({2, 0, 0}, {15}), "read lengths (15) do not match sequence bytes (16)");
  EXPECT_EQ(error_of({0, 0, 0}, lengths), "order out of range");
  EXPECT_EQ(error_of({2, 25, 4}, lengths), "hashed-tier params out of range");
  EXPECT_EQ(error_of({3, 0, 0}, lengths), "order-k table exceeds declared length");
  EXPECT_EQ(error_of({2, 6, 5}, lengths), "hashed-tier table exceeds declared length");
  EXPECT_EQ(error_of({2, 6, 4}, lengths), "<ok>");
}

TEST(NucleotideEncoder, FitParams) {
  auto same = [](NucleotideParams a, NucleotideParams b) { return a.k == b.k && a.h == b.h && a.b == b.b; };
  EXPECT_TRUE(same(fit_nucleotide_params({11, 20, 22}, 0), {1, 0, 0}));
  EXPECT_TRUE(same(fit_nucleotide_params({11, 20, 22}, 1000), {4, 20, 9}));
  EXPECT_TRUE(same(fit_nucleotide_params({11, 20, 22}, uint64_t{1} << 30), {11, 20, 22}));
  EXPECT_TRUE(same(fit_nucleotide_params({40, 99, 99}, uint64_t{1} << 30), {11, 24, 26}));
  EXPECT_TRUE(same(fit_nucleotide_params({4, 3, 9}, 1000), {4, 0, 0}));
}

}  // namespace
}  // namespace zarv
