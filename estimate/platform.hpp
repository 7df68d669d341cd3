// Platform detection: which sequencing platform produced a sample, first from
// the shapes of its read names, then from read lengths and quality values.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/header.hpp"
#include "estimate/sample_batch.hpp"

namespace zarv {

// A hint byte of 255 means "no hint"; any lower value is the platform itself.
inline constexpr uint8_t kNoPlatformHint = 255;
// Records whose names (and, failing that, lengths and qualities) are examined.
inline constexpr size_t kPlatformRecordsExamined = 16;

// Gives every name one vote by the first shape it matches (Nanopore identifier,
// Nanopore description keys, PacBio, MGI, Illumina) and returns the winner;
// Unknown when no shape wins. Each name is the record's name, followed by one
// space and its description when it has one.
Platform classify_names(std::span<const std::string_view> names);

// The platform of `batch` (at least one record). A hint below 255 is returned
// unchanged (as a raw byte cast, like the hint the compressing side passes).
Platform detect_platform(uint8_t hint, const SampleBatch& batch);

// The enumeration member name: "Unknown", "Illumina", "Nanopore", "PacBio",
// "MgiBgi".
const char* platform_member_name(Platform p);

}  // namespace zarv
