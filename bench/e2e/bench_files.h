// Reading the benchmark's request bodies whole into memory.
#pragma once

#include <fstream>
#include <string>

namespace torvesk::bench {

// False when the file cannot be read.
inline bool read_whole_file(const char* path, std::string& out) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return false;
  out.resize(static_cast<std::size_t>(file.tellg()));
  file.seekg(0);
  return static_cast<bool>(file.read(out.data(), static_cast<std::streamsize>(out.size())));
}

}  // namespace torvesk::bench
