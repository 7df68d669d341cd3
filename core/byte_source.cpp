#include "core/byte_source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace zarv {

ArchiveError os_error(int err) { return ArchiveError::io(std::strerror(err), err); }

Status ByteSource::seek(uint64_t) { return ArchiveError::io("source is not seekable", ESPIPE); }
Result<uint64_t> ByteSource::length() { return ArchiveError::io("source is not seekable", ESPIPE); }

Result<size_t> read_full(ByteSource& src, uint8_t* dst, size_t n) {
  size_t got = 0;
  while (got < n) {
    ZARV_ASSIGN(size_t k, src.read(dst + got, n - got));
    if (k == 0) break;
    got += k;
  }
  return got;
}

Status read_exact(ByteSource& src, uint8_t* dst, size_t n) {
  ZARV_ASSIGN(size_t got, read_full(src, dst, n));
  if (got != n) return ArchiveError::truncated();
  return {};
}

Result<size_t> MemorySource::read(uint8_t* dst, size_t n) {
  size_t k = std::min(n, data_->size() - pos_);
  if (k) std::memcpy(dst, data_->data() + pos_, k);
  pos_ += k;
  return k;
}

Status MemorySource::seek(uint64_t pos) {
  pos_ = static_cast<size_t>(std::min<uint64_t>(pos, data_->size()));
  return {};
}

Result<std::unique_ptr<FileSource>> FileSource::open(const std::string& path) {
  // open() would read the name only up to a NUL and open another file.
  if (path.find('\0') != std::string::npos) return ArchiveError::io(path + ": " + std::strerror(EINVAL), EINVAL);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    return ArchiveError::io(path + ": " + std::strerror(err), err);
  }
  return std::unique_ptr<FileSource>(new FileSource(fd, path));
}

FileSource::~FileSource() { ::close(fd_); }

bool FileSource::same_file(int fd) const {
  struct stat a, b;
  return ::fstat(fd_, &a) == 0 && ::fstat(fd, &b) == 0 && S_ISREG(a.st_mode) && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

Result<size_t> FileSource::read(uint8_t* dst, size_t n) {
  for (;;) {
    ssize_t k = ::read(fd_, dst, n);
    if (k >= 0) return static_cast<size_t>(k);
    if (errno != EINTR) return os_error(errno);
  }
}

Result<size_t> FileSource::pread(uint8_t* dst, size_t n, uint64_t offset) const {
  size_t got = 0;
  while (got < n) {
    ssize_t k = ::pread(fd_, dst + got, n - got, static_cast<off_t>(offset + got));
    if (k < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (k == 0) break;
    got += static_cast<size_t>(k);
  }
  return got;
}

Status FileSource::seek(uint64_t pos) {
  if (pos > static_cast<uint64_t>(INT64_MAX)) return os_error(EINVAL);
  if (::lseek(fd_, static_cast<off_t>(pos), SEEK_SET) < 0) return os_error(errno);
  return {};
}

Result<uint64_t> FileSource::length() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return os_error(errno);
  if (S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
  // Not a regular file: ask the descriptor itself (fails on pipes).
  off_t cur = ::lseek(fd_, 0, SEEK_CUR);
  if (cur < 0) return os_error(errno);
  off_t end = ::lseek(fd_, 0, SEEK_END);
  if (end < 0) return os_error(errno);
  if (::lseek(fd_, cur, SEEK_SET) < 0) return os_error(errno);
  return static_cast<uint64_t>(end);
}

}  // namespace zarv
