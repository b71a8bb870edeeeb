// A whole file's bytes, for tests that compare files or check what was written.
#pragma once

#include <fstream>
#include <iterator>
#include <string>

namespace ovrin::test {

inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace ovrin::test
