// Block frames and payloads: reading a frame, splitting a payload into its
// three coded streams, decoding the selected streams with their digest checks,
// and rendering the reads as records, FASTQ or FASTA.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codecs/names/names.hpp"
#include "core/byte_source.hpp"
#include "core/result.hpp"
#include "core/stream_selection.hpp"

namespace zarv {

struct SharedReference;

inline constexpr uint8_t kBlockMagic[4] = {'Z', 'A', 'R', 'B'};
inline constexpr size_t kBlockFrameHeaderLen = 16;
inline constexpr uint64_t kMaxBlockPayload = 0x80000000ull;
inline constexpr uint64_t kMaxFramedSlice = 0x80000000ull;
inline constexpr size_t kPayloadFixedLen = 28;  // three digests and the read count

// A framed slice (u32 length, u32 CRC-32C, bytes). `section` names it in the
// CRC-mismatch message.
Result<std::vector<uint8_t>> read_framed_slice(ByteSource& src, const std::string& section);

// One block frame: the payload, or nullopt at the end of the block sequence
// (an end frame, or the input ending exactly at a frame boundary or inside the
// magic). `index` counts blocks from 0 and only appears in messages.
Result<std::optional<std::vector<uint8_t>>> read_block_frame(ByteSource& src, uint64_t index);

// The three coded streams of a payload, borrowed from it.
struct PayloadLayout {
  uint64_t names_digest = 0;
  uint64_t sequence_digest = 0;
  uint64_t quality_digest = 0;
  uint32_t reads = 0;
  std::span<const uint8_t> names;
  std::span<const uint8_t> sequence;
  std::span<const uint8_t> quality;
};
Result<PayloadLayout> parse_payload(std::span<const uint8_t> payload);

// A quality stream that can only be decoded with the block's bases: at least
// 3 bytes, version byte 2 and a non-zero context mode in byte 2.
bool quality_coded_against_sequence(std::span<const uint8_t> quality);

struct DecodedBlock {
  uint32_t reads = 0;
  NameList names;                 // empty unless names were decoded
  std::vector<uint32_t> lengths;  // from the sequence codec, else the quality codec
  std::vector<uint8_t> bases;     // empty unless the sequence was decoded
  std::vector<uint8_t> qualities; // empty unless quality was decoded
};

Result<DecodedBlock> decode_block(std::span<const uint8_t> payload, StreamSelection sel,
                                  const SharedReference* reference = nullptr);

// Content digests (XXH3-64, seed 0) of decoded streams.
uint64_t names_digest(const NameList& names);
uint64_t column_digest(std::span<const uint32_t> lengths, std::span<const uint8_t> bytes);

struct Record {
  std::string name;
  std::string sequence;
  std::string quality;
};

// Splits a decoded block into reads, deselected fields empty.
Result<std::vector<Record>> block_to_records(const DecodedBlock& block, StreamSelection sel);

// Checks the read lengths against the decoded columns of the selection
// without producing anything: after it succeeds, RecordCursor cannot fail.
Status check_read_lengths(const DecodedBlock& block, StreamSelection sel);

// Hands out a checked block's records a bounded number at a time, so a block
// of many (possibly empty) reads never needs all its records at once.
class RecordCursor {
 public:
  RecordCursor(const DecodedBlock& block, StreamSelection sel) : b_(block), sel_(sel) {}
  bool done() const { return next_ >= b_.reads; }
  // Replaces `out` with the next records, at most `max` of them.
  void next(size_t max, std::vector<Record>& out);

 private:
  const DecodedBlock& b_;
  StreamSelection sel_;
  uint64_t next_ = 0;
  uint64_t offset_ = 0;
};
// Appends the whole block as FASTQ ("@name\nbases\n+\nquals\n" per read) to
// `out`, growing it once.
Status write_fastq(const DecodedBlock& block, std::vector<uint8_t>& out);
// Appends the block as single-line FASTA (">name\nbases\n" per read).
Status write_fasta(const DecodedBlock& block, std::vector<uint8_t>& out);

}  // namespace zarv
