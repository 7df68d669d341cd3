#include "estimate/sampling.hpp"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace zarv {
namespace {

constexpr size_t kReadBuffer = 8 * 1024;   // plain input / compressed input chunk
constexpr size_t kGzipBuffer = 32 * 1024;  // decoded gzip output chunk

// Gives back up to two peeked bytes before reading on from the wrapped source.
class PrefixedSource final : public ByteSource {
 public:
  PrefixedSource(ByteSource& inner, std::array<uint8_t, 2> prefix, size_t len)
      : inner_(inner), prefix_(prefix), len_(len) {}

  Result<size_t> read(uint8_t* dst, size_t n) override {
    if (n == 0) return size_t{0};
    if (pos_ < len_) {
      const size_t k = std::min(n, len_ - pos_);
      std::memcpy(dst, prefix_.data() + pos_, k);
      pos_ += k;
      return k;
    }
    return inner_.read(dst, n);
  }

 private:
  ByteSource& inner_;
  std::array<uint8_t, 2> prefix_;
  size_t len_;
  size_t pos_ = 0;
};

// Decodes a series of concatenated gzip members, pulling compressed bytes from
// the wrapped source only as decoded output is asked for.
class GzipSource final : public ByteSource {
 public:
  explicit GzipSource(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)) {
    std::memset(&zs_, 0, sizeof zs_);
  }
  ~GzipSource() override {
    if (initialised_) inflateEnd(&zs_);
  }
  GzipSource(const GzipSource&) = delete;
  GzipSource& operator=(const GzipSource&) = delete;

  Status init() {
    if (inflateInit2(&zs_, 16 + MAX_WBITS) != Z_OK) return ArchiveError::io("out of memory");
    initialised_ = true;
    return {};
  }

  Result<size_t> read(uint8_t* dst, size_t n) override {
    if (n == 0 || done_) return size_t{0};
    for (;;) {
      if (zs_.avail_in == 0 && !input_eof_) {
        ZARV_ASSIGN(size_t k, inner_->read(in_.data(), in_.size()));
        if (k == 0) input_eof_ = true;
        zs_.next_in = in_.data();
        zs_.avail_in = static_cast<uInt>(k);
      }
      if (member_done_) {
        // A member ended: another one follows unless the input is over.
        if (zs_.avail_in == 0) {
          done_ = true;
          return size_t{0};
        }
        if (inflateReset(&zs_) != Z_OK) return ArchiveError::io("gzip decoder reset failed");
        member_done_ = false;
      }
      const size_t want = std::min<size_t>(n, std::numeric_limits<uInt>::max());
      zs_.next_out = dst;
      zs_.avail_out = static_cast<uInt>(want);
      const int rc = inflate(&zs_, Z_NO_FLUSH);
      const size_t produced = want - zs_.avail_out;
      if (rc == Z_STREAM_END) {
        member_done_ = true;
      } else if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT) {
        return ArchiveError::io(zs_.msg ? zs_.msg : "invalid gzip data");
      } else if (rc == Z_MEM_ERROR) {
        return ArchiveError::io("out of memory");
      } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
        return ArchiveError::io(zs_.msg ? zs_.msg : "gzip decoding failed");
      }
      if (produced > 0) return produced;
      if (!member_done_ && zs_.avail_in == 0 && input_eof_) {
        return ArchiveError::io("unexpected end of gzip stream");
      }
    }
  }

 private:
  std::unique_ptr<ByteSource> inner_;
  z_stream zs_;
  bool initialised_ = false;
  bool input_eof_ = false;
  bool member_done_ = false;
  bool done_ = false;
  std::array<uint8_t, kReadBuffer> in_{};
};

// Line-oriented reader over a byte source with a fixed buffer.
class LineReader {
 public:
  LineReader(ByteSource& src, size_t buffer) : src_(src), buf_(buffer) {}

  // Appends the next line to `out` without its line feed, dropping a carriage
  // return that stands just before the line feed. Returns false when the input
  // was already at its end (nothing appended).
  Result<bool> read_line(std::vector<uint8_t>& out) {
    const size_t start = out.size();
    bool any = false;
    for (;;) {
      if (pos_ == end_) {
        ZARV_ASSIGN(bool more, refill());
        if (!more) return any;
      }
      any = true;
      const uint8_t* base = buf_.data() + pos_;
      const size_t avail = end_ - pos_;
      const void* lf = std::memchr(base, '\n', avail);
      const size_t take = lf ? static_cast<size_t>(static_cast<const uint8_t*>(lf) - base) : avail;
      out.insert(out.end(), base, base + take);
      if (lf) {
        pos_ += take + 1;
        if (out.size() > start && out.back() == '\r') out.pop_back();
        return true;
      }
      pos_ = end_;
    }
  }

  // The next byte without consuming it, or -1 at the end of the input.
  Result<int> peek() {
    if (pos_ == end_) {
      ZARV_ASSIGN(bool more, refill());
      if (!more) return -1;
    }
    return int{buf_[pos_]};
  }

  // Consumes the next line and returns its first byte, '\n' for an empty line,
  // or -1 when the input was already at its end.
  Result<int> skip_line() {
    int first = -1;
    for (;;) {
      if (pos_ == end_) {
        ZARV_ASSIGN(bool more, refill());
        if (!more) return first;
      }
      if (first < 0) first = buf_[pos_];
      const uint8_t* base = buf_.data() + pos_;
      const void* lf = std::memchr(base, '\n', end_ - pos_);
      if (lf) {
        pos_ += static_cast<size_t>(static_cast<const uint8_t*>(lf) - base) + 1;
        return first;
      }
      pos_ = end_;
    }
  }

 private:
  Result<bool> refill() {
    ZARV_ASSIGN(size_t k, src_.read(buf_.data(), buf_.size()));
    pos_ = 0;
    end_ = k;
    return k > 0;
  }

  ByteSource& src_;
  std::vector<uint8_t> buf_;
  size_t pos_ = 0;
  size_t end_ = 0;
};

constexpr uint64_t kU32Max = std::numeric_limits<uint32_t>::max();

}  // namespace

uint64_t per_source_cap(uint64_t sample_reads, size_t sources) {
  const uint64_t n = sources == 0 ? 1 : sources;
  return std::min<uint64_t>(std::max<uint64_t>(sample_reads / n, 1), kPerSourceCapCeiling);
}

Result<std::unique_ptr<ByteSource>> open_fastq_text(ByteSource& src) {
  std::array<uint8_t, 2> magic{};
  ZARV_ASSIGN(size_t got, read_full(src, magic.data(), magic.size()));
  auto prefixed = std::make_unique<PrefixedSource>(src, magic, got);
  if (got == 2 && magic[0] == 0x1F && magic[1] == 0x8B) {
    auto gz = std::make_unique<GzipSource>(std::move(prefixed));
    ZARV_TRY(gz->init());
    return std::unique_ptr<ByteSource>(std::move(gz));
  }
  return std::unique_ptr<ByteSource>(std::move(prefixed));
}

Result<SampleBatch> sample_source(ByteSource& src, uint64_t cap, uint64_t bases_ceiling) {
  if (cap == 0) cap = 1;
  ZARV_ASSIGN(std::unique_ptr<ByteSource> text, open_fastq_text(src));
  LineReader reader(*text, kGzipBuffer);

  SampleBatch batch;
  std::vector<uint8_t> header;
  for (;;) {
    if (batch.bases.size() >= bases_ceiling) break;

    // The prefix is checked before the line is read: input that is not
    // FASTQ (a binary file, a stream of zeros) may hold no line feed at all.
    ZARV_ASSIGN(const int first, reader.peek());
    if (first < 0) {
      batch.exhausted = true;
      break;
    }
    if (first != '@') return ArchiveError::io("invalid name prefix");
    header.clear();
    ZARV_TRY(reader.read_line(header));  // true: the peeked byte is there

    const size_t seq_start = batch.bases.size();
    ZARV_ASSIGN(bool have_seq, reader.read_line(batch.bases));
    if (!have_seq) return ArchiveError::io("failed to fill whole buffer");
    const uint64_t seq_len = batch.bases.size() - seq_start;

    ZARV_ASSIGN(int sep, reader.skip_line());
    if (sep < 0) return ArchiveError::io("failed to fill whole buffer");
    if (sep != '+') return ArchiveError::io("invalid description prefix");

    const size_t qual_start = batch.qualities.size();
    ZARV_ASSIGN(bool have_qual, reader.read_line(batch.qualities));
    (void)have_qual;  // a missing quality line is an empty one
    const uint64_t qual_len = batch.qualities.size() - qual_start;
    if (qual_len != seq_len) return ArchiveError::invalid_fastq(seq_len, qual_len);

    // Name: after '@' up to the first space or tab; description: the rest of
    // the line after that one separator.
    const uint8_t* line = header.data() + 1;
    const size_t line_len = header.size() - 1;
    size_t name_len = 0;
    while (name_len < line_len && line[name_len] != ' ' && line[name_len] != '\t') ++name_len;
    const size_t desc_len = name_len < line_len ? line_len - name_len - 1 : 0;
    const uint64_t stored = name_len + (desc_len ? desc_len + 1 : 0);
    if (batch.names.size() + stored > kU32Max || seq_len > kU32Max) {
      return ArchiveError::io("record too large");
    }
    batch.names.insert(batch.names.end(), line, line + name_len);
    if (desc_len) {
      batch.names.push_back(' ');
      batch.names.insert(batch.names.end(), line + name_len + 1, line + line_len);
    }
    batch.name_ends.push_back(static_cast<uint32_t>(batch.names.size()));
    batch.read_lengths.push_back(static_cast<uint32_t>(seq_len));
    batch.raw_bytes += stored + seq_len + qual_len + 6;

    if (batch.records() >= cap) break;
  }
  return batch;
}

Result<SampleBatch> sample_path(const std::string& path, uint64_t cap) {
  ZARV_ASSIGN(std::unique_ptr<FileSource> file, FileSource::open(path));
  return sample_source(*file, cap);
}

Result<SampleBatch> sample_bytes(std::vector<uint8_t> data, uint64_t cap) {
  MemorySource src(std::move(data));
  return sample_source(src, cap);
}

}  // namespace zarv
