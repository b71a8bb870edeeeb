// TFileHandler: the one place where the engine touches a file, on disk or as a memory
// file of the current file session, with the same results either way.
//
// Byte-range lock map shared by every user of a table (locks lie at the top of the
// 31-bit offset range, far beyond any data, so they never cover bytes that are read or
// written; no data is ever kept in locked bytes):
//
//   file              offset                         length  meaning
//   data file         0x7FFFFFFF                          1  data write lock
//   data file         0x7FFFFFFE - n                      1  lock of physical record n
//                                                            (n from 1 to 100,000,000)
//   index, blob file  0x7FFF0000                     65,535  write lock of that file
//   index, blob file  0x7FFFFFFF - k (k in 1..65,534)     1  read lock of one user
//   every disk file   0x80000000                          1  the open itself: read lock
//                                                            when shared, write lock
//                                                            when exclusive
//   every disk file   0x80000001                          1  exclusive open of a file
//                                                            that cannot be opened for
//                                                            writing (read lock)
//
// The last two are the sharing modes, taken by the platform layer at open (see
// platform.h): a shared open keeps out only exclusive opens and never blocks a lock of
// the map above, on a local disk and on a file server alike. An exclusive handler takes
// no lock of the map; memory files keep their own lock lists and sharing marks.
//
// A reader holds one random byte of the index and blob files' area as a shared lock; a
// writer locks the whole area exclusively, which it can do only when no reader holds a
// byte and which keeps new readers out meanwhile. The data write lock and the record
// locks are exclusive.
//
// Failures raise EOvrinEngineError naming the handler's file. Lock requests answer
// false on a conflict; the callers own the retry policies below.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/base/platform.h"

namespace ovrin {

class TMemoryFile;

namespace lockmap {
constexpr uint32_t kDataWriteLock = 0x7FFFFFFF;
constexpr uint32_t kRecordLockBase = 0x7FFFFFFE;  // record n locks kRecordLockBase - n
constexpr uint32_t kMaxLockedRecord = 100000000;
constexpr uint32_t kAreaStart = 0x7FFF0000;       // index and blob file write lock
constexpr uint32_t kAreaLength = 65535;
constexpr uint32_t kReadLockTop = 0x7FFFFFFF;     // reader k locks kReadLockTop - k
constexpr uint32_t kReadLockMax = 65534;
// Retry policies: the data write lock and the index and blob file locks sleep 3 ms
// between at most 8,192 retries; record locks try LockRetryCount + 1 times, sleeping
// LockWaitTime between. Every wait sleeps rather than spins, so that a waiting user
// leaves the processor to the user it waits for.
constexpr int kLockRetries = 8192;
constexpr uint32_t kLockRetryWaitMs = 3;
}  // namespace lockmap

class TFileHandler {
 public:
  TFileHandler() = default;
  virtual ~TFileHandler();
  TFileHandler(const TFileHandler&) = delete;
  TFileHandler& operator=(const TFileHandler&) = delete;

  // Maps a name to the file name of this kind of file; the base class keeps it.
  virtual std::string MapFileName(const std::string& name) const { return name; }
  virtual void Open();
  virtual void Close();
  // A new, empty file; the handler must be exclusive (10253) and closed (10031).
  virtual void Create();
  virtual void Delete();
  virtual void Rename(const std::string& newName);
  virtual void Copy(const std::string& destination);
  // Reads count bytes at the position; fewer is 9217 unless short reads are allowed.
  virtual uint32_t Read(void* buffer, uint32_t count, bool shortAllowed = false);
  // Writes count bytes at the position (fewer is 9218); a count of 0 truncates the file
  // at the position.
  virtual void Write(const void* buffer, uint32_t count);
  // Writes the pieces at the position one after another, as Write of their bytes joined
  // (count pieces of at least one byte in all); on disk without joining them first.
  void WriteGather(const TWritePiece* pieces, size_t count);
  virtual void Flush();

  // Each raises 10031 when the value changes while the file is open.
  void SetInMemory(bool inMemory);
  void SetExclusive(bool exclusive);
  void SetReadOnly(bool readOnly);
  void SetFileName(const std::string& name);
  // Ignored while open.
  void SetWriteThrough(bool writeThrough);

  bool InMemory() const { return inMemory_; }
  bool Exclusive() const { return exclusive_; }
  bool ReadOnly() const { return readOnly_; }
  bool ReadOnlyByAttribute() const { return readOnlyByAttribute_; }
  bool WriteThrough() const { return writeThrough_; }
  bool IsOpen() const { return open_; }
  const std::string& FileName() const { return fileName_; }
  // The memory file handle number, 1 for an open disk file, 0 when closed.
  int32_t Handle() const { return handle_; }

  bool Exists() const;
  // origin: 0 start, 1 current, 2 end. Answers the new position.
  int64_t Seek(int64_t offset, int origin);
  int64_t Position();
  // The position of the end; leaves the file position there.
  int64_t Size();

  // Byte-range locks; an exclusive handler always succeeds without locking. shared asks
  // for a lock that only excludes exclusive ones (a reader's byte).
  bool LockRange(uint32_t offset, uint32_t length, bool shared = false);
  bool UnlockRange(uint32_t offset, uint32_t length);

  // Raises the engine error of an errno value, naming this file.
  [[noreturn]] void RaiseOsError(int err) const;
  // Raises an engine error naming this file.
  [[noreturn]] void Raise(uint16_t code) const;

 private:
  void CheckClosedForChange(bool changed) const;
  TMemoryFile* RequireMemoryFile(uint16_t code) const;

  bool inMemory_ = false;
  TMemoryFile* memoryFile_ = nullptr;
  std::string fileName_;
  int32_t handle_ = 0;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool readOnlyByAttribute_ = false;
  bool open_ = false;
  bool writeThrough_ = false;
  std::unique_ptr<TOsFile> osFile_;
  std::string osName_;  // the name the file was found under on disk
  int64_t position_ = 0;
};

// The read and write locks of an index or blob file: a writer holds the whole area, a
// reader one random byte of it (a new byte for every attempt). Each is taken at most once
// and released only when held; a take tries 8,193 times with 3-millisecond sleeps.
class TAreaLocks {
 public:
  bool TakeWrite(TFileHandler& file);
  void ReleaseWrite(TFileHandler& file);
  bool TakeRead(TFileHandler& file);
  void ReleaseRead(TFileHandler& file);
  bool WriteHeld() const { return write_; }
  bool ReadHeld() const { return read_; }
  void Forget() { write_ = read_ = false; }

 private:
  bool write_ = false;
  bool read_ = false;
  uint32_t byte_ = 0;
};

}  // namespace ovrin
