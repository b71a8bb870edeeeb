// Several users of one table: processes appending at once, a reader meanwhile, record
// lock contention, and changes that fail half way.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <set>

#include "engine/base/errors.h"
#include "engine/base/fault_platform.h"
#include "engine/data/checker.h"
#include "engine/index/index_format.h"
#include "tests/engine/data/table_fixture.h"
#include "tests/support/file_bytes.h"
#include "tests/support/lock_probe.h"

namespace ovrin {
namespace {

using namespace test;

std::string NameFor(int writer, int i) { return "w" + std::to_string(writer) + "-" + std::to_string(i); }
std::string NoteFor(int writer, int i) { return std::string(static_cast<size_t>(i % 700), static_cast<char>('a' + writer)) + std::to_string(i); }

int RunWriter(const std::string& path, int writer, int count) {
  try {
    TDataFile file;
    file.SetFileName(path);
    file.Open();
    for (int i = 0; i < count; ++i) {
      Editor e(file);
      e.Name(NameFor(writer, i)).Age(static_cast<int16_t>(i % 151)).Note(NoteFor(writer, i));
      file.AppendRecord(e.Data());
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "writer %d: %s\n", writer, e.what());
    return 1;
  }
}

// Reads the whole table again and again while the writers run; every record must be
// whole: its age and note agree with its name.
int RunReader(const std::string& path, int rounds) {
  try {
    TDataFile file;
    file.SetFileName(path);
    file.SetReadOnly(true);
    file.Open();
    std::vector<uint8_t> r(file.LogicalRecordSize());
    for (int round = 0; round < rounds; ++round) {
      file.Refresh();
      file.First();
      while (file.GetNextRecord(r.data()) == 0) {
        std::string name = NameOf(file, r.data());
        int writer = name[1] - '0';
        int i = std::stoi(name.substr(3));
        if (AgeOf(file, r.data()) != i % 151 || NoteOf(file, r.data()) != NoteFor(writer, i)) {
          std::fprintf(stderr, "reader: record %s is torn\n", name.c_str());
          return 2;
        }
      }
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "reader: %s\n", e.what());
    return 1;
  }
}

void AppendNamed(TDataFile& file, const std::string& name) {
  Editor e(file);
  e.Name(name).Age(7);
  file.AppendRecord(e.Data());
}

// Puts a platform in for the length of a scope, also when a test stops early.
struct TPlatformScope {
  TPlatform* previous;
  explicit TPlatformScope(TPlatform* platform) : previous(SetPlatform(platform)) {}
  ~TPlatformScope() { SetPlatform(previous == &PosixPlatform() ? nullptr : previous); }
};

TEST(SharingTest, TwoProcessesAppendWhileAThirdReads) {
  TableFixture fx;
  std::vector<pid_t> children;
  for (int role = 0; role < 3; ++role) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(role < 2 ? RunWriter(fx.Path(), role + 1, 1000) : RunReader(fx.Path(), 40));
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << pid;
  }
  TCheckReport report = CheckTable(fx.Path());
  ASSERT_TRUE(report.Ok()) << report.problems.front();
  EXPECT_EQ(report.liveRecords, 2000);
  auto file = fx.Open();
  std::set<int32_t> ids;
  std::set<std::string> names;
  std::vector<uint8_t> r(file->LogicalRecordSize());
  file->First();
  while (file->GetNextRecord(r.data()) == 0) {
    ids.insert(IdOf(r.data()));
    names.insert(NameOf(*file, r.data()));
  }
  EXPECT_EQ(ids.size(), 2000u);
  EXPECT_EQ(names.size(), 2000u);
  EXPECT_EQ(*ids.rbegin(), 2000);
}

TEST(SharingTest, RecordLockContentionGivesUpAfterTheRetries) {
  TableFixture fx;
  auto a = fx.Open();
  Editor e(*a);
  e.Name("locked");
  a->AppendRecord(e.Data());
  a->LockRecord(0);
  TFaultPlatform counting(PosixPlatform());
  TPlatform* previous = SetPlatform(&counting);
  {
    TDataFile b;
    b.SetFileName(fx.Path());
    b.SetLockRetryCount(3);
    b.SetLockWaitTime(5);
    b.Open();
    b.First();
    std::vector<uint8_t> r(b.LogicalRecordSize());
    ASSERT_EQ(b.GetNextRecord(r.data()), 0);
    b.BeginRead();
    long before = counting.Calls(TFaultOp::Lock);
    try {
      b.LockRecord(0);
      FAIL();
    } catch (const EOvrinEngineError& err) {
      EXPECT_EQ(err.ErrorCode(), 10258);
      EXPECT_EQ(err.Text(), "Record in data file " + DataFileName(fx.Path()) + " is in use by another user");
    }
    EXPECT_EQ(counting.Calls(TFaultOp::Lock) - before, 4);  // LockRetryCount + 1 attempts
    b.EndRead();
    // An edit of that record in the other cursor is refused the same way.
    e.Name("changed");
    b.SetFieldValue(kName, reinterpret_cast<const uint8_t*>("changed"), false, r.data());
    EXPECT_THROW(b.GetCurrentRecord(r.data(), true), EOvrinEngineError);
    a->UnlockRecord(0);
    EXPECT_EQ(b.GetCurrentRecord(r.data(), true), 0);
  }
  SetPlatform(previous == &PosixPlatform() ? nullptr : previous);
}

// An append past the last record locks no place: nobody can have read a record there, and
// the write lock keeps every other writer out. A deleted record's place, reused, is
// locked (a user may still be editing what stood there), and its lock mostly goes with
// the write lock in one call, which covers the record locks of every record up to the
// place: one that the table holds for an earlier record must survive it, and nothing may
// be left locked.
TEST(SharingTest, AnAppendLocksOnlyAReusedPlaceAndReleasesItWithTheWriteLock) {
  TFaultPlatform counting(PosixPlatform());
  TPlatformScope scope(&counting);
  TableFixture fx;
  auto a = fx.Open();
  const std::string data = DataFileName(fx.Path());
  const int64_t writeLock = lockmap::kDataWriteLock;
  auto recordByte = [](int32_t n) { return int64_t(lockmap::kRecordLockBase) - n; };
  for (int i = 0; i < 4; ++i) {
    long locks = counting.Calls(TFaultOp::Lock), unlocks = counting.Calls(TFaultOp::Unlock);
    AppendNamed(*a, "r" + std::to_string(i));
    // The data write lock and the index and blob files' areas, taken and released.
    EXPECT_EQ(counting.Calls(TFaultOp::Lock) - locks, 3);
    EXPECT_EQ(counting.Calls(TFaultOp::Unlock) - unlocks, 3);
  }
  EXPECT_EQ(LockSeenAt(data, recordByte(4), writeLock - recordByte(4) + 1), F_UNLCK);
  // Records 2 and 4 deleted: the free chain hands out place 4, then 2.
  std::vector<uint8_t> r(a->LogicalRecordSize());
  for (const char* name : {"r1", "r3"}) {
    a->First();
    while (a->GetNextRecord(r.data()) == 0 && NameOf(*a, r.data()) != name) {
    }
    a->DeleteRecord(true);
  }
  ASSERT_EQ(a->RecordCount(), 4);
  // Place 4 reused: its lock and the write lock go in one release.
  long locks = counting.Calls(TFaultOp::Lock), unlocks = counting.Calls(TFaultOp::Unlock);
  AppendNamed(*a, "again4");
  EXPECT_EQ(counting.Calls(TFaultOp::Lock) - locks, 4);
  EXPECT_EQ(counting.Calls(TFaultOp::Unlock) - unlocks, 3);
  EXPECT_EQ(LockSeenAt(data, recordByte(4), writeLock - recordByte(4) + 1), F_UNLCK);
  ASSERT_EQ(a->RecordCount(), 4);
  // Another user has locked place 2 (it still edits the record deleted there): the
  // append that would reuse it is refused, and the table is as it was.
  TDataFile b;
  b.SetFileName(fx.Path());
  b.Open();
  b.BeginRead();
  b.LockRecord(2);
  b.EndRead();
  a->SetLockRetryCount(2);
  a->SetLockWaitTime(5);
  try {
    AppendNamed(*a, "again2");
    FAIL() << "the append took a place another user holds";
  } catch (const EOvrinEngineError& err) {
    EXPECT_EQ(err.ErrorCode(), errRecordLocked);
  }
  EXPECT_EQ(LockSeenAt(data, writeLock), F_UNLCK);
  b.UnlockRecord(2);
  // With record 1 locked here, the reused place 2 cannot go with the write lock, and the
  // lock on record 1 survives the append.
  a->First();
  ASSERT_EQ(a->GetNextRecord(r.data()), 0);
  a->LockRecord(0);
  const int32_t held = a->CurrentRecordNumber();
  ASSERT_TRUE(a->RecordLocked(held));
  AppendNamed(*a, "again2");
  EXPECT_EQ(LockSeenAt(data, recordByte(held)), F_WRLCK);
  EXPECT_EQ(LockSeenAt(data, recordByte(2)), F_UNLCK);
  EXPECT_EQ(LockSeenAt(data, writeLock), F_UNLCK);
  a->UnlockRecord(held);
  EXPECT_EQ(a->RecordCount(), 4);
  // Another user can append and lock every record now.
  Editor other(b);
  other.Name("theirs");
  b.AppendRecord(other.Data());
  for (int32_t n = 1; n <= 5; ++n) {
    b.LockRecord(n);
    b.UnlockRecord(n);
  }
  b.Close();
  a->Close();
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_TRUE(report.Ok()) << (report.problems.empty() ? "" : report.problems[0]);
}

// A refresh between operations compares the three change counters first and takes the
// reader's byte only when one of them moved: nothing changed costs no lock at all, and
// another user's change is still seen, read under the lock.
TEST(SharingTest, ARefreshWithNothingChangedTakesNoLockAndOneAfterAChangeDoes) {
  TFaultPlatform counting(PosixPlatform());
  TPlatformScope scope(&counting);
  {
    TableFixture fx;
    auto a = fx.Open();
    auto b = fx.Open();
    Editor e(*a);
    e.Name("first").Note("a note");
    a->AppendRecord(e.Data());
    b->Refresh();
    long locks = counting.Calls(TFaultOp::Lock), reads = counting.Calls(TFaultOp::Read);
    EXPECT_FALSE(b->Refresh());
    EXPECT_EQ(counting.Calls(TFaultOp::Lock) - locks, 0);
    EXPECT_EQ(counting.Calls(TFaultOp::Read) - reads, 3);  // the data, index and blob counters
    e.Name("second");
    a->AppendRecord(e.Data());
    locks = counting.Calls(TFaultOp::Lock);
    EXPECT_TRUE(b->Refresh());
    EXPECT_GE(counting.Calls(TFaultOp::Lock) - locks, 1);
    EXPECT_EQ(b->Count(), 2);
    EXPECT_FALSE(b->Refresh());
  }
}

// A failed append's undo writes the index header back as it was, byte for byte but for
// its change counter: it stored the header-modified mark cleared, where every other
// header write stores it set.
TEST(SharingTest, AFailedAppendPutsTheIndexHeaderBackByteForByte) {
  TableFixture fx;
  Fill(fx, 3);
  const std::string idx = IndexFileName(fx.Path());
  const std::string before = FileBytes(idx).substr(4, idxfmt::kHeaderSize - 4);
  TFaultPlatform faults(PosixPlatform());
  TPlatformScope scope(&faults);
  int failed = 0;
  for (long n = 1; n < 12; ++n) {
    SCOPED_TRACE("write " + std::to_string(n));
    auto file = fx.Open();
    faults.FailAt(TFaultOp::Write, n, ENOSPC);
    try {
      AppendNamed(*file, "late");
      faults.Clear();
      break;  // every write went through: nothing more to fail
    } catch (const EOvrinEngineError&) {
      ++failed;
    }
    faults.Clear();
    file->Close();
    EXPECT_EQ(FileBytes(idx).substr(4, idxfmt::kHeaderSize - 4), before);
  }
  EXPECT_GT(failed, 3);
}

TEST(SharingTest, AChangeThatFailsHalfWayLeavesAConsistentTable) {
  TableFixture fx;
  {
    auto file = fx.Open();
    for (int i = 0; i < 30; ++i) {
      Editor e(*file);
      e.Name(NameFor(0, i)).Age(static_cast<int16_t>(i)).Note(NoteFor(0, i));
      file->AppendRecord(e.Data());
    }
  }
  TFaultPlatform faults(PosixPlatform());
  TPlatform* previous = SetPlatform(&faults);
  int failures = 0;
  for (long n = 1; n < 40; ++n) {
    auto file = fx.Open();
    faults.FailAt(TFaultOp::Write, n, ENOSPC);
    bool failed = false;
    try {
      Editor e(*file);
      e.Name("late").Age(99).Note(std::string(3000, 'z'));
      file->AppendRecord(e.Data());
      // And a delete, whose writes can fail too.
      file->SelectIndex("");
      file->First();
      std::vector<uint8_t> r(file->LogicalRecordSize());
      file->GetNextRecord(r.data());
      file->DeleteRecord(true);
    } catch (const EOvrinEngineError& e) {
      failed = true;
      EXPECT_TRUE(e.ErrorCode() == 9218) << e.Message();
    }
    faults.Clear();
    file->Close();
    TCheckReport report = CheckTable(fx.Path());
    ASSERT_TRUE(report.Ok()) << "write " << n << ": " << report.problems.front();
    if (!failed) break;
    ++failures;
  }
  EXPECT_GT(failures, 3);
  SetPlatform(previous == &PosixPlatform() ? nullptr : previous);
}

// An open positioned the cursor before the first record, which read the root page under
// a reader's byte, and kept that byte: until the table's next read operation every other
// user's change waited for it and, after the lock wait, failed with 10249.
TEST(SharingTest, AnOpenTableKeptItsReadersByteUntilItsNextRead) {
  TableFixture fx;
  Fill(fx, 3);
  auto idle = fx.Open();
  // (Held, it would keep the writer below waiting for the whole lock wait.)
  ASSERT_FALSE(idle->Index().ReadLockHeld());
  ASSERT_FALSE(idle->Blob()->ReadLockHeld());
  TFaultPlatform counting(PosixPlatform());
  TPlatformScope scope(&counting);
  auto writer = fx.Open();
  const long before = counting.Calls(TFaultOp::Lock);
  AppendNamed(*writer, "late");
  // The data write lock and the index and blob files' areas (a place past the last record
  // is not locked): each taken at the first attempt.
  EXPECT_EQ(counting.Calls(TFaultOp::Lock) - before, 3);
}

// A platform that lets a test run another user's steps in the middle of one file
// operation, the way a second process can when the first one is slowed down (the
// machine is busy) half way through writing a header:
//  - midIndexHeaderWrite runs (once) when a write of a whole index file header has put
//    down the change counter and not yet the rest;
//  - beforeIndexHeaderRead runs (once) just before a read of a whole index file header;
//    a read that is still pending when midIndexHeaderWrite is due is done at that point
//    instead, so that the reader gets the header half written.
// While an action runs, lock waits do not sleep: a wait the action meets runs out at once.
class TInterleavingPlatform final : public TPlatform {
 public:
  explicit TInterleavingPlatform(TPlatform& base) : base_(base) {}

  std::function<void()> midIndexHeaderWrite;
  std::function<void()> beforeIndexHeaderRead;

  std::string ResolveExisting(const std::string& path) override { return base_.ResolveExisting(path); }
  int IsReadOnly(const std::string& path, bool* readOnly) override { return base_.IsReadOnly(path, readOnly); }
  int Open(const std::string& path, const TOpenOptions& options, std::unique_ptr<TOsFile>* file) override {
    std::unique_ptr<TOsFile> base;
    if (int err = base_.Open(path, options, &base)) return err;
    *file = std::make_unique<TFile>(*this, std::move(base), IsIndexFile(path));
    return 0;
  }
  int Create(const std::string& path, const TOpenOptions& options, std::unique_ptr<TOsFile>* file) override {
    return base_.Create(path, options, file);
  }
  int Remove(const std::string& path) override { return base_.Remove(path); }
  int Rename(const std::string& from, const std::string& to) override { return base_.Rename(from, to); }
  uint64_t TickMs() override { return base_.TickMs(); }
  void SleepMs(uint32_t ms) override {
    if (!inAction_) base_.SleepMs(ms);
  }

 private:
  static bool IsIndexFile(const std::string& path) {
    return path.size() > 4 && AsciiEqualNoCase(path.substr(path.size() - 4), ".IDX");
  }
  static bool WholeHeader(int64_t offset, size_t count) { return offset == 0 && count == idxfmt::kHeaderSize; }
  void Run(std::function<void()>& action) {
    std::function<void()> once = std::move(action);
    action = nullptr;
    inAction_ = true;
    once();
    inAction_ = false;
  }

  class TFile final : public TOsFile {
   public:
    TFile(TInterleavingPlatform& platform, std::unique_ptr<TOsFile> base, bool index)
        : platform_(platform), base_(std::move(base)), index_(index) {}
    int Read(int64_t offset, void* buffer, size_t count, size_t* done) override {
      if (!index_ || !WholeHeader(offset, count) || !platform_.beforeIndexHeaderRead)
        return base_->Read(offset, buffer, count, done);
      int result = 0;
      bool read = false;
      platform_.pendingRead_ = [&] {
        result = base_->Read(offset, buffer, count, done);
        read = true;
      };
      platform_.Run(platform_.beforeIndexHeaderRead);
      platform_.pendingRead_ = nullptr;
      return read ? result : base_->Read(offset, buffer, count, done);
    }
    int Write(int64_t offset, const void* buffer, size_t count, size_t* done) override {
      if (!index_ || !WholeHeader(offset, count) || (!platform_.midIndexHeaderWrite && !platform_.pendingRead_))
        return base_->Write(offset, buffer, count, done);
      const auto* bytes = static_cast<const uint8_t*>(buffer);
      size_t first = 0, rest = 0;
      if (int err = base_->Write(0, bytes, 4, &first)) {
        *done = first;
        return err;
      }
      if (platform_.pendingRead_) {
        std::function<void()> read = std::move(platform_.pendingRead_);
        platform_.pendingRead_ = nullptr;
        read();
      }
      if (platform_.midIndexHeaderWrite) platform_.Run(platform_.midIndexHeaderWrite);
      int err = base_->Write(4, bytes + 4, count - 4, &rest);
      *done = first + rest;
      return err;
    }
    int Truncate(int64_t size) override { return base_->Truncate(size); }
    int GetSize(int64_t* size) override { return base_->GetSize(size); }
    int Sync() override { return base_->Sync(); }
    int Lock(int64_t offset, int64_t length, bool shared, bool* acquired) override {
      return base_->Lock(offset, length, shared, acquired);
    }
    int Unlock(int64_t offset, int64_t length) override { return base_->Unlock(offset, length); }

   private:
    TInterleavingPlatform& platform_;
    std::unique_ptr<TOsFile> base_;
    bool index_;
  };

  TPlatform& base_;
  bool inAction_ = false;
  std::function<void()> pendingRead_;
};

// Deletes the first record in record-number order.
void DeleteFirst(TDataFile& file) {
  file.SelectIndex("");
  file.First();
  std::vector<uint8_t> r(file.LogicalRecordSize());
  ASSERT_EQ(file.GetNextRecord(r.data()), 0);
  file.DeleteRecord(true);
}

// Runs what another user does in the middle of a change: answers whether it was refused
// because the lock it waited for stayed taken (the only refusal allowed).
bool RefusedForLocks(const std::function<void()>& step) {
  try {
    step();
  } catch (const EOvrinEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), errLockFailure) << e.Message();
    return true;
  }
  return false;
}

// A user read the index file header while another user was rewriting it, without the
// reader's byte: the read could carry the new change counter with the old record count.
// As the counter matched the file from then on, the header was never read again, and
// the reader's next change wrote its stale record count (one above the live records
// after the other user's delete). Reading the headers under the reader's byte, as every
// other read of a shared table does, keeps the refresh out until the writer is done.
TEST(HalfWrittenIndexHeaderTest, RefreshThatReadItLeftTheRecordCountStale) {
  TableFixture fx;
  Fill(fx, 5);
  TInterleavingPlatform platform(PosixPlatform());
  TPlatformScope scope(&platform);
  auto reader = fx.Open();
  auto writer = fx.Open();
  reader->First();
  const TIndexHeader before = reader->Index().Header();
  bool refreshRefused = false;
  platform.midIndexHeaderWrite = [&] {
    // The writer holds its lock areas: the refresh must wait for it (here the wait runs
    // out at once) and read nothing.
    refreshRefused = RefusedForLocks([&] { reader->Refresh(); });
  };
  DeleteFirst(*writer);
  ASSERT_FALSE(platform.midIndexHeaderWrite) << "the delete wrote no index header";
  EXPECT_TRUE(refreshRefused);
  // Unchanged: the half-written header has the writer's change counter and the old count.
  EXPECT_EQ(reader->Index().Header().ChangeCounter(), before.ChangeCounter())
      << "the refresh read the half-written header";
  EXPECT_EQ(reader->Index().Header().RecordCount(), before.RecordCount());

  // The reader's next change must build on the delete.
  AppendNamed(*reader, "late");
  EXPECT_EQ(reader->Index().Header().RecordCount(), 5);
  EXPECT_EQ(reader->Count(), 5);
  reader.reset();
  writer.reset();
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_TRUE(report.Ok()) << report.problems.front();
  EXPECT_EQ(report.liveRecords, 5);
}

// The same at open: the data file header was read under a reader's byte of the index
// file, but the index (and blob) file headers only after that byte was given back.
TEST(HalfWrittenIndexHeaderTest, OpenThatReadItLeftTheRecordCountStale) {
  TableFixture fx;
  Fill(fx, 5);
  TInterleavingPlatform platform(PosixPlatform());
  TPlatformScope scope(&platform);
  auto writer = fx.Open();
  writer->First();
  bool deleteRefused = false;
  platform.beforeIndexHeaderRead = [&] {
    // The other user deletes while the open is about to read the index header; the
    // open's read lands half way through the delete's header write. With the open
    // holding its reader's byte, the delete cannot take the lock areas and is refused.
    deleteRefused = RefusedForLocks([&] { DeleteFirst(*writer); });
  };
  auto opened = fx.Open();
  ASSERT_FALSE(platform.beforeIndexHeaderRead) << "the open read no index header";
  const int32_t live = deleteRefused ? 5 : 4;
  EXPECT_EQ(opened->Index().Header().RecordCount(), live) << "the open read the half-written header";

  AppendNamed(*opened, "late");
  EXPECT_EQ(opened->Count(), live + 1);
  opened.reset();
  writer.reset();
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_TRUE(report.Ok()) << report.problems.front();
  EXPECT_EQ(report.liveRecords, live + 1);
}

}  // namespace
}  // namespace ovrin
