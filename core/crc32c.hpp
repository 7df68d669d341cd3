// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78, initial and final XOR
// 0xFFFFFFFF): the checksum of every stored-byte integrity check of the format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zarv {

// Byte-at-a-time over one 256-entry table: the reference definition.
uint32_t crc32c_reference(std::span<const uint8_t> data);

// Same result, eight bytes per step: the processor's CRC-32C instruction when
// it has one (selected at run time), else slicing-by-8.
uint32_t crc32c(std::span<const uint8_t> data);

// The table-only eight-bytes-per-step path, whatever the processor.
uint32_t crc32c_sliced(std::span<const uint8_t> data);

// Continues a CRC: crc32c_update(crc32c(a), b) == crc32c(a ++ b).
uint32_t crc32c_update(uint32_t crc, std::span<const uint8_t> data);

}  // namespace zarv
