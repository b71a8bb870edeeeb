#include "engine/base/fault_platform.h"

namespace ovrin {

namespace {

class TFaultFile final : public TOsFile {
 public:
  TFaultFile(TFaultPlatform& platform, std::unique_ptr<TOsFile> base)
      : platform_(platform), base_(std::move(base)) {}

  int Read(int64_t offset, void* buffer, size_t count, size_t* done) override {
    *done = 0;
    if (int err = platform_.Check(TFaultOp::Read)) return err;
    return base_->Read(offset, buffer, count, done);
  }
  int Write(int64_t offset, const void* buffer, size_t count, size_t* done) override {
    *done = 0;
    if (int err = platform_.Check(TFaultOp::Write)) {
      size_t torn = 0;
      if (platform_.TornWrites() && count > 1) base_->Write(offset, buffer, count / 2, &torn);
      return err;
    }
    return base_->Write(offset, buffer, count, done);
  }
  int Truncate(int64_t size) override {
    if (int err = platform_.Check(TFaultOp::Truncate)) return err;
    return base_->Truncate(size);
  }
  int GetSize(int64_t* size) override {
    if (int err = platform_.Check(TFaultOp::Size)) return err;
    return base_->GetSize(size);
  }
  int Sync() override {
    if (int err = platform_.Check(TFaultOp::Sync)) return err;
    return base_->Sync();
  }
  int Lock(int64_t offset, int64_t length, bool shared, bool* acquired) override {
    *acquired = false;
    if (int err = platform_.Check(TFaultOp::Lock)) return err;
    return base_->Lock(offset, length, shared, acquired);
  }
  int Unlock(int64_t offset, int64_t length) override {
    if (int err = platform_.Check(TFaultOp::Unlock)) return err;
    return base_->Unlock(offset, length);
  }

 private:
  TFaultPlatform& platform_;
  std::unique_ptr<TOsFile> base_;
};

}  // namespace

void TFaultPlatform::FailAt(TFaultOp op, long nth, int err, bool sticky) {
  int i = static_cast<int>(op);
  rules_[i] = TRule{calls_[i].load() + nth, err, sticky};
}

void TFaultPlatform::Clear() {
  for (TRule& rule : rules_) rule = TRule{};
}

int TFaultPlatform::Check(TFaultOp op) {
  int i = static_cast<int>(op);
  long call = ++calls_[i];
  const TRule& rule = rules_[i];
  if (rule.nth == 0) return 0;
  if (call == rule.nth || (rule.sticky && call > rule.nth)) {
    ++failures_;
    return rule.err;
  }
  return 0;
}

int TFaultPlatform::Open(const std::string& path, const TOpenOptions& options,
                         std::unique_ptr<TOsFile>* file) {
  if (int err = Check(TFaultOp::Open)) return err;
  std::unique_ptr<TOsFile> base;
  if (int err = base_.Open(path, options, &base)) return err;
  *file = std::make_unique<TFaultFile>(*this, std::move(base));
  return 0;
}

int TFaultPlatform::Create(const std::string& path, const TOpenOptions& options,
                           std::unique_ptr<TOsFile>* file) {
  if (int err = Check(TFaultOp::Create)) return err;
  std::unique_ptr<TOsFile> base;
  if (int err = base_.Create(path, options, &base)) return err;
  *file = std::make_unique<TFaultFile>(*this, std::move(base));
  return 0;
}

int TFaultPlatform::Remove(const std::string& path) {
  if (int err = Check(TFaultOp::Remove)) return err;
  return base_.Remove(path);
}

int TFaultPlatform::Rename(const std::string& from, const std::string& to) {
  if (int err = Check(TFaultOp::Rename)) return err;
  return base_.Rename(from, to);
}

}  // namespace ovrin
