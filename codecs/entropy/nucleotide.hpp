// Order-k nucleotide codec: the bases of a group of reads, coded as five
// symbols (A, C, G, T, N) under an adaptive context model and the range coder,
// with every other byte patched back in from an exception list.
//
// Stream layout:
//   u8 version (1), u8 order k (1..11), u8 hashed order h, u8 hash bits b,
//   read lengths (LengthList), varint exception count e,
//   e x (varint position delta, raw byte), range-coded payload (the rest).
//
// Three tiers, chosen by confidence rather than mixed: a hashed long-context
// tier (when h > k and b != 0), an order-k tier and a low-order tier of order
// max(1, k / 2). The first tier whose model has seen enough symbols codes the
// base; all of them learn it. The context history runs across read
// boundaries and an N leaves it unchanged.
//
// Decoder failures are bare detail texts ("truncated stream", ...); the stream
// that owns the bases (the sequence stream, the reorder blocks) wraps them in
// its own error. No partial result is ever returned.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/result.hpp"

namespace zarv {

// A decoded base column: one length per read and the concatenated bases of
// all reads in read order; the lengths always add up to bases.size().
struct DecodedColumn {
  std::vector<uint32_t> lengths;
  std::vector<uint8_t> bases;
};

// Optional bounds a caller that knows its block (read count, expected bases)
// can impose on top of the stream's own size guards. They are checked before
// anything is allocated from the declared sizes: a read count above max_reads
// fails with "length count too large to allocate", a base total above
// max_bases with "declared length exceeds payload capacity". The defaults
// impose nothing beyond the stream's own guards.
struct ColumnBounds {
  uint64_t max_reads = std::numeric_limits<uint64_t>::max();
  uint64_t max_bases = std::numeric_limits<uint64_t>::max();
};

// Model parameters of a nucleotide stream. The hashed tier is active when
// h > k and b != 0, and then needs h <= 24 and b <= 26; otherwise h and b are
// stored but unused.
struct NucleotideParams {
  uint8_t k = 11;
  uint8_t h = 0;
  uint8_t b = 0;

  bool hashed() const { return h > k && b != 0; }
};

inline constexpr uint8_t kNucleotideVersion = 1;
inline constexpr uint8_t kNucleotideMaxOrder = 11;
inline constexpr uint8_t kNucleotideMaxHashedOrder = 24;
inline constexpr uint8_t kNucleotideMaxHashBits = 26;

// Decodes a nucleotide stream into its read lengths and bases.
Result<DecodedColumn> decode_nucleotides(std::span<const uint8_t> coded, const ColumnBounds& bounds = {});

// Appends a nucleotide stream for the given reads to `out`. Every byte other
// than A, C, G, T and N goes to the exception list (lower-case a, c, g, t, n
// are coded as their upper-case symbol so the context survives soft-masked
// runs; any other byte as N). Fails, leaving `out` as it was, when the
// lengths do not add up to bases.size() or when the parameters are out of
// range or too large for the data (4^k above max(total, 4), or an active
// hashed tier with 2^b above the total); fit_nucleotide_params() adjusts a
// wish to what the data allows.
Status encode_nucleotides(std::vector<uint8_t>& out, std::span<const uint32_t> lengths,
                          std::span<const uint8_t> bases, const NucleotideParams& params);
Result<std::vector<uint8_t>> encode_nucleotides(std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                                                const NucleotideParams& params);

// The largest parameters not above `wanted` that a stream of `total` bases
// accepts: k lowered until 4^k <= max(total, 4), b lowered until
// 2^b <= total, and the hashed tier dropped (h = b = 0) when nothing is left of
// it. Out-of-range wishes are clamped to k in 1..11, h <= 24, b <= 26.
NucleotideParams fit_nucleotide_params(NucleotideParams wanted, uint64_t total);

// Parameters that suit short-read row groups: order 11 without the hashed
// tier, fitted to `total`. (At the few-fold coverage of one row group the
// hashed tier seldom becomes confident, and its table halves decode speed.)
NucleotideParams default_nucleotide_params(uint64_t total);

}  // namespace zarv
