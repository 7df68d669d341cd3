// Header parsing on arbitrary bytes: read_header, and parse_extensions over the
// same bytes as a raw extension region.
#include "core/header.hpp"
#include "fuzz/fuzz_target.hpp"

ZARV_FUZZ_TARGET(header) {
  zarv::MemorySource src(std::vector<uint8_t>(data, data + size));
  auto h = zarv::read_header(src);
  if (h.ok() && h->header_len > size) __builtin_trap();
  uint8_t group = size ? data[0] : 1;
  (void)zarv::parse_extensions({data, size}, group ? group : 1);
  return 0;
}
