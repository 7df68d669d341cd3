// Test helpers for the name codec: a builder that lays out a names stream from
// raw (pre-rANS) streams written by hand, and a parser that takes an encoded
// stream apart again. Both follow the byte layout directly and share nothing
// with the codec under test except the rANS coder and the varint writer.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/entropy/rans.hpp"
#include "codecs/entropy/varint.hpp"

namespace zarv::names_test {

inline constexpr uint8_t M = 0, S = 1, N = 2, D = 3;  // MATCH, STRING, NUMBER, DELTA

using Bytes = std::vector<uint8_t>;
using Runs = std::vector<std::pair<uint8_t, uint64_t>>;

inline Bytes varints(std::initializer_list<uint64_t> values) {
  Bytes out;
  for (uint64_t v : values) write_varint(out, v);
  return out;
}

inline Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

struct RawNameStream {
  uint64_t n = 0;
  Bytes token_counts, string_lengths, string_data, numbers, pads;
  Bytes run_counts, run_syms, run_lens;
  std::array<std::vector<Bytes>, 64> planes;  // per column; B = planes[c].size()
  Bytes trailing;                             // appended after the planes

  void set_runs(const std::array<Runs, 64>& columns) {
    run_counts.clear(), run_syms.clear(), run_lens.clear();
    for (const auto& col : columns) {
      write_varint(run_counts, col.size());
      for (auto [op, len] : col) run_syms.push_back(op), write_varint(run_lens, len);
    }
  }
  // Op lists per column, run-length coded here.
  void set_ops(const std::array<Bytes, 64>& ops) {
    std::array<Runs, 64> columns;
    for (int c = 0; c < 64; ++c) {
      for (uint8_t op : ops[c]) {
        if (columns[c].empty() || columns[c].back().first != op) columns[c].emplace_back(op, 0);
        ++columns[c].back().second;
      }
    }
    set_runs(columns);
  }

  Bytes build() const {
    Bytes out{1};
    write_varint(out, n);
    for (const Bytes* raw : {&token_counts, &string_lengths, &string_data, &numbers, &pads, &run_counts,
                             &run_syms, &run_lens}) {
      write_section(out, rans_encode(*raw, 0));
    }
    for (const auto& col : planes) {
      write_varint(out, col.size());
      for (const Bytes& plane : col) write_section(out, rans_encode(plane, 0));
    }
    out.insert(out.end(), trailing.begin(), trailing.end());
    return out;
  }
};

// An encoded stream taken apart: the raw streams, each column's runs and
// expanded ops, and each column's plane count and difference codes.
struct ParsedNameStream {
  uint64_t n = 0;
  Bytes token_counts, string_lengths, string_data, numbers, pads;
  std::array<Runs, 64> runs;
  std::array<Bytes, 64> ops;
  std::array<uint8_t, 64> plane_counts{};
  std::array<std::vector<uint64_t>, 64> codes;
};

inline ParsedNameStream parse_name_stream(const Bytes& coded) {
  ParsedNameStream p;
  ByteCursor cur(coded);
  EXPECT_EQ(cur.u8().value(), 1);
  p.n = read_varint(cur).value();
  auto section = [&] { return rans_decode(read_section(cur).value(), uint64_t{1} << 32).value(); };
  for (Bytes* raw : {&p.token_counts, &p.string_lengths, &p.string_data, &p.numbers, &p.pads}) *raw = section();
  const Bytes counts = section(), syms = section(), lens = section();
  ByteCursor cc(counts), lc(lens);
  size_t k = 0;
  for (int c = 0; c < 64; ++c) {
    const uint64_t runs = read_varint(cc).value();
    for (uint64_t r = 0; r < runs; ++r, ++k) {
      const uint64_t len = read_varint(lc).value();
      p.runs[c].emplace_back(syms.at(k), len);
      p.ops[c].insert(p.ops[c].end(), len, syms[k]);
    }
  }
  EXPECT_TRUE(cc.at_end() && lc.at_end() && k == syms.size());
  for (int c = 0; c < 64; ++c) {
    p.plane_counts[c] = cur.u8().value();
    for (int plane = 0; plane < p.plane_counts[c]; ++plane) {
      const Bytes raw = section();
      p.codes[c].resize(raw.size());
      for (size_t i = 0; i < raw.size(); ++i) p.codes[c][i] |= uint64_t{raw[i]} << (8 * plane);
    }
  }
  EXPECT_TRUE(cur.at_end());
  return p;
}

}  // namespace zarv::names_test
