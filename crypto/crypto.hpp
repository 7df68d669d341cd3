// Passphrase encryption: Argon2id key derivation from the header's parameters,
// and the opening of sealed units (ChaCha20-Poly1305, RFC 8439) whose nonce and
// associated data bind each unit to its archive and its position.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "core/footer.hpp"
#include "core/header.hpp"
#include "core/result.hpp"

namespace zarv {

inline constexpr size_t kKeyLen = 32;
inline constexpr size_t kArchiveIdLen = 16;
inline constexpr size_t kSealTagLen = 16;
inline constexpr size_t kNonceLen = 12;
inline constexpr uint64_t kGlobalReferenceIndex = 0xFFFFFFFFFFFFFFFEull;
inline constexpr uint64_t kFooterIndex = 0xFFFFFFFFFFFFFFFFull;

// The fields of the 42-byte encryption parameters.
struct EncryptionFields {
  uint8_t version = 1;
  std::array<uint8_t, 16> salt{};
  std::array<uint8_t, kArchiveIdLen> archive_id{};
  uint32_t m_cost = 0;  // KiB
  uint32_t t_cost = 0;  // passes
  uint8_t lanes = 0;

  static EncryptionFields parse(const EncryptionParams& params);
  EncryptionParams serialize() const;
};

// The derived key and the archive id it belongs to. Shared read-only by the
// workers of one call; the key bytes are wiped when it is destroyed.
class ArchiveKey {
 public:
  ArchiveKey(const std::array<uint8_t, kKeyLen>& key, const std::array<uint8_t, kArchiveIdLen>& id);
  ~ArchiveKey();
  ArchiveKey(const ArchiveKey&) = delete;
  ArchiveKey& operator=(const ArchiveKey&) = delete;

  const uint8_t* key() const { return key_.data(); }
  const std::array<uint8_t, kArchiveIdLen>& archive_id() const { return id_; }

 private:
  std::array<uint8_t, kKeyLen> key_;
  std::array<uint8_t, kArchiveIdLen> id_;
};

// Argon2id (version 0x13) to 32 bytes. Errors: "key derivation failed: {}".
Result<std::shared_ptr<const ArchiveKey>> derive_key(std::string_view passphrase,
                                                     const EncryptionParams& params);

// Opens sealed block `index` (ciphertext followed by the 16-byte tag).
Result<std::vector<uint8_t>> open_block(const ArchiveKey& key, uint64_t index,
                                        std::span<const uint8_t> sealed);
// The same, decrypting over the ciphertext: the payload is the returned
// prefix of `sealed`. On failure the ciphertext is gone (cleared).
Result<std::span<const uint8_t>> open_block_in_place(const ArchiveKey& key, uint64_t index,
                                                     std::span<uint8_t> sealed);
// Opens the sealed global reference frame body.
Result<std::vector<uint8_t>> open_global_reference(const ArchiveKey& key, std::span<const uint8_t> sealed);
// Verifies the footer's tag over the footer body bytes that precede it.
Status check_footer_tag(const ArchiveKey& key, std::span<const uint8_t> body_before_tag,
                        std::span<const uint8_t, kSealTagLen> tag);
// The footer body from its start through the whole-file CRC, as parsed.
std::vector<uint8_t> serialize_footer_for_tag(const FooterIndex& index);

// Nonce and associated data of a sealed unit: the label is "ZARVBLK1" for
// blocks, "ZARVGRF1" for the global reference frame.
std::array<uint8_t, kNonceLen> unit_nonce(const std::array<uint8_t, kArchiveIdLen>& id, uint64_t index);
std::array<uint8_t, 32> unit_associated_data(const char (&label)[9],
                                             const std::array<uint8_t, kArchiveIdLen>& id, uint64_t index);

// The decryption failure, shared by every sealed unit.
ArchiveError decryption_failed();

}  // namespace zarv
