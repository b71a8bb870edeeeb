// Process-wide engine state and the per-session file state.
//
// The engine is started when the default session becomes active and stopped when it
// becomes inactive. While started there is an engine file session and a current file
// session (the one of the session the engine works for); every file operation takes its
// private directory, memory files and passwords from the current one.
//
// The memory-file lock and the format-settings lock exist for the whole life of the
// process (they are not recreated at each start), which keeps a thread that still holds
// one safe across a stop.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "engine/base/errors.h"
#include "engine/base/memory_file.h"
#include "engine/base/system_list.h"

namespace ovrin {

// Table passwords, held as supplied and compared exactly (case matters).
class TPasswordList {
 public:
  // Adds a password unless it is empty or already in the list.
  void Add(const std::string& password);
  // Removes the first equal password, if any.
  void Remove(const std::string& password);
  void RemoveAll() { items_.Clear(); }
  bool Contains(const std::string& password) const;
  int32_t Count() const { return items_.Count(); }
  const std::string& Get(int32_t index) const { return items_[index]; }

 private:
  TSystemList<std::string> items_;
};

struct TFileSession {
  std::string PrivateDirectory;
  TErrorContext ErrorContext;
  TMemoryFileList MemoryFiles;
  TPasswordList Passwords;
};

namespace engine {

bool IsStarted();
void StartEngine();
void StopEngine();

TFileSession* EngineFileSession();
// Raises 10758 when the engine is not started.
TFileSession* CurrentFileSession();
// Null when the engine is not started.
TFileSession* CurrentFileSessionOrNull();
void SetCurrentFileSession(TFileSession* session);
TFileSession* CreateFileSession();
void FreeFileSession(TFileSession* session);

// Private directory of the current file session; 10758 when not started.
void SetPrivateDirectory(const std::string& directory);
std::string PrivateDirectory();

// Held around every single memory-file operation.
std::recursive_mutex& MemoryFileLock();
// Serialises saving, building and installing the program-wide format settings.
std::recursive_mutex& FormatSettingsLock();

// A random number from low to high inclusive, from a generator seeded from the clock
// once per process (and again in a child after fork).
uint32_t Random(uint32_t low, uint32_t high);

}  // namespace engine
}  // namespace ovrin
