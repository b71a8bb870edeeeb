// In-memory files of a file session. A memory file lives until it is deleted, so an
// in-memory table survives being closed and can be reopened by name in its session.
//
// Sizes and positions are 32-bit; the capacity is always a multiple of 65,535 bytes.
// Locked ranges belong to the file, not to a handle. Answers that are negative are
// negated engine codes, which the file handler raises. None of these classes locks by
// itself: the file handler holds the engine's memory-file lock around each operation.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/base/system_list.h"

namespace ovrin {

constexpr uint32_t kMemoryFileGranule = 65535;

struct TMemoryLock {
  uint32_t first = 0;
  uint32_t last = 0;
  uint32_t length = 0;
};

struct TMemoryHandle {
  int32_t number = 0;
  uint32_t position = 0;
};

class TMemoryFile {
 public:
  explicit TMemoryFile(std::string name) : name_(std::move(name)) {}

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool exclusive) { exclusive_ = exclusive; }
  uint32_t Size() const { return size_; }
  uint32_t Capacity() const { return capacity_; }
  int32_t OpenCount() const { return openCount_; }
  int32_t LockCount() const { return locks_.Count(); }

  int32_t NewHandle();
  void ReleaseHandle(int32_t handle);
  bool HoldsHandle(int32_t handle) const { return FindHandle(handle) >= 0; }

  // A handle the file does not hold reads and writes nothing and answers 0.
  uint32_t Read(int32_t handle, void* buffer, uint32_t count);
  // Count 0 sets the size to the handle's position. Answers count, or 0 when the file
  // would outgrow 32 bits.
  uint32_t Write(int32_t handle, const void* buffer, uint32_t count);
  uint32_t Seek(int32_t handle, int64_t offset, int origin);
  // Capacity becomes n rounded up to a multiple of 65,535 (0 frees the block). Raises
  // 11016 when memory cannot be had.
  void SetSize(uint32_t n);

  bool LockRange(uint32_t offset, uint32_t length);
  bool UnlockRange(uint32_t offset, uint32_t length);

 private:
  int32_t FindHandle(int32_t handle) const;

  bool exclusive_ = false;
  std::string name_;
  uint32_t size_ = 0;
  std::unique_ptr<uint8_t[]> data_;
  uint32_t capacity_ = 0;
  TSystemList<TMemoryLock> locks_;
  int32_t openCount_ = 0;
  TSystemList<TMemoryHandle> handles_;
};

class TMemoryFileList {
 public:
  // Answers a handle number, or a negated engine code (-11010 empty name, -11013 in use).
  int32_t Create(const std::string& name, TMemoryFile** file);
  int32_t Open(const std::string& name, bool exclusive, TMemoryFile** file);
  bool Delete(const std::string& name);
  bool Rename(const std::string& oldName, const std::string& newName);
  bool Exists(const std::string& name) const { return Find(name) != nullptr; }
  // Creates the destination and copies the source into it from position 0 in pieces of
  // 65,535 bytes. Answers 0, or the negated code of a failed create.
  int32_t Copy(TMemoryFile* source, int32_t sourceHandle, const std::string& destination);
  TMemoryFile* Find(const std::string& name) const;
  int32_t Count() const { return files_.Count(); }

 private:
  int32_t IndexOf(const std::string& name) const;
  TSystemList<std::unique_ptr<TMemoryFile>> files_;
};

}  // namespace ovrin
