// A platform that forwards to another one and fails chosen operations, for tests of
// failure handling: "fail the Nth read with EIO", "fail every write with ENOSPC".
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "engine/base/platform.h"

namespace ovrin {

enum class TFaultOp { Open, Create, Read, Write, Truncate, Size, Sync, Lock, Unlock, Remove, Rename, Count };

class TFaultPlatform final : public TPlatform {
 public:
  explicit TFaultPlatform(TPlatform& base) : base_(base) {}

  // The nth operation of that kind from now on (1 = the next one) fails with err; with
  // sticky every later one fails too. Answers nothing; Calls() counts what was seen.
  void FailAt(TFaultOp op, long nth, int err, bool sticky = false);
  void Clear();
  // A write that fails first writes the first half of its bytes, as a disk that fills up
  // in the middle of a write does.
  void SetTornWrites(bool on) { tornWrites_ = on; }
  bool TornWrites() const { return tornWrites_; }
  long Calls(TFaultOp op) const { return calls_[static_cast<int>(op)].load(); }
  long Failures() const { return failures_.load(); }

  // Answers the errno to fail with for one operation, or 0.
  int Check(TFaultOp op);

  std::string ResolveExisting(const std::string& path) override { return base_.ResolveExisting(path); }
  int IsReadOnly(const std::string& path, bool* readOnly) override { return base_.IsReadOnly(path, readOnly); }
  int Open(const std::string& path, const TOpenOptions& options, std::unique_ptr<TOsFile>* file) override;
  int Create(const std::string& path, const TOpenOptions& options, std::unique_ptr<TOsFile>* file) override;
  int Remove(const std::string& path) override;
  int Rename(const std::string& from, const std::string& to) override;
  uint64_t TickMs() override { return base_.TickMs(); }
  void SleepMs(uint32_t ms) override { base_.SleepMs(ms); }

 private:
  struct TRule {
    long nth = 0;  // 0: none
    int err = 0;
    bool sticky = false;
  };
  TPlatform& base_;
  TRule rules_[static_cast<int>(TFaultOp::Count)];
  std::atomic<long> calls_[static_cast<int>(TFaultOp::Count)] = {};
  std::atomic<long> failures_{0};
  std::atomic<bool> tornWrites_{false};
};

}  // namespace ovrin
