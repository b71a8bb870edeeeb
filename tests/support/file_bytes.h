// A whole file's bytes, for tests that compare files or check what was written.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
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

// Every file of a folder by name, with its size and the bytes of its data regions (each
// with its offset): a snapshot of the same worth as FolderBytes for a folder that holds
// large sparse files, whose holes it neither reads nor keeps.
inline std::map<std::string, std::string> FolderDigest(const std::string& folder) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    std::string& digest = out[e.path().filename().string()];
    int fd = ::open(e.path().c_str(), O_RDONLY);
    if (fd < 0) {
      digest = "unreadable";
      continue;
    }
    const off_t size = ::lseek(fd, 0, SEEK_END);
    digest = "size " + std::to_string(size);
    for (off_t at = ::lseek(fd, 0, SEEK_DATA); at >= 0 && at < size;) {
      off_t end = ::lseek(fd, at, SEEK_HOLE);
      if (end < 0) end = size;
      std::string bytes(static_cast<size_t>(end - at), '\0');
      ssize_t got = ::pread(fd, bytes.data(), bytes.size(), at);
      if (got < 0) got = 0;
      bytes.resize(static_cast<size_t>(got));
      digest += "|" + std::to_string(at) + ":" + bytes;
      if (end >= size) break;
      at = ::lseek(fd, end, SEEK_DATA);
    }
    ::close(fd);
  }
  return out;
}

}  // namespace ovrin::test
