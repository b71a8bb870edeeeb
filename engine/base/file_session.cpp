#include "engine/base/file_session.h"

#include <pthread.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <random>

namespace ovrin {

void TPasswordList::Add(const std::string& password) {
  if (password.empty() || Contains(password)) return;
  items_.Add(password);
}

void TPasswordList::Remove(const std::string& password) {
  int32_t i = items_.IndexOf(password);
  if (i >= 0) items_.Delete(i);
}

bool TPasswordList::Contains(const std::string& password) const {
  return items_.IndexOf(password) >= 0;
}

namespace engine {
namespace {

struct TEngineState {
  bool started = false;
  std::unique_ptr<TFileSession> engineSession;
  TFileSession* current = nullptr;
};

TEngineState& State() {
  static TEngineState state;
  return state;
}

std::mutex g_randomLock;

std::mt19937& Generator() {
  static std::mt19937 generator = [] {
    // Re-seed in a forked child, so that two processes never pick the same bytes.
    pthread_atfork(nullptr, nullptr, [] {
      Generator().seed(static_cast<uint32_t>(
          std::chrono::steady_clock::now().time_since_epoch().count() ^ (uint64_t(getpid()) << 16)));
    });
    return std::mt19937(static_cast<uint32_t>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ (uint64_t(getpid()) << 16)));
  }();
  return generator;
}

}  // namespace

bool IsStarted() { return State().started; }

void StartEngine() {
  TEngineState& s = State();
  if (s.started) return;
  s.engineSession = std::make_unique<TFileSession>();
  s.current = s.engineSession.get();
  s.started = true;
}

void StopEngine() {
  TEngineState& s = State();
  if (!s.started) return;
  s.engineSession.reset();
  s.current = nullptr;
  s.started = false;
}

TFileSession* EngineFileSession() { return State().engineSession.get(); }

TFileSession* CurrentFileSession() {
  if (!State().started) RaiseEngineError(errNotInitialized);
  return State().current;
}

TFileSession* CurrentFileSessionOrNull() { return State().started ? State().current : nullptr; }

void SetCurrentFileSession(TFileSession* session) { State().current = session; }

TFileSession* CreateFileSession() { return new TFileSession(); }

void FreeFileSession(TFileSession* session) { delete session; }

void SetPrivateDirectory(const std::string& directory) {
  CurrentFileSession()->PrivateDirectory = directory.substr(0, 255);
}

std::string PrivateDirectory() { return CurrentFileSession()->PrivateDirectory; }

std::recursive_mutex& MemoryFileLock() {
  static std::recursive_mutex lock;
  return lock;
}

std::recursive_mutex& FormatSettingsLock() {
  static std::recursive_mutex lock;
  return lock;
}

uint32_t Random(uint32_t low, uint32_t high) {
  std::lock_guard<std::mutex> guard(g_randomLock);
  return std::uniform_int_distribution<uint32_t>(low, high)(Generator());
}

}  // namespace engine
}  // namespace ovrin
