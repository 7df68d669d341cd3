#include "core/pipeline.hpp"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>

#include "core/header.hpp"
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

Result<BlockOutput> decode_one_unguarded(std::vector<uint8_t>& frame_payload, uint64_t index, const ArchiveKey* key,
                                         const DecodeOptions& opts) {
  std::span<const uint8_t> payload = frame_payload;
  if (key) {
    // The frame's bytes are this worker's own: open them where they are.
    ZARV_ASSIGN(payload, open_block_in_place(*key, index, frame_payload));
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

// A block whose declared sizes the memory cannot hold fails like any other
// damaged block, wherever it is decoded.
Result<BlockOutput> decode_one(std::vector<uint8_t>& frame_payload, uint64_t index, const ArchiveKey* key,
                               const DecodeOptions& opts) {
  try {
    return decode_one_unguarded(frame_payload, index, key, opts);
  } catch (const std::bad_alloc&) {
    return ArchiveError::malformed("block too large to allocate");
  }
}

// Decodes frames on W worker threads and hands the results back in the order
// the frames were submitted. At most W frames are held at a time, counting
// the one whose result the caller is delivering: a slot is taken when a frame
// is submitted and given back when its result is taken, so while the caller
// delivers one block the other workers go on with the next ones, instead of
// the whole pool waiting for each batch to be delivered.
class OrderedDecoder {
 public:
  using DecodeFn = std::function<Result<BlockOutput>(std::vector<uint8_t>&, uint64_t)>;

  OrderedDecoder(unsigned workers, DecodeFn decode) : decode_(std::move(decode)) {
    threads_.reserve(workers);
    for (unsigned i = 0; i < workers; ++i) threads_.emplace_back([this] { work(); });
  }
  ~OrderedDecoder() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    work_cv_.notify_all();
    for (auto& t : threads_) t.join();  // frames being decoded are finished, then dropped
  }
  OrderedDecoder(const OrderedDecoder&) = delete;
  OrderedDecoder& operator=(const OrderedDecoder&) = delete;

  // Only the caller adds and removes tasks, so it may count them unlocked.
  size_t held() const { return tasks_.size(); }

  void submit(uint64_t index, std::vector<uint8_t>&& payload) {
    auto task = std::make_unique<Task>();
    task->index = index;
    task->payload = std::move(payload);
    {
      std::lock_guard<std::mutex> lock(mu_);
      tasks_.push_back(std::move(task));
    }
    work_cv_.notify_one();
  }

  // The result of the oldest frame submitted and not yet taken; waits for it.
  Result<BlockOutput> take() {
    std::unique_lock<std::mutex> lock(mu_);
    done_cv_.wait(lock, [&] { return tasks_.front()->result.has_value(); });
    std::unique_ptr<Task> task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    if (task->failure) std::rethrow_exception(task->failure);
    return *std::move(task->result);
  }

 private:
  struct Task {
    uint64_t index = 0;
    std::vector<uint8_t> payload;
    bool started = false;
    std::optional<Result<BlockOutput>> result;
    std::exception_ptr failure;
  };

  void work() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      Task* task = nullptr;
      work_cv_.wait(lock, [&] {
        if (stop_) return true;
        for (auto& t : tasks_) {
          if (!t->started) {
            task = t.get();
            return true;
          }
        }
        return false;
      });
      if (stop_) return;
      task->started = true;
      lock.unlock();
      std::optional<Result<BlockOutput>> result;
      std::exception_ptr failure;
      try {
        result.emplace(decode_(task->payload, task->index));
      } catch (...) {
        // Raised again on the caller's thread, in its turn, as if the caller
        // had decoded the block itself.
        failure = std::current_exception();
        result.emplace(ArchiveError::malformed("block decode failed"));
      }
      task->payload = {};  // its decoded form is what is held from now on
      lock.lock();
      task->result = std::move(result);
      task->failure = failure;
      done_cv_.notify_all();
    }
  }

  DecodeFn decode_;
  std::vector<std::thread> threads_;
  std::mutex mu_;
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  std::deque<std::unique_ptr<Task>> tasks_;  // submitted and not yet taken, in order
  bool stop_ = false;
};

Status deliver(BlockOutput& out, const DecodeOptions& opts, DecodeSink& sink) {
  if (opts.format == OutputFormat::Records) {
    RecordCursor cursor(out.block, opts.selection);
    std::vector<Record> chunk;
    while (!cursor.done()) {
      cursor.next(kRecordChunk, chunk);
      ZARV_TRY(sink.records(std::move(chunk)));
    }
    return {};
  }
  return sink.text(out.text);
}

}  // namespace

Result<uint64_t> decode_archive(ByteSource& raw, const DecodeOptions& opts, DecodeSink& sink) {
  BufferedSource src(raw);
  const unsigned w = std::max(1u, opts.workers);
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

  // Frames are read in order, up to W held at a time, and delivered in the
  // same order. The first block that fails ends the decode with its error
  // once every block before it has been delivered; a frame that fails to
  // read does the same after the frames read before it are decoded and
  // delivered.
  uint64_t delivered = 0;
  uint64_t index = 0;
  if (w == 1) {
    // One worker: the calling thread decodes each block itself.
    for (;;) {
      auto frame = read_block_frame(src, index);
      if (!frame.ok()) return std::move(frame).error();
      if (!frame->has_value()) return delivered;
      Result<BlockOutput> r = decode_one(**frame, index, key.get(), opts);
      if (!r.ok()) return std::move(r).error();
      frame->reset();
      ZARV_TRY(deliver(r.value(), opts, sink));
      delivered += r->reads;
      ++index;
    }
  }

  OrderedDecoder decoder(w, [&](std::vector<uint8_t>& payload, uint64_t i) {
    return decode_one(payload, i, key.get(), opts);
  });
  std::optional<ArchiveError> read_error;
  bool reading = true;
  for (;;) {
    while (reading && decoder.held() < w) {
      auto frame = read_block_frame(src, index);
      if (!frame.ok()) {
        read_error = std::move(frame).error();
        reading = false;
      } else if (!frame->has_value()) {
        reading = false;
      } else {
        decoder.submit(index++, std::move(**frame));
      }
    }
    if (decoder.held() == 0) break;
    Result<BlockOutput> r = decoder.take();
    if (!r.ok()) return std::move(r).error();
    ZARV_TRY(deliver(r.value(), opts, sink));
    delivered += r->reads;
  }
  if (read_error) return *std::move(read_error);
  return delivered;
}

}  // namespace zarv
