// Varints (unsigned LEB128, at most 10 bytes), length-prefixed sections and
// read-length lists: the framing every coded stream shares. Failures are bare
// details ("varint too long", "truncated", "length count too large to
// allocate") for the owning codec to wrap.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codecs/entropy/byte_cursor.hpp"
#include "core/result.hpp"

namespace zarv {

Result<uint64_t> read_varint(ByteCursor& cur);
void write_varint(std::vector<uint8_t>& out, uint64_t value);

// A varint length L followed by exactly L bytes, returned without copying.
Result<std::span<const uint8_t>> read_section(ByteCursor& cur);
void write_section(std::vector<uint8_t>& out, std::span<const uint8_t> body);

// count varint, mode byte, lengths. `mode_short_msg` is the caller's text for
// an input that ends before the mode byte.
Result<std::vector<uint32_t>> read_length_list(ByteCursor& cur, const char* mode_short_msg);
// Writes run mode (1) when all lengths are equal and there is at least one,
// otherwise mode 0.
void write_length_list(std::vector<uint8_t>& out, std::span<const uint32_t> lengths);

}  // namespace zarv
