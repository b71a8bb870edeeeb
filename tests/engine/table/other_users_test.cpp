// A change touches only the record its user stands on: what two cursors on one table
// (and two processes) see when one deletes, changes or is refused what the other stands
// on, and when a read or write fails half way through a change with the table kept open.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "engine/base/errors.h"
#include "engine/base/fault_platform.h"
#include "engine/base/platform.h"
#include "engine/data/checker.h"
#include "engine/data/table_create.h"
#include "engine/table/table.h"
#include "tests/support/engine_error.h"
#include "tests/support/temp_dir.h"

namespace ovrin {
namespace {

using test::CodeOf;
using test::TempDir;

TTableSpec Codes(bool primary) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 20},
                TFieldSpec{"CODE", fldInteger}, TFieldSpec{"NOTE", fldBlob, subMemo}};
  if (primary) def.Primary.Fields = {"ID"};
  TIndexSpec name;
  name.Name = "BYNAME";
  name.Fields = {"NAME"};
  name.Unique = true;
  def.Secondary = {name};
  return def;
}

// Three records, alpha, bravo and charlie, and cursors that wait little for locks.
class TwoCursorsFixture {
 protected:
  void Make(bool primary) {
    CreateTable(dir_ / "t", Codes(primary));
    TOvrinTable t;
    Open(t);
    for (const char* name : {"alpha", "bravo", "charlie"}) Add(t, name);
  }
  void Open(TOvrinTable& t) {
    t.SetDatabaseName(dir_.Path());
    t.SetTableName("t");
    t.SetLockRetryCount(2);
    t.SetLockWaitTime(5);
    t.Open();
  }
  static void Add(TOvrinTable& t, const std::string& name, int code = 0) {
    t.Append();
    t.FieldByName("NAME").SetAsString(name);
    t.FieldByName("CODE").SetAsInteger(code);
    t.Post();
  }
  TempDir dir_;
};

class OtherUsersTest : public TwoCursorsFixture, public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { Make(GetParam()); }
  // Both read the table afresh: without strict change detection a cursor sees other
  // users' changes from its next refresh or lock on.
  static void GoTo(TOvrinTable& t, const std::string& name) {
    t.Refresh();
    for (t.First(); !t.Eof(); t.Next())
      if (t.FieldByName("NAME").AsString() == name) return;
    FAIL() << name << " not found";
  }
  // Two cursors opened on the table, both standing on the record of that name.
  void BothOn(TOvrinTable& a, TOvrinTable& b, const std::string& name) {
    Open(a);
    Open(b);
    GoTo(a, name);
    GoTo(b, name);
  }
  static std::vector<std::string> Names(TOvrinTable& t) {
    std::vector<std::string> names;
    t.Refresh();
    for (t.First(); !t.Eof(); t.Next()) names.push_back(t.FieldByName("NAME").AsString());
    return names;
  }
  void ExpectSound() {
    TCheckReport report = CheckTable(dir_ / "t");
    EXPECT_TRUE(report.Ok()) << (report.problems.empty() ? std::string("not opened") : report.problems.front());
  }
};

TEST_P(OtherUsersTest, EditOfARecordAnotherUserDeletedIsRecordNotFoundAndTouchesNothing) {
  TOvrinTable a, b;
  BothOn(a, b, "bravo");
  b.Delete();
  EXPECT_EQ(CodeOf([&] { a.Edit(); }), errRecordNotFound);
  EXPECT_EQ(a.State(), TDataSetState::Browse);
  EXPECT_EQ(Names(b), (std::vector<std::string>{"alpha", "charlie"}));
  // No lock stays on the freed place: the other user's append may reuse it at once.
  Add(b, "delta");
  EXPECT_EQ(b.RecordCount(), 3);
  ExpectSound();
}

TEST_P(OtherUsersTest, DeleteOfARecordAnotherUserDeletedIsRecordNotFoundAndTouchesNothing) {
  TOvrinTable a, b;
  BothOn(a, b, "bravo");
  b.Delete();
  EXPECT_EQ(CodeOf([&] { a.Delete(); }), errRecordNotFound);
  EXPECT_EQ(Names(b), (std::vector<std::string>{"alpha", "charlie"}));
  Add(b, "delta");
  ExpectSound();
}

TEST_P(OtherUsersTest, StrictChangeDetectionAlsoRefusesTheGoneRecord) {
  TOvrinTable a, b;
  a.SetStrictChangeDetection(true);
  Open(a);
  Open(b);
  GoTo(a, "bravo");
  GoTo(b, "bravo");
  b.Delete();
  EXPECT_EQ(CodeOf([&] { a.Edit(); }), errRecordNotFound);
  EXPECT_EQ(CodeOf([&] { a.Delete(); }), errRecordNotFound);
  EXPECT_EQ(Names(b), (std::vector<std::string>{"alpha", "charlie"}));
  ExpectSound();
}

TEST_P(OtherUsersTest, AnEditAfterAnotherUsersChangeWorksOnTheSameRecordWithItsNewValues) {
  TOvrinTable a, b;
  BothOn(a, b, "bravo");
  b.Edit();
  b.FieldByName("CODE").SetAsInteger(7);
  b.Post();
  a.Edit();
  EXPECT_EQ(a.FieldByName("NAME").AsString(), "bravo");
  EXPECT_EQ(a.FieldByName("CODE").AsInteger(), 7);
  a.FieldByName("CODE").SetAsInteger(8);
  a.Post();
  GoTo(b, "charlie");
  EXPECT_EQ(b.FieldByName("CODE").AsInteger(), 0);
  GoTo(b, "bravo");
  EXPECT_EQ(b.FieldByName("CODE").AsInteger(), 8);
  ExpectSound();
}

TEST_P(OtherUsersTest, ARecordDeletedAndItsPlaceReusedIsNotTakenForTheOldOne) {
  TOvrinTable a, b;
  BothOn(a, b, "bravo");
  b.Delete();
  Add(b, "bravo");  // same name, maybe the same place: still another record
  EXPECT_EQ(CodeOf([&] { a.Edit(); }), errRecordNotFound);
  EXPECT_EQ(CodeOf([&] { a.Delete(); }), errRecordNotFound);
  std::vector<std::string> names = Names(b);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "bravo", "charlie"}));
  ExpectSound();
}

TEST_P(OtherUsersTest, ARefusedChangeKeepsTheEditAndItsRecord) {
  TOvrinTable a, b;
  Open(a);
  Open(b);
  GoTo(a, "bravo");
  a.Edit();
  a.FieldByName("NAME").SetAsString("charlie");
  EXPECT_EQ(CodeOf([&] { a.Post(); }), errKeyViolation);
  EXPECT_EQ(a.State(), TDataSetState::Edit);
  EXPECT_EQ(a.FieldByName("NAME").AsString(), "charlie");
  a.FieldByName("NAME").SetAsString("bravissimo");
  a.FieldByName("CODE").SetAsInteger(5);
  a.Post();
  EXPECT_EQ(a.FieldByName("NAME").AsString(), "bravissimo");
  EXPECT_EQ(Names(b), (std::vector<std::string>{"alpha", "bravissimo", "charlie"}));
  GoTo(b, "charlie");
  EXPECT_EQ(b.FieldByName("CODE").AsInteger(), 0);
  ExpectSound();
}

TEST_P(OtherUsersTest, CancelAfterARefusedChangeReleasesTheRecordLock) {
  TOvrinTable a, b;
  Open(a);
  Open(b);
  GoTo(a, "bravo");
  a.Edit();
  a.FieldByName("NAME").SetAsString("alpha");
  EXPECT_EQ(CodeOf([&] { a.Post(); }), errKeyViolation);
  a.Cancel();
  EXPECT_EQ(a.FieldByName("NAME").AsString(), "bravo");
  // The other user may now edit and delete it, and append into its place.
  GoTo(b, "bravo");
  b.Edit();
  b.Cancel();
  b.Delete();
  Add(b, "echo");
  EXPECT_EQ(Names(a), (std::vector<std::string>{"alpha", "charlie", "echo"}));
  ExpectSound();
}

TEST_P(OtherUsersTest, ADeletedRecordLockedInAnotherProcessIsFreedOnCancel) {
  TOvrinTable a;
  Open(a);
  GoTo(a, "bravo");
  a.Edit();
  a.FieldByName("NAME").SetAsString("alpha");
  EXPECT_EQ(CodeOf([&] { a.Post(); }), errKeyViolation);
  a.Cancel();
  pid_t child = fork();
  if (child == 0) {
    int code = 0;
    try {
      TOvrinTable b;
      Open(b);
      GoTo(b, "bravo");
      b.Delete();
      Add(b, "foxtrot");
    } catch (const EOvrinEngineError& e) {
      code = e.ErrorCode() % 250 + 1;
    } catch (...) {
      code = 255;
    }
    _exit(code);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Names(a), (std::vector<std::string>{"alpha", "charlie", "foxtrot"}));
  ExpectSound();
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutPrimaryIndex, OtherUsersTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Primary" : "NaturalOrder"; });

// ---- failures inside a change, with the table kept open

class FailureInsideAChangeTest : public TwoCursorsFixture, public ::testing::Test {
 protected:
  void SetUp() override {
    Make(true);
    previous_ = SetPlatform(&faults_);
  }
  void TearDown() override {
    faults_.Clear();
    SetPlatform(previous_ == &PosixPlatform() ? nullptr : previous_);
  }
  TFaultPlatform faults_{PosixPlatform()};
  TPlatform* previous_ = nullptr;
};

TEST_F(FailureInsideAChangeTest, AFailedReadDuringAPostReleasesEveryWriteLock) {
  TOvrinTable a, b, other;
  Open(a);
  Open(b);
  Open(other);
  // b changes the table, so that a's next post must read it again.
  b.Append();
  b.FieldByName("NAME").SetAsString("delta");
  b.Post();
  a.Append();
  a.FieldByName("NAME").SetAsString("echo");
  faults_.FailAt(TFaultOp::Read, 1, EIO);
  uint16_t code = CodeOf([&] { a.Post(); });
  faults_.Clear();
  EXPECT_NE(code, 0);
  EXPECT_EQ(a.State(), TDataSetState::Insert);
  // Another user writes at once: a holds no write lock any more.
  other.SetLockRetryCount(0);
  other.Append();
  other.FieldByName("NAME").SetAsString("golf");
  EXPECT_EQ(CodeOf([&] { other.Post(); }), 0);
  // And a's own post goes through when tried again.
  EXPECT_EQ(CodeOf([&] { a.Post(); }), 0);
  std::vector<std::string> names;
  for (other.First(); !other.Eof(); other.Next()) names.push_back(other.FieldByName("NAME").AsString());
  // echo was posted after golf, on its second try.
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "bravo", "charlie", "delta", "golf", "echo"}));
  a.Close();
  b.Close();
  other.Close();
  faults_.Clear();
  TCheckReport report = CheckTable(dir_ / "t");
  EXPECT_TRUE(report.Ok());
}

TEST_F(FailureInsideAChangeTest, AStrictReadWhoseRefreshFailsReleasesItsReaderByte) {
  TOvrinTable a, b;
  a.SetStrictChangeDetection(true);
  Open(a);
  Open(b);
  b.Append();
  b.FieldByName("NAME").SetAsString("delta");
  b.Post();
  faults_.FailAt(TFaultOp::Read, 1, EIO);
  EXPECT_NE(CodeOf([&] { a.First(); }), 0);
  faults_.Clear();
  // A writer needs the whole read area: a reader byte kept by a would refuse it.
  b.SetLockRetryCount(0);
  b.Append();
  b.FieldByName("NAME").SetAsString("echo");
  EXPECT_EQ(CodeOf([&] { b.Post(); }), 0);
  a.First();
  EXPECT_EQ(a.FieldByName("NAME").AsString(), "alpha");
}

}  // namespace
}  // namespace ovrin
