// Fuzz target of the name template parser and renderer: any input either
// fails to parse or renders, for any counter argument, at least its literal
// text and each counter's width.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "codecs/names/names.hpp"
#include "fuzz/fuzz_target.hpp"

ZARV_FUZZ_TARGET(name_template) {
  auto t = zarv::parse_name_template({data, size});
  if (!t.ok()) return 0;
  if (t->columns.size() > 64) std::abort();
  size_t least = 0;
  for (const auto& col : t->columns) {
    if (col.kind == zarv::NameTemplateColumn::Kind::Literal) {
      least += col.literal.size();
    } else {
      if (col.width > 1024) std::abort();
      least += col.width;
    }
  }
  int64_t from_input = 0;
  std::memcpy(&from_input, data + (size >= 8 ? size - 8 : 0), size >= 8 ? 8 : 0);
  for (int64_t arg : {int64_t{0}, int64_t{-1}, std::numeric_limits<int64_t>::max(),
                      std::numeric_limits<int64_t>::min(), from_input}) {
    if (zarv::render_name(*t, arg).size() < least) std::abort();
  }
  return 0;
}
