#include "core/block.hpp"

#include <xxhash.h>

#include <cstring>

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/quality/quality.hpp"
#include "codecs/quality/quality_model.hpp"
#include "codecs/sequence/sequence.hpp"
#include "core/crc32c.hpp"

namespace zarv {

Result<std::vector<uint8_t>> read_framed_slice(ByteSource& src, const std::string& section) {
  uint8_t head[8];
  ZARV_TRY(read_exact(src, head, sizeof head));
  const uint32_t n = load_le32(head);
  const uint32_t crc = load_le32(head + 4);
  if (n > kMaxFramedSlice) return ArchiveError::malformed("framed slice length exceeds the maximum");
  std::vector<uint8_t> bytes(n);
  ZARV_TRY(read_exact(src, bytes.data(), bytes.size()));
  if (crc32c(bytes) != crc) return ArchiveError::corrupt(section);
  return bytes;
}

Result<std::optional<std::vector<uint8_t>>> read_block_frame(ByteSource& src, uint64_t index) {
  using Out = std::optional<std::vector<uint8_t>>;
  uint8_t magic[4];
  ZARV_ASSIGN(size_t got, read_full(src, magic, sizeof magic));
  if (got < sizeof magic) return Out{};  // input ended at (or inside) the magic
  if (std::memcmp(magic, kBlockMagic, 4) != 0) {
    return ArchiveError::corrupt("block " + std::to_string(index) + " (bad sync marker)");
  }
  uint8_t len_bytes[8];
  ZARV_TRY(read_exact(src, len_bytes, sizeof len_bytes));
  const uint64_t len = load_le64(len_bytes);
  if (len == 0) return Out{};
  if (len > kMaxBlockPayload) return ArchiveError::malformed("block payload length exceeds the maximum");
  uint8_t crc_bytes[4];
  ZARV_TRY(read_exact(src, crc_bytes, sizeof crc_bytes));
  // At most 2 GiB, checked above. Read in steps so a truncated file claiming a
  // huge payload fails before the whole reservation is touched.
  std::vector<uint8_t> payload;
  constexpr size_t kStep = size_t{16} << 20;
  while (payload.size() < len) {
    const size_t old = payload.size();
    const size_t want = static_cast<size_t>(std::min<uint64_t>(kStep, len - old));
    payload.resize(old + want);
    ZARV_TRY(read_exact(src, payload.data() + old, want));
  }
  if (crc32c(payload) != load_le32(crc_bytes)) return ArchiveError::corrupt("block " + std::to_string(index));
  return Out{std::move(payload)};
}

Result<PayloadLayout> parse_payload(std::span<const uint8_t> payload) {
  // Every short read here is Truncated: the cursor's bare detail is replaced.
  ByteCursor cur(payload);
  PayloadLayout p;
  auto trunc = [](auto&& r) { return r.ok(); };
  auto n_digest = cur.u64(), s_digest = cur.u64(), q_digest = cur.u64();
  if (!trunc(n_digest) || !trunc(s_digest) || !trunc(q_digest)) return ArchiveError::truncated();
  auto reads = cur.u32();
  if (!reads.ok()) return ArchiveError::truncated();
  p.names_digest = *n_digest;
  p.sequence_digest = *s_digest;
  p.quality_digest = *q_digest;
  p.reads = *reads;
  std::span<const uint8_t>* streams[3] = {&p.names, &p.sequence, &p.quality};
  for (auto* s : streams) {
    auto len = cur.u32();
    if (!len.ok()) return ArchiveError::truncated();
    auto body = cur.bytes(*len);
    if (!body.ok()) return ArchiveError::truncated();
    *s = *body;
  }
  if (!cur.at_end()) return ArchiveError::malformed("block payload has trailing bytes after the three streams");
  return p;
}

bool quality_coded_against_sequence(std::span<const uint8_t> q) {
  return q.size() >= 3 && q[0] == 2 && q[2] != 0;
}

uint64_t names_digest(const NameList& names) {
  // R as u64, then per name its length as u32 and its bytes.
  std::vector<uint8_t> buf;
  buf.reserve(8 + 4 * names.size() + names.bytes.size());
  put_le64(buf, names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    auto n = names.span(i);
    put_le32(buf, static_cast<uint32_t>(n.size()));
    buf.insert(buf.end(), n.begin(), n.end());
  }
  return XXH3_64bits(buf.data(), buf.size());
}

uint64_t column_digest(std::span<const uint32_t> lengths, std::span<const uint8_t> bytes) {
  static_assert(std::endian::native == std::endian::little, "digests hash the lengths in memory order");
  XXH3_state_t* st = XXH3_createState();
  if (!st) throw std::bad_alloc();
  XXH3_64bits_reset(st);
  const uint64_t r = lengths.size();
  XXH3_64bits_update(st, &r, sizeof r);
  XXH3_64bits_update(st, lengths.data(), lengths.size_bytes());
  XXH3_64bits_update(st, bytes.data(), bytes.size());
  const uint64_t h = XXH3_64bits_digest(st);
  XXH3_freeState(st);
  return h;
}

Result<DecodedBlock> decode_block(std::span<const uint8_t> payload, StreamSelection sel,
                                  const SharedReference* reference) {
  ZARV_ASSIGN(PayloadLayout p, parse_payload(payload));
  DecodedBlock out;
  out.reads = p.reads;
  const bool against_seq = quality_coded_against_sequence(p.quality);
  const bool want_seq = sel.sequence || (sel.quality && against_seq);

  if (sel.names) {
    auto names = decode_names(p.names);
    if (!names.ok()) return std::move(names).error();
    out.names = std::move(names).value();
  }
  std::vector<uint32_t> qual_lengths;
  if (want_seq) {
    ZARV_ASSIGN(DecodedColumn seq, decode_sequence_stream(p.sequence, reference));
    out.lengths = std::move(seq.lengths);
    out.bases = std::move(seq.bases);
  }
  // A quality column may declare far more values than it costs to store (a
  // one-symbol alphabet codes at zero cost), up to 2^34 of them. Values past
  // the bases are only ever hashed into the quality digest (reads take theirs
  // from the front), so a column declaring more than the bases plus a margin
  // is not decoded: that would cost memory and time without bound for a
  // block that no writer produces. It is reported as the digest mismatch, in
  // its turn. Within the margin the column is decoded and checked as usual.
  constexpr uint64_t kQualityExcessDecoded = uint64_t{1} << 26;
  bool quality_total_exceeds_bases = false;
  if (sel.quality && want_seq) {
    auto header = quality::parse_stream_header(p.quality);
    quality_total_exceeds_bases = header.ok() && header->total > out.bases.size() + kQualityExcessDecoded;
  }
  if (sel.quality && !quality_total_exceeds_bases) {
    std::optional<std::span<const uint8_t>> bases;
    if (against_seq) bases = std::span<const uint8_t>(out.bases);
    ZARV_ASSIGN(DecodedQualities q, decode_quality_stream(p.quality, bases));
    out.qualities = std::move(q.qualities);
    qual_lengths = std::move(q.lengths);
  }

  if (sel.names && out.names.size() != p.reads) return ArchiveError::malformed("block stream length disagreement");
  if (want_seq || sel.quality) {
    if (!want_seq) out.lengths = std::move(qual_lengths);
    if (out.lengths.size() != p.reads) return ArchiveError::malformed("block stream length disagreement");
  }

  if (sel.names && names_digest(out.names) != p.names_digest) return ArchiveError::corrupt("block names digest");
  if (want_seq && column_digest(out.lengths, out.bases) != p.sequence_digest) {
    return ArchiveError::corrupt("block sequence digest");
  }
  if (sel.quality && (quality_total_exceeds_bases || column_digest(out.lengths, out.qualities) != p.quality_digest)) {
    return ArchiveError::corrupt("block quality digest");
  }
  if (!sel.sequence) out.bases.clear();
  return out;
}

namespace {

// Walks the read lengths, checking them against the decoded columns, and
// calls emit(i, offset, length) per read.
template <class Emit>
Status for_each_read(const DecodedBlock& b, bool has_seq, bool has_qual, Emit&& emit) {
  uint64_t offset = 0;
  for (size_t i = 0; i < b.lengths.size(); ++i) {
    const uint64_t len = b.lengths[i];
    if (offset > UINT64_MAX - len) return ArchiveError::malformed("read length overflow");
    const uint64_t end = offset + len;
    if (has_seq && end > b.bases.size()) return ArchiveError::malformed("sequence shorter than declared read lengths");
    if (has_qual && end > b.qualities.size()) {
      return ArchiveError::malformed("quality shorter than declared read lengths");
    }
    emit(i, static_cast<size_t>(offset), static_cast<size_t>(len));
    offset = end;
  }
  return {};
}

}  // namespace

Status check_read_lengths(const DecodedBlock& b, StreamSelection sel) {
  if (!sel.sequence && !sel.quality) return {};
  return for_each_read(b, sel.sequence, sel.quality, [](size_t, size_t, size_t) {});
}

void RecordCursor::next(size_t max, std::vector<Record>& out) {
  const uint64_t n = std::min<uint64_t>(max, b_.reads - next_);
  out.clear();
  out.resize(static_cast<size_t>(n));
  const bool columns = sel_.sequence || sel_.quality;
  const char* bases = reinterpret_cast<const char*>(b_.bases.data());
  const char* quals = reinterpret_cast<const char*>(b_.qualities.data());
  for (size_t k = 0; k < n; ++k, ++next_) {
    Record& r = out[k];
    if (sel_.names) r.name = b_.names.view(static_cast<size_t>(next_));
    if (columns) {
      const size_t len = b_.lengths[static_cast<size_t>(next_)];
      if (sel_.sequence) r.sequence.assign(bases + offset_, len);
      if (sel_.quality) r.quality.assign(quals + offset_, len);
      offset_ += len;
    }
  }
}

Result<std::vector<Record>> block_to_records(const DecodedBlock& b, StreamSelection sel) {
  ZARV_TRY(check_read_lengths(b, sel));
  std::vector<Record> recs;
  RecordCursor cur(b, sel);
  cur.next(b.reads, recs);
  return recs;
}

namespace {

// FASTQ ("@" name "\n" bases "\n+\n" quals "\n") or FASTA (">" name "\n"
// bases "\n") of a whole block into one reservation of `out`. Nothing of a
// block that fails its length checks reaches the output.
template <bool kFastq>
Status write_text(const DecodedBlock& b, std::vector<uint8_t>& out) {
  if (b.names.size() != b.lengths.size()) return ArchiveError::malformed("block stream length disagreement");
  constexpr size_t kPerRead = kFastq ? 6 : 3;
  size_t total = b.bases.size() + (kFastq ? b.qualities.size() : 0);
  for (size_t i = 0; i < b.names.size(); ++i) total += b.names.span(i).size() + kPerRead;
  const size_t start = out.size();
  size_t pos = start;
  out.resize(pos + total);
  uint8_t* dst = out.data();
  const uint8_t* bases = b.bases.data();
  const uint8_t* quals = b.qualities.data();
  // An empty name or column may have no storage at all (a null pointer),
  // which memcpy must not be given even for zero bytes.
  const auto put = [&](const uint8_t* src, size_t n) {
    if (n) std::memcpy(dst + pos, src, n);
    pos += n;
  };
  Status st = for_each_read(b, true, kFastq, [&](size_t i, size_t off, size_t len) {
    auto name = b.names.span(i);
    dst[pos++] = kFastq ? '@' : '>';
    put(name.data(), name.size());
    dst[pos++] = '\n';
    put(bases + off, len);
    if constexpr (kFastq) {
      put(reinterpret_cast<const uint8_t*>("\n+\n"), 3);
      put(quals + off, len);
    }
    dst[pos++] = '\n';
  });
  if (!st.ok()) {
    out.resize(start);
    return st;
  }
  out.resize(pos);
  return {};
}

}  // namespace

Status write_fastq(const DecodedBlock& b, std::vector<uint8_t>& out) { return write_text<true>(b, out); }

Status write_fasta(const DecodedBlock& b, std::vector<uint8_t>& out) { return write_text<false>(b, out); }

}  // namespace zarv
