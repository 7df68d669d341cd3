// Sampling: reads the leading records of one FASTQ source (plain, gzip or
// BGZF) into a SampleBatch, stopping at a read cap or at a ceiling on the
// sample's bases. Only the part of the input that the sample needs is read and
// decompressed; memory is bounded by the sample plus fixed-size buffers.
//
// Errors and the Python exception they become:
//   - kind Io (ArchiveError::io) -> OSError. Covers a file that cannot be opened
//     ("{path}: {system error text}", os_errno set), a read error of the input
//     (the OS text, os_errno set), a gzip decoding error (zlib's own text, or
//     "unexpected end of gzip stream" for a member cut short; os_errno 0), and
//     the FASTQ framing errors, all with os_errno 0:
//       "invalid name prefix"          name line does not begin with '@'
//       "invalid description prefix"   separator line does not begin with '+'
//       "failed to fill whole buffer"  input ends inside a record, before its
//                                      separator line
//       "record too large"             a name or sequence longer than 2^32 - 1
//                                      bytes (the batch stores u32 offsets)
//   - kind InvalidFastq (ArchiveError::invalid_fastq(seq_len, qual_len)) ->
//     zarv.ZarvError: "invalid FASTQ: sequence length {} but quality length {}
//     (must be equal)". The quality line is read only up to its line end.
// python_error_class() states the mapping for any error returned here.
// The argument errors of the estimate call itself (empty source list ->
// ValueError, an item of the wrong type -> TypeError) are raised by the binding
// before any source is opened; sampling never produces them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_source.hpp"
#include "core/result.hpp"
#include "estimate/sample_batch.hpp"

namespace zarv {

// Total read cap of an estimate when the caller gives none.
inline constexpr uint64_t kDefaultSampleReads = 1048576;
// Upper bound of the read cap of one source.
inline constexpr uint64_t kPerSourceCapCeiling = 300000;
// No further record is read once the sample's bases hold this many bytes.
inline constexpr uint64_t kSampleBasesCeiling = 268435456;  // 0x10000000

// The read cap of each of `sources` sources: max(sample_reads / sources, 1),
// then at most kPerSourceCapCeiling. `sources` of 0 is treated as 1.
uint64_t per_source_cap(uint64_t sample_reads, size_t sources);

// Wraps `src` so that reads yield the FASTQ text: if the first two bytes are
// 1F 8B the input is decoded as concatenated gzip members (BGZF included) until
// its end, otherwise it is passed through. The peeked bytes are handed back
// first. `src` must outlive the returned source.
Result<std::unique_ptr<ByteSource>> open_fastq_text(ByteSource& src);

// Samples one source: detects gzip, then reads records until the input ends
// (exhausted = true), `cap` records were read, or the bases reached
// kSampleBasesCeiling before a record (both exhausted = false). A cap of 0 acts
// as 1. Stops reading the input as soon as the sample is complete.
// `bases_ceiling` exists so that tests can exercise the ceiling rule cheaply.
Result<SampleBatch> sample_source(ByteSource& src, uint64_t cap,
                                  uint64_t bases_ceiling = kSampleBasesCeiling);

// Opens `path` read-only and samples it (open failures: Io "{path}: {error}").
Result<SampleBatch> sample_path(const std::string& path, uint64_t cap);

// Samples an in-memory copy of a source.
Result<SampleBatch> sample_bytes(std::vector<uint8_t> data, uint64_t cap);

// The Python exception a sampling error is raised as.
enum class PyErrorClass : uint8_t { OSError, ZarvError };
inline PyErrorClass python_error_class(const ArchiveError& e) {
  return e.kind == ErrorKind::Io ? PyErrorClass::OSError : PyErrorClass::ZarvError;
}

}  // namespace zarv
