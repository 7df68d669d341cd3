#include "core/pipeline.hpp"

#include <cstring>
#include <memory>
#include <variant>

#include "core/header.hpp"
#include "core/thread_pool.hpp"
#include "crypto/crypto.hpp"

namespace zarv {

Result<size_t> BufferedSource::read(uint8_t* dst, size_t n) {
  if (n == 0) return size_t{0};
  if (pos_ == end_) {
    if (n >= buf_.size()) return inner_.read(dst, n);
    ZARV_ASSIGN(size_t got, inner_.read(buf_.data(), buf_.size()));
    pos_ = 0;
    end_ = got;
    if (got == 0) return size_t{0};
  }
  const size_t k = std::min(n, end_ - pos_);
  std::memcpy(dst, buf_.data() + pos_, k);
  pos_ += k;
  return k;
}

namespace {

// What one worker hands back for one block.
struct BlockOutput {
  uint64_t reads = 0;
  DecodedBlock block;        // OutputFormat::Records: checked, split at delivery
  std::vector<uint8_t> text; // Fastq / Fasta
};

// Records go to the sink this many at a time: a block's read count comes from
// the file, and its records are only ever held a chunk at a time.
constexpr size_t kRecordChunk = 4096;

Result<BlockOutput> decode_one(std::vector<uint8_t>& frame_payload, uint64_t index, const ArchiveKey* key,
                               const DecodeOptions& opts) {
  std::vector<uint8_t> opened;
  std::span<const uint8_t> payload = frame_payload;
  if (key) {
    ZARV_ASSIGN(opened, open_block(*key, index, frame_payload));
    payload = opened;
  }
  StreamSelection sel = opts.selection;
  if (opts.format == OutputFormat::Fastq) sel = StreamSelection::all();
  if (opts.format == OutputFormat::Fasta) sel = {true, true, false};
  ZARV_ASSIGN(DecodedBlock block, decode_block(payload, sel));
  BlockOutput out;
  out.reads = block.reads;
  switch (opts.format) {
    case OutputFormat::Records:
      ZARV_TRY(check_read_lengths(block, sel));
      out.block = std::move(block);
      break;
    case OutputFormat::Fastq:
      ZARV_TRY(write_fastq(block, out.text));
      break;
    case OutputFormat::Fasta:
      ZARV_TRY(write_fasta(block, out.text));
      break;
  }
  return out;
}

}  // namespace

Result<uint64_t> decode_archive(ByteSource& raw, const DecodeOptions& opts, DecodeSink& sink) {
  BufferedSource src(raw);
  const unsigned w = std::max(1u, opts.workers);
  ThreadPool pool(w);
  ZARV_ASSIGN(ArchiveHeader header, read_header(src));
  if (header.has_flag(kFlagGlobalReorderLayout)) {
    return ArchiveError::malformed("globally-reordered layout is not supported by this build");
  }
  std::shared_ptr<const ArchiveKey> key;
  if (header.encrypted()) {
    if (!opts.passphrase) return ArchiveError::passphrase_required();
    ZARV_ASSIGN(key, derive_key(opts.passphrase->view(), *header.encryption));
  }
  if (header.has_flag(kFlagHasGlobalReference)) {
    return ArchiveError::malformed("global reference frames are not supported by this build");
  }

  uint64_t delivered = 0;
  uint64_t index = 0;
  bool done = false;
  std::vector<std::vector<uint8_t>> batch;
  std::vector<std::optional<Result<BlockOutput>>> results;
  while (!done) {
    // Fill a batch; a frame that fails to read ends the decode after the
    // frames read before it in this batch are delivered.
    batch.clear();
    std::optional<ArchiveError> read_error;
    while (batch.size() < w) {
      auto frame = read_block_frame(src, index + batch.size());
      if (!frame.ok()) {
        read_error = std::move(frame).error();
        done = true;
        break;
      }
      if (!frame->has_value()) {
        done = true;
        break;
      }
      batch.push_back(std::move(**frame));
    }
    results.assign(batch.size(), std::nullopt);
    pool.run(batch.size(), [&](size_t i) {
      try {
        results[i].emplace(decode_one(batch[i], index + i, key.get(), opts));
      } catch (const std::bad_alloc&) {
        results[i].emplace(ArchiveError::malformed("block too large to allocate"));
      }
    });
    for (size_t i = 0; i < batch.size(); ++i) {
      Result<BlockOutput>& r = *results[i];
      if (!r.ok()) return std::move(r).error();
      BlockOutput& out = r.value();
      if (opts.format == OutputFormat::Records) {
        RecordCursor cursor(out.block, opts.selection);
        std::vector<Record> chunk;
        while (!cursor.done()) {
          cursor.next(kRecordChunk, chunk);
          ZARV_TRY(sink.records(std::move(chunk)));
        }
      } else {
        ZARV_TRY(sink.text(out.text));
      }
      delivered += out.reads;
      batch[i] = {};  // release the payload as soon as it is delivered
      results[i].reset();
    }
    index += batch.size();
    if (read_error) return *std::move(read_error);
  }
  return delivered;
}

}  // namespace zarv
