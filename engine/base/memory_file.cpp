#include "engine/base/memory_file.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/base/platform.h"

namespace ovrin {

int32_t TMemoryFile::FindHandle(int32_t handle) const {
  for (int32_t i = 0; i < handles_.Count(); ++i)
    if (handles_[i].number == handle) return i;
  return -1;
}

int32_t TMemoryFile::NewHandle() {
  // The lowest number from 1 that no open handle of this file carries.
  int32_t number = 1;
  while (FindHandle(number) >= 0) ++number;
  handles_.Add(TMemoryHandle{number, 0});
  ++openCount_;
  return number;
}

void TMemoryFile::ReleaseHandle(int32_t handle) {
  int32_t i = FindHandle(handle);
  if (i < 0) return;
  handles_.Delete(i);
  --openCount_;
}

uint32_t TMemoryFile::Read(int32_t handle, void* buffer, uint32_t count) {
  int32_t i = FindHandle(handle);
  if (i < 0) return 0;
  TMemoryHandle& h = handles_[i];
  if (h.position >= size_) return 0;
  uint32_t n = std::min(count, size_ - h.position);
  std::memcpy(buffer, data_.get() + h.position, n);
  h.position += n;
  return n;
}

uint32_t TMemoryFile::Write(int32_t handle, const void* buffer, uint32_t count) {
  int32_t i = FindHandle(handle);
  if (i < 0) return 0;
  if (count == 0) {
    SetSize(handles_[i].position);
    return 0;
  }
  uint32_t position = handles_[i].position;
  if (count > UINT32_MAX - position) return 0;
  if (position + count > size_) SetSize(position + count);
  std::memcpy(data_.get() + position, buffer, count);
  handles_[i].position = position + count;
  return count;
}

uint32_t TMemoryFile::Seek(int32_t handle, int64_t offset, int origin) {
  int32_t i = FindHandle(handle);
  if (i < 0) return 0;
  TMemoryHandle& h = handles_[i];
  int64_t target = origin == 0 ? offset : origin == 1 ? int64_t(h.position) + offset : size_;
  h.position = static_cast<uint32_t>(std::clamp<int64_t>(target, 0, UINT32_MAX));
  return h.position;
}

void TMemoryFile::SetSize(uint32_t n) {
  uint64_t rounded = (uint64_t(n) + kMemoryFileGranule - 1) / kMemoryFileGranule * kMemoryFileGranule;
  uint32_t capacity = static_cast<uint32_t>(std::min<uint64_t>(rounded, 0xFFFFFFFFu / kMemoryFileGranule * kMemoryFileGranule));
  if (capacity != capacity_) {
    std::unique_ptr<uint8_t[]> data;
    if (capacity > 0) {
      data.reset(new (std::nothrow) uint8_t[capacity]());
      if (!data) RaiseEngineError(errNoMemory);
      if (data_) std::memcpy(data.get(), data_.get(), std::min(capacity, capacity_));
    }
    data_ = std::move(data);
    capacity_ = capacity;
  }
  // Bytes beyond the old size read as zero after growing.
  if (n > size_) std::memset(data_.get() + size_, 0, n - size_);
  size_ = n;
}

bool TMemoryFile::LockRange(uint32_t offset, uint32_t length) {
  if (length == 0) return false;
  uint32_t last = offset + (length - 1);
  for (const TMemoryLock& lock : locks_)
    if (offset <= lock.last && lock.first <= last) return false;
  locks_.Add(TMemoryLock{offset, last, length});
  return true;
}

bool TMemoryFile::UnlockRange(uint32_t offset, uint32_t length) {
  for (int32_t i = 0; i < locks_.Count(); ++i) {
    if (locks_[i].first == offset && locks_[i].length == length) {
      locks_.Delete(i);
      return true;
    }
  }
  return false;
}

namespace {
std::string KeyOf(const std::string& name) { return TrimChar(name, ' '); }
}  // namespace

int32_t TMemoryFileList::IndexOf(const std::string& name) const {
  std::string key = KeyOf(name);
  for (int32_t i = 0; i < files_.Count(); ++i)
    if (AsciiEqualNoCase(KeyOf(files_[i]->Name()), key)) return i;
  return -1;
}

TMemoryFile* TMemoryFileList::Find(const std::string& name) const {
  int32_t i = IndexOf(name);
  return i < 0 ? nullptr : files_[i].get();
}

int32_t TMemoryFileList::Create(const std::string& name, TMemoryFile** file) {
  *file = nullptr;
  if (TrimChar(RemoveExtension(PathFileName(name)), ' ').empty()) return -errInvalidPath;
  TMemoryFile* existing = Find(name);
  if (existing) {
    if (existing->OpenCount() > 0) return -errAccessDenied;
    existing->SetSize(0);
    existing->SetExclusive(true);
    *file = existing;
    return existing->NewHandle();
  }
  auto created = std::make_unique<TMemoryFile>(name);
  created->SetExclusive(true);
  *file = created.get();
  files_.Add(std::move(created));
  return (*file)->NewHandle();
}

int32_t TMemoryFileList::Open(const std::string& name, bool exclusive, TMemoryFile** file) {
  *file = nullptr;
  TMemoryFile* existing = Find(name);
  if (!existing) return -errInvalidPath;
  if (existing->OpenCount() == 0) {
    existing->SetExclusive(exclusive);
  } else if (existing->Exclusive() || exclusive) {
    return -errAccessDenied;
  }
  *file = existing;
  return existing->NewHandle();
}

bool TMemoryFileList::Delete(const std::string& name) {
  int32_t i = IndexOf(name);
  if (i < 0 || files_[i]->OpenCount() > 0) return false;
  files_.Delete(i);
  return true;
}

bool TMemoryFileList::Rename(const std::string& oldName, const std::string& newName) {
  int32_t i = IndexOf(oldName);
  if (i < 0 || files_[i]->OpenCount() > 0) return false;
  files_[i]->SetName(newName);
  return true;
}

int32_t TMemoryFileList::Copy(TMemoryFile* source, int32_t sourceHandle,
                              const std::string& destination) {
  TMemoryFile* target = nullptr;
  int32_t handle = Create(destination, &target);
  if (handle < 0) return handle;
  std::unique_ptr<uint8_t[]> piece(new uint8_t[kMemoryFileGranule]);
  source->Seek(sourceHandle, 0, 0);
  for (;;) {
    uint32_t n = source->Read(sourceHandle, piece.get(), kMemoryFileGranule);
    if (n > 0) target->Write(handle, piece.get(), n);
    if (n < kMemoryFileGranule) break;
  }
  target->ReleaseHandle(handle);
  return 0;
}

}  // namespace ovrin
