// rANS coder: 32 interleaved lanes, 12-bit frequencies, 16-bit renormalisation.
// One call codes one whole byte string into one self-describing block.
//
// Errors are ArchiveError values of kind Rans whose text is the complete
// message ("malformed rANS stream: truncated stream"); owning codecs re-home them
// with codec_error().
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/result.hpp"

namespace zarv {

// Decodes one complete rANS block; `max_len` bounds the declared output length.
Result<std::vector<uint8_t>> rans_decode(std::span<const uint8_t> in, uint64_t max_len);

// Codes `in` as one block of order 0 or 1. Never fails.
std::vector<uint8_t> rans_encode(std::span<const uint8_t> in, int order);

// Codes with order 0 and order 1 and returns the shorter block (order 0 on a tie).
std::vector<uint8_t> rans_encode_best(std::span<const uint8_t> in);

}  // namespace zarv
