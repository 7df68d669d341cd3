// Fuzz target of the sequence stream envelope: the input is a coded sequence
// stream, decoded without a shared reference. A result must keep the
// contract (lengths add up to the bases) and survive a method-0 round trip.
//
// The caller bounds (2^18 bases, 2^16 reads) keep each run small whatever
// the stream declares.
#include <cstdlib>
#include <span>

#include "codecs/sequence/sequence.hpp"
#include "fuzz/fuzz_target.hpp"

ZARV_FUZZ_TARGET(sequence) {
  constexpr zarv::ColumnBounds kBounds{.max_reads = uint64_t{1} << 16, .max_bases = uint64_t{1} << 18};
  const std::span<const uint8_t> coded(data, size);
  auto r = zarv::decode_sequence_stream(coded, nullptr, kBounds);
  if (!r.ok()) {
    if (r.error().message().empty()) std::abort();
    return 0;
  }
  uint64_t total = 0;
  for (uint32_t v : r->lengths) total += v;
  if (total != r->bases.size()) std::abort();
  auto again_coded = zarv::encode_sequence_stream(r->lengths, r->bases);
  if (!again_coded.ok()) std::abort();
  auto again = zarv::decode_sequence_stream(*again_coded, nullptr);
  if (!again.ok() || again->lengths != r->lengths || again->bases != r->bases) std::abort();
  return 0;
}
