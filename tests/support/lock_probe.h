// What another open file of the same file sees of the locks on a span of its bytes.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace ovrin::test {

// The type of a lock that conflicts with a write lock on the span (F_UNLCK for none),
// asked from a descriptor of its own; -1 when the file cannot be asked.
inline short LockSeenAt(const std::string& path, int64_t start, int64_t length = 1) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = length;
  short seen = ::fcntl(fd, F_OFD_GETLK, &fl) == 0 ? fl.l_type : -1;
  ::close(fd);
  return seen;
}

}  // namespace ovrin::test
