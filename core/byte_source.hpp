// Byte sources: one interface over an owned in-memory copy, a file, or (in the
// Python layer) a file-like object. Reads are sequential; memory and files also
// seek, which the footer reader and random access need.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/result.hpp"

namespace zarv {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `n` bytes into `dst`; returns 0 only at the end of input.
  virtual Result<size_t> read(uint8_t* dst, size_t n) = 0;
  virtual bool seekable() const { return false; }
  // Absolute seek and total length; only for seekable sources.
  virtual Status seek(uint64_t pos);
  virtual Result<uint64_t> length();
};

// Reads until `n` bytes arrived or the input ended; returns the count read.
Result<size_t> read_full(ByteSource& src, uint8_t* dst, size_t n);
// Reads exactly `n` bytes; an end of input first is `Truncated`.
Status read_exact(ByteSource& src, uint8_t* dst, size_t n);

// An archive held in memory (a copy of the caller's bytes, shared read-only).
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> data)
      : data_(std::make_shared<const std::vector<uint8_t>>(std::move(data))) {}
  explicit MemorySource(std::shared_ptr<const std::vector<uint8_t>> data) : data_(std::move(data)) {}

  Result<size_t> read(uint8_t* dst, size_t n) override;
  bool seekable() const override { return true; }
  Status seek(uint64_t pos) override;
  Result<uint64_t> length() override { return static_cast<uint64_t>(data_->size()); }

  std::span<const uint8_t> bytes() const { return *data_; }

 private:
  std::shared_ptr<const std::vector<uint8_t>> data_;
  size_t pos_ = 0;
};

// A file opened read-only. Not copyable; closes on destruction.
class FileSource final : public ByteSource {
 public:
  // Opening failures are `Io` errors reading "{path}: {system error text}".
  static Result<std::unique_ptr<FileSource>> open(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  Result<size_t> read(uint8_t* dst, size_t n) override;
  bool seekable() const override { return true; }
  Status seek(uint64_t pos) override;
  Result<uint64_t> length() override;

  const std::string& path() const { return path_; }
  // Whether `fd` is open on this same regular file.
  bool same_file(int fd) const;
  // Positional read that leaves the sequential position alone (safe to call
  // from several threads at once).
  Result<size_t> pread(uint8_t* dst, size_t n, uint64_t offset) const;

 private:
  FileSource(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  int fd_;
  std::string path_;
};

// The OS text of errno `err`, as an Io error.
ArchiveError os_error(int err);

}  // namespace zarv
