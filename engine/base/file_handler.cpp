#include "engine/base/file_handler.h"

#include <cerrno>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/base/errors.h"
#include "engine/base/file_session.h"
#include "engine/base/memory_file.h"

namespace ovrin {

namespace {
constexpr uint32_t kCopyPiece = 65535;
using MemoryGuard = std::lock_guard<std::recursive_mutex>;
}  // namespace

TFileHandler::~TFileHandler() {
  try {
    Close();
  } catch (...) {
    // Closing never raises today; a destructor must not pass anything on.
  }
}

// Errors name the file as it is on disk once it was found there ("users.dat" for the
// name "users.DAT").
void TFileHandler::Raise(uint16_t code) const { RaiseEngineError(code, osName_.empty() ? fileName_ : osName_); }

void TFileHandler::RaiseOsError(int err) const { Raise(MapOsError(err)); }

void TFileHandler::CheckClosedForChange(bool changed) const {
  if (changed && open_) Raise(errInUse);
}

void TFileHandler::SetInMemory(bool inMemory) {
  CheckClosedForChange(inMemory != inMemory_);
  inMemory_ = inMemory;
}

void TFileHandler::SetExclusive(bool exclusive) {
  CheckClosedForChange(exclusive != exclusive_);
  exclusive_ = exclusive;
}

void TFileHandler::SetReadOnly(bool readOnly) {
  CheckClosedForChange(readOnly != readOnly_);
  readOnly_ = readOnly;
}

void TFileHandler::SetFileName(const std::string& name) {
  std::string mapped = MapFileName(name);
  CheckClosedForChange(mapped != fileName_);
  if (mapped != fileName_) osName_.clear();
  fileName_ = mapped;
}

void TFileHandler::SetWriteThrough(bool writeThrough) {
  if (!open_) writeThrough_ = writeThrough;
}

TMemoryFile* TFileHandler::RequireMemoryFile(uint16_t code) const {
  if (!memoryFile_) Raise(code);
  return memoryFile_;
}

void TFileHandler::Open() {
  if (open_) return;
  if (inMemory_) {
    TFileSession* session = engine::CurrentFileSession();
    MemoryGuard guard(engine::MemoryFileLock());
    TMemoryFile* file = nullptr;
    int32_t answer = session->MemoryFiles.Open(fileName_, exclusive_, &file);
    if (answer < 0) Raise(static_cast<uint16_t>(-answer));
    memoryFile_ = file;
    handle_ = answer;
    readOnlyByAttribute_ = false;
  } else {
    TPlatform& platform = Platform();
    std::string found = platform.ResolveExisting(fileName_);
    if (found.empty()) {
      // A folder on the way that this user may not search hides the file: that is access
      // denied, not a wrong path.
      bool ignored = false;
      const int err = platform.IsReadOnly(fileName_, &ignored);
      if (err == EACCES || err == EPERM) RaiseOsError(err);
      Raise(errInvalidPath);
    }
    osName_ = found;
    bool attributeReadOnly = false;
    if (int err = platform.IsReadOnly(found, &attributeReadOnly)) RaiseOsError(err);
    if (attributeReadOnly) {
      readOnly_ = true;
      readOnlyByAttribute_ = true;
    }
    TOpenOptions options;
    options.write = !readOnly_;
    options.exclusive = exclusive_;
    options.writeThrough = writeThrough_;
    std::unique_ptr<TOsFile> file;
    if (int err = platform.Open(found, options, &file)) RaiseOsError(err);
    osFile_ = std::move(file);
    osName_ = found;
    handle_ = 1;
  }
  position_ = 0;
  open_ = true;
}

void TFileHandler::Create() {
  if (open_) Raise(errInUse);
  if (!exclusive_) Raise(errNeedExclusive);
  if (inMemory_) {
    TFileSession* session = engine::CurrentFileSession();
    MemoryGuard guard(engine::MemoryFileLock());
    TMemoryFile* file = nullptr;
    int32_t answer = session->MemoryFiles.Create(fileName_, &file);
    if (answer < 0) Raise(static_cast<uint16_t>(-answer));
    memoryFile_ = file;
    handle_ = answer;
  } else {
    TOpenOptions options;
    options.write = true;
    options.exclusive = true;
    options.writeThrough = writeThrough_;
    // File names do not differ by letter case only: a file there under another case is
    // the one to empty, as Open would find it, not one to make a twin beside.
    std::string target = Platform().ResolveExisting(fileName_);
    if (target.empty()) target = fileName_;
    std::unique_ptr<TOsFile> file;
    if (int err = Platform().Create(target, options, &file)) RaiseOsError(err);
    osFile_ = std::move(file);
    osName_ = target;
    handle_ = 1;
  }
  readOnly_ = false;
  readOnlyByAttribute_ = false;
  position_ = 0;
  open_ = true;
}

void TFileHandler::Close() {
  if (inMemory_) {
    if (memoryFile_) {
      MemoryGuard guard(engine::MemoryFileLock());
      memoryFile_->ReleaseHandle(handle_);
    }
    memoryFile_ = nullptr;
  } else {
    osFile_.reset();
  }
  handle_ = 0;
  open_ = false;
}

void TFileHandler::Delete() {
  if (open_) Raise(errInUse);
  bool done;
  if (inMemory_) {
    TFileSession* session = engine::CurrentFileSession();
    MemoryGuard guard(engine::MemoryFileLock());
    done = session->MemoryFiles.Delete(fileName_);
  } else {
    std::string found = Platform().ResolveExisting(fileName_);
    done = !found.empty() && Platform().Remove(found) == 0;
  }
  if (!done) Raise(errDelete);
}

void TFileHandler::Rename(const std::string& newName) {
  if (open_) Raise(errInUse);
  std::string mapped = MapFileName(newName);
  bool done;
  if (inMemory_) {
    TFileSession* session = engine::CurrentFileSession();
    MemoryGuard guard(engine::MemoryFileLock());
    done = session->MemoryFiles.Rename(fileName_, mapped);
  } else {
    std::string found = Platform().ResolveExisting(fileName_);
    done = !found.empty() && Platform().Rename(found, mapped) == 0;
  }
  if (!done) Raise(errOsUnknown);
  fileName_ = mapped;
}

void TFileHandler::Copy(const std::string& destination) {
  if (!open_) return;
  if (inMemory_) {
    TFileSession* session = engine::CurrentFileSession();
    MemoryGuard guard(engine::MemoryFileLock());
    TMemoryFile* source = RequireMemoryFile(errRead);
    int32_t answer = session->MemoryFiles.Copy(source, handle_, destination);
    if (answer < 0) RaiseEngineError(static_cast<uint16_t>(-answer), destination);
    return;
  }
  TOpenOptions options;
  options.write = true;
  options.exclusive = true;
  std::unique_ptr<TOsFile> target;
  if (int err = Platform().Create(destination, options, &target))
    RaiseEngineError(MapOsError(err), destination);
  std::vector<uint8_t> piece(kCopyPiece);
  int64_t offset = 0;
  for (;;) {
    size_t got = 0;
    if (osFile_->Read(offset, piece.data(), kCopyPiece, &got) != 0) Raise(errRead);
    if (got > 0) {
      size_t put = 0;
      if (target->Write(offset, piece.data(), got, &put) != 0 || put != got)
        RaiseEngineError(errWrite, destination);
    }
    offset += static_cast<int64_t>(got);
    if (got < kCopyPiece) break;
  }
  position_ = offset;
}

uint32_t TFileHandler::Read(void* buffer, uint32_t count, bool shortAllowed) {
  uint32_t got = 0;
  if (inMemory_) {
    MemoryGuard guard(engine::MemoryFileLock());
    got = RequireMemoryFile(errRead)->Read(handle_, buffer, count);
  } else {
    if (!osFile_) Raise(errRead);
    size_t done = 0;
    int err = osFile_->Read(position_, buffer, count, &done);
    position_ += static_cast<int64_t>(done);
    if (err) Raise(errRead);
    got = static_cast<uint32_t>(done);
  }
  if (got < count && !shortAllowed) Raise(errRead);
  return got;
}

void TFileHandler::Write(const void* buffer, uint32_t count) {
  if (inMemory_) {
    MemoryGuard guard(engine::MemoryFileLock());
    TMemoryFile* file = RequireMemoryFile(errWrite);
    uint32_t put = file->Write(handle_, buffer, count);
    if (put < count) Raise(errWrite);
    return;
  }
  if (!osFile_) Raise(errWrite);
  if (count == 0) {
    if (osFile_->Truncate(position_) != 0) Raise(errWrite);
    return;
  }
  size_t done = 0;
  int err = osFile_->Write(position_, buffer, count, &done);
  position_ += static_cast<int64_t>(done);
  if (err || done < count) Raise(errWrite);
}

void TFileHandler::WriteGather(const TWritePiece* pieces, size_t count) {
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += pieces[i].count;
  if (total == 0 || total > UINT32_MAX) Raise(errWrite);
  if (inMemory_ || !osFile_) {
    const std::vector<uint8_t> joined = JoinPieces(pieces, count);
    Write(joined.data(), static_cast<uint32_t>(total));
    return;
  }
  size_t done = 0;
  int err = osFile_->WriteGather(position_, pieces, count, &done);
  position_ += static_cast<int64_t>(done);
  if (err || done < total) Raise(errWrite);
}

void TFileHandler::Flush() {
  if (inMemory_ || !osFile_) return;
  if (osFile_->Sync() != 0) Raise(errWrite);
}

bool TFileHandler::Exists() const {
  if (inMemory_) {
    TFileSession* session = engine::CurrentFileSession();
    MemoryGuard guard(engine::MemoryFileLock());
    return session->MemoryFiles.Exists(fileName_);
  }
  return !Platform().ResolveExisting(fileName_).empty();
}

int64_t TFileHandler::Seek(int64_t offset, int origin) {
  if (inMemory_) {
    MemoryGuard guard(engine::MemoryFileLock());
    return memoryFile_ ? memoryFile_->Seek(handle_, offset, origin) : 0;
  }
  if (origin == 2) {
    int64_t size = 0;
    if (osFile_) {
      if (int err = osFile_->GetSize(&size)) RaiseOsError(err);
    }
    position_ = size + offset;
  } else if (origin == 1) {
    position_ += offset;
  } else {
    position_ = offset;
  }
  if (position_ < 0) position_ = 0;
  return position_;
}

int64_t TFileHandler::Size() { return Seek(0, 2); }

int64_t TFileHandler::Position() { return inMemory_ ? Seek(0, 1) : position_; }

bool TFileHandler::LockRange(uint32_t offset, uint32_t length, bool shared) {
  if (exclusive_) return true;
  if (inMemory_) {
    MemoryGuard guard(engine::MemoryFileLock());
    return memoryFile_ && memoryFile_->LockRange(offset, length);
  }
  if (!osFile_) return false;
  bool acquired = false;
  if (int err = osFile_->Lock(offset, length, shared, &acquired)) RaiseOsError(err);
  return acquired;
}

bool TFileHandler::UnlockRange(uint32_t offset, uint32_t length) {
  if (exclusive_) return true;
  if (inMemory_) {
    MemoryGuard guard(engine::MemoryFileLock());
    return memoryFile_ && memoryFile_->UnlockRange(offset, length);
  }
  if (!osFile_) return false;
  return osFile_->Unlock(offset, length) == 0;
}

bool TAreaLocks::TakeWrite(TFileHandler& file) {
  if (write_) return true;
  for (int attempt = 0; attempt <= lockmap::kLockRetries; ++attempt) {
    if (file.LockRange(lockmap::kAreaStart, lockmap::kAreaLength)) {
      write_ = true;
      return true;
    }
    Platform().SleepMs(lockmap::kLockRetryWaitMs);
  }
  return false;
}

void TAreaLocks::ReleaseWrite(TFileHandler& file) {
  if (!write_) return;
  write_ = false;
  file.UnlockRange(lockmap::kAreaStart, lockmap::kAreaLength);
}

bool TAreaLocks::TakeRead(TFileHandler& file) {
  if (read_) return true;
  for (int attempt = 0; attempt <= lockmap::kLockRetries; ++attempt) {
    uint32_t k = engine::Random(1, lockmap::kReadLockMax);
    if (file.LockRange(lockmap::kReadLockTop - k, 1, true)) {
      byte_ = lockmap::kReadLockTop - k;
      read_ = true;
      return true;
    }
    Platform().SleepMs(lockmap::kLockRetryWaitMs);
  }
  return false;
}

void TAreaLocks::ReleaseRead(TFileHandler& file) {
  if (!read_) return;
  read_ = false;
  file.UnlockRange(byte_, 1);
}

}  // namespace ovrin
