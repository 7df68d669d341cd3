// Real archives from reads: every block's three streams coded by the project's
// encoders, digests over the decoded streams, the footer index, an optional
// end frame, and optional passphrase encryption. Test and benchmark
// infrastructure; decoders are checked against what it writes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codecs/entropy/nucleotide.hpp"
#include "codecs/quality/quality.hpp"
#include "writer/assembler.hpp"

namespace zarv::writer {

struct Read {
  std::string name;
  std::string sequence;
  std::string quality;
};

struct BlockOptions {
  NucleotideParams sequence;      // method-0 parameters (fitted to the block's size)
  QualityEncodeOptions quality;   // context mode, alphabet, binning
};

struct EncryptionOptions {
  std::string passphrase;
  std::array<uint8_t, 16> salt{};
  std::array<uint8_t, 16> archive_id{};
  uint32_t m_cost = 64;  // KiB: cheap by default, this is for tests
  uint32_t t_cost = 1;
  uint8_t lanes = 1;
};

struct ArchiveOptions {
  HeaderSpec header;                     // features and the encryption record are filled in
  std::vector<uint32_t> block_reads;     // reads per block, in order; empty: one block of all reads
  BlockOptions block;                    // for every block...
  std::vector<BlockOptions> per_block;   // ...unless given per block
  // Streaming readers stop at the end frame; without it they would run into
  // the footer. Off only to make damaged archives.
  bool end_frame = true;
  std::optional<EncryptionOptions> encryption;
};

// The block payload of `reads`: digests, read count, three coded streams.
Result<Bytes> make_payload(std::span<const Read> reads, const BlockOptions& opts);

// Seals a payload as block `index` of an archive with `key` (32 bytes).
Bytes seal_block(std::span<const uint8_t> payload, const std::array<uint8_t, 32>& key,
                 const std::array<uint8_t, 16>& archive_id, uint64_t index);

Result<Bytes> write_archive(std::span<const Read> reads, const ArchiveOptions& opts);

}  // namespace zarv::writer
