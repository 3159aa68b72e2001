// The files of a fuzzer's corpus folder and their bytes, for the tests that replay a corpus.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vorn::fuzz {

// Every file of |dir| but the hidden ones; none when the folder cannot be read.
inline std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') out.push_back(dir + "/" + e->d_name);
    closedir(d);
  }
  return out;
}

inline std::vector<uint8_t> Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace vorn::fuzz
