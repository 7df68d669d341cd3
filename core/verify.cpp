#include "core/verify.hpp"

#include <array>

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
  if (covered <= kCrcChunk) {
    std::vector<uint8_t> buf(static_cast<size_t>(covered));
    ZARV_TRY(read_exact(src, buf.data(), buf.size()));
    return crc32c(buf);
  }
  const unsigned w = std::max(1u, workers);
  ThreadPool pool(w);
  std::vector<std::vector<uint8_t>> chunks;
  std::vector<uint32_t> crcs;
  uint32_t crc = 0;
  uint64_t left = covered;
  while (left > 0) {
    chunks.clear();
    while (chunks.size() < w && left > 0) {
      const size_t n = static_cast<size_t>(std::min(kCrcChunk, left));
      std::vector<uint8_t> chunk(n);
      ZARV_TRY(read_exact(src, chunk.data(), n));
      chunks.push_back(std::move(chunk));
      left -= n;
    }
    crcs.assign(chunks.size(), 0);
    pool.run(chunks.size(), [&](size_t i) { crcs[i] = crc32c(chunks[i]); });
    for (size_t i = 0; i < chunks.size(); ++i) crc = crc32c_combine(crc, crcs[i], chunks[i].size());
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
