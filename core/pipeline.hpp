// Whole-archive decoding: frames read sequentially from any byte source,
// decoded on W worker threads, up to W blocks held at a time, delivered in file
// order to a sink as records or as FASTQ/FASTA text.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/block.hpp"
#include "core/byte_source.hpp"
#include "core/result.hpp"
#include "core/stream_selection.hpp"
#include "crypto/secret.hpp"

namespace zarv {

// Sequential reads through an 8 KiB buffer (requests larger than the buffer
// go straight to the source).
class BufferedSource final : public ByteSource {
 public:
  static constexpr size_t kBufferSize = 8192;
  explicit BufferedSource(ByteSource& inner) : inner_(inner), buf_(kBufferSize) {}
  Result<size_t> read(uint8_t* dst, size_t n) override;

 private:
  ByteSource& inner_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

enum class OutputFormat { Records, Fastq, Fasta };

// Receives decoded blocks in file order. A failing sink stops the decode with
// its error.
class DecodeSink {
 public:
  virtual ~DecodeSink() = default;
  // OutputFormat::Records: the block's reads.
  virtual Status records(std::vector<Record>&& recs) { (void)recs; return {}; }
  // OutputFormat::Fastq / Fasta: the block's text.
  virtual Status text(std::span<const uint8_t> bytes) { (void)bytes; return {}; }
};

struct DecodeOptions {
  unsigned workers = 1;
  StreamSelection selection = StreamSelection::all();  // Records only; text formats fix their own
  OutputFormat format = OutputFormat::Records;
  std::optional<SecretString> passphrase;  // wiped when the options go
};

// Runs the pipeline; returns the number of reads delivered.
Result<uint64_t> decode_archive(ByteSource& src, const DecodeOptions& opts, DecodeSink& sink);

}  // namespace zarv
