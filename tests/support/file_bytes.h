// A whole file's bytes, for tests that compare files or check what was written.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace ovrin::test {

inline std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFileBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Every file of a folder by name, with its bytes: a snapshot to compare before and after.
inline std::map<std::string, std::string> FolderBytes(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    out[e.path().filename().string()] = FileBytes(e.path().string());
  return out;
}

}  // namespace ovrin::test
