#include "engine/base/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <thread>
#include <vector>

#include "engine/base/errors.h"

namespace ovrin {

namespace {

// One open-file-description lock request (F_RDLCK, F_WRLCK or F_UNLCK), never waiting.
// A conflict answers 0 with *acquired false.
int LockFd(int fd, short type, int64_t offset, int64_t length, bool* acquired) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = offset;
  fl.l_len = length;
  *acquired = false;
  while (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EACCES) return 0;
    return errno;
  }
  *acquired = true;
  return 0;
}

class TPosixFile final : public TOsFile {
 public:
  // writable: whether the caller asked for write access. An exclusive open for reading
  // has a descriptor open for writing too (for its lock), but writes through it are
  // refused as they would be on a descriptor open for reading.
  TPosixFile(int fd, bool writable) : fd_(fd), writable_(writable) {}
  ~TPosixFile() override { ::close(fd_); }

  int Read(int64_t offset, void* buffer, size_t count, size_t* done) override {
    *done = 0;
    auto* p = static_cast<char*>(buffer);
    while (*done < count) {
      ssize_t n = ::pread(fd_, p + *done, count - *done, offset + static_cast<int64_t>(*done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) break;
      *done += static_cast<size_t>(n);
    }
    return 0;
  }

  int Write(int64_t offset, const void* buffer, size_t count, size_t* done) override {
    *done = 0;
    if (!writable_) return EBADF;
    const auto* p = static_cast<const char*>(buffer);
    while (*done < count) {
      ssize_t n = ::pwrite(fd_, p + *done, count - *done, offset + static_cast<int64_t>(*done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) return EIO;
      *done += static_cast<size_t>(n);
    }
    return 0;
  }

  int WriteGather(int64_t offset, const TWritePiece* pieces, size_t count, size_t* done) override {
    *done = 0;
    if (!writable_) return EBADF;
    // In batches of at most IOV_MAX pieces; a short write goes on from where it stopped.
    std::array<struct iovec, IOV_MAX> parts;
    size_t next = 0, skip = 0;  // the first piece not yet written whole, and its bytes written
    while (next < count) {
      int used = 0;
      for (size_t i = next; i < count && used < IOV_MAX; ++i) {
        const size_t from = i == next ? skip : 0;
        if (pieces[i].count > from)
          parts[used++] = {const_cast<char*>(static_cast<const char*>(pieces[i].bytes)) + from, pieces[i].count - from};
      }
      if (used == 0) break;
      ssize_t n = ::pwritev(fd_, parts.data(), used, offset + static_cast<int64_t>(*done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) return EIO;
      *done += static_cast<size_t>(n);
      size_t left = static_cast<size_t>(n);
      while (next < count && left >= pieces[next].count - skip) {
        left -= pieces[next].count - skip;
        skip = 0;
        ++next;
      }
      skip += left;
    }
    return 0;
  }

  int Truncate(int64_t size) override {
    if (!writable_) return EINVAL;
    while (::ftruncate(fd_, size) != 0) {
      if (errno != EINTR) return errno;
    }
    return 0;
  }

  int GetSize(int64_t* size) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) return errno;
    *size = st.st_size;
    return 0;
  }

  int Sync() override { return ::fdatasync(fd_) == 0 ? 0 : errno; }

  int Lock(int64_t offset, int64_t length, bool shared, bool* acquired) override {
    return LockFd(fd_, shared ? F_RDLCK : F_WRLCK, offset, length, acquired);
  }

  int Unlock(int64_t offset, int64_t length) override {
    bool done = false;
    return LockFd(fd_, F_UNLCK, offset, length, &done);
  }

 private:
  int fd_;
  bool writable_;
};

// Opens without blocking and takes only regular files: a FIFO or device in a table's
// place would otherwise block the open (or the reads) for ever, or feed endless bytes.
// Such a file answers ENODEV.
int OpenFd(const std::string& path, int flags, const TOpenOptions& options, int* fd) {
  if (options.writeThrough) flags |= O_DSYNC;
  flags |= O_CLOEXEC | O_NONBLOCK;
  do {
    *fd = ::open(path.c_str(), flags, 0666);
  } while (*fd < 0 && errno == EINTR);
  if (*fd < 0) return errno;
  struct stat st {};
  const bool statted = ::fstat(*fd, &st) == 0;
  if (!statted || !S_ISREG(st.st_mode)) {
    int err = !statted ? errno : S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
    ::close(*fd);
    *fd = -1;
    return err;
  }
  int mode = ::fcntl(*fd, F_GETFL);
  if (mode != -1) ::fcntl(*fd, F_SETFL, mode & ~O_NONBLOCK);
  return 0;
}

// Whether an open file other than fd holds a lock on the byte (a read or a write lock).
int OtherHolds(int fd, int64_t byte, bool* held) {
  struct flock fl = {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = byte;
  fl.l_len = 1;
  while (::fcntl(fd, F_OFD_GETLK, &fl) != 0) {
    if (errno != EINTR) return errno;
  }
  *held = fl.l_type != F_UNLCK;
  return 0;
}

// Takes the sharing-mode locks (see the header); a conflict answers EWOULDBLOCK. A lock
// taken before a refusal goes with the descriptor, which the caller then closes.
int TakeShareLock(int fd, bool exclusive, bool writable) {
  bool acquired = false;
  bool held = false;
  if (exclusive && writable) {
    if (int err = LockFd(fd, F_WRLCK, kShareLockByte, 1, &acquired)) return err;
    return acquired ? 0 : EWOULDBLOCK;
  }
  if (!exclusive) {
    // Lock first, look second; the exclusive open below does the same the other way
    // round, so of two racing opens at least one sees the other.
    if (int err = LockFd(fd, F_RDLCK, kShareLockByte, 1, &acquired)) return err;
    if (!acquired) return EWOULDBLOCK;
    if (int err = OtherHolds(fd, kReadOnlyExclusiveByte, &held)) return err;
    return held ? EWOULDBLOCK : 0;
  }
  if (int err = LockFd(fd, F_RDLCK, kReadOnlyExclusiveByte, 1, &acquired)) return err;
  if (!acquired) return EWOULDBLOCK;
  if (int err = OtherHolds(fd, kShareLockByte, &held)) return err;
  if (held) return EWOULDBLOCK;
  if (int err = LockFd(fd, F_RDLCK, kShareLockByte, 1, &acquired)) return err;
  return acquired ? 0 : EWOULDBLOCK;
}

class TPosixPlatform final : public TPlatform {
 public:
  std::string ResolveExisting(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return path;
    std::string folder = PathFolder(path);
    std::string name = PathFileName(path);
    if (name.empty()) return {};
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir) return {};
    std::string best;
    while (struct dirent* entry = ::readdir(dir)) {
      if (::strcasecmp(entry->d_name, name.c_str()) == 0 &&
          (best.empty() || std::string(entry->d_name) < best))
        best = entry->d_name;
    }
    ::closedir(dir);
    return best.empty() ? std::string() : folder + best;
  }

  int IsReadOnly(const std::string& path, bool* readOnly) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    // The owner's write bit is the attribute; access() would let root write anyway.
    *readOnly = (st.st_mode & S_IWUSR) == 0 || ::access(path.c_str(), W_OK) != 0;
    return 0;
  }

  int Open(const std::string& path, const TOpenOptions& options,
           std::unique_ptr<TOsFile>* file) override {
    int fd;
    bool writable = options.write;
    if (options.exclusive && !options.write) {
      // The write lock of an exclusive open needs a descriptor open for writing, even
      // when the caller only reads (the file handler never writes a read-only file).
      int err = OpenFd(path, O_RDWR, options, &fd);
      if (err == 0) {
        writable = true;
      } else if (err == EACCES || err == EPERM || err == EROFS) {
        if (int again = OpenFd(path, O_RDONLY, options, &fd)) return again;
      } else {
        return err;
      }
    } else if (int err = OpenFd(path, options.write ? O_RDWR : O_RDONLY, options, &fd)) {
      return err;
    }
    if (int err = TakeShareLock(fd, options.exclusive, writable)) {
      ::close(fd);
      return err;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    *file = std::make_unique<TPosixFile>(fd, options.write);
    return 0;
  }

  int Create(const std::string& path, const TOpenOptions& options,
             std::unique_ptr<TOsFile>* file) override {
    int fd;
    if (int err = OpenFd(path, O_RDWR | O_CREAT, options, &fd)) return err;
    if (int err = TakeShareLock(fd, true, true)) {
      ::close(fd);
      return err;
    }
    while (::ftruncate(fd, 0) != 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return err;
    }
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    *file = std::make_unique<TPosixFile>(fd, true);
    return 0;
  }

  int Remove(const std::string& path) override {
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
  }

  int Rename(const std::string& from, const std::string& to) override {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }

  uint64_t TickMs() override {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
  }

  void SleepMs(uint32_t ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
};

std::atomic<TPlatform*> g_platform{nullptr};

}  // namespace

TPlatform& PosixPlatform() {
  static TPosixPlatform platform;
  return platform;
}

TPlatform& Platform() {
  TPlatform* p = g_platform.load(std::memory_order_acquire);
  return p ? *p : PosixPlatform();
}

TPlatform* SetPlatform(TPlatform* platform) {
  TPlatform* old = g_platform.exchange(platform, std::memory_order_acq_rel);
  return old ? old : &PosixPlatform();
}

bool EnsureStandardDescriptors() {
  bool ok = true;
  // In order: open() answers the lowest free number, so 0 is filled before 1 and 2.
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) {
      ok = false;
      continue;
    }
    if (opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
  return ok;
}

uint16_t MapOsError(int err) {
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      return errInvalidPath;
    case EMFILE:
    case ENFILE:
      return errTooManyFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EWOULDBLOCK:
      return errAccessDenied;
    case EBADF:
      return errInvalidHandle;
    case ENOMEM:
      return errNoMemory;
    case EXDEV:
      return errMoved;
    default:
      return errOsUnknown;
  }
}

std::string PathFileName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int WriteAll(int fd, const void* data, size_t count) {
  const auto* bytes = static_cast<const char*>(data);
  for (size_t done = 0; done < count;) {
    const ssize_t n = ::write(fd, bytes + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : ENOSPC;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int WriteWholeFile(const std::string& path, std::string_view text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return errno;
  int error = WriteAll(fd, text.data(), text.size());
  if (::close(fd) != 0 && !error) error = errno;
  return error;
}

bool PermissionDenied(const std::string& path, int mode) {
  return ::access(path.empty() ? "." : path.c_str(), mode) != 0 && (errno == EACCES || errno == EPERM);
}

std::vector<uint8_t> JoinPieces(const TWritePiece* pieces, size_t count) {
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += pieces[i].count;
  std::vector<uint8_t> joined(total);
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    if (pieces[i].count) std::memcpy(joined.data() + at, pieces[i].bytes, pieces[i].count);
    at += pieces[i].count;
  }
  return joined;
}

int TOsFile::WriteGather(int64_t offset, const TWritePiece* pieces, size_t count, size_t* done) {
  const std::vector<uint8_t> joined = JoinPieces(pieces, count);
  return Write(offset, joined.data(), joined.size(), done);
}

std::string PathFolder(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace ovrin
