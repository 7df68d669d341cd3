#include "core/verify.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "core/crc32c.hpp"

namespace zarv {
namespace {

std::vector<uint8_t> random_bytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

TEST(Crc32cCombine, SplitsOfABuffer) {
  auto data = random_bytes(3000, 5);
  std::span<const uint8_t> all(data);
  const uint32_t whole = crc32c_reference(all);
  for (size_t cut : {size_t{0}, size_t{1}, size_t{2}, size_t{63}, size_t{1500}, size_t{2999}, size_t{3000}}) {
    EXPECT_EQ(crc32c_combine(crc32c(all.first(cut)), crc32c(all.subspan(cut)), all.size() - cut), whole) << cut;
  }
  // Empty second half: crc_a unchanged, whatever it is.
  EXPECT_EQ(crc32c_combine(0x12345678u, 0, 0), 0x12345678u);
  // Long zero runs exercise many operator squarings.
  std::vector<uint8_t> zeros(1 << 20, 0);
  std::vector<uint8_t> joined = {'a', 'b', 'c'};
  joined.insert(joined.end(), zeros.begin(), zeros.end());
  EXPECT_EQ(crc32c_combine(crc32c(std::vector<uint8_t>{'a', 'b', 'c'}), crc32c(zeros), zeros.size()), crc32c(joined));
}

// Neither memory nor a file: read in order, in small pieces.
class TrickleSource final : public ByteSource {
 public:
  explicit TrickleSource(std::vector<uint8_t> data) : inner_(std::move(data)) {}
  Result<size_t> read(uint8_t* dst, size_t n) override { return inner_.read(dst, std::min<size_t>(n, 4097)); }
  bool seekable() const override { return true; }
  Status seek(uint64_t pos) override { return inner_.seek(pos); }

 private:
  MemorySource inner_;
};

// Every way the CRC is read: from memory, by each worker's positional file
// reads, and in order from any other source.
TEST(WholeFileCrc, ChunkBoundariesWorkerCountsAndSources) {
  auto data = random_bytes((3u << 20) + 777, 9);
  const std::string path = ::testing::TempDir() + "zarv_whole_file_crc.bin";
  {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
    std::fclose(f);
  }
  auto file = FileSource::open(path);
  ASSERT_TRUE(file.ok());
  MemorySource memory(data);
  TrickleSource trickle(data);
  for (ByteSource* src : {static_cast<ByteSource*>(&memory), static_cast<ByteSource*>(file->get()),
                          static_cast<ByteSource*>(&trickle)}) {
    for (uint64_t covered :
         {uint64_t{0}, uint64_t{1}, kCrcChunk - 1, kCrcChunk, kCrcChunk + 1, uint64_t(data.size())}) {
      const uint32_t expect = crc32c(std::span<const uint8_t>(data).first(covered));
      for (unsigned w : {1u, 2u, 3u, 64u}) {
        auto got = whole_file_crc(*src, covered, w);
        ASSERT_TRUE(got.ok()) << got.error().message();
        EXPECT_EQ(*got, expect) << covered << " with " << w << " workers";
      }
    }
    auto too_long = whole_file_crc(*src, data.size() + 1, 2);
    ASSERT_FALSE(too_long.ok());
    EXPECT_EQ(too_long.error().message(), "truncated zarv stream");
  }
  std::remove(path.c_str());
}

}  // namespace
}  // namespace zarv
