// Operating-system failures at every point of a table's life: the Nth read, write or
// lock fails (with EIO or ENOSPC), alone or followed by the failure of the undo's
// truncation or by a disk that stays full, while a table with indexes and
// blobs is created, filled, changed, closed and opened again; N runs from 1 until the
// whole life goes through. Every failure must reach the caller as an engine error with
// the code its operation maps to, the table must close, and opening and checking it
// afterwards must never crash. The test prints how many failure points left the table
// inconsistent, and of which kind.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>

#include "engine/base/errors.h"
#include "engine/base/fault_platform.h"
#include "engine/base/platform.h"
#include "engine/data/checker.h"
#include "engine/data/repair.h"
#include "engine/data/table_create.h"
#include "engine/table/table.h"
#include "tests/support/temp_dir.h"

namespace ovrin {
namespace {

namespace fs = std::filesystem;

TTableSpec IndexedTableWithBlobs() {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 30},
                TFieldSpec{"AGE", fldSmallInt}, TFieldSpec{"NOTE", fldBlob, subMemo},
                TFieldSpec{"DATA", fldBlob, subBinary}};
  def.Primary.Fields = {"ID"};
  TIndexSpec name;
  name.Name = "BYNAME";
  name.Fields = {"NAME"};
  name.CaseInsensitive = true;
  TIndexSpec age;
  age.Name = "BYAGE";
  age.Fields = {"AGE"};
  def.Secondary = {name, age};
  return def;
}

std::string Bytes(int n, char seed) {
  std::string s(static_cast<size_t>(n), '\0');
  for (int i = 0; i < n; ++i) s[static_cast<size_t>(i)] = static_cast<char>(seed + i * 7);
  return s;
}

// The life of the table. Throws what the engine throws.
void Life(const std::string& folder) {
  CreateTable(folder + "/t", IndexedTableWithBlobs());
  {
    TOvrinTable t;
    t.SetDatabaseName(folder + "/");
    t.SetTableName("t");
    t.Open();
    for (int i = 0; i < 24; ++i) {
      t.Append();
      t.FieldByName("NAME").SetAsString("name " + std::to_string(i));
      t.FieldByName("AGE").SetAsInteger(i % 7);
      t.FieldByName("NOTE").SetAsString(std::string(static_cast<size_t>(i * 61), 'n'));
      t.FieldByName("DATA").SetAsBytes(Bytes(i * 400, static_cast<char>(i)));
      t.Post();
    }
    int i = 0;
    for (t.First(); !t.Eof(); ++i) {
      if (i % 5 == 4) {
        t.Delete();
        continue;
      }
      if (i % 3 == 0) {
        t.Edit();
        t.FieldByName("NAME").SetAsString("renamed " + std::to_string(i));
        t.FieldByName("DATA").SetAsBytes(Bytes(i * 900 + 10, 'x'));
        t.Post();
      }
      t.Next();
    }
    t.Close();
  }
  TOvrinTable again;
  again.SetDatabaseName(folder + "/");
  again.SetTableName("t");
  again.Open();
  for (again.First(); !again.Eof(); again.Next()) again.FieldByName("DATA").AsBytes();
}

// The kind of a checker finding: its text up to the first digit or colon.
std::string KindOf(const std::string& problem) {
  size_t end = problem.find_first_of("0123456789:");
  std::string kind = problem.substr(0, end);
  while (!kind.empty() && kind.back() == ' ') kind.pop_back();
  return kind.empty() ? problem : kind;
}

struct TOutcome {
  int points = 0;       // failure points tried
  int clean = 0;        // failures that came back as the expected engine error
  int consistent = 0;   // tables the checker found sound afterwards
  int repaired = 0;     // of the others, those the repair made sound
  std::map<std::string, int> kinds;  // inconsistent tables by the kind of their first finding
  std::map<int, int> codes;          // engine error codes seen
};

class FaultScenarioTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = SetPlatform(&faults_); }
  void TearDown() override { SetPlatform(previous_ == &PosixPlatform() ? nullptr : previous_); }

  // With `then`, the first operation of that kind after the failure fails too (EIO): a
  // change that fails and then cannot undo its traces. With sticky, every operation of
  // the kind fails from the Nth on (a full disk).
  TOutcome Sweep(TFaultOp op, int err, const std::set<int>& expected, std::optional<TFaultOp> then = {},
                 bool sticky = false) {
    TOutcome out;
    for (long n = 1; n < 5000; ++n) {
      std::string folder = dir_ / ("run" + std::to_string(n));
      fs::create_directories(folder);
      long before = faults_.Failures();
      faults_.FailAt(op, n, err, sticky);
      if (then) faults_.FailAt(*then, 1, EIO, false);
      bool failed = false;
      try {
        Life(folder);
      } catch (const EOvrinEngineError& e) {
        failed = true;
        ++out.codes[e.ErrorCode()];
        if (expected.count(e.ErrorCode()))
          ++out.clean;
        else
          ADD_FAILURE() << "failure " << n << ": code " << e.ErrorCode() << " " << e.Message();
      } catch (const std::exception& e) {
        failed = true;
        ADD_FAILURE() << "failure " << n << " came back as " << e.what();
      }
      faults_.Clear();
      if (!failed) {
        EXPECT_EQ(faults_.Failures(), before) << "an injected failure went unreported at " << n;
        fs::remove_all(folder);
        break;
      }
      ++out.points;
      // Whatever the failure left, opening and checking it must not crash.
      if (fs::exists(folder + "/t.DAT")) {
        TCheckReport report = CheckTable(folder + "/t");
        if (report.Ok()) {
          ++out.consistent;
        } else {
          ++out.kinds[report.opened ? KindOf(report.problems.front()) : "does not open"];
          // The repair mends it, and keeps every live record.
          try {
            TRepairReport repaired = RepairTable(folder + "/t");
            TCheckReport after = CheckTable(folder + "/t");
            if (after.Ok()) {
              ++out.repaired;
            } else {
              ADD_FAILURE() << "failure " << n << ": after the repair " << after.problems.front();
            }
            bool dropped = false;
            for (const std::string& line : repaired.log) dropped |= line.find("the record is deleted") != std::string::npos;
            if (report.opened && !dropped) {
              EXPECT_EQ(after.liveRecords, report.liveRecords) << "failure " << n;
            }
          } catch (const EOvrinEngineError& e) {
            ADD_FAILURE() << "failure " << n << ": the repair failed: " << e.Message();
          }
        }
        try {
          TOvrinTable t;
          t.SetDatabaseName(folder + "/");
          t.SetTableName("t");
          t.Open();
          for (t.First(); !t.Eof(); t.Next()) t.FieldByName("DATA").AsBytes();
        } catch (const EOvrinEngineError&) {
        }
      } else {
        ++out.consistent;  // creation failed and left nothing behind
      }
      fs::remove_all(folder);
    }
    return out;
  }

  static void Print(const char* what, const TOutcome& o) {
    std::cout << what << ": " << o.points << " failure points, " << o.clean << " clean errors, " << o.consistent
              << " sound afterwards";
    for (const auto& [kind, n] : o.kinds) std::cout << "; " << n << " x " << kind;
    if (o.consistent < o.points) std::cout << "; " << o.repaired << " of those sound after repair";
    std::cout << "\n";
  }

  test::TempDir dir_;
  TFaultPlatform faults_{PosixPlatform()};
  TPlatform* previous_ = nullptr;
};

TEST_F(FaultScenarioTest, EveryFailedOperationIsACleanEngineError) {
  const int lockCode = MapOsError(EIO);
  struct TCase {
    const char* name;
    TFaultOp op;
    int err;
    std::set<int> expected;
    std::optional<TFaultOp> then{};
    bool sticky = false;
  };
  std::vector<TCase> cases = {
      {"read EIO", TFaultOp::Read, EIO, {errRead}},
      {"write EIO", TFaultOp::Write, EIO, {errWrite}},
      {"write ENOSPC", TFaultOp::Write, ENOSPC, {errWrite}},
      {"lock EIO", TFaultOp::Lock, EIO, {lockCode}},
      {"write ENOSPC, then the undo's truncation", TFaultOp::Write, ENOSPC, {errWrite}, TFaultOp::Truncate},
      {"write ENOSPC from then on", TFaultOp::Write, ENOSPC, {errWrite}, std::nullopt, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TOutcome o = Sweep(c.op, c.err, c.expected, c.then, c.sticky);
    Print(c.name, o);
    EXPECT_EQ(o.clean, o.points);
    EXPECT_GT(o.points, 20);
    // One failure alone is undone completely: the table is as it was before the change.
    if (!c.then && !c.sticky) {
      EXPECT_EQ(o.consistent, o.points);
    }
    EXPECT_EQ(o.consistent + o.repaired, o.points);
  }
}

// The failing user keeps the table open and goes on: after each failure no lock of its
// stays behind (another user writes at once and edits every record without waiting),
// its next operations work, and a single failure leaves the table sound.
TEST_F(FaultScenarioTest, AfterAFailureTheTableStaysOpenUsableAndFreeOfLocks) {
  struct TCase {
    const char* name;
    TFaultOp op;
    int err;
  };
  for (const TCase& c : {TCase{"read EIO", TFaultOp::Read, EIO}, TCase{"write ENOSPC", TFaultOp::Write, ENOSPC},
                         TCase{"lock EIO", TFaultOp::Lock, EIO}}) {
    SCOPED_TRACE(c.name);
    int points = 0;
    for (long n = 1; n < 5000; ++n) {
      // Each case its own folders: the run that no longer fails leaves its folder behind.
      std::string folder = dir_ / ("open-" + std::to_string(int(c.op)) + "-" + std::to_string(n));
      fs::create_directories(folder);
      CreateTable(folder + "/t", IndexedTableWithBlobs());
      auto open = [&](TOvrinTable& t) {
        t.SetDatabaseName(folder + "/");
        t.SetTableName("t");
        t.SetLockRetryCount(0);
        t.SetLockWaitTime(1);
        t.Open();
      };
      TOvrinTable a, b;
      open(a);
      open(b);
      auto add = [](TOvrinTable& t, const std::string& name, int size) {
        t.Append();
        t.FieldByName("NAME").SetAsString(name);
        t.FieldByName("AGE").SetAsInteger(size % 7);
        t.FieldByName("DATA").SetAsBytes(Bytes(size, 'd'));
        t.Post();
      };
      for (int i = 0; i < 6; ++i) add(b, "seed " + std::to_string(i), i * 300);
      a.Refresh();  // a sees b's records from here on
      faults_.FailAt(c.op, n, c.err);
      bool failed = false;
      try {
        int i = 0;
        for (a.First(); !a.Eof(); ++i) {
          if (i % 3 == 1) {
            a.Delete();
            continue;
          }
          a.Edit();
          a.FieldByName("NAME").SetAsString("changed " + std::to_string(i));
          a.FieldByName("DATA").SetAsBytes(Bytes(i * 700 + 5, 'e'));
          a.Post();
          a.Next();
        }
        add(a, "added", 5000);
      } catch (const EOvrinEngineError&) {
        failed = true;
      }
      faults_.Clear();
      if (!failed) break;
      ++points;
      // No lock of a's is left: b writes and locks every record without waiting.
      try {
        add(b, "other user", 123);
      } catch (const Exception& e) {
        ADD_FAILURE() << "failure point " << n << ": the other user: " << e.Message();
        b.Cancel();
      }
      // A refused post keeps its edit and the edit's record lock until a cancels; then
      // no record lock of a's is left.
      if (a.State() != TDataSetState::Browse) {
        EXPECT_NO_THROW(a.Cancel()) << "failure point " << n;
      }
      EXPECT_NO_THROW({
        for (b.First(); !b.Eof(); b.Next()) {
          b.Edit();
          b.Cancel();
        }
      }) << "failure point " << n;
      // a goes on from where it is.
      EXPECT_NO_THROW({
        add(a, "after the failure", 77);
        a.First();
        a.Edit();
        a.FieldByName("AGE").SetAsInteger(3);
        a.Post();
      }) << "failure point " << n;
      a.Close();
      b.Close();
      TCheckReport report = CheckTable(folder + "/t");
      EXPECT_TRUE(report.Ok()) << "failure point " << n << ": "
                               << (report.problems.empty() ? "does not open" : report.problems.front());
      fs::remove_all(folder);
    }
    EXPECT_GT(points, 10);
    std::cout << c.name << ": " << points << " failure points with the table kept open\n";
  }
}

}  // namespace
}  // namespace ovrin
