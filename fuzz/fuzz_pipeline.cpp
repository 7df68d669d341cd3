// The whole-archive pipeline over a memory source: records, FASTQ and FASTA,
// with one and two workers, and with a passphrase for encrypted headers. Any
// input either decodes or fails with an error; the FASTQ text delivered must
// agree with the records delivered.
#include "core/pipeline.hpp"
#include "fuzz/fuzz_target.hpp"

namespace {

struct Collect final : zarv::DecodeSink {
  std::vector<zarv::Record> recs;
  std::vector<uint8_t> bytes;
  zarv::Status records(std::vector<zarv::Record>&& r) override {
    // Declared read counts can be huge; a bounded sink stops the decode.
    if (recs.size() + r.size() > (1u << 20)) return zarv::ArchiveError::io("fuzz sink full");
    for (auto& x : r) recs.push_back(std::move(x));
    return {};
  }
  zarv::Status text(std::span<const uint8_t> b) override {
    bytes.insert(bytes.end(), b.begin(), b.end());
    return {};
  }
};

}  // namespace

ZARV_FUZZ_TARGET(pipeline) {
  std::vector<uint8_t> bytes(data, data + size);
  Collect as_records, as_fastq;
  zarv::DecodeOptions opts;
  opts.passphrase = zarv::SecretString("fuzz");
  opts.workers = 2;
  zarv::MemorySource a(bytes);
  auto r1 = zarv::decode_archive(a, opts, as_records);
  opts.format = zarv::OutputFormat::Fastq;
  opts.workers = 1;
  zarv::MemorySource b(bytes);
  auto r2 = zarv::decode_archive(b, opts, as_fastq);
  const bool sink_full = !r1.ok() && r1.error().kind == zarv::ErrorKind::Io;
  if (!sink_full && r1.ok() != r2.ok()) __builtin_trap();
  if (r1.ok() && r2.ok()) {
    if (*r1 != *r2 || *r1 != as_records.recs.size()) __builtin_trap();
    std::vector<uint8_t> expect;
    for (const auto& r : as_records.recs) {
      expect.push_back('@');
      expect.insert(expect.end(), r.name.begin(), r.name.end());
      expect.push_back('\n');
      expect.insert(expect.end(), r.sequence.begin(), r.sequence.end());
      expect.insert(expect.end(), {'\n', '+', '\n'});
      expect.insert(expect.end(), r.quality.begin(), r.quality.end());
      expect.push_back('\n');
    }
    if (expect != as_fastq.bytes) __builtin_trap();
  }
  opts.format = zarv::OutputFormat::Fasta;
  Collect as_fasta;
  zarv::MemorySource c(bytes);
  (void)zarv::decode_archive(c, opts, as_fasta);
  return 0;
}
