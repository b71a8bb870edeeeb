// One run per target archive. A run holds an exclusive lock on the lock file
// ".hollard-migrate.lock" in the target folder from before its guards until it ends, so
// that two runs started at once cannot both pass the guard against migrating an archive
// twice. The lock is an open-file-description lock on the file's first byte: it goes
// with the process (also when the process is killed), never with a stale file. The file
// holds the holder's process number and host name, for the message of a run refused,
// and is removed when the run lets go (a killed run leaves it, unlocked).
// The tables' own locks still protect them from other programs.
#pragma once

#include <string>

namespace hollard {

class TTargetLock {
 public:
  TTargetLock() = default;
  ~TTargetLock();
  TTargetLock(const TTargetLock&) = delete;
  TTargetLock& operator=(const TTargetLock&) = delete;

  enum class TResult { Taken, HeldByAnother, Failed };
  // Takes the lock of the folder (which ends in its delimiter). HeldByAnother: *detail
  // names the holder as its lock file says ("process 1234 on host"); Failed: *detail is
  // the reason the lock file could not be made or locked.
  TResult Acquire(const std::string& folder, std::string* detail);
  void Release();
  bool Held() const { return fd_ >= 0; }

  static constexpr const char* kFileName = ".hollard-migrate.lock";

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace hollard
