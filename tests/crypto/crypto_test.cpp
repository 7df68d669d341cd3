#include "crypto/crypto.hpp"

#include <algorithm>
#include <argon2.h>
#include <gtest/gtest.h>
#include <sodium.h>

#include <cstring>

namespace zarv {
namespace {

EncryptionFields fields(uint32_t m = 64, uint32_t t = 1, uint8_t lanes = 1) {
  EncryptionFields f;
  for (int i = 0; i < 16; ++i) {
    f.salt[i] = static_cast<uint8_t>(0xA0 + i);
    f.archive_id[i] = static_cast<uint8_t>(0x10 + i);
  }
  f.m_cost = m;
  f.t_cost = t;
  f.lanes = lanes;
  return f;
}

std::string derive_error(const EncryptionFields& f, std::string_view pw = "pw") {
  auto k = derive_key(pw, f.serialize());
  return k.ok() ? "ok" : k.error().message();
}

TEST(Crypto, ParametersLayout) {
  EncryptionFields f = fields(0x01020304, 0x0A0B0C0D, 3);
  EncryptionParams p = f.serialize();
  EXPECT_EQ(p[0], 1);
  EXPECT_EQ(p[1], 0xA0);
  EXPECT_EQ(p[17], 0x10);
  EXPECT_EQ(p[33], 0x04);  // m_cost little-endian at 33
  EXPECT_EQ(p[36], 0x01);
  EXPECT_EQ(p[37], 0x0D);  // t_cost at 37
  EXPECT_EQ(p[41], 3);
  EncryptionFields back = EncryptionFields::parse(p);
  EXPECT_EQ(back.m_cost, f.m_cost);
  EXPECT_EQ(back.t_cost, f.t_cost);
  EXPECT_EQ(back.archive_id, f.archive_id);
}

TEST(Crypto, KeyEqualsArgon2idComputedDirectly) {
  for (std::string pw : {std::string("correct horse"), std::string(), std::string("p\xC3\xA4ss")}) {
    EncryptionFields f = fields(256, 2, 2);
    auto key = derive_key(pw, f.serialize());
    ASSERT_TRUE(key.ok()) << key.error().message();
    uint8_t direct[32];
    ASSERT_EQ(argon2id_hash_raw(2, 256, 2, pw.data(), pw.size(), f.salt.data(), 16, direct, 32), ARGON2_OK);
    EXPECT_EQ(std::memcmp((*key)->key(), direct, 32), 0);
    EXPECT_EQ((*key)->archive_id(), f.archive_id);
  }
}

TEST(Crypto, DerivationParameterErrors) {
  EXPECT_EQ(derive_error(fields(64, 1, 0)), "key derivation failed: not enough threads");
  EXPECT_EQ(derive_error(fields(7, 1, 1)), "key derivation failed: memory cost is too small");
  EXPECT_EQ(derive_error(fields(15, 1, 2)), "key derivation failed: memory cost is too small");
  EXPECT_EQ(derive_error(fields(16, 0, 2)), "key derivation failed: time cost is too small");
  EXPECT_EQ(derive_error(fields(8, 1, 1), ""), "ok");
  // A memory cost no machine here can hold is refused, not attempted.
  EXPECT_EQ(derive_error(fields(0xFFFFFFFFu, 1, 1)), "key derivation failed: out of memory");
}

// The unit layout, written out byte by byte here rather than with the helpers:
// nonce = first 4 bytes of the archive id + 8-byte little-endian index;
// associated data = 8-byte label + archive id + `tail`.
std::array<uint8_t, 8> le64(uint64_t v) {
  std::array<uint8_t, 8> b;
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  return b;
}
std::vector<uint8_t> seal(const ArchiveKey& k, const EncryptionFields& f, std::string_view label, uint64_t index,
                          std::span<const uint8_t> tail, const std::vector<uint8_t>& msg) {
  std::array<uint8_t, 12> nonce{};
  std::memcpy(nonce.data(), f.archive_id.data(), 4);
  std::memcpy(nonce.data() + 4, le64(index).data(), 8);
  std::vector<uint8_t> ad(label.begin(), label.end());
  ad.insert(ad.end(), f.archive_id.begin(), f.archive_id.end());
  ad.insert(ad.end(), tail.begin(), tail.end());
  std::vector<uint8_t> out(msg.size() + 16);
  unsigned long long clen = 0;
  EXPECT_GE(sodium_init(), 0);
  crypto_aead_chacha20poly1305_ietf_encrypt(out.data(), &clen, msg.data(), msg.size(), ad.data(), ad.size(), nullptr,
                                            nonce.data(), k.key());
  out.resize(clen);
  return out;
}
std::vector<uint8_t> seal_unit(const ArchiveKey& k, const EncryptionFields& f, std::string_view label, uint64_t index,
                               const std::vector<uint8_t>& msg) {
  return seal(k, f, label, index, le64(index), msg);
}

TEST(Crypto, SealedBlocksAndReferenceFrame) {
  EncryptionFields f = fields();
  auto key = derive_key("secret", f.serialize());
  ASSERT_TRUE(key.ok());
  const ArchiveKey& k = **key;
  std::vector<uint8_t> msg = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  const std::string failed = "decryption failed: wrong passphrase, or the data is corrupted or tampered";

  auto sealed = seal_unit(k, f, "ZARVBLK1", 7, msg);
  auto opened = open_block(k, 7, sealed);
  ASSERT_TRUE(opened.ok()) << opened.error().message();
  EXPECT_EQ(*opened, msg);
  EXPECT_EQ(open_block(k, 6, sealed).error().message(), failed);  // moved block
  // In place: the payload ends up in front of the (untouched) tag.
  std::vector<uint8_t> in_place = sealed;
  EXPECT_EQ(open_block_in_place(k, 6, in_place).error().message(), failed);
  in_place = sealed;
  auto view = open_block_in_place(k, 7, in_place);
  ASSERT_TRUE(view.ok());
  EXPECT_EQ(view->data(), in_place.data());
  EXPECT_EQ(std::vector<uint8_t>(view->begin(), view->end()), msg);
  EXPECT_TRUE(std::equal(in_place.begin() + 9, in_place.end(), sealed.begin() + 9));
  EXPECT_EQ(open_global_reference(k, sealed).error().message(), failed);
  // Another passphrase gives another key.
  auto other = derive_key("Secret", f.serialize());
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(open_block(**other, 7, sealed).error().message(), failed);
  sealed[3] ^= 1;
  EXPECT_EQ(open_block(k, 7, sealed).error().message(), failed);

  auto ref = seal_unit(k, f, "ZARVGRF1", 0xFFFFFFFFFFFFFFFEull, msg);
  ASSERT_TRUE(open_global_reference(k, ref).ok());
  EXPECT_EQ(open_block(k, 0xFFFFFFFFFFFFFFFEull, ref).error().message(), failed);  // label is bound too

  // 16 bytes: an empty message if the tag verifies; 15 bytes never opens.
  auto empty = seal_unit(k, f, "ZARVBLK1", 0, {});
  ASSERT_EQ(empty.size(), 16u);
  auto e = open_block(k, 0, empty);
  ASSERT_TRUE(e.ok());
  EXPECT_TRUE(e->empty());
  empty.pop_back();
  EXPECT_EQ(open_block(k, 0, empty).error().kind, ErrorKind::Crypto);
  EXPECT_EQ(open_block_in_place(k, 0, empty).error().message(), failed);
}

TEST(Crypto, FooterTag) {
  EncryptionFields f = fields();
  auto key = derive_key("secret", f.serialize());
  ASSERT_TRUE(key.ok());
  FooterIndex idx;
  GroupLoc g;
  g.block_offset = 67;
  g.read_count = 3;
  g.streams[0] = {83, 100, 0xDEADBEEF};
  idx.groups = {g};
  idx.total_reads = 3;
  idx.whole_file_crc = 0x12345678;
  std::vector<uint8_t> body = serialize_footer_for_tag(idx);
  ASSERT_EQ(body.size(), 16u + 60u);
  EXPECT_EQ(body[0], 1);              // group count
  EXPECT_EQ(body[4], 67);             // first block offset
  EXPECT_EQ(body[4 + 60 + 8], 0x78);  // whole-file CRC after total reads
  // Nonce index all ones; the footer body is the associated data's tail.
  auto tag = seal(**key, f, "ZARVFTR1", ~uint64_t{0}, body, {});
  ASSERT_EQ(tag.size(), 16u);
  std::span<const uint8_t, 16> t(tag.data(), 16);
  EXPECT_TRUE(check_footer_tag(**key, body, t).ok());
  body[10] ^= 1;
  EXPECT_EQ(check_footer_tag(**key, body, t).error().kind, ErrorKind::Crypto);
}

}  // namespace
}  // namespace zarv
