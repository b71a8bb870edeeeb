#include "main/target_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/base/conversions.h"
#include "engine/base/datetime.h"
#include "engine/base/platform.h"
#include "main/migration.h"
#include "main/run_summary.h"

namespace hollard {

TTargetLock::~TTargetLock() { Release(); }

void TTargetLock::Release() {
  if (fd_ < 0) return;
  // The file goes before the lock: a run waiting to lock this file finds, once it has
  // the lock, that its path names no file any more and makes a new one.
  ::unlink(path_.c_str());
  ::close(fd_);  // releases the lock
  fd_ = -1;
}

TTargetLock::TResult TTargetLock::Acquire(const std::string& folder, std::string* detail, const std::string& doing) {
  Release();
  const std::string path = folder + kFileName;
  for (int attempt = 0;; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      *detail = "cannot make the lock file " + path + ": " + std::strerror(errno);
      return TResult::Failed;
    }
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
      int err = errno;
      if (err == EAGAIN || err == EACCES) {
        char text[256] = {};
        ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        std::string holder(text, n > 0 ? static_cast<size_t>(n) : 0);
        while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0')) holder.pop_back();
        *detail = holder.empty() ? std::string("another run") : holder;
        ::close(fd);
        return TResult::HeldByAnother;
      }
      *detail = "cannot lock " + path + ": " + std::strerror(err);
      ::close(fd);
      return TResult::Failed;
    }
    // The holder before may have removed the file between our open and our lock: the
    // lock counts only on the file the path still names.
    struct stat held {}, named {};
    if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
      fd_ = fd;
      path_ = path;
      break;
    }
    ::close(fd);
    if (attempt >= 20) {
      *detail = "cannot lock " + path + ": it is made and removed again and again";
      return TResult::Failed;
    }
  }
  char host[128] = {};
  ::gethostname(host, sizeof host - 1);
  std::string who = "process " + std::to_string(::getpid()) + " on " + host + (doing.empty() ? "" : ", " + doing) + "\n";
  if (::ftruncate(fd_, 0) == 0) {
    ssize_t written = ::pwrite(fd_, who.data(), who.size(), 0);
    (void)written;  // the name is for messages only; the lock is what counts
  }
  return TResult::Taken;
}

bool TTargetLock::HeldByRepair(const std::string& detail) { return detail.find(", repairing ") != std::string::npos; }

std::string TTargetLock::HolderKind(const std::string& detail, const std::string& folderShown) {
  if (HeldByRepair(detail)) return "a repair in " + folderShown;
  if (detail.rfind("process ", 0) != 0) return "a migration or repair in " + folderShown;
  return "a migration into " + folderShown;
}

bool TUnfinishedRun::Write(const std::string& folder, const std::string& text, int* error) {
  // Written beside and renamed over, so that a reader never sees half a record.
  const std::string path = folder + kFileName, partial = path + ".new";
  auto failed = [&](int err) {
    ::unlink(partial.c_str());
    if (error) *error = err;
    return false;
  };
  if (const int written = ovrin::WriteWholeFile(partial, text)) return failed(written);
  if (::rename(partial.c_str(), path.c_str()) != 0) return failed(errno);
  return true;
}

std::string TUnfinishedRun::Read(const std::string& folder) {
  std::ifstream in(folder + kFileName, std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), {});
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.substr(0, 2000);
}

void TUnfinishedRun::Clear(const std::string& folder) { ::unlink((folder + kFileName).c_str()); }

namespace {
constexpr const char* kBackupIs = "; its backup is in ";
constexpr const char* kDidNotEnd = " did not end";

std::string AbsoluteFolder(const std::string& folder) {
  std::error_code ec;
  std::string absolute = std::filesystem::absolute(folder, ec).lexically_normal().string();
  return ec ? folder : absolute;
}
}  // namespace

std::string TUnfinishedRun::StartedText(const std::string& sourceDir, const std::string& note) {
  return "a run started at " +
         ovrin::FormatDateTime("yyyy-mm-dd hh:nn:ss", ovrin::Now(), ovrin::FixedFormatSettings()) + " by process " +
         std::to_string(::getpid()) + " from " + AbsoluteFolder(sourceDir) + kDidNotEnd + note;
}

std::string TUnfinishedRun::EndedText(const std::string& sourceDir, const TMigrationReport& report,
                                      const std::string& note) {
  std::string what = "stopped at step " + std::to_string(report.stoppedAtStep);
  if (!report.Stopped())
    for (const TStepOutcome& step : report.steps)
      if (!step.succeeded) {
        what = "failed in step " + StepRange(step) + " (" + step.procedure + ")";
        break;
      }
  return "a run from " + AbsoluteFolder(sourceDir) + " " + what + note;
}

std::string TUnfinishedRun::BackupNote(const std::string& backup) {
  return backup.empty() ? std::string() : kBackupIs + AbsoluteFolder(backup);
}

std::string TUnfinishedRun::WriteFailed(const std::string& folder, const std::string& shown, int error, bool* full) {
  // A full disk fails the run at its first writes, and without the mark the next run
  // would not know that this one left part of an archive behind.
  *full = error == ENOSPC || error == EDQUOT;
  return "cannot write " + folder + kFileName + " (the mark of a run that has not finished): " +
         std::strerror(error) + (*full ? ". The disk that holds " + shown + " is full" : std::string());
}

std::string TUnfinishedRun::KilledRunBackup(const std::string& record) {
  const size_t note = record.rfind(kBackupIs);
  if (record.rfind("a run started at ", 0) != 0 || note == std::string::npos) return {};
  const size_t end = record.rfind(kDidNotEnd, note);
  if (end == std::string::npos || end + std::strlen(kDidNotEnd) != note) return {};
  return record.substr(note + std::strlen(kBackupIs));
}

}  // namespace hollard
