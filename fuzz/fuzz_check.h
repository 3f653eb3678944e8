// Property checks of the fuzz targets. A broken property prints what broke and aborts, so that
// libFuzzer keeps the input as a crash like any sanitizer report.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace torvesk::fuzz {

[[noreturn]] inline void property_broken(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
  std::abort();
}

// The input as text; libFuzzer hands over bytes.
inline std::string_view input_text(const unsigned char* data, std::size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

}  // namespace torvesk::fuzz

#define FUZZ_CHECK(condition)                                                           \
  do {                                                                                  \
    if (!(condition)) ::torvesk::fuzz::property_broken(#condition, __FILE__, __LINE__); \
  } while (false)
