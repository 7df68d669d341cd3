// Name stream encoder: tokenises every name, codes each token against the
// previous name's token at the same position and writes the streams that
// name_decoder.cpp reads.
//
// The tokenizer and the op choice are fixed (they decide the coded size that
// the estimate reports): digit runs of at most 18 characters are numbers,
// everything else is a string; an identical token is MATCH, a number after a
// number is DELTA, a number after anything else NUMBER, the rest STRING.
#include <algorithm>
#include <bit>

#include "codecs/entropy/rans.hpp"
#include "codecs/entropy/varint.hpp"
#include "codecs/names/name_format.hpp"
#include "codecs/names/names.hpp"

namespace zarv {
namespace {

using namespace names;

struct EncToken {
  size_t off;  // within the name
  size_t len;
  int64_t value;
  bool numeric;
};

bool is_digit(uint8_t b) { return b >= '0' && b <= '9'; }

// Maximal runs of digits and of other bytes.
void tokenize(std::string_view name, std::vector<EncToken>& tokens) {
  tokens.clear();
  const auto* s = reinterpret_cast<const uint8_t*>(name.data());
  const size_t n = name.size();
  size_t i = 0;
  while (i < n) {
    const size_t start = i;
    if (is_digit(s[i])) {
      while (i < n && is_digit(s[i])) ++i;
      const size_t len = i - start;
      if (len <= kMaxNumericDigits) {
        int64_t v = 0;
        for (size_t k = start; k < i; ++k) v = v * 10 + (s[k] - '0');
        tokens.push_back({start, len, v, true});
      } else {
        tokens.push_back({start, len, 0, false});
      }
    } else {
      while (i < n && !is_digit(s[i])) ++i;
      tokens.push_back({start, i - start, 0, false});
    }
  }
}

struct Streams {
  std::vector<uint8_t> token_counts;
  std::vector<uint8_t> string_lengths;
  std::vector<uint8_t> string_data;
  std::vector<uint8_t> numbers;
  std::vector<uint8_t> pads;
  std::vector<uint8_t> ops[kColumns];
  std::vector<uint64_t> diffs[kColumns];
};

void code_name(std::string_view name, const std::vector<EncToken>& tokens, std::string_view prev_name,
               const std::vector<EncToken>& prev, Streams& s) {
  for (size_t t = 0; t < tokens.size(); ++t) {
    const EncToken& tok = tokens[t];
    const size_t c = std::min<size_t>(t, kLastColumn);
    const bool has_prev = t < prev.size();
    const std::string_view text = name.substr(tok.off, tok.len);
    if (has_prev && prev_name.substr(prev[t].off, prev[t].len) == text) {
      s.ops[c].push_back(kMatch);
      continue;
    }
    if (!tok.numeric) {
      s.ops[c].push_back(kString);
      write_varint(s.string_lengths, tok.len);
      s.string_data.insert(s.string_data.end(), text.begin(), text.end());
      continue;
    }
    if (has_prev && prev[t].numeric) {
      s.ops[c].push_back(kDelta);
      const int64_t d = static_cast<int64_t>(static_cast<uint64_t>(tok.value) -
                                             static_cast<uint64_t>(prev[t].value));
      s.diffs[c].push_back(zigzag_encode(d));
    } else {
      s.ops[c].push_back(kNumber);
      write_varint(s.numbers, static_cast<uint64_t>(tok.value));
    }
    s.pads.push_back(static_cast<uint8_t>(tok.len - token_digits(tok.value)));
  }
  write_varint(s.token_counts, tokens.size());
}

void put_rans_section(std::vector<uint8_t>& out, const std::vector<uint8_t>& raw) {
  const std::vector<uint8_t> block = rans_encode_best(raw);
  write_section(out, block);
}

std::vector<uint8_t> assemble(uint64_t n, const Streams& s) {
  std::vector<uint8_t> out;
  out.push_back(1);
  write_varint(out, n);
  put_rans_section(out, s.token_counts);
  put_rans_section(out, s.string_lengths);
  put_rans_section(out, s.string_data);
  put_rans_section(out, s.numbers);
  put_rans_section(out, s.pads);

  std::vector<uint8_t> run_counts, run_syms, run_lens;
  for (const auto& ops : s.ops) {
    uint64_t runs = 0;
    for (size_t i = 0; i < ops.size();) {
      size_t j = i + 1;
      while (j < ops.size() && ops[j] == ops[i]) ++j;
      run_syms.push_back(ops[i]);
      write_varint(run_lens, j - i);
      ++runs;
      i = j;
    }
    write_varint(run_counts, runs);
  }
  put_rans_section(out, run_counts);
  put_rans_section(out, run_syms);
  put_rans_section(out, run_lens);

  std::vector<uint8_t> plane;
  for (const auto& codes : s.diffs) {
    if (codes.empty()) {
      out.push_back(0);
      continue;
    }
    const uint64_t m = *std::max_element(codes.begin(), codes.end());
    const int planes = m == 0 ? 1 : (63 - std::countl_zero(m)) / 8 + 1;
    out.push_back(static_cast<uint8_t>(planes));
    for (int p = 0; p < planes; ++p) {
      plane.resize(codes.size());
      for (size_t i = 0; i < codes.size(); ++i) plane[i] = static_cast<uint8_t>(codes[i] >> (8 * p));
      put_rans_section(out, plane);
    }
  }
  return out;
}

template <class NameAt>
std::vector<uint8_t> encode(size_t n, NameAt name_at) {
  Streams s;
  std::vector<EncToken> prev, cur;
  std::string_view prev_name;
  for (size_t i = 0; i < n; ++i) {
    const std::string_view name = name_at(i);
    tokenize(name, cur);
    code_name(name, cur, prev_name, prev, s);
    std::swap(prev, cur);
    prev_name = name;
  }
  return assemble(n, s);
}

}  // namespace

std::vector<uint8_t> encode_names(std::span<const std::string_view> names) {
  return encode(names.size(), [&](size_t i) { return names[i]; });
}

std::vector<uint8_t> encode_names(std::span<const std::string> names) {
  return encode(names.size(), [&](size_t i) { return std::string_view(names[i]); });
}

std::vector<uint8_t> encode_names(const NameList& names) {
  return encode(names.size(), [&](size_t i) { return names.view(i); });
}

}  // namespace zarv
