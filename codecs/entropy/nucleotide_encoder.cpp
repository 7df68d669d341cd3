// Nucleotide stream encoder: the decoder's model steps run with the range
// encoder, so every base is coded with the tier the decoder will pick.
#include <algorithm>
#include <array>
#include <new>
#include <string>

#include "codecs/entropy/nucleotide.hpp"
#include "codecs/entropy/nucleotide_model.hpp"
#include "codecs/entropy/range_coder.hpp"
#include "codecs/entropy/varint.hpp"

namespace zarv {
namespace {

using nucleotide::Model;
using nucleotide::Tiers;

constexpr uint64_t kBasesPerByte = uint64_t{1} << 18;

// The symbol each byte is coded as. A, C, G, T, N code themselves; a, c, g,
// t, n take their upper-case symbol (soft-masked runs keep their context);
// every other byte is coded as N. Only the first five are exact: the rest go
// to the exception list.
constexpr std::array<uint8_t, 256> kByteToSymbol = [] {
  std::array<uint8_t, 256> t{};
  t.fill(nucleotide::kSymbolN);
  const char upper[] = "ACGTN";
  const char lower[] = "acgtn";
  for (uint8_t s = 0; s < 5; ++s) {
    t[static_cast<uint8_t>(upper[s])] = s;
    t[static_cast<uint8_t>(lower[s])] = s;
  }
  return t;
}();

constexpr bool is_exact(uint8_t c) { return c == 'A' || c == 'C' || c == 'G' || c == 'T' || c == 'N'; }

template <bool kHashed>
void encode_bases(Tiers tiers, RangeEncoder& re, std::span<const uint8_t> bases) {
  for (const uint8_t c : bases) {
    const uint32_t symbol = kByteToSymbol[c];
    tiers.step<kHashed>([&](const Model& model) {
      model.encode(re, symbol);
      return symbol;
    });
  }
}

void write_exceptions(std::vector<uint8_t>& out, std::span<const uint8_t> bases) {
  uint64_t count = 0;
  for (const uint8_t c : bases) count += !is_exact(c);
  write_varint(out, count);
  uint64_t previous = 0;
  for (size_t i = 0; i < bases.size(); ++i) {
    if (is_exact(bases[i])) continue;
    write_varint(out, i - previous);
    out.push_back(bases[i]);
    previous = i;
  }
}

Status check_params(const NucleotideParams& p, uint64_t total) {
  if (p.k < 1 || p.k > kNucleotideMaxOrder) return detail("order out of range");
  if (p.hashed() && (p.h > kNucleotideMaxHashedOrder || p.b > kNucleotideMaxHashBits)) {
    return detail("hashed-tier params out of range");
  }
  if ((uint64_t{1} << (2 * p.k)) > std::max<uint64_t>(total, 4)) {
    return detail("order-k table exceeds declared length");
  }
  if (p.hashed() && total < (uint64_t{1} << p.b)) return detail("hashed-tier table exceeds declared length");
  return {};
}

}  // namespace

Status encode_nucleotides(std::vector<uint8_t>& out, std::span<const uint32_t> lengths,
                          std::span<const uint8_t> bases, const NucleotideParams& params) {
  uint64_t total = 0;
  for (const uint32_t len : lengths) total += len;
  if (total != bases.size()) {
    return detail("read lengths (" + std::to_string(total) + ") do not match sequence bytes (" +
                  std::to_string(bases.size()) + ")");
  }
  ZARV_TRY(check_params(params, total));

  const size_t start = out.size();
  try {
    nucleotide::ContextModel model(params);
    if (!model.allocate_context_tables() || !model.allocate_hash_table()) throw std::bad_alloc();

    out.push_back(kNucleotideVersion);
    out.push_back(params.k);
    out.push_back(params.h);
    out.push_back(params.b);
    write_length_list(out, lengths);
    write_exceptions(out, bases);

    const size_t payload_start = out.size();
    RangeEncoder re(out);
    if (model.hashed()) {
      encode_bases<true>(model.tiers(), re, bases);
    } else {
      encode_bases<false>(model.tiers(), re, bases);
    }
    re.finish();

    // The decoder accepts at most 2^18 bases per payload byte beyond the
    // first 2^18. A payload that compressed better than that is padded with
    // zero bytes, which are exactly what the decoder reads past its end.
    const uint64_t payload = out.size() - payload_start;
    const uint64_t needed = total > kBasesPerByte ? (total - 1) / kBasesPerByte : 0;
    if (payload < needed) out.resize(out.size() + static_cast<size_t>(needed - payload), 0);
  } catch (const std::bad_alloc&) {
    out.resize(start);
    return detail("nucleotide model too large to allocate");
  }
  return {};
}

Result<std::vector<uint8_t>> encode_nucleotides(std::span<const uint32_t> lengths, std::span<const uint8_t> bases,
                                                const NucleotideParams& params) {
  std::vector<uint8_t> out;
  ZARV_TRY(encode_nucleotides(out, lengths, bases, params));
  return out;
}

NucleotideParams fit_nucleotide_params(NucleotideParams wanted, uint64_t total) {
  NucleotideParams p;
  p.k = std::clamp<uint8_t>(wanted.k, 1, kNucleotideMaxOrder);
  while (p.k > 1 && (uint64_t{1} << (2 * p.k)) > std::max<uint64_t>(total, 4)) --p.k;
  p.h = std::min(wanted.h, kNucleotideMaxHashedOrder);
  p.b = std::min(wanted.b, kNucleotideMaxHashBits);
  if (p.hashed()) {
    while (p.b > 0 && (uint64_t{1} << p.b) > total) --p.b;
  }
  if (!p.hashed()) p.h = p.b = 0;
  return p;
}

NucleotideParams default_nucleotide_params(uint64_t total) {
  return fit_nucleotide_params(NucleotideParams{11, 0, 0}, total);
}

}  // namespace zarv
