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

struct TMigrationReport;

class TTargetLock {
 public:
  TTargetLock() = default;
  ~TTargetLock();
  TTargetLock(const TTargetLock&) = delete;
  TTargetLock& operator=(const TTargetLock&) = delete;

  enum class TResult { Taken, HeldByAnother, Failed };
  // Takes the lock of the folder (which ends in its delimiter). HeldByAnother: *detail
  // names the holder as its lock file says ("process 1234 on host", then `doing` when
  // the holder gave it); Failed: *detail is the reason the lock file could not be made or
  // locked. The archive tool's repair takes the same lock, so that a run and a repair of
  // one archive keep out of each other's way.
  TResult Acquire(const std::string& folder, std::string* detail, const std::string& doing = {});
  // Whether the holder's detail names a repair of the archive tool.
  static bool HeldByRepair(const std::string& detail);
  // What holds the lock, for a message, from the holder's detail: "a migration into
  // FOLDER", "a repair in FOLDER", or either when the holder has not named itself yet.
  static std::string HolderKind(const std::string& detail, const std::string& folderShown);
  void Release();
  bool Held() const { return fd_ >= 0; }

  static constexpr const char* kFileName = ".hollard-migrate.lock";

 private:
  int fd_ = -1;
  std::string path_;
};

// The record of a run that has not finished: the file ".hollard-migrate.unfinished" in
// the target folder, written before the first step and removed when the run succeeds
// (or its backup is put back). A run that failed or was stopped leaves it saying so; a
// killed run leaves it saying it was running. The next run's guard against migrating an
// archive twice reads it, so that it tells the user that the target holds part of an
// earlier run rather than advising to migrate the archive again.
struct TUnfinishedRun {
  static constexpr const char* kFileName = ".hollard-migrate.unfinished";
  // Writes the record (the folder ends in its delimiter); false when it cannot be written,
  // with the system's error number in *error when asked for. Nothing is left half made.
  static bool Write(const std::string& folder, const std::string& text, int* error = nullptr);
  // The record's text, empty when there is none.
  static std::string Read(const std::string& folder);
  static void Clear(const std::string& folder);
  // The record written before the first step, and the one a failed or stopped run leaves:
  // the source folder named absolute, so that it reads the same from wherever the next
  // run starts; `note` follows (the run's backup folder, when it has one).
  static std::string StartedText(const std::string& sourceDir, const std::string& note);
  static std::string EndedText(const std::string& sourceDir, const TMigrationReport& report, const std::string& note);
  // "; its backup is in DIR", absolute; empty without a backup.
  static std::string BackupNote(const std::string& backup);
  // Why the record could not be written, from Write's error: "cannot write FILE (the mark
  // of a run that has not finished): REASON", and when the disk is full (then *full is
  // set: the run must not start) ". The disk that holds SHOWN is full".
  static std::string WriteFailed(const std::string& folder, const std::string& shown, int error, bool* full);
  // The backup folder that the record of a killed run (one that did not end) names;
  // empty for any other record.
  static std::string KilledRunBackup(const std::string& record);
};

}  // namespace hollard
