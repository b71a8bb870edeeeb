// The platform layer: the only place where the engine calls the operating system for
// files, locks, clocks and sleeps. Results are errno values (0 for success), which the
// file handler maps onto engine codes with MapOsError.
//
// The POSIX implementation:
//  - opens and creates with open/pread/pwrite/ftruncate and 64-bit offsets; write-through
//    is O_DSYNC, flush is fdatasync, every file gets POSIX_FADV_RANDOM;
//  - emulates the sharing modes with open-file-description locks just past every lock
//    the engine takes (its highest is the data write lock at 0x7FFFFFFF), all taken
//    without waiting; a conflict is EWOULDBLOCK (engine error 11013):
//      kShareLockByte          a shared open holds a read lock, an exclusive open a
//                              write lock;
//      kReadOnlyExclusiveByte  read-locked by an exclusive open of a file that cannot
//                              be opened for writing (its permissions, a read-only
//                              file system), which cannot hold a write lock: it also
//                              read-locks kShareLockByte once no other open holds that
//                              byte, and a shared open refuses itself while another
//                              open holds this one. Each locks first and looks second,
//                              so of two racing opens at least one gives way.
//    A shared open thus keeps out only exclusive opens, never another user's record or
//    write locks, and the locks work the same on network file systems, which keep
//    byte-range locks on the server. (flock is no good there: NFS, SMB and GlusterFS
//    clients turn it into a lock on the whole file, which refuses every byte-range lock
//    of every other user.) An exclusive open asks for a descriptor open for writing,
//    as a write lock needs one, even when it only reads. Create opens without
//    truncating, takes the write lock and only then truncates, so a file another user
//    holds is never emptied;
//  - takes byte-range locks as open-file-description locks (F_OFD_SETLK, never the
//    waiting form): they belong to the open file, so two handles in one process exclude
//    each other exactly as two processes do. Process-wide fcntl locks are never used;
//  - resolves the name of an existing file first exactly and then, as archives come
//    from case-insensitive file systems, as the one entry of its folder whose name
//    matches without regard to ASCII case (the first in byte order when several do);
//  - treats a file whose owner-write permission bit is clear as read-only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ovrin {

// The bytes whose locks stand for the opens of a file (their sharing modes), past the
// engine's lock map.
constexpr int64_t kShareLockByte = 0x80000000LL;
constexpr int64_t kReadOnlyExclusiveByte = 0x80000001LL;

struct TOpenOptions {
  bool write = false;         // read and write access, else read only
  bool exclusive = false;     // no other open of the file may coexist
  bool writeThrough = false;  // every write reaches the device before it returns
};

// One piece of a gathered write.
struct TWritePiece {
  const void* bytes;
  size_t count;
};
// Whether this user's permissions refuse the access mode asks of path (R_OK, W_OK, X_OK
// as for access(); an empty path is the current folder); errno then tells why.
bool PermissionDenied(const std::string& path, int mode);
// Writes count bytes at the descriptor's position, again after an interrupted call: 0, or
// the system's error number (ENOSPC for a write that took nothing).
int WriteAll(int fd, const void* data, size_t count);
// Makes or empties the file at path and writes text as the whole of it: 0, or the
// system's error number (the file may then hold part of the text).
int WriteWholeFile(const std::string& path, std::string_view text);
// The pieces' bytes one after another.
std::vector<uint8_t> JoinPieces(const TWritePiece* pieces, size_t count);

class TOsFile {
 public:
  virtual ~TOsFile() = default;
  // Reads up to count bytes at offset; *done is what was read (short at end of file).
  virtual int Read(int64_t offset, void* buffer, size_t count, size_t* done) = 0;
  virtual int Write(int64_t offset, const void* buffer, size_t count, size_t* done) = 0;
  // Writes the pieces one after another from offset, as one Write of their bytes joined
  // would; *done counts the bytes written. This one joins them and calls Write (so a
  // file that stands between, such as one that injects faults, sees one write); a file
  // that can gather them in one system call does so without the copy.
  virtual int WriteGather(int64_t offset, const TWritePiece* pieces, size_t count, size_t* done);
  virtual int Truncate(int64_t size) = 0;
  virtual int GetSize(int64_t* size) = 0;
  virtual int Sync() = 0;
  // Never waits. A conflict with a lock held through another open file answers 0 with
  // *acquired false; a shared lock conflicts only with exclusive ones.
  virtual int Lock(int64_t offset, int64_t length, bool shared, bool* acquired) = 0;
  virtual int Unlock(int64_t offset, int64_t length) = 0;
};

class TPlatform {
 public:
  virtual ~TPlatform() = default;
  // The path of an existing file under the exact or a case-insensitively matching name;
  // empty when there is none.
  virtual std::string ResolveExisting(const std::string& path) = 0;
  virtual int IsReadOnly(const std::string& path, bool* readOnly) = 0;
  virtual int Open(const std::string& path, const TOpenOptions& options,
                   std::unique_ptr<TOsFile>* file) = 0;
  // Creates the file or empties an existing one; always read-write and exclusive.
  virtual int Create(const std::string& path, const TOpenOptions& options,
                     std::unique_ptr<TOsFile>* file) = 0;
  virtual int Remove(const std::string& path) = 0;
  virtual int Rename(const std::string& from, const std::string& to) = 0;
  // Milliseconds of a monotonic clock, and a sleep.
  virtual uint64_t TickMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
};

// The platform in use; the POSIX one unless a test installed another.
TPlatform& Platform();
// Installs a platform for the whole process (nullptr restores the POSIX one) and answers
// the one that was in use.
TPlatform* SetPlatform(TPlatform* platform);
TPlatform& PosixPlatform();

// Opens /dev/null on each of the standard descriptors 0, 1 and 2 that is closed. Every
// program calls it first: otherwise the first table file it opens would get a closed
// descriptor's number, and a message meant for standard error would be written over
// that table (or standard input read from it). Answers false when /dev/null cannot be
// opened for one of them.
bool EnsureStandardDescriptors();

// Engine code for an errno value: ENOENT, ENOTDIR -> 11010; EMFILE, ENFILE -> 11012;
// EACCES, EPERM, EROFS and a sharing or lock conflict -> 11013; EBADF -> 11014;
// ENOMEM -> 11016; EXDEV -> 11025; anything else -> 11047.
uint16_t MapOsError(int err);

// The file name part of a path and the folder part (with its trailing delimiter).
std::string PathFileName(const std::string& path);
std::string PathFolder(const std::string& path);

}  // namespace ovrin
