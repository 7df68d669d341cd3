// The sequence stream: the coded base column of one row group, and the base
// utilities (complements, two-bit codes) the sequence methods and the
// reordered layouts share.
//
// A sequence stream is one method byte followed by the method's body:
//   0  order-k nucleotide codec (codecs/entropy/nucleotide.hpp)
//   1  long-read overlap block ("LRO", version 1)
//   2  long-read overlap block ("LRO", version 2) against the shared reference
//   3  reference LZ block
//   4  long-read tile block ("LRT", version 1)
// Every method decodes to the same DecodedColumn: one length per read and the
// concatenated bases, the lengths adding up to the number of bases.
//
// Errors: methods 0 and 3 report kind Sequence, "malformed sequence stream:
// <detail>"; methods 1, 2 and 4 kind LrOverlap, "malformed lroverlap block";
// a length disagreement "read lengths (N) do not match sequence bytes (M)"
// with the kind of its method. The envelope's own failures are container
// errors (kind Malformed, kind UnsupportedCodec).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codecs/entropy/nucleotide.hpp"
#include "core/result.hpp"

namespace zarv {

// The archive-wide reference contigs, decoded once from the global reference
// frame and only read here.
struct SharedReference;

enum class SequenceMethod : uint8_t {
  Nucleotide = 0,
  LrOverlap = 1,
  LrOverlapReference = 2,
  ReferenceLz = 3,
  LrTile = 4,
};
inline constexpr uint8_t kMaxSequenceMethod = 4;

// Decodes a sequence stream. `reference` is the archive's shared reference,
// or null when it has none (method 2 then fails before its body is read).
// `bounds` lets a caller that knows its block refuse larger declared sizes
// before they are allocated (see ColumnBounds).
Result<DecodedColumn> decode_sequence_stream(std::span<const uint8_t> coded, const SharedReference* reference,
                                             const ColumnBounds& bounds = {});

// Writes a method-0 sequence stream of the given reads: the method byte and a
// nucleotide stream with `params` (see encode_nucleotides, whose failures are
// reported as kind Sequence, "cannot encode sequence stream: <detail>").
Result<std::vector<uint8_t>> encode_sequence_stream(std::span<const uint32_t> lengths,
                                                    std::span<const uint8_t> bases, const NucleotideParams& params);
// The same with parameters fitted to the data (default_nucleotide_params).
Result<std::vector<uint8_t>> encode_sequence_stream(std::span<const uint32_t> lengths,
                                                    std::span<const uint8_t> bases);

// Writes the reverse complement of `src` into `dst`: bytes in reverse order,
// A/T, C/G, a/t and c/g exchanged, every other byte (N, IUPAC codes) copied.
// `dst` must have the length of `src` and must not overlap it; a different
// length stops the process ("revcomp_into: length mismatch").
void revcomp_into(std::span<const uint8_t> src, std::span<uint8_t> dst);

// The reverse complement of the upper-case bases only, into a new buffer:
// A/T and C/G exchanged, every other byte (lower case included) copied.
std::vector<uint8_t> revcomp_upper(std::span<const uint8_t> src);

// Two-bit base codes: A 0, C 1, G 2, T 3, anything else (lower case and N
// included) kNotTwoBit.
inline constexpr uint8_t kNotTwoBit = 4;
inline uint8_t base_code(uint8_t base) {
  switch (base) {
    case 'A': return 0;
    case 'C': return 1;
    case 'G': return 2;
    case 'T': return 3;
    default: return kNotTwoBit;
  }
}
// Codes 0..3 back to A, C, G, T; any other value gives A.
inline uint8_t code_base(uint8_t code) {
  constexpr uint8_t kBases[4] = {'A', 'C', 'G', 'T'};
  return code < 4 ? kBases[code] : uint8_t{'A'};
}

}  // namespace zarv
