// ZARV_FUZZ_TARGET(name) defines a fuzz entry point.
//
// Built with -DZARV_FUZZ=ON each fuzz_*.cpp is its own libFuzzer binary and the
// macro defines LLVMFuzzerTestOneInput. In the test build all targets link into
// one replay driver (fuzz/replay.cpp), which registers them by name and runs
// every file of fuzz/corpus/<name>/ through the matching target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace zarv::fuzz {
using Entry = int (*)(const uint8_t*, size_t);
inline std::map<std::string, Entry>& registry() {
  static std::map<std::string, Entry> targets;
  return targets;
}
struct Register {
  Register(const char* name, Entry entry) { registry()[name] = entry; }
};
}  // namespace zarv::fuzz

#ifdef ZARV_FUZZ_REPLAY
#define ZARV_FUZZ_TARGET(name)                                                   \
  static int zarv_fuzz_##name(const uint8_t* data, size_t size);                 \
  static const zarv::fuzz::Register zarv_fuzz_reg_##name(#name, zarv_fuzz_##name); \
  static int zarv_fuzz_##name(const uint8_t* data, size_t size)
#else
#define ZARV_FUZZ_TARGET(name) \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
#endif
