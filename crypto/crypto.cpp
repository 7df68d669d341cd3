#include "crypto/crypto.hpp"

#include <argon2.h>
#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "codecs/entropy/byte_cursor.hpp"

namespace zarv {
namespace {

ArchiveError derivation_failed(const char* why) {
  return ArchiveError::nested(ErrorKind::Crypto, std::string("key derivation failed: ") + why);
}

// Memory this process could get right now, in bytes (MemAvailable), or 0 when
// unknown. A memory cost above it is refused rather than attempted: with
// overcommit the allocation would succeed and the kernel would kill the
// process while Argon2 fills the pages.
uint64_t available_memory() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  uint64_t kib;
  std::string unit;
  while (in >> key >> kib) {
    std::getline(in, unit);
    if (key == "MemAvailable:") return kib * 1024;
  }
  return 0;
}

bool ensure_sodium() { return sodium_init() >= 0; }

}  // namespace

ArchiveError decryption_failed() {
  return ArchiveError::nested(ErrorKind::Crypto,
                              "decryption failed: wrong passphrase, or the data is corrupted or tampered");
}

EncryptionFields EncryptionFields::parse(const EncryptionParams& p) {
  EncryptionFields f;
  f.version = p[0];
  std::memcpy(f.salt.data(), &p[1], 16);
  std::memcpy(f.archive_id.data(), &p[17], 16);
  f.m_cost = load_le32(&p[33]);
  f.t_cost = load_le32(&p[37]);
  f.lanes = p[41];
  return f;
}

EncryptionParams EncryptionFields::serialize() const {
  EncryptionParams p{};
  p[0] = version;
  std::memcpy(&p[1], salt.data(), 16);
  std::memcpy(&p[17], archive_id.data(), 16);
  for (int i = 0; i < 4; ++i) {
    p[33 + i] = static_cast<uint8_t>(m_cost >> (8 * i));
    p[37 + i] = static_cast<uint8_t>(t_cost >> (8 * i));
  }
  p[41] = lanes;
  return p;
}

ArchiveKey::ArchiveKey(const std::array<uint8_t, kKeyLen>& key, const std::array<uint8_t, kArchiveIdLen>& id)
    : key_(key), id_(id) {}

ArchiveKey::~ArchiveKey() { sodium_memzero(key_.data(), key_.size()); }

Result<std::shared_ptr<const ArchiveKey>> derive_key(std::string_view passphrase,
                                                     const EncryptionParams& params) {
  const EncryptionFields f = EncryptionFields::parse(params);
  if (f.m_cost < 8 || uint64_t{f.m_cost} < 8ull * f.lanes) return derivation_failed("memory cost is too small");
  if (f.lanes == 0) return derivation_failed("not enough threads");
  if (f.t_cost == 0) return derivation_failed("time cost is too small");
  if (passphrase.size() > 0xFFFFFFFFull) return derivation_failed("password is too long");
  const uint64_t avail = available_memory();
  if (avail != 0 && uint64_t{f.m_cost} * 1024 > avail) return derivation_failed("out of memory");
  if (!ensure_sodium()) return derivation_failed("crypto library failed to initialise");

  // Argon2 wipes its copy of the password and its working memory; the copy
  // is ours so the caller's buffer stays untouched.
  std::vector<uint8_t> pwd(passphrase.begin(), passphrase.end());
  std::array<uint8_t, kKeyLen> out{};
  std::array<uint8_t, 16> salt = f.salt;
  argon2_context ctx{};
  ctx.out = out.data();
  ctx.outlen = kKeyLen;
  ctx.pwd = pwd.empty() ? nullptr : pwd.data();
  ctx.pwdlen = static_cast<uint32_t>(pwd.size());
  ctx.salt = salt.data();
  ctx.saltlen = static_cast<uint32_t>(salt.size());
  ctx.t_cost = f.t_cost;
  ctx.m_cost = f.m_cost;
  ctx.lanes = f.lanes;
  ctx.threads = f.lanes;
  ctx.version = ARGON2_VERSION_13;
  ctx.flags = ARGON2_FLAG_CLEAR_PASSWORD | ARGON2_FLAG_CLEAR_SECRET;
  const int rc = argon2_ctx(&ctx, Argon2_id);
  sodium_memzero(pwd.data(), pwd.size());
  if (rc != ARGON2_OK) {
    sodium_memzero(out.data(), out.size());
    switch (rc) {
      case ARGON2_MEMORY_ALLOCATION_ERROR: return derivation_failed("out of memory");
      case ARGON2_MEMORY_TOO_LITTLE: return derivation_failed("memory cost is too small");
      case ARGON2_LANES_TOO_FEW:
      case ARGON2_THREADS_TOO_FEW: return derivation_failed("not enough threads");
      case ARGON2_TIME_TOO_SMALL: return derivation_failed("time cost is too small");
      case ARGON2_PWD_TOO_LONG: return derivation_failed("password is too long");
      default: return derivation_failed(argon2_error_message(rc));
    }
  }
  auto key = std::make_shared<const ArchiveKey>(out, f.archive_id);
  sodium_memzero(out.data(), out.size());
  return std::shared_ptr<const ArchiveKey>(std::move(key));
}

std::array<uint8_t, kNonceLen> unit_nonce(const std::array<uint8_t, kArchiveIdLen>& id, uint64_t index) {
  std::array<uint8_t, kNonceLen> n{};
  std::memcpy(n.data(), id.data(), 4);
  for (int i = 0; i < 8; ++i) n[4 + i] = static_cast<uint8_t>(index >> (8 * i));
  return n;
}

std::array<uint8_t, 32> unit_associated_data(const char (&label)[9], const std::array<uint8_t, kArchiveIdLen>& id,
                                             uint64_t index) {
  std::array<uint8_t, 32> ad{};
  std::memcpy(ad.data(), label, 8);
  std::memcpy(ad.data() + 8, id.data(), 16);
  for (int i = 0; i < 8; ++i) ad[24 + i] = static_cast<uint8_t>(index >> (8 * i));
  return ad;
}

namespace {

// Checks the tag of `sealed` (ciphertext, then the tag), then writes the
// plaintext to `out`, which may be sealed.data() itself; `out` is cleared
// when the tag does not verify.
Status open_unit(const ArchiveKey& key, const char (&label)[9], uint64_t index, std::span<const uint8_t> sealed,
                 uint8_t* out) {
  if (sealed.size() < kSealTagLen || !ensure_sodium()) return decryption_failed();
  const size_t clen = sealed.size() - kSealTagLen;
  const auto nonce = unit_nonce(key.archive_id(), index);
  const auto ad = unit_associated_data(label, key.archive_id(), index);
  if (crypto_aead_chacha20poly1305_ietf_decrypt_detached(out, nullptr, sealed.data(), clen, sealed.data() + clen,
                                                         ad.data(), ad.size(), nonce.data(), key.key()) != 0) {
    return decryption_failed();
  }
  return {};
}

Result<std::vector<uint8_t>> open_unit_copy(const ArchiveKey& key, const char (&label)[9], uint64_t index,
                                            std::span<const uint8_t> sealed) {
  std::vector<uint8_t> plain(sealed.size() < kSealTagLen ? 0 : sealed.size() - kSealTagLen);
  ZARV_TRY(open_unit(key, label, index, sealed, plain.data()));
  return plain;
}

}  // namespace

Result<std::vector<uint8_t>> open_block(const ArchiveKey& key, uint64_t index, std::span<const uint8_t> sealed) {
  return open_unit_copy(key, "ZARVBLK1", index, sealed);
}

Result<std::span<const uint8_t>> open_block_in_place(const ArchiveKey& key, uint64_t index,
                                                     std::span<uint8_t> sealed) {
  ZARV_TRY(open_unit(key, "ZARVBLK1", index, sealed, sealed.data()));
  return std::span<const uint8_t>(sealed.first(sealed.size() - kSealTagLen));
}

Result<std::vector<uint8_t>> open_global_reference(const ArchiveKey& key, std::span<const uint8_t> sealed) {
  return open_unit_copy(key, "ZARVGRF1", kGlobalReferenceIndex, sealed);
}

Status check_footer_tag(const ArchiveKey& key, std::span<const uint8_t> body_before_tag,
                        std::span<const uint8_t, kSealTagLen> tag) {
  if (!ensure_sodium()) return decryption_failed();
  const auto nonce = unit_nonce(key.archive_id(), kFooterIndex);
  std::vector<uint8_t> ad;
  ad.reserve(24 + body_before_tag.size());
  ad.insert(ad.end(), {'Z', 'A', 'R', 'V', 'F', 'T', 'R', '1'});
  ad.insert(ad.end(), key.archive_id().begin(), key.archive_id().end());
  ad.insert(ad.end(), body_before_tag.begin(), body_before_tag.end());
  // An empty message: the tag authenticates the associated data alone. The
  // library wants non-null buffers even for zero lengths.
  uint8_t none = 0;
  if (crypto_aead_chacha20poly1305_ietf_decrypt_detached(&none, nullptr, &none, 0, tag.data(), ad.data(),
                                                         ad.size(), nonce.data(), key.key()) != 0) {
    return decryption_failed();
  }
  return {};
}

std::vector<uint8_t> serialize_footer_for_tag(const FooterIndex& index) {
  std::vector<uint8_t> out;
  put_le32(out, static_cast<uint32_t>(index.groups.size()));
  append_footer_entries(out, index.groups);
  put_le64(out, index.total_reads);
  put_le32(out, index.whole_file_crc);
  return out;
}

}  // namespace zarv
