// Varints, length-prefixed sections and read-length lists.
#include "codecs/entropy/varint.hpp"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace zarv {

namespace {

// A mode-0 list starts with room for a few lengths and grows as varints
// actually arrive, so a forged count costs no more memory than the input can
// back. The cap keeps the first reservation modest whatever the count says.
constexpr uint64_t kMinListReserve = 4;
constexpr uint64_t kMaxListReserve = 1u << 20;
// A run-mode list needs one varint for any count, so its count alone decides
// the allocation: 2^28 lengths (1 GiB) is the most a stream may ask for.
constexpr uint64_t kMaxRunCount = 1u << 28;

}  // namespace

Result<uint64_t> read_varint(ByteCursor& cur) {
  uint64_t value = 0;
  for (unsigned i = 0; i < 10; ++i) {
    if (cur.at_end()) return detail("varint too long");
    const uint8_t byte = cur.u8().value();
    // Byte 9 sits at shift 63, where only its lowest bit fits in a u64.
    value |= static_cast<uint64_t>(byte & 0x7f) << (7 * i);
    if ((byte & 0x80) == 0) return value;
  }
  return detail("varint too long");
}

void write_varint(std::vector<uint8_t>& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

Result<std::span<const uint8_t>> read_section(ByteCursor& cur) {
  ZARV_ASSIGN(const uint64_t len, read_varint(cur));
  return cur.bytes(len, "truncated");
}

void write_section(std::vector<uint8_t>& out, std::span<const uint8_t> body) {
  write_varint(out, body.size());
  out.insert(out.end(), body.begin(), body.end());
}

Result<std::vector<uint32_t>> read_length_list(ByteCursor& cur, const char* mode_short_msg) {
  ZARV_ASSIGN(const uint64_t count, read_varint(cur));
  ZARV_ASSIGN(const uint8_t mode, cur.u8(mode_short_msg));
  std::vector<uint32_t> lengths;
  if (mode == 0) {
    if (count == 0) return lengths;
    try {
      lengths.reserve(static_cast<size_t>(std::min(std::max(count, kMinListReserve), kMaxListReserve)));
      for (uint64_t i = 0; i < count; ++i) {
        ZARV_ASSIGN(const uint64_t v, read_varint(cur));
        lengths.push_back(static_cast<uint32_t>(v));
      }
    } catch (const std::bad_alloc&) {
      return detail("length count too large to allocate");
    } catch (const std::length_error&) {
      return detail("length count too large to allocate");
    }
    return lengths;
  }
  if (count > kMaxRunCount) return detail("length count too large to allocate");
  if (count == 0) return lengths;
  ZARV_ASSIGN(const uint64_t v, read_varint(cur));
  try {
    lengths.assign(static_cast<size_t>(count), static_cast<uint32_t>(v));
  } catch (const std::bad_alloc&) {
    return detail("length count too large to allocate");
  }
  return lengths;
}

void write_length_list(std::vector<uint8_t>& out, std::span<const uint32_t> lengths) {
  write_varint(out, lengths.size());
  const bool run = !lengths.empty() &&
                   std::all_of(lengths.begin(), lengths.end(), [&](uint32_t v) { return v == lengths[0]; });
  out.push_back(run ? 1 : 0);
  if (run) {
    write_varint(out, lengths[0]);
  } else {
    for (uint32_t v : lengths) write_varint(out, v);
  }
}

}  // namespace zarv
