// Fuzz target of the nucleotide codec.
//
// The first byte picks a mode:
//   0: the rest is a coded stream, decoded as is; whatever decodes must
//      re-encode with the stream's own parameters and decode to the same.
//   1: the rest picks parameters and read lengths, and the remaining bytes
//      are used as the range-coded payload behind a valid header: any payload
//      must decode, to A, C, G, T and N only.
//   2: the rest picks parameters and a read length and then holds arbitrary
//      bytes as bases; they must survive an encode and decode round trip.
//
// Work per input is bounded by the caller bounds the decoder accepts: at most
// 2^18 bases and 2^16 reads, whatever a stream declares.
#include <algorithm>
#include <cstdlib>
#include <span>
#include <vector>

#include "codecs/entropy/nucleotide.hpp"
#include "codecs/entropy/varint.hpp"
#include "fuzz/fuzz_target.hpp"

namespace {

constexpr zarv::ColumnBounds kBounds{.max_reads = uint64_t{1} << 16, .max_bases = uint64_t{1} << 18};

uint64_t sum(const std::vector<uint32_t>& lengths) {
  uint64_t total = 0;
  for (uint32_t v : lengths) total += v;
  return total;
}

void must_round_trip(std::span<const uint32_t> lengths, std::span<const uint8_t> bases, zarv::NucleotideParams p) {
  auto coded = zarv::encode_nucleotides(lengths, bases, p);
  if (!coded.ok()) std::abort();
  auto again = zarv::decode_nucleotides(*coded);
  if (!again.ok()) std::abort();
  if (!std::equal(again->lengths.begin(), again->lengths.end(), lengths.begin(), lengths.end())) std::abort();
  if (!std::equal(again->bases.begin(), again->bases.end(), bases.begin(), bases.end())) std::abort();
}

void decode_raw(std::span<const uint8_t> coded) {
  auto r = zarv::decode_nucleotides(coded, kBounds);
  if (!r.ok()) return;
  if (sum(r->lengths) != r->bases.size() || r->bases.size() > kBounds.max_bases) std::abort();
  must_round_trip(r->lengths, r->bases, zarv::NucleotideParams{coded[1], coded[2], coded[3]});
}

void any_payload(std::span<const uint8_t> in) {
  if (in.size() < 6) return;
  const zarv::NucleotideParams wish{uint8_t(in[0]), uint8_t(in[1] % 25), uint8_t(in[2] % 27)};
  // Up to 15 reads of up to 17476 bases: at most 2^18 in all, which needs no
  // payload bytes at all.
  const std::vector<uint32_t> lengths(in[3] % 16, uint32_t(in[4] | (in[5] << 8)) % 17477);
  const uint64_t total = sum(lengths);
  const zarv::NucleotideParams p = zarv::fit_nucleotide_params(wish, total);
  std::vector<uint8_t> coded{1, p.k, p.h, p.b};
  zarv::write_length_list(coded, lengths);
  coded.push_back(0);  // no exceptions
  coded.insert(coded.end(), in.begin() + 6, in.end());
  auto r = zarv::decode_nucleotides(coded, kBounds);
  if (!r.ok() || r->lengths != lengths || r->bases.size() != total) std::abort();
  for (uint8_t c : r->bases) {
    if (c != 'A' && c != 'C' && c != 'G' && c != 'T' && c != 'N') std::abort();
  }
}

void round_trip(std::span<const uint8_t> in) {
  if (in.size() < 4) return;
  const zarv::NucleotideParams wish{in[0], uint8_t(in[1] % 25), uint8_t(in[2] % 27)};
  const size_t read_len = in[3] % 64;
  const std::span<const uint8_t> bases = in.subspan(4);
  std::vector<uint32_t> lengths;
  if (read_len == 0) {
    lengths.push_back(static_cast<uint32_t>(bases.size()));
  } else {
    for (size_t pos = 0; pos < bases.size(); pos += read_len) {
      lengths.push_back(static_cast<uint32_t>(std::min(read_len, bases.size() - pos)));
    }
  }
  must_round_trip(lengths, bases, zarv::fit_nucleotide_params(wish, bases.size()));
}

}  // namespace

ZARV_FUZZ_TARGET(nucleotides) {
  if (size == 0) {
    decode_raw({});
    return 0;
  }
  const std::span<const uint8_t> rest(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0: decode_raw(rest); break;
    case 1: any_payload(rest); break;
    default: round_trip(rest); break;
  }
  return 0;
}
