// ByteCursor: a borrowed byte span and a position. The only place coded streams
// are sliced: every read checks the remaining length first, so a short stream
// can never be read past its end.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "core/result.hpp"

namespace zarv {

class ByteCursor {
 public:
  explicit ByteCursor(std::span<const uint8_t> data) : data_(data) {}

  size_t pos() const { return pos_; }
  size_t size() const { return data_.size(); }
  size_t remaining() const { return data_.size() - pos_; }
  bool at_end() const { return pos_ >= data_.size(); }
  std::span<const uint8_t> rest() const { return data_.subspan(pos_); }
  std::span<const uint8_t> data() const { return data_; }

  // Each reader fails with the caller's bare detail text when too few bytes remain.
  Result<uint8_t> u8(const char* short_msg = "truncated") {
    if (remaining() < 1) return detail(short_msg);
    return data_[pos_++];
  }
  Result<uint16_t> u16(const char* short_msg = "truncated") { return le<uint16_t>(short_msg); }
  Result<uint32_t> u32(const char* short_msg = "truncated") { return le<uint32_t>(short_msg); }
  Result<uint64_t> u64(const char* short_msg = "truncated") { return le<uint64_t>(short_msg); }

  // The next n bytes, without copying.
  Result<std::span<const uint8_t>> bytes(uint64_t n, const char* short_msg = "truncated") {
    if (n > remaining()) return detail(short_msg);
    auto out = data_.subspan(pos_, static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    return out;
  }
  Status skip(uint64_t n, const char* short_msg = "truncated") {
    if (n > remaining()) return detail(short_msg);
    pos_ += static_cast<size_t>(n);
    return {};
  }

 private:
  template <class T>
  Result<T> le(const char* short_msg) {
    if (remaining() < sizeof(T)) return detail(short_msg);
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<T>(data_[pos_ + i]) << (8 * i));
    pos_ += sizeof(T);
    return v;
  }

  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

// Little-endian loads and stores on raw memory (caller has checked the bounds).
inline uint16_t load_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t load_le64(const uint8_t* p) { return uint64_t(load_le32(p)) | (uint64_t(load_le32(p + 4)) << 32); }
template <class Vec>
inline void put_le16(Vec& out, uint16_t v) {
  out.push_back(uint8_t(v)); out.push_back(uint8_t(v >> 8));
}
template <class Vec>
inline void put_le32(Vec& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}
template <class Vec>
inline void put_le64(Vec& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

}  // namespace zarv
