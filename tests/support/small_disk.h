// Work on a disk that fills up: a small file system of its own (tmpfs), mounted in a
// child process's private mount namespace, so that it goes with the child whatever
// happens. Needs root (the suite's runs have it); otherwise the work cannot be done.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

#include "tests/support/unprivileged.h"

namespace ovrin::test {

inline constexpr const char* kNoSmallDisk = "could not mount a small file system";

// Does `work(folder)` in a child where `folder` (made when missing) is a file system of
// `bytes`; answers what the work answered, or kNoSmallDisk.
inline std::string OnSmallDisk(const std::string& folder, uint64_t bytes,
                               const std::function<std::string(const std::string&)>& work) {
  if (::geteuid() != 0) return kNoSmallDisk;
  ::mkdir(folder.c_str(), 0755);
  return InChild(
      [&] {
        const std::string options = "size=" + std::to_string(bytes);
        return ::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               ::mount("tmpfs", folder.c_str(), "tmpfs", 0, options.c_str()) == 0;
      },
      kNoSmallDisk, [&] { return work(folder); });
}

}  // namespace ovrin::test
