// rANS throughput on an Illumina-like quality column: order-0 decode on each
// code path, order-1 decode, and encoding; single thread, MB/s of decoded
// (or encoded input) bytes, best of a few runs. Times are the thread's CPU
// time (page faults on the output included), so a busy machine slows the
// figures less than wall-clock time would.
//
// Built with ZARV_BENCH_HTSCODECS (CMake finds the library), the same bytes also
// go through htscodecs' 32-way 4x16 rANS as a speed yardstick.
//
//   bench_rans [MiB=64] [runs=3]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <time.h>

#include "codecs/entropy/cpu_features.hpp"
#include "codecs/entropy/rans.hpp"

#ifdef ZARV_BENCH_HTSCODECS
extern "C" {
#include <htscodecs/rANS_static4x16.h>
}
#endif

namespace {

using Bytes = std::vector<uint8_t>;

// Phred+33 qualities of 150-base reads in the style of a four-colour Illumina
// run: high scores early, a slow decline along the read, small steps between
// neighbours with the occasional dip, and a tail of '#' on some reads.
Bytes illumina_qualities(size_t bytes, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uni(0.0, 1.0);
  Bytes out;
  out.reserve(bytes);
  const int read_len = 150;
  while (out.size() < bytes) {
    const double read_quality = uni(rng);  // some reads are worse throughout
    int q = read_quality < 0.1 ? 30 : 37;
    const int hash_tail = uni(rng) < 0.08 ? static_cast<int>(uni(rng) * 60) : 0;
    for (int i = 0; i < read_len && out.size() < bytes; ++i) {
      if (i >= read_len - hash_tail) {
        out.push_back('#');
        continue;
      }
      const double decline = 8.0 * i / read_len;
      const int target = static_cast<int>(std::lround((read_quality < 0.1 ? 30 : 38) - decline));
      const double r = uni(rng);
      if (r < 0.04) {
        q = 2 + static_cast<int>(uni(rng) * 20);  // a dip
      } else if (r < 0.45) {
        q += (q < target ? 1 : -1) * (1 + static_cast<int>(uni(rng) * 2.5));
      } else if (r < 0.6) {
        q += static_cast<int>(uni(rng) * 5) - 2;
      }
      q = std::clamp(q, 2, 41);
      out.push_back(static_cast<uint8_t>(33 + q));
    }
  }
  return out;
}

double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double best_seconds(int runs, const std::function<void()>& fn) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    const double t0 = thread_seconds();
    fn();
    best = std::min(best, thread_seconds() - t0);
  }
  return best;
}

double mbps(size_t bytes, double seconds) { return bytes / seconds / 1e6; }

struct PathChoice {
  const char* name;
  uint32_t mask;
};

}  // namespace

int main(int argc, char** argv) {
  const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const Bytes input = illumina_qualities(mib << 20, 42);
  const size_t n = input.size();
  std::printf("input: %zu bytes of Illumina-like Phred+33 qualities, best of %d runs\n", n, runs);

  const uint32_t detected = zarv::detected_cpu_features();
  std::vector<PathChoice> paths = {{"scalar", 0}};
  if (detected & zarv::kCpuAvx2) paths.push_back({"avx2", zarv::kCpuAvx2});
  if (detected & zarv::kCpuAvx512) paths.push_back({"avx512", zarv::kCpuAvx2 | zarv::kCpuAvx512});

  Bytes block0, block1;
  double enc_o0_best = 0;
  for (const auto& p : paths) {
    zarv::set_cpu_feature_mask_for_testing(p.mask);
    const double t = best_seconds(runs, [&] { block0 = zarv::rans_encode(input, 0); });
    enc_o0_best = std::max(enc_o0_best, mbps(n, t));
    std::printf("zarv encode order 0 %-7s %8.1f MB/s\n", p.name, mbps(n, t));
  }
  zarv::set_cpu_feature_mask_for_testing(~0u);
  const double t_enc1 = best_seconds(runs, [&] { block1 = zarv::rans_encode(input, 1); });
  std::printf("zarv encode order 1         %8.1f MB/s\n", mbps(n, t_enc1));
  std::printf("zarv order 0: %zu bytes (%.3f bits/qual), order 1: %zu bytes (%.3f bits/qual)\n", block0.size(),
              8.0 * block0.size() / n, block1.size(), 8.0 * block1.size() / n);

  double dec_o0[3] = {0, 0, 0};
  for (size_t i = 0; i < paths.size(); ++i) {
    zarv::set_cpu_feature_mask_for_testing(paths[i].mask);
    bool ok = true;
    const double t = best_seconds(runs, [&] {
      auto r = zarv::rans_decode(block0, n);
      ok = ok && r.ok() && *r == input;
    });
    dec_o0[i] = mbps(n, t);
    std::printf("zarv decode order 0 %-7s %8.1f MB/s%s\n", paths[i].name, dec_o0[i], ok ? "" : "  MISMATCH");
  }
  zarv::set_cpu_feature_mask_for_testing(~0u);
  bool ok1 = true;
  const double t_dec1 = best_seconds(runs, [&] {
    auto r = zarv::rans_decode(block1, n);
    ok1 = ok1 && r.ok() && *r == input;
  });
  const double dec_o1 = mbps(n, t_dec1);
  std::printf("zarv decode order 1         %8.1f MB/s%s\n", dec_o1, ok1 ? "" : "  MISMATCH");

#ifdef ZARV_BENCH_HTSCODECS
  double ref_dec[2] = {0, 0};
  for (int order = 0; order <= 1; ++order) {
    const int flags = order | RANS_ORDER_X32;
    unsigned out_size = 0;
    unsigned char* comp = nullptr;
    const double te = best_seconds(runs, [&] {
      std::free(comp);
      comp = rans_compress_4x16(const_cast<unsigned char*>(input.data()), static_cast<unsigned>(n), &out_size, flags);
    });
    const unsigned comp_size = out_size;
    bool ok = true;
    const double td = best_seconds(runs, [&] {
      unsigned dec_size = 0;
      unsigned char* dec = rans_uncompress_4x16(comp, comp_size, &dec_size);
      ok = ok && dec && dec_size == n && std::memcmp(dec, input.data(), n) == 0;
      std::free(dec);
    });
    std::free(comp);
    ref_dec[order] = mbps(n, td);
    std::printf("htscodecs 4x16 x32 order %d: %u bytes, encode %8.1f MB/s, decode %8.1f MB/s%s\n", order,
                comp_size, mbps(n, te), ref_dec[order], ok ? "" : "  MISMATCH");
  }
  std::printf("ratio to htscodecs decode: order 0");
  for (size_t i = 0; i < paths.size(); ++i) std::printf(" %s %.2fx", paths[i].name, dec_o0[i] / ref_dec[0]);
  std::printf("; order 1 %.2fx\n", dec_o1 / ref_dec[1]);
#endif
  return 0;
}
