// Helpers of the quality tests: streams laid out byte by byte, and decode
// wrappers that report the outcome as a value.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codecs/entropy/varint.hpp"
#include "codecs/quality/quality.hpp"

namespace zarv::quality_test {

using Bytes = std::vector<uint8_t>;

inline Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }
inline std::string text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// Version 2, tag, mode, alphabet size and alphabet.
inline Bytes stream_head(uint8_t mode, std::string_view alphabet, uint8_t tag = 0) {
  Bytes out(4 + alphabet.size());
  out[0] = 2, out[1] = tag, out[2] = mode, out[3] = static_cast<uint8_t>(alphabet.size());
  std::copy(alphabet.begin(), alphabet.end(), out.begin() + 4);
  return out;
}

// Lengths as layout 0: count, 0, one varint per read.
inline void put_lengths(Bytes& out, const std::vector<uint32_t>& lengths) {
  write_varint(out, lengths.size());
  out.push_back(0);
  for (uint32_t len : lengths) write_varint(out, len);
}

// The decoded qualities as text, failing the test on an error.
inline std::string decode_text(const Bytes& coded, std::optional<std::span<const uint8_t>> bases = std::nullopt) {
  auto r = decode_quality_stream(coded, bases);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? text(r->qualities) : "<error>";
}

// The error message of a decode that must fail.
inline std::string decode_error(const Bytes& coded, std::optional<std::span<const uint8_t>> bases = std::nullopt,
                                const QualityDecodeLimits& limits = {}) {
  auto r = decode_quality_stream(coded, bases, limits);
  if (r.ok()) return "<decoded>";
  EXPECT_EQ(r.error().kind, ErrorKind::Quality);
  return r.error().message();
}

inline QualityEncodeOptions with_mode(QualityContextMode mode, Bytes alphabet = {}, Bytes quantizers = {}) {
  QualityEncodeOptions o;
  o.mode = mode;
  o.alphabet = std::move(alphabet);
  o.quantizers = std::move(quantizers);
  return o;
}
inline QualityEncodeOptions with_mode(uint8_t mode) { return with_mode(static_cast<QualityContextMode>(mode)); }

inline std::string malformed(std::string_view detail) { return "malformed fqzcomp stream: " + std::string(detail); }

}  // namespace zarv::quality_test
