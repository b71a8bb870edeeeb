// The file handler's sharing modes and byte-range locks on one folder of a file server
// reached through two mounts of this machine, as two desktops reach it. Run by
// tests/netfs/glusterfs.sh with OVRIN_NETFS_MOUNTS="MOUNT1:MOUNT2"; without it every
// case is skipped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/data/table_create.h"
#include "engine/table/table.h"
#include "tests/support/engine_error.h"

namespace ovrin {
namespace {

using test::CodeOf;

class NetfsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* mounts = std::getenv("OVRIN_NETFS_MOUNTS");
    std::string m = mounts ? mounts : "";
    size_t colon = m.find(':');
    if (colon == std::string::npos) GTEST_SKIP() << "OVRIN_NETFS_MOUNTS is not set";
    const std::string name = "netfs-" + std::to_string(::getpid()) + "-" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name();
    first_ = m.substr(0, colon) + "/" + name;
    second_ = m.substr(colon + 1) + "/" + name;
    std::filesystem::create_directories(first_);
  }
  void TearDown() override {
    std::error_code ec;
    if (!first_.empty()) std::filesystem::remove_all(first_, ec);
  }

  // The same file through the first and through the second mount.
  std::string First(const std::string& file) const { return first_ + "/" + file; }
  std::string Second(const std::string& file) const { return second_ + "/" + file; }

  static void Make(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::unique_ptr<TFileHandler> Handler(const std::string& path, bool exclusive = false,
                                               bool readOnly = false) {
    auto h = std::make_unique<TFileHandler>();
    h->SetFileName(path);
    h->SetExclusive(exclusive);
    h->SetReadOnly(readOnly);
    return h;
  }

  std::string first_, second_;
};

// The failure that made tables unusable on a file server: while anyone had the table
// open, nobody else could take a record, write or area lock.
TEST_F(NetfsTest, OpensThroughTheOtherMountNeverBlockTheEngineLocks) {
  Make(First("t.DAT"), "data");
  auto a = Handler(First("t.DAT"));
  auto b = Handler(Second("t.DAT"));
  auto reader = Handler(Second("t.DAT"), false, true);
  a->Open();
  b->Open();
  reader->Open();
  EXPECT_TRUE(a->LockRange(lockmap::kDataWriteLock, 1));
  EXPECT_FALSE(b->LockRange(lockmap::kDataWriteLock, 1));
  EXPECT_TRUE(a->LockRange(lockmap::kRecordLockBase - 1, 1));
  EXPECT_TRUE(b->LockRange(lockmap::kRecordLockBase - 2, 1));
  EXPECT_FALSE(b->LockRange(lockmap::kRecordLockBase - 1, 1));
  EXPECT_TRUE(a->UnlockRange(lockmap::kDataWriteLock, 1));
  EXPECT_TRUE(b->LockRange(lockmap::kDataWriteLock, 1));
  // A reader's byte and a writer's area, in an index file.
  Make(First("t.IDX"), "index");
  a = Handler(First("t.IDX"));
  reader = Handler(Second("t.IDX"), false, true);
  a->Open();
  reader->Open();
  EXPECT_TRUE(reader->LockRange(lockmap::kReadLockTop - 4, 1, true));
  EXPECT_TRUE(a->LockRange(lockmap::kReadLockTop - 9, 1, true));
  EXPECT_FALSE(a->LockRange(lockmap::kAreaStart, lockmap::kAreaLength));
  EXPECT_TRUE(reader->UnlockRange(lockmap::kReadLockTop - 4, 1));
  EXPECT_TRUE(a->UnlockRange(lockmap::kReadLockTop - 9, 1));
  EXPECT_TRUE(a->LockRange(lockmap::kAreaStart, lockmap::kAreaLength));
  EXPECT_FALSE(reader->LockRange(lockmap::kReadLockTop - 4, 1, true));
}

TEST_F(NetfsTest, AnExclusiveOpenKeepsOutEveryOpenThroughTheOtherMount) {
  Make(First("x.DAT"), "keep");
  for (bool readOnly : {false, true}) {
    auto exclusive = Handler(First("x.DAT"), true, readOnly);
    exclusive->Open();
    EXPECT_EQ(CodeOf([&] { Handler(Second("x.DAT"))->Open(); }), 11013);
    EXPECT_EQ(CodeOf([&] { Handler(Second("x.DAT"), false, true)->Open(); }), 11013);
    EXPECT_EQ(CodeOf([&] { Handler(Second("x.DAT"), true, true)->Open(); }), 11013);
    auto creator = Handler(Second("x.DAT"), true);
    EXPECT_EQ(CodeOf([&] { creator->Create(); }), 11013);
  }
  auto shared = Handler(Second("x.DAT"));
  shared->Open();
  EXPECT_EQ(CodeOf([&] { Handler(First("x.DAT"), true)->Open(); }), 11013);
  char buffer[4] = {};
  shared->Read(buffer, 4);
  EXPECT_EQ(std::string(buffer, 4), "keep");
}

// Locks end with their file's close, and with a process killed while it holds them.
TEST_F(NetfsTest, LocksEndWithTheCloseAndWithAKilledProcess) {
  Make(First("k.DAT"), "");
  {
    auto holder = Handler(Second("k.DAT"));
    holder->Open();
    ASSERT_TRUE(holder->LockRange(lockmap::kDataWriteLock, 1));
    auto other = Handler(First("k.DAT"));
    other->Open();
    EXPECT_FALSE(other->LockRange(lockmap::kDataWriteLock, 1));
  }
  auto mine = Handler(First("k.DAT"));
  mine->Open();
  EXPECT_TRUE(mine->LockRange(lockmap::kDataWriteLock, 1));
  EXPECT_TRUE(mine->UnlockRange(lockmap::kDataWriteLock, 1));

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    char c = 1;
    try {
      auto h = Handler(Second("k.DAT"));
      h->Open();
      if (h->LockRange(lockmap::kDataWriteLock, 1) && h->LockRange(lockmap::kRecordLockBase - 5, 1)) c = 0;
      (void)!::write(ready[1], &c, 1);
      for (;;) ::pause();
    } catch (...) {
    }
    (void)!::write(ready[1], &c, 1);
    ::_exit(1);
  }
  char c = 9;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 0);
  EXPECT_FALSE(mine->LockRange(lockmap::kDataWriteLock, 1));
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  // The client lets the server know of the close at once, but not before waitpid returns.
  bool freed = false;
  for (int i = 0; i < 500 && !freed; ++i) {
    freed = mine->LockRange(lockmap::kDataWriteLock, 1) && mine->LockRange(lockmap::kRecordLockBase - 5, 1);
    if (!freed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(freed);
  ::close(ready[0]);
  ::close(ready[1]);
}

// A value raised by users on both mounts, each reading it and writing it back under the
// data write lock: every raise must count. With a client that keeps cached pages across
// a lock hand-over, about half are lost.
TEST_F(NetfsTest, WhatOneUserWroteUnderALockTheNextOneReads) {
  Make(First("c.DAT"), std::string(70000, '\0'));
  constexpr int kRaises = 400;
  auto raise = [&](const std::string& path) {
    auto h = Handler(path);
    h->Open();
    for (int i = 0; i < kRaises; ++i) {
      while (!h->LockRange(lockmap::kDataWriteLock, 1)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      for (int64_t at : {0, 40000}) {
        int64_t value = 0;
        h->Seek(at, 0);
        h->Read(&value, sizeof value);
        ++value;
        h->Seek(at, 0);
        h->Write(&value, sizeof value);
      }
      h->UnlockRange(lockmap::kDataWriteLock, 1);
    }
  };
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    try {
      raise(Second("c.DAT"));
    } catch (...) {
      ::_exit(1);
    }
    ::_exit(0);
  }
  raise(First("c.DAT"));
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (const std::string& path : {First("c.DAT"), Second("c.DAT")}) {
    auto h = Handler(path, false, true);
    h->Open();
    for (int64_t at : {0, 40000}) {
      int64_t value = 0;
      h->Seek(at, 0);
      h->Read(&value, sizeof value);
      EXPECT_EQ(value, 2 * kRaises) << path << " at " << at;
    }
  }
}

// Tables: what one user posts through one mount, another sees through the other, and a
// record one of them locks the other cannot change.
TEST_F(NetfsTest, ATableSharedThroughTwoMounts) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 20},
                TFieldSpec{"NOTE", fldBlob, subMemo}};
  def.Primary.Fields = {"ID"};
  CreateTable(First("people"), def, TCreateOptions{true, false});
  TOvrinTable a, b;
  a.SetDatabaseName(first_ + "/");
  a.SetTableName("people");
  b.SetDatabaseName(second_ + "/");
  b.SetTableName("people");
  b.SetLockRetryCount(2);
  b.SetLockWaitTime(5);
  a.Open();
  b.Open();
  for (int i = 0; i < 20; ++i) {
    a.Append();
    a.FieldByName("NAME").SetAsString("ada" + std::to_string(i));
    a.FieldByName("NOTE").SetAsString(std::string(3000 + i, 'n'));
    a.Post();
  }
  b.Refresh();
  EXPECT_EQ(b.RecordCount(), 20);
  b.Last();
  EXPECT_EQ(b.FieldByName("NAME").AsString(), "ada19");
  EXPECT_EQ(b.FieldByName("NOTE").AsString(), std::string(3019, 'n'));
  a.Last();
  a.Edit();
  EXPECT_EQ(CodeOf([&] { b.Edit(); }), 10258);
  a.FieldByName("NAME").SetAsString("grace");
  a.Post();
  b.Refresh();
  b.Last();
  EXPECT_EQ(b.FieldByName("NAME").AsString(), "grace");
  b.Delete();
  a.Refresh();
  EXPECT_EQ(a.RecordCount(), 19);
}

}  // namespace
}  // namespace ovrin
