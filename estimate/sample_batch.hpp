// SampleBatch: the leading sample of one FASTQ source, built by sampling and
// read by platform detection and the size models.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace zarv {

struct SampleBatch {
  // Every record's name, each followed (when its description is non-empty) by
  // one space and the description; no separators between records.
  std::vector<uint8_t> names;
  // For record i, the length of `names` after record i was appended.
  std::vector<uint32_t> name_ends;
  std::vector<uint32_t> read_lengths;  // sequence length of each record
  std::vector<uint8_t> bases;          // all sequences, concatenated
  std::vector<uint8_t> qualities;      // all quality strings, concatenated
  uint64_t raw_bytes = 0;              // the sample's size as canonical FASTQ
  bool exhausted = false;              // input ended before the read cap

  size_t records() const { return name_ends.size(); }
  // Name i (with its description), as stored.
  std::string_view name(size_t i) const {
    const size_t start = i == 0 ? 0 : name_ends[i - 1];
    return {reinterpret_cast<const char*>(names.data()) + start, name_ends[i] - start};
  }
};

}  // namespace zarv
