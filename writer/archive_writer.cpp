#include "writer/archive_writer.hpp"

#include <argon2.h>
#include <sodium.h>

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/names/names.hpp"
#include "codecs/sequence/sequence.hpp"
#include "core/block.hpp"
#include "core/crc32c.hpp"
#include "crypto/crypto.hpp"

namespace zarv::writer {

Result<Bytes> make_payload(std::span<const Read> reads, const BlockOptions& opts) {
  NameList names;
  std::vector<uint32_t> lengths;
  Bytes bases, quals;
  lengths.reserve(reads.size());
  for (const Read& r : reads) {
    if (r.sequence.size() != r.quality.size()) return ArchiveError::invalid_fastq(r.sequence.size(), r.quality.size());
    names.push_back(r.name);
    lengths.push_back(static_cast<uint32_t>(r.sequence.size()));
    bases.insert(bases.end(), r.sequence.begin(), r.sequence.end());
    quals.insert(quals.end(), r.quality.begin(), r.quality.end());
  }
  Bytes names_coded = encode_names(names);
  ZARV_ASSIGN(Bytes seq_coded, encode_sequence_stream(lengths, bases, fit_nucleotide_params(opts.sequence, bases.size())));
  // The quality encoder bins the qualities it codes; the digest covers what
  // the decoder will return, so bin before hashing.
  Bytes stored_quals = quals;
  bin_qualities(opts.quality.binning, stored_quals);
  ZARV_ASSIGN(Bytes qual_coded, encode_quality_stream(lengths, quals, std::span<const uint8_t>(bases), opts.quality));

  Bytes out;
  put_le64(out, names_digest(names));
  put_le64(out, column_digest(lengths, bases));
  put_le64(out, column_digest(lengths, stored_quals));
  put_le32(out, static_cast<uint32_t>(reads.size()));
  for (const Bytes* s : {&names_coded, &seq_coded, &qual_coded}) {
    put_le32(out, static_cast<uint32_t>(s->size()));
    out.insert(out.end(), s->begin(), s->end());
  }
  return out;
}

Bytes seal_block(std::span<const uint8_t> payload, const std::array<uint8_t, 32>& key,
                 const std::array<uint8_t, 16>& archive_id, uint64_t index) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium failed to initialise");
  const auto nonce = unit_nonce(archive_id, index);
  const auto ad = unit_associated_data("ZARVBLK1", archive_id, index);
  Bytes out(payload.size() + kSealTagLen);
  unsigned long long len = 0;
  crypto_aead_chacha20poly1305_ietf_encrypt(out.data(), &len, payload.data(), payload.size(), ad.data(), ad.size(),
                                            nullptr, nonce.data(), key.data());
  out.resize(len);
  return out;
}

namespace {

std::array<uint8_t, 16> footer_tag(const std::array<uint8_t, 32>& key, const std::array<uint8_t, 16>& id,
                                   std::span<const uint8_t> body) {
  const auto nonce = unit_nonce(id, kFooterIndex);
  Bytes ad = {'Z', 'A', 'R', 'V', 'F', 'T', 'R', '1'};
  ad.insert(ad.end(), id.begin(), id.end());
  ad.insert(ad.end(), body.begin(), body.end());
  std::array<uint8_t, 16> tag{};
  unsigned long long tlen = 0;
  uint8_t none = 0;
  crypto_aead_chacha20poly1305_ietf_encrypt_detached(&none, tag.data(), &tlen, &none, 0, ad.data(), ad.size(),
                                                     nullptr, nonce.data(), key.data());
  return tag;
}

}  // namespace

Result<Bytes> write_archive(std::span<const Read> reads, const ArchiveOptions& opts) {
  HeaderSpec header = opts.header;
  std::array<uint8_t, 32> key{};
  if (opts.encryption) {
    const EncryptionOptions& e = *opts.encryption;
    EncryptionFields f;
    f.salt = e.salt;
    f.archive_id = e.archive_id;
    f.m_cost = e.m_cost;
    f.t_cost = e.t_cost;
    f.lanes = e.lanes;
    const EncryptionParams params = f.serialize();
    header.required_features |= kFeatureEncrypted;
    header.extensions.push_back({kExtEncryption, Bytes(params.begin(), params.end())});
    if (argon2id_hash_raw(e.t_cost, e.m_cost, e.lanes, e.passphrase.data(), e.passphrase.size(), e.salt.data(),
                          e.salt.size(), key.data(), key.size()) != ARGON2_OK) {
      return ArchiveError::nested(ErrorKind::Crypto, "key derivation failed: writer parameters");
    }
  }
  std::vector<uint32_t> sizes = opts.block_reads;
  if (sizes.empty() && !reads.empty()) sizes.push_back(static_cast<uint32_t>(reads.size()));

  Bytes out = build_header(header);
  FooterSpec footer;
  size_t next = 0;
  for (size_t b = 0; b < sizes.size(); ++b) {
    if (next + sizes[b] > reads.size()) return ArchiveError::malformed("block sizes exceed the reads given");
    const BlockOptions& bo = b < opts.per_block.size() ? opts.per_block[b] : opts.block;
    ZARV_ASSIGN(Bytes payload, make_payload(reads.subspan(next, sizes[b]), bo));
    next += sizes[b];
    const uint64_t at = out.size();
    GroupLoc g;
    if (opts.encryption) {
      // A sealed block's streams cannot be located without the key: the first
      // stream slot holds the sealed extent, the others are empty.
      Bytes sealed = seal_block(payload, key, opts.encryption->archive_id, b);
      g.block_offset = at;
      g.streams[0] = {at + kBlockFrameHeaderLen, static_cast<uint32_t>(sealed.size()), crc32c(sealed)};
      g.streams[1] = {at, 0, 0};
      g.streams[2] = {at, 0, 0};
      append_block_frame(out, sealed);
    } else {
      g = locate_streams(at, payload);
      append_block_frame(out, payload);
    }
    g.read_count = sizes[b];
    footer.groups.push_back(g);
    footer.total_reads += sizes[b];
  }
  if (opts.end_frame) append_end_frame(out);
  if (opts.encryption) {
    // The tag covers the footer body before it, which ends with the CRC of
    // everything before that CRC: build the body once without the tag to get it.
    Bytes probe = out;
    append_footer(probe, footer);
    FooterIndex parsed;
    parsed.groups = footer.groups;
    parsed.total_reads = footer.total_reads;
    const size_t body_len = 4 + kFooterEntryLen * footer.groups.size() + 8;
    parsed.whole_file_crc = crc32c(std::span<const uint8_t>(probe).first(out.size() + body_len));
    footer.whole_file_crc = parsed.whole_file_crc;
    footer.tag = footer_tag(key, opts.encryption->archive_id, serialize_footer_for_tag(parsed));
  }
  append_footer(out, footer);
  sodium_memzero(key.data(), key.size());
  return out;
}

}  // namespace zarv::writer
