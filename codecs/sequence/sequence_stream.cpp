// Sequence stream envelope: dispatch on the method byte and the result
// contract shared by every method.
#include <limits>
#include <string>
#include <utility>

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/entropy/varint.hpp"
#include "codecs/sequence/sequence.hpp"

namespace zarv {
namespace {

constexpr const char* kSequencePrefix = "malformed sequence stream: ";

ArchiveError sequence_error(const char* text) {
  return ArchiveError::nested(ErrorKind::Sequence, std::string(kSequencePrefix) + text);
}

ArchiveError lroverlap_error() { return ArchiveError::nested(ErrorKind::LrOverlap, "malformed lroverlap block"); }

ArchiveError length_mismatch(ErrorKind kind, uint64_t lengths_total, uint64_t bases) {
  return ArchiveError::nested(kind, "read lengths (" + std::to_string(lengths_total) +
                                        ") do not match sequence bytes (" + std::to_string(bases) + ")");
}

// Every method promises lengths that add up to its bases; the envelope holds
// each of them to it, so no caller ever has to.
Result<DecodedColumn> checked(DecodedColumn column, ErrorKind kind) {
  uint64_t total = 0;
  for (const uint32_t len : column.lengths) total += len;
  if (total != column.bases.size()) return length_mismatch(kind, total, column.bases.size());
  return column;
}

Result<DecodedColumn> decode_method0(std::span<const uint8_t> body, const ColumnBounds& bounds) {
  auto decoded = decode_nucleotides(body, bounds);
  if (!decoded.ok()) return codec_error(ErrorKind::Sequence, kSequencePrefix, decoded.error());
  return checked(std::move(decoded).value(), ErrorKind::Sequence);
}

// Reference LZ (method 3): the wrapper's header is validated here; the LZ
// payload decoder is not part of this build yet, so a well-formed header
// fails with a message saying so rather than with a made-up result.
Result<DecodedColumn> decode_method3(std::span<const uint8_t> body, uint64_t stream_len) {
  ByteCursor cur(body);
  auto count = read_varint(cur);
  if (!count.ok()) return sequence_error("reflzma: bad contig count");
  if (*count > stream_len) return sequence_error("reflzma: implausible contig count");
  for (uint64_t i = 0; i < *count; ++i) {
    if (!read_varint(cur).ok()) return sequence_error("reflzma: bad contig len");
  }
  auto n_bases = read_varint(cur);
  if (!n_bases.ok()) return sequence_error("reflzma: bad n_bases");
  const uint64_t len = body.size();
  constexpr uint64_t kPerByte = uint64_t{1} << 18;
  const uint64_t capacity = len > (std::numeric_limits<uint64_t>::max() - kPerByte) / kPerByte
                                ? std::numeric_limits<uint64_t>::max()
                                : len * kPerByte + kPerByte;
  if (*n_bases > capacity) return sequence_error("reflzma: declared length exceeds capacity");
  return sequence_error("reflzma: decoder not available in this build");
}

}  // namespace

Result<DecodedColumn> decode_sequence_stream(std::span<const uint8_t> coded, const SharedReference* reference,
                                             const ColumnBounds& bounds) {
  if (coded.empty()) return ArchiveError::malformed("empty sequence stream");
  const uint8_t method = coded[0];
  if (method > kMaxSequenceMethod) return ArchiveError::unsupported_codec("sequence", method);
  const std::span<const uint8_t> body = coded.subspan(1);
  switch (static_cast<SequenceMethod>(method)) {
    case SequenceMethod::Nucleotide:
      return decode_method0(body, bounds);
    case SequenceMethod::LrOverlapReference:
      if (reference == nullptr) {
        return ArchiveError::malformed("shared-reference sequence block but no reference frame in the archive");
      }
      // The long-read overlap decoder is not part of this build yet.
      return lroverlap_error();
    case SequenceMethod::LrOverlap:
    case SequenceMethod::LrTile:
      // The long-read overlap and tile decoders are not part of this build yet.
      return lroverlap_error();
    case SequenceMethod::ReferenceLz:
      return decode_method3(body, coded.size());
  }
  return ArchiveError::unsupported_codec("sequence", method);
}

Result<std::vector<uint8_t>> encode_sequence_stream(std::span<const uint32_t> lengths,
                                                    std::span<const uint8_t> bases, const NucleotideParams& params) {
  std::vector<uint8_t> out{static_cast<uint8_t>(SequenceMethod::Nucleotide)};
  auto status = encode_nucleotides(out, lengths, bases, params);
  if (!status.ok()) {
    return ArchiveError::nested(ErrorKind::Sequence, "cannot encode sequence stream: " + status.error().text);
  }
  return out;
}

Result<std::vector<uint8_t>> encode_sequence_stream(std::span<const uint32_t> lengths,
                                                    std::span<const uint8_t> bases) {
  return encode_sequence_stream(lengths, bases, default_nucleotide_params(bases.size()));
}

}  // namespace zarv
