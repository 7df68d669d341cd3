// Random access through the footer index: one whole row group, or one column
// (names, sequences or qualities) of chosen row groups, each stream checked
// against its footer CRC-32C; and the decoders of a fetched coded column.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/block.hpp"
#include "core/byte_source.hpp"
#include "core/footer.hpp"
#include "core/result.hpp"

namespace zarv {

// Header checks (refusing the reordered layout, then encrypted archives) and
// the footer, parsed as unencrypted. The source must be seekable.
Result<FooterIndex> open_random_access(ByteSource& src);

// All records of row group `group`, decoded with every stream and digest.
Result<std::vector<Record>> read_group(ByteSource& src, const FooterIndex& index, uint64_t group);

// One value per read: the column of the given groups (all of them, in order,
// when `groups` is empty), in the order given.
using ColumnValues = std::vector<std::string>;
Result<ColumnValues> read_column(ByteSource& src, const FooterIndex& index, StreamKind kind,
                                 const std::optional<std::vector<uint64_t>>& groups);

// "row group {g} {Names|Sequence|Quality} stream"
std::string stream_section(uint64_t group, StreamKind kind);

// Decoders of one fetched coded stream, no archive context.
Result<ColumnValues> decode_names_column(std::span<const uint8_t> coded);
Result<ColumnValues> decode_sequences_column(std::span<const uint8_t> coded);
Result<ColumnValues> decode_qualities_column(std::span<const uint8_t> coded, std::span<const uint8_t> bases);

}  // namespace zarv
