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
  const unsigned w = std::max(1u, workers);
  ThreadPool pool(w);
  auto* file = dynamic_cast<FileSource*>(&src);
  // Each worker computes one chunk's CRC: straight from memory for an
  // in-memory archive, read with a positional read of its own for a file
  // (so reading is spread over the workers too), else read here in order.
  // At most W chunks are held at once; the CRCs are folded in file order.
  std::vector<std::vector<uint8_t>> chunks(w);
  std::vector<uint32_t> crcs(w);
  std::vector<std::optional<ArchiveError>> errors(w);
  uint32_t crc = 0;
  uint64_t done = 0;
  while (done < covered) {
    const uint64_t batch_start = done;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(w, (covered - done + kCrcChunk - 1) / kCrcChunk));
    auto chunk_len = [&](size_t i) {
      return static_cast<size_t>(std::min(kCrcChunk, covered - batch_start - i * kCrcChunk));
    };
    if (!memory && !file) {
      for (size_t i = 0; i < n; ++i) {
        chunks[i].resize(chunk_len(i));
        ZARV_TRY(read_exact(src, chunks[i].data(), chunks[i].size()));
      }
    }
    pool.run(n, [&](size_t i) {
      const uint64_t at = batch_start + i * kCrcChunk;
      const size_t len = chunk_len(i);
      if (memory) {
        crcs[i] = crc32c(memory->bytes().subspan(static_cast<size_t>(at), len));
        return;
      }
      if (file) {
        chunks[i].resize(len);
        auto got = file->pread(chunks[i].data(), len, at);
        if (!got.ok()) {
          errors[i] = std::move(got).error();
          return;
        }
        if (*got != len) {
          errors[i] = ArchiveError::truncated();
          return;
        }
      }
      crcs[i] = crc32c(chunks[i]);
    });
    for (size_t i = 0; i < n; ++i) {
      if (errors[i]) return *std::move(errors[i]);
      crc = crc32c_combine(crc, crcs[i], chunk_len(i));
    }
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
