// Several users of one table: processes appending at once, a reader meanwhile, record
// lock contention, and changes that fail half way.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <set>

#include "engine/base/errors.h"
#include "engine/base/fault_platform.h"
#include "engine/data/checker.h"
#include "tests/engine/data/table_fixture.h"

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

}  // namespace
}  // namespace ovrin
