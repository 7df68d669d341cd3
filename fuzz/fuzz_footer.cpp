// Footer parsing on arbitrary bytes: as a whole archive (plain and encrypted),
// as a fetched tail of a larger file, and as a bare body.
#include "core/footer.hpp"
#include "fuzz/fuzz_target.hpp"

ZARV_FUZZ_TARGET(footer) {
  std::vector<uint8_t> bytes(data, data + size);
  for (bool encrypted : {false, true}) {
    zarv::MemorySource src(bytes);
    auto idx = zarv::read_footer(src, encrypted);
    if (idx.ok()) {
      for (const auto& g : idx->groups) {
        for (const auto& s : g.streams) {
          if (s.offset + s.length > idx->footer_offset) __builtin_trap();
        }
      }
    }
  }
  // The same bytes as the tail of files of several lengths.
  for (uint64_t extra : {uint64_t{0}, uint64_t{1}, uint64_t{1000}, uint64_t{1} << 40}) {
    auto r = zarv::parse_index_suffix({data, size}, size + extra);
    if (r.ok() && std::holds_alternative<uint64_t>(*r) && std::get<uint64_t>(*r) <= size &&
        std::get<uint64_t>(*r) != 12) {
      __builtin_trap();  // asked for no more than it already had
    }
  }
  if (size >= 8) {
    uint64_t f = 0;
    for (int i = 0; i < 8; ++i) f |= uint64_t(data[i]) << (8 * i);
    (void)zarv::parse_footer_body({data + 8, size - 8}, f, size & 1);
  }
  return 0;
}
