#include "core/verify.hpp"

#include <array>
#include <optional>

#include "core/crc32c.hpp"
#include "core/footer.hpp"
#include "core/header.hpp"
#include "core/thread_pool.hpp"
#include "crypto/crypto.hpp"

namespace zarv {
namespace {

using Gf2Matrix = std::array<uint32_t, 32>;

uint32_t gf2_times(const Gf2Matrix& m, uint32_t v) {
  uint32_t sum = 0;
  for (int i = 0; v; ++i, v >>= 1) {
    if (v & 1) sum ^= m[i];
  }
  return sum;
}

Gf2Matrix gf2_square(const Gf2Matrix& m) {
  Gf2Matrix sq;
  for (int i = 0; i < 32; ++i) sq[i] = gf2_times(m, m[i]);
  return sq;
}

}  // namespace

uint32_t crc32c_combine(uint32_t crc_a, uint32_t crc_b, uint64_t len_b) {
  if (len_b == 0) return crc_a;
  // Operator for one zero bit: column 0 is the polynomial, column i the
  // power of two 1 << (i - 1).
  Gf2Matrix op;
  op[0] = 0x82F63B78u;
  for (int i = 1; i < 32; ++i) op[i] = uint32_t{1} << (i - 1);
  op = gf2_square(op);  // two zero bits
  op = gf2_square(op);  // four
  op = gf2_square(op);  // one zero byte
  for (uint64_t n = len_b; n; n >>= 1) {
    if (n & 1) crc_a = gf2_times(op, crc_a);
    op = gf2_square(op);
  }
  return crc_a ^ crc_b;
}

Result<uint32_t> whole_file_crc(ByteSource& src, uint64_t covered, unsigned workers) {
  ZARV_TRY(src.seek(0));
  auto* memory = dynamic_cast<MemorySource*>(&src);
  if (memory && covered > memory->bytes().size()) return ArchiveError::truncated();
  if (covered <= kCrcChunk) {
    if (memory) return crc32c(memory->bytes().first(static_cast<size_t>(covered)));
    std::vector<uint8_t> buf(static_cast<size_t>(covered));
    ZARV_TRY(read_exact(src, buf.data(), buf.size()));
    return crc32c(buf);
  }
  auto* file = dynamic_cast<FileSource*>(&src);
  const uint64_t chunks = (covered + kCrcChunk - 1) / kCrcChunk;
  if (memory || file) {
    // Each worker takes one contiguous run of whole chunks and folds its own
    // CRC, straight from memory or through positional reads into one chunk
    // buffer of its own (so reading is spread over the workers too, and no
    // worker waits for another until the end). The runs' CRCs are then
    // joined in file order.
    const uint64_t runs = std::min<uint64_t>(std::max(1u, workers), chunks);
    const uint64_t per_run = (chunks + runs - 1) / runs;
    std::vector<uint32_t> crcs(runs);
    std::vector<uint64_t> lengths(runs);
    std::vector<std::optional<ArchiveError>> errors(runs);
    std::vector<std::vector<uint8_t>> bufs(file ? runs : 0);
    for (auto& buf : bufs) buf.resize(static_cast<size_t>(std::min(kCrcChunk, covered)));
    ThreadPool pool(static_cast<unsigned>(runs));
    pool.run(static_cast<size_t>(runs), [&](size_t i) {
      const uint64_t begin = std::min(covered, i * per_run * kCrcChunk);
      const uint64_t end = std::min(covered, (i + 1) * per_run * kCrcChunk);
      lengths[i] = end - begin;
      uint32_t crc = 0;
      if (memory) {
        crc = crc32c(memory->bytes().subspan(static_cast<size_t>(begin), static_cast<size_t>(end - begin)));
      } else {
        std::vector<uint8_t>& buf = bufs[i];
        for (uint64_t at = begin; at < end; at += kCrcChunk) {
          const size_t len = static_cast<size_t>(std::min(kCrcChunk, end - at));
          auto got = file->pread(buf.data(), len, at);
          if (!got.ok()) {
            errors[i] = std::move(got).error();
            return;
          }
          if (*got != len) {
            errors[i] = ArchiveError::truncated();
            return;
          }
          crc = crc32c_update(crc, std::span<const uint8_t>(buf.data(), len));
        }
      }
      crcs[i] = crc;
    });
    // The first failure in file order is the one a sequential read meets.
    uint32_t crc = 0;
    for (size_t i = 0; i < runs; ++i) {
      if (errors[i]) return *std::move(errors[i]);
      crc = crc32c_combine(crc, crcs[i], lengths[i]);
    }
    return crc;
  }
  // Any other source is read here in order, up to W chunks at a time, and
  // the chunks' CRCs are computed by the workers.
  const unsigned w = static_cast<unsigned>(std::min<uint64_t>(std::max(1u, workers), chunks));
  ThreadPool pool(w);
  std::vector<std::vector<uint8_t>> bufs(w);
  std::vector<uint32_t> crcs(w);
  uint32_t crc = 0;
  uint64_t done = 0;
  while (done < covered) {
    const uint64_t batch_start = done;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(w, (covered - done + kCrcChunk - 1) / kCrcChunk));
    for (size_t i = 0; i < n; ++i) {
      bufs[i].resize(static_cast<size_t>(std::min(kCrcChunk, covered - batch_start - i * kCrcChunk)));
      ZARV_TRY(read_exact(src, bufs[i].data(), bufs[i].size()));
    }
    pool.run(n, [&](size_t i) { crcs[i] = crc32c(bufs[i]); });
    for (size_t i = 0; i < n; ++i) crc = crc32c_combine(crc, crcs[i], bufs[i].size());
    done = std::min(covered, batch_start + n * kCrcChunk);
  }
  return crc;
}

Status verify_archive(ByteSource& src, unsigned workers, const std::optional<SecretString>& passphrase) {
  ZARV_ASSIGN(ArchiveHeader header, read_header(src));
  if (header.has_flag(kFlagGlobalReorderLayout)) {
    return ArchiveError::malformed("globally-reordered layout is not supported by this build");
  }
  ZARV_ASSIGN(FooterIndex footer, read_footer(src, header.encrypted()));
  if (header.encrypted() && passphrase) {
    if (!footer.tag) return ArchiveError::malformed("encrypted archive footer has no auth tag");
    ZARV_ASSIGN(std::shared_ptr<const ArchiveKey> key, derive_key(passphrase->view(), *header.encryption));
    ZARV_TRY(check_footer_tag(*key, serialize_footer_for_tag(footer), *footer.tag));
  }
  ZARV_ASSIGN(uint32_t crc, whole_file_crc(src, footer.crc_covered_len, workers));
  if (crc != footer.whole_file_crc) return ArchiveError::corrupt("archive (whole-file crc)");
  return {};
}

}  // namespace zarv
