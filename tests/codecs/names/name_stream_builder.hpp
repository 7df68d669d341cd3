// Test helpers for the name codec: a builder that lays out a names stream from
// raw (pre-rANS) streams written by hand, and a parser that takes an encoded
// stream apart again. Both follow the byte layout directly and share nothing
// with the codec under test except the rANS coder and the varint writer.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "codecs/entropy/byte_cursor.hpp"
#include "codecs/entropy/rans.hpp"
#include "codecs/entropy/varint.hpp"

namespace zarv::names_test {

inline constexpr uint8_t M = 0, S = 1, N = 2, D = 3;  // MATCH, STRING, NUMBER, DELTA

using Bytes = std::vector<uint8_t>;

inline Bytes varints(std::initializer_list<uint64_t> values) {
  Bytes out;
  for (uint64_t v : values) write_varint(out, v);
  return out;
}

inline Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

// Runs (op, length) of one op list.
inline std::vector<std::pair<uint8_t, uint64_t>> runs_of(const Bytes& ops) {
  std::vector<std::pair<uint8_t, uint64_t>> runs;
  for (uint8_t op : ops) {
    if (!runs.empty() && runs.back().first == op) {
      ++runs.back().second;
    } else {
      runs.emplace_back(op, 1);
    }
  }
  return runs;
}

struct RawNameStream {
  uint64_t n = 0;
  Bytes token_counts, string_lengths, string_data, numbers, pads;
  Bytes run_counts, run_syms, run_lens;
  // Delta planes per column (B = planes[c].size()).
  std::array<std::vector<Bytes>, 64> planes;
  // When set, replaces everything after the eight sections.
  std::optional<Bytes> tail;
  Bytes trailing;  // appended at the very end

  // Sets the three op sections from explicit runs per column.
  void set_runs(const std::array<std::vector<std::pair<uint8_t, uint64_t>>, 64>& columns) {
    run_counts.clear();
    run_syms.clear();
    run_lens.clear();
    for (const auto& col : columns) {
      write_varint(run_counts, col.size());
      for (auto [op, len] : col) {
        run_syms.push_back(op);
        write_varint(run_lens, len);
      }
    }
  }
  // Sets the op sections from per-column op lists.
  void set_ops(const std::array<Bytes, 64>& ops) {
    std::array<std::vector<std::pair<uint8_t, uint64_t>>, 64> columns;
    for (int c = 0; c < 64; ++c) columns[c] = runs_of(ops[c]);
    set_runs(columns);
  }

  Bytes build() const {
    Bytes out{1};
    write_varint(out, n);
    for (const Bytes* raw : {&token_counts, &string_lengths, &string_data, &numbers, &pads, &run_counts,
                             &run_syms, &run_lens}) {
      write_section(out, rans_encode(*raw, 0));
    }
    if (tail) {
      out.insert(out.end(), tail->begin(), tail->end());
    } else {
      for (const auto& col : planes) {
        write_varint(out, col.size());
        for (const Bytes& plane : col) write_section(out, rans_encode(plane, 0));
      }
    }
    out.insert(out.end(), trailing.begin(), trailing.end());
    return out;
  }
};

// An encoded stream taken apart: the raw streams, each column's ops expanded
// from its runs, and each column's difference codes reassembled from planes.
struct ParsedNameStream {
  uint64_t n = 0;
  Bytes token_counts, string_lengths, string_data, numbers, pads;
  Bytes run_counts, run_syms, run_lens;
  std::array<std::vector<std::pair<uint8_t, uint64_t>>, 64> runs;
  std::array<Bytes, 64> ops;
  std::array<uint8_t, 64> plane_counts{};
  std::array<std::vector<uint64_t>, 64> codes;
};

inline std::vector<uint64_t> read_all_varints(const Bytes& raw) {
  std::vector<uint64_t> out;
  ByteCursor cur(raw);
  while (!cur.at_end()) {
    auto v = read_varint(cur);
    EXPECT_TRUE(v.ok());
    if (!v.ok()) break;
    out.push_back(*v);
  }
  return out;
}

inline ParsedNameStream parse_name_stream(const Bytes& coded) {
  ParsedNameStream p;
  ByteCursor cur(coded);
  auto version = cur.u8();
  EXPECT_TRUE(version.ok() && *version == 1);
  p.n = read_varint(cur).value();
  auto section = [&](Bytes& raw) {
    auto body = read_section(cur);
    EXPECT_TRUE(body.ok());
    auto dec = rans_decode(*body, uint64_t{1} << 32);
    EXPECT_TRUE(dec.ok());
    raw = std::move(dec).value();
  };
  for (Bytes* raw : {&p.token_counts, &p.string_lengths, &p.string_data, &p.numbers, &p.pads, &p.run_counts,
                     &p.run_syms, &p.run_lens}) {
    section(*raw);
  }
  auto counts = read_all_varints(p.run_counts);
  auto lens = read_all_varints(p.run_lens);
  EXPECT_EQ(counts.size(), 64u);
  EXPECT_EQ(lens.size(), p.run_syms.size());
  size_t k = 0;
  for (int c = 0; c < 64 && c < static_cast<int>(counts.size()); ++c) {
    for (uint64_t r = 0; r < counts[c]; ++r, ++k) {
      p.runs[c].emplace_back(p.run_syms[k], lens[k]);
      p.ops[c].insert(p.ops[c].end(), lens[k], p.run_syms[k]);
    }
  }
  for (int c = 0; c < 64; ++c) {
    auto b = cur.u8();
    EXPECT_TRUE(b.ok());
    p.plane_counts[c] = *b;
    for (int plane = 0; plane < *b; ++plane) {
      Bytes raw;
      section(raw);
      if (p.codes[c].empty()) p.codes[c].assign(raw.size(), 0);
      EXPECT_EQ(raw.size(), p.codes[c].size());
      for (size_t i = 0; i < raw.size() && i < p.codes[c].size(); ++i) {
        p.codes[c][i] |= uint64_t{raw[i]} << (8 * plane);
      }
    }
  }
  EXPECT_TRUE(cur.at_end());
  return p;
}

}  // namespace zarv::names_test
