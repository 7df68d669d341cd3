// Fuzz target of the name stream decoder and encoder.
//
// The first byte picks a mode (mod 8):
//   0..2: the rest is a coded names stream, decoded as is. Inputs are capped
//         at 1 KiB, which keeps the section bound (64 KiB per input byte) and
//         the memory of a run small; a name needs four non-empty rANS bodies
//         (about 2.6 KB), so this mode covers framing, section bounds and the
//         op-run checks.
//   3..6: the rest describes the raw streams (N, eight sections, delta
//         planes); they are rANS-coded here and assembled into a stream,
//         which drives the name loop with arbitrary op and data streams. With
//         flag bit 6 set, what decodes is also encoded and decoded again.
//   7:    the rest is a list of names separated by '\n'; they must survive an
//         encode and decode round trip unchanged.
// The round trips are the slow cases (the encoder tries both rANS orders for
// every section), hence their small share.
#include <cstdlib>
#include <string_view>
#include <vector>

#include "codecs/entropy/rans.hpp"
#include "codecs/entropy/varint.hpp"
#include "codecs/names/names.hpp"
#include "fuzz/fuzz_target.hpp"

namespace {

constexpr size_t kMaxRawInput = 1024;

void decode_only(const uint8_t* data, size_t size) {
  if (size > kMaxRawInput) return;
  auto r = zarv::decode_names({data, size});
  if (r.ok() && r->offsets.back() != r->bytes.size()) std::abort();
}

// Reads a length byte and that many bytes (fewer at the end of the input).
std::span<const uint8_t> take(const uint8_t*& p, const uint8_t* end) {
  if (p == end) return {};
  size_t len = *p++;
  if (len > static_cast<size_t>(end - p)) len = static_cast<size_t>(end - p);
  std::span<const uint8_t> out(p, len);
  p += len;
  return out;
}

void structured(const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  const uint8_t* end = data + size;
  if (p == end) return;
  const uint8_t flags = *p++;
  std::vector<uint8_t> stream{1};
  zarv::write_varint(stream, flags & 0x1f);  // N
  for (int s = 0; s < 8; ++s) {
    // Order 0 only: the sections' contents are what matters here, and the
    // order-1 encoder is the slowest part of a run.
    zarv::write_section(stream, zarv::rans_encode(take(p, end), 0));
  }
  // Delta planes: a column mask byte picks up to 8 of the columns 0..6 and 63,
  // each with a plane count byte (mod 4) and its planes.
  const uint8_t mask = p == end ? 0 : *p++;
  for (int c = 0; c < 64; ++c) {
    const int bit = c == 63 ? 7 : c;
    if (c > 6 && c != 63) {
      stream.push_back(0);
      continue;
    }
    if (!(mask & (1u << bit))) {
      stream.push_back(0);
      continue;
    }
    const int planes = p == end ? 0 : (*p++ % 4);
    stream.push_back(static_cast<uint8_t>(planes));
    for (int k = 0; k < planes; ++k) zarv::write_section(stream, zarv::rans_encode(take(p, end), 0));
  }
  auto r = zarv::decode_names(stream);
  if (!r.ok()) return;
  if (r->size() != (flags & 0x1fu)) std::abort();
  if (!(flags & 0x40)) return;
  // Whatever decodes must survive a round trip of its own.
  auto again = zarv::decode_names(zarv::encode_names(*r));
  if (!again.ok() || again->bytes != r->bytes || again->offsets != r->offsets) std::abort();
}

void round_trip(const uint8_t* data, size_t size) {
  std::vector<std::string_view> names;
  std::string_view all(reinterpret_cast<const char*>(data), size);
  while (!all.empty()) {
    const size_t nl = all.find('\n');
    names.push_back(all.substr(0, nl));
    all = nl == std::string_view::npos ? std::string_view() : all.substr(nl + 1);
  }
  const std::vector<uint8_t> coded = zarv::encode_names(names);
  auto r = zarv::decode_names(coded);
  if (!r.ok() || r->size() != names.size()) std::abort();
  for (size_t i = 0; i < names.size(); ++i) {
    if ((*r)[i] != names[i]) std::abort();
  }
}

}  // namespace

ZARV_FUZZ_TARGET(names) {
  if (size == 0) {
    decode_only(data, 0);
    return 0;
  }
  const int mode = data[0] % 8;
  if (mode < 3) {
    decode_only(data + 1, size - 1);
  } else if (mode < 7) {
    structured(data + 1, size - 1);
  } else {
    round_trip(data + 1, size - 1);
  }
  return 0;
}
