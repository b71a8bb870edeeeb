#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>
#include <fstream>
#include <random>
#include <vector>

#include "tests/support/file_bytes.h"
#include "tests/support/engine_error.h"
#include "engine/base/errors.h"
#include "engine/base/fault_platform.h"
#include "engine/base/file_handler.h"
#include "engine/base/file_session.h"
#include "tests/support/temp_dir.h"
#include "tests/support/lock_probe.h"

namespace ovrin {
namespace {

using test::LockSeenAt;

using test::CodeOf;

using test::TempDir;
using test::FileBytes;

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}


// A handler that maps names to ".DAT" files, as a data file does.
class TDatHandler : public TFileHandler {
 public:
  TDatHandler() = default;
  ~TDatHandler() override = default;
  std::string MapFileName(const std::string& name) const override {
    return RemoveExtensionOf(name) + ".DAT";
  }
  static std::string RemoveExtensionOf(const std::string& name) {
    size_t dot = name.find_last_of('.'), slash = name.find_last_of('/');
    return dot == std::string::npos || (slash != std::string::npos && dot < slash) ? name : name.substr(0, dot);
  }
};

// A FIFO, a device or a folder where a table's file should be: opening it used to block
// for ever (a FIFO without a writer) or read endless bytes (a link to /dev/zero). Each is
// refused at once, naming the file. Run in a child, so that a hang fails the test.
TEST(FileHandlerTest, AFileThatIsNoRegularFileIsRefusedAtOnce) {
  TempDir dir;
  const std::string fifo = dir / "t.IDX";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  const std::string device = dir / "z.DAT";
  ASSERT_EQ(::symlink("/dev/zero", device.c_str()), 0);
  const std::string folder = dir / "f.BLB";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  for (const std::string& path : {fifo, device, folder}) {
    for (bool write : {false, true}) {
      std::fflush(nullptr);
      pid_t pid = fork();
      if (pid == 0) {
        std::string message;
        uint16_t code = CodeOf(
            [&] {
              TFileHandler f;
              f.SetFileName(path);
              f.SetReadOnly(!write);
              f.Open();
            },
            nullptr, &message);
        _exit(code != 0 && message.find(path) != std::string::npos ? 0 : 1);
      }
      int status = 0;
      for (int i = 0; i < 100 && waitpid(pid, &status, WNOHANG) == 0; ++i) usleep(50000);
      if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << path << " (write " << write << "): the open hung";
        continue;
      }
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << path << " (write " << write << ")";
    }
  }
}

TEST(FileHandlerTest, OpeningAMissingFileNamesIt) {
  TempDir dir;
  TFileHandler h;
  h.SetFileName(dir / "missing.DAT");
  std::string message;
  EXPECT_EQ(CodeOf([&] { h.Open(); }, nullptr, &message), 11010);
  EXPECT_EQ(message, "Ovrin Engine Error # 11010 Invalid path or file name for data file " + dir / "missing.DAT");
  EXPECT_FALSE(h.IsOpen());
}

TEST(FileHandlerTest, FindsAFileUnderAnotherLetterCase) {
  TempDir dir;
  WriteFile(dir / "USERS.DAT", "abc");
  TDatHandler h;
  h.SetFileName(dir / "users.xyz");
  EXPECT_EQ(h.FileName(), dir / "users.DAT");
  EXPECT_TRUE(h.Exists());
  h.Open();
  char buf[3];
  EXPECT_EQ(h.Read(buf, 3), 3u);
  EXPECT_EQ(std::string(buf, 3), "abc");
}

// Create empties the file found under another letter case instead of making a twin
// beside it, which Open could then not tell from it.
TEST(FileHandlerTest, CreateEmptiesTheFileUnderAnotherLetterCase) {
  TempDir dir;
  WriteFile(dir / "USERS.DAT", "abc");
  TDatHandler h;
  h.SetFileName(dir / "users.DAT");
  h.SetExclusive(true);
  h.Create();
  h.Write("xy", 2);
  h.Close();
  EXPECT_EQ(test::FileBytes(dir / "USERS.DAT"), "xy");
  EXPECT_FALSE(std::filesystem::exists(dir / "users.DAT"));
}

TEST(FileHandlerTest, ErrorsNameTheFileAsItIsOnDisk) {
  // Messages said users.DAT where the file on disk is users.dat.
  TempDir dir;
  WriteFile(dir / "users.dat", "abc");
  TDatHandler h;
  h.SetFileName(dir / "users.DAT");
  h.Open();
  std::string message;
  char buf[8];
  EXPECT_NE(CodeOf([&] { h.Read(buf, 8); }, nullptr, &message), 0);
  EXPECT_NE(message.find(dir / "users.dat"), std::string::npos) << message;
  EXPECT_EQ(message.find(dir / "users.DAT"), std::string::npos) << message;
}

TEST(FileHandlerTest, FoldersWithDotsKeepTheirNames) {
  TempDir dir;
  std::filesystem::create_directory(dir / "v1.4");
  TDatHandler h;
  h.SetFileName(dir / "v1.4/sample");
  EXPECT_EQ(h.FileName(), dir / "v1.4/sample.DAT");
  h.SetFileName(dir / "v1.4/sample.xyz");
  EXPECT_EQ(h.FileName(), dir / "v1.4/sample.DAT");
}

TEST(FileHandlerTest, ExclusiveAndSharedOpensExcludeEachOther) {
  TempDir dir;
  WriteFile(dir / "t.DAT", "x");
  TFileHandler shared1, shared2, exclusive;
  for (TFileHandler* h : {&shared1, &shared2, &exclusive}) h->SetFileName(dir / "t.DAT");
  exclusive.SetExclusive(true);
  shared1.Open();
  shared2.Open();
  EXPECT_EQ(CodeOf([&] { exclusive.Open(); }), 11013);
  shared1.Close();
  shared2.Close();
  exclusive.Open();
  EXPECT_EQ(CodeOf([&] { shared1.Open(); }), 11013);
  // Create also refuses to empty a file that someone has open.
  TFileHandler creator;
  creator.SetFileName(dir / "t.DAT");
  creator.SetExclusive(true);
  EXPECT_EQ(CodeOf([&] { creator.Create(); }), 11013);
  exclusive.Close();
  EXPECT_EQ(FileBytes(dir / "t.DAT"), "x");
  creator.Create();
  EXPECT_EQ(creator.Size(), 0);
}

TEST(FileHandlerTest, ReadOnlyAttributeOpensReadOnly) {
  TempDir dir;
  WriteFile(dir / "ro.DAT", "data");
  ::chmod((dir / "ro.DAT").c_str(), 0444);
  TFileHandler h;
  h.SetFileName(dir / "ro.DAT");
  h.Open();
  EXPECT_TRUE(h.ReadOnly());
  EXPECT_TRUE(h.ReadOnlyByAttribute());
  EXPECT_EQ(CodeOf([&] { h.Write("zz", 2); }), 9218);
  h.Close();
  EXPECT_EQ(FileBytes(dir / "ro.DAT"), "data");
}

TEST(FileHandlerTest, CreateRules) {
  TempDir dir;
  TFileHandler h;
  h.SetFileName(dir / "c.DAT");
  EXPECT_EQ(CodeOf([&] { h.Create(); }), 10253);
  h.SetExclusive(true);
  h.Create();
  EXPECT_EQ(CodeOf([&] { h.Create(); }), 10031);
}

TEST(FileHandlerTest, ChangingSettingsOfAnOpenHandler) {
  TempDir dir;
  WriteFile(dir / "s.DAT", "");
  TFileHandler h;
  h.SetFileName(dir / "s.DAT");
  h.Open();
  EXPECT_EQ(CodeOf([&] { h.SetExclusive(true); }), 10031);
  EXPECT_EQ(CodeOf([&] { h.SetInMemory(true); }), 10031);
  EXPECT_EQ(CodeOf([&] { h.SetReadOnly(true); }), 10031);
  EXPECT_EQ(CodeOf([&] { h.SetFileName(dir / "other.DAT"); }), 10031);
  EXPECT_EQ(CodeOf([&] {
              h.SetExclusive(false);
              h.SetInMemory(false);
              h.SetReadOnly(false);
              h.SetFileName(dir / "s.DAT");
            }),
            0);
  h.SetWriteThrough(true);  // ignored while open
  EXPECT_FALSE(h.WriteThrough());
}

TEST(FileHandlerTest, ZeroLengthWriteTruncatesAtThePosition) {
  TempDir dir;
  WriteFile(dir / "z.DAT", std::string(1000, 'a'));
  TFileHandler h;
  h.SetFileName(dir / "z.DAT");
  h.Open();
  h.Seek(321, 0);
  h.Write(nullptr, 0);
  EXPECT_EQ(h.Size(), 321);
  h.Close();
  EXPECT_EQ(FileBytes(dir / "z.DAT").size(), 321u);
}

TEST(FileHandlerTest, ShortReads) {
  TempDir dir;
  WriteFile(dir / "r.DAT", std::string(100, 'r'));
  TFileHandler h;
  h.SetFileName(dir / "r.DAT");
  h.Open();
  std::vector<char> buf(127);
  std::string message;
  EXPECT_EQ(CodeOf([&] { h.Read(buf.data(), 127); }, nullptr, &message), 9217);
  EXPECT_NE(message.find("Error reading from data file " + dir / "r.DAT"), std::string::npos);
  h.Seek(0, 0);
  EXPECT_EQ(h.Read(buf.data(), 127, true), 100u);
}

// A gathered write leaves the bytes a write of the pieces joined would: more pieces than
// one system call takes, empty pieces among them, at a position inside the file, on disk
// and in memory.
TEST(FileHandlerTest, AGatheredWriteIsTheWriteOfItsPiecesJoined) {
  TempDir dir;
  std::mt19937 rng(7);
  std::vector<std::string> texts;
  for (int i = 0; i < 2500; ++i) {
    std::string t(rng() % 4 == 0 ? 0 : rng() % 40, '\0');
    for (char& c : t) c = static_cast<char>('a' + rng() % 26);
    texts.push_back(t);
  }
  std::vector<TWritePiece> pieces;
  std::string joined;
  for (const std::string& t : texts) {
    pieces.push_back({t.data(), t.size()});
    joined += t;
  }
  engine::StartEngine();
  for (bool inMemory : {false, true}) {
    TFileHandler h;
    h.SetInMemory(inMemory);
    h.SetFileName(dir / (inMemory ? "m.DAT" : "g.DAT"));
    h.SetExclusive(true);
    h.Create();
    h.Write(std::string(100, '-').data(), 100);
    h.Seek(10, 0);
    h.WriteGather(pieces.data(), pieces.size());
    EXPECT_EQ(h.Seek(0, 1), 10 + static_cast<int64_t>(joined.size()));
    std::string back(10 + joined.size(), '\0');
    h.Seek(0, 0);
    h.Read(back.data(), static_cast<uint32_t>(back.size()));
    EXPECT_EQ(back, std::string(10, '-') + joined) << inMemory;
    h.Close();
  }
  engine::StopEngine();
  EXPECT_EQ(FileBytes(dir / "g.DAT"), std::string(10, '-') + joined);
}

TEST(FileHandlerTest, CopyOfExactlyOnePieceAndOfSeveral) {
  TempDir dir;
  for (size_t size : {size_t(0), size_t(65535), size_t(65536), size_t(200000)}) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 31 + 7);
    WriteFile(dir / "src.DAT", data);
    TFileHandler h;
    h.SetFileName(dir / "src.DAT");
    h.Open();
    h.Copy(dir / "dst.DAT");
    EXPECT_EQ(FileBytes(dir / "dst.DAT"), data) << size;
    EXPECT_EQ(h.Position(), static_cast<int64_t>(size));
  }
  TFileHandler closed;
  closed.SetFileName(dir / "src.DAT");
  closed.Copy(dir / "never.DAT");  // does nothing unless open
  EXPECT_FALSE(std::filesystem::exists(dir / "never.DAT"));
}

TEST(FileHandlerTest, DeleteAndRename) {
  TempDir dir;
  WriteFile(dir / "d.DAT", "d");
  TDatHandler h;
  h.SetFileName(dir / "d");
  h.Rename(dir / "e.any");
  EXPECT_EQ(h.FileName(), dir / "e.DAT");
  EXPECT_TRUE(std::filesystem::exists(dir / "e.DAT"));
  h.Open();
  EXPECT_EQ(CodeOf([&] { h.Delete(); }), 10031);
  h.Close();
  h.Delete();
  EXPECT_FALSE(h.Exists());
  EXPECT_EQ(CodeOf([&] { h.Delete(); }), 9220);
  EXPECT_EQ(CodeOf([&] { h.Rename(dir / "f"); }), 11047);
}

TEST(FileLockTest, TwoHandlersInOneProcessExcludeEachOther) {
  TempDir dir;
  WriteFile(dir / "l.DAT", "");
  TFileHandler a, b;
  a.SetFileName(dir / "l.DAT");
  b.SetFileName(dir / "l.DAT");
  a.Open();
  b.Open();
  EXPECT_TRUE(a.LockRange(lockmap::kDataWriteLock, 1));
  EXPECT_FALSE(b.LockRange(lockmap::kDataWriteLock, 1));
  // Record locks of different records do not overlap.
  EXPECT_TRUE(a.LockRange(lockmap::kRecordLockBase - 1, 1));
  EXPECT_TRUE(b.LockRange(lockmap::kRecordLockBase - 2, 1));
  EXPECT_FALSE(b.LockRange(lockmap::kRecordLockBase - 1, 1));
  EXPECT_TRUE(a.UnlockRange(lockmap::kDataWriteLock, 1));
  EXPECT_TRUE(b.LockRange(lockmap::kDataWriteLock, 1));
}

TEST(FileLockTest, ReadersShareAndAWriterTakesTheWholeArea) {
  TempDir dir;
  WriteFile(dir / "l.IDX", "");
  TFileHandler a, b;
  a.SetFileName(dir / "l.IDX");
  b.SetFileName(dir / "l.IDX");
  a.Open();
  b.Open();
  EXPECT_TRUE(a.LockRange(lockmap::kReadLockTop - 5, 1, true));
  EXPECT_TRUE(b.LockRange(lockmap::kReadLockTop - 5, 1, true));
  EXPECT_FALSE(b.LockRange(lockmap::kAreaStart, lockmap::kAreaLength));
  EXPECT_TRUE(a.UnlockRange(lockmap::kReadLockTop - 5, 1));
  EXPECT_TRUE(b.UnlockRange(lockmap::kReadLockTop - 5, 1));
  EXPECT_TRUE(b.LockRange(lockmap::kAreaStart, lockmap::kAreaLength));
  EXPECT_FALSE(a.LockRange(lockmap::kReadLockTop - 9, 1, true));
  // Closing a third handle on the same file keeps these locks (unlike process locks).
  {
    TFileHandler c;
    c.SetFileName(dir / "l.IDX");
    c.Open();
  }
  EXPECT_FALSE(a.LockRange(lockmap::kReadLockTop - 9, 1, true));
  EXPECT_TRUE(b.UnlockRange(lockmap::kAreaStart, lockmap::kAreaLength));
  EXPECT_TRUE(a.LockRange(lockmap::kReadLockTop - 9, 1, true));
}

TEST(FileLockTest, ExclusiveHandlerNeverLocks) {
  TempDir dir;
  WriteFile(dir / "x.DAT", "");
  TFileHandler shared;
  shared.SetFileName(dir / "x.DAT");
  shared.Open();
  EXPECT_TRUE(shared.LockRange(100, 10));
  shared.Close();
  TFileHandler exclusive;
  exclusive.SetFileName(dir / "x.DAT");
  exclusive.SetExclusive(true);
  exclusive.Open();
  EXPECT_TRUE(exclusive.LockRange(100, 10));
  EXPECT_TRUE(exclusive.LockRange(100, 10));
  EXPECT_TRUE(exclusive.UnlockRange(5, 5));
}

TEST(FileLockTest, TwoProcessesExcludeEachOther) {
  TempDir dir;
  WriteFile(dir / "p.DAT", "");
  int toParent[2], toChild[2];
  ASSERT_EQ(::pipe(toParent), 0);
  ASSERT_EQ(::pipe(toChild), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int status = 1;
    TFileHandler h;
    try {
      h.SetFileName(dir / "p.DAT");
      h.Open();
      if (h.LockRange(lockmap::kDataWriteLock, 1)) status = 0;
    } catch (...) {
    }
    char c = static_cast<char>(status);
    (void)!::write(toParent[1], &c, 1);
    (void)!::read(toChild[0], &c, 1);  // hold the lock until the parent has tried
    ::_exit(status);
  }
  char c = 9;
  ASSERT_EQ(::read(toParent[0], &c, 1), 1);
  ASSERT_EQ(c, 0) << "child could not lock";
  TFileHandler h;
  h.SetFileName(dir / "p.DAT");
  h.Open();
  EXPECT_FALSE(h.LockRange(lockmap::kDataWriteLock, 1));
  EXPECT_TRUE(h.LockRange(lockmap::kRecordLockBase - 1, 1));
  (void)!::write(toChild[1], &c, 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // The child's locks ended with its process.
  EXPECT_TRUE(h.LockRange(lockmap::kDataWriteLock, 1));
  for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) ::close(fd);
}

// The sharing modes are byte-range locks past the engine's lock map, which other users'
// programs (on other machines too, through a file server) must see as they are: a read
// lock for a shared open, a write lock for an exclusive one, and nothing anywhere else.
// No whole-file lock is taken, as a network file system would turn it into a lock that
// covers every byte.
TEST(SharingLockTest, AnOpenIsALockOnOneBytePastTheLockMap) {
  TempDir dir;
  const std::string path = dir / "s.DAT";
  WriteFile(path, "x");
  static_assert(kShareLockByte > lockmap::kDataWriteLock && kShareLockByte > lockmap::kReadLockTop);
  for (bool readOnly : {false, true}) {
    TFileHandler shared;
    shared.SetFileName(path);
    shared.SetReadOnly(readOnly);
    shared.Open();
    EXPECT_EQ(LockSeenAt(path, kShareLockByte, 1), F_RDLCK);
    EXPECT_EQ(LockSeenAt(path, 0, kShareLockByte), F_UNLCK);
    EXPECT_EQ(LockSeenAt(path, kReadOnlyExclusiveByte, 1), F_UNLCK);
    int other = ::open(path.c_str(), O_RDONLY);
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0) << "an open must not hold a whole-file lock";
    ::close(other);
  }
  for (bool readOnly : {false, true}) {
    TFileHandler exclusive;
    exclusive.SetFileName(path);
    exclusive.SetExclusive(true);
    exclusive.SetReadOnly(readOnly);
    exclusive.Open();
    EXPECT_EQ(LockSeenAt(path, kShareLockByte, 1), F_WRLCK);
    EXPECT_EQ(LockSeenAt(path, 0, kShareLockByte), F_UNLCK);
    // Open for writing for its lock, it still writes nothing when asked only to read.
    if (readOnly) {
      EXPECT_EQ(CodeOf([&] { exclusive.Write("zz", 2); }), 9218);
    }
  }
  EXPECT_EQ(FileBytes(path), "x");
  EXPECT_EQ(LockSeenAt(path, 0, 0), F_UNLCK);  // every lock went with its close
}

// However many users have a table open, each one's record locks, data write lock and
// index write area are taken as if the others were not there.
TEST(SharingLockTest, SharedOpensNeverBlockTheEngineLocks) {
  TempDir dir;
  WriteFile(dir / "e.DAT", "");
  TFileHandler writer, reader, readOnlyUser;
  for (TFileHandler* h : {&writer, &reader, &readOnlyUser}) h->SetFileName(dir / "e.DAT");
  readOnlyUser.SetReadOnly(true);
  readOnlyUser.Open();
  reader.Open();
  writer.Open();
  EXPECT_TRUE(writer.LockRange(lockmap::kDataWriteLock, 1));
  EXPECT_TRUE(writer.LockRange(lockmap::kRecordLockBase - lockmap::kMaxLockedRecord, lockmap::kMaxLockedRecord));
  EXPECT_TRUE(writer.LockRange(lockmap::kAreaStart, lockmap::kAreaLength));
  EXPECT_TRUE(writer.LockRange(0, lockmap::kDataWriteLock + 1));  // every byte of the map
  EXPECT_TRUE(writer.UnlockRange(0, lockmap::kDataWriteLock + 1));
  EXPECT_TRUE(readOnlyUser.LockRange(lockmap::kReadLockTop - 3, 1, true));
  EXPECT_TRUE(reader.LockRange(lockmap::kRecordLockBase - 7, 1));
}

// An exclusive open asked only to read keeps out every other open, shared or exclusive,
// reading or writing; and while any other open holds the file it is refused.
TEST(SharingLockTest, AnExclusiveOpenForReadingKeepsOutEveryOther) {
  TempDir dir;
  const std::string path = dir / "r.DAT";
  WriteFile(path, "r");
  auto handler = [&](bool exclusive, bool readOnly) {
    auto h = std::make_unique<TFileHandler>();
    h->SetFileName(path);
    h->SetExclusive(exclusive);
    h->SetReadOnly(readOnly);
    return h;
  };
  auto first = handler(true, true);
  first->Open();
  for (bool exclusive : {false, true})
    for (bool readOnly : {false, true})
      EXPECT_EQ(CodeOf([&] { handler(exclusive, readOnly)->Open(); }), 11013) << exclusive << readOnly;
  first->Close();
  auto shared = handler(false, true);
  shared->Open();
  EXPECT_EQ(CodeOf([&] { first->Open(); }), 11013);
}

// A file that this user may not write (another user's archive, a read-only mount) can
// still be opened exclusively, and then keeps out every other open just the same, though
// it cannot hold a write lock. Two racing opens, shared and exclusive, never both hold
// the file. Run as an unprivileged user in a child, since root may write any file.
TEST(SharingLockTest, AnExclusiveOpenOfAFileNoOneMayWriteKeepsOutEveryOther) {
  TempDir dir;
  const std::string path = dir / "u.DAT";
  WriteFile(path, "u");
  ::chmod(dir.Path().c_str(), 0755);
  ::chmod(path.c_str(), 0444);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    if (::access(path.c_str(), W_OK) == 0) ::_exit(4);
    int failures = 0;
    auto expect = [&](bool ok, const char* what) {
      if (ok) return;
      ++failures;
      std::fprintf(stderr, "not so: %s\n", what);
    };
    auto handler = [&](bool exclusive) {
      auto h = std::make_unique<TFileHandler>();
      h->SetFileName(path);
      h->SetExclusive(exclusive);
      return h;
    };
    try {
      auto exclusive = handler(true);
      exclusive->Open();
      expect(exclusive->ReadOnlyByAttribute(), "read-only by attribute");
      expect(LockSeenAt(path, kShareLockByte, 1) == F_RDLCK, "a read lock on the sharing byte");
      expect(CodeOf([&] { handler(false)->Open(); }) == 11013, "a shared open refused");
      expect(CodeOf([&] { handler(true)->Open(); }) == 11013, "a second exclusive open refused");
      exclusive->Close();
      auto shared = handler(false);
      shared->Open();
      expect(CodeOf([&] { exclusive->Open(); }) == 11013, "the exclusive open refused while a shared one holds");
      shared->Close();
      // Racing opens: the number of holders at once never passes one while an
      // exclusive open holds the file.
      std::atomic<int> sharedHolders{0}, exclusiveHolders{0};
      std::atomic<int> overlaps{0}, exclusiveWins{0}, sharedWins{0};
      auto run = [&](bool asExclusive) {
        for (int i = 0; i < 1500; ++i) {
          auto h = handler(asExclusive);
          if (CodeOf([&] { h->Open(); }) != 0) continue;
          std::atomic<int>& mine = asExclusive ? exclusiveHolders : sharedHolders;
          ++mine;
          (asExclusive ? exclusiveWins : sharedWins)++;
          if (exclusiveHolders.load() > 0 && exclusiveHolders.load() + sharedHolders.load() > 1) ++overlaps;
          --mine;
          h->Close();
        }
      };
      std::thread a(run, true), b(run, false), c(run, false);
      a.join();
      b.join();
      c.join();
      expect(overlaps.load() == 0, "no overlap of racing opens");
      expect(exclusiveWins.load() > 0 && sharedWins.load() > 0, "both kinds of open succeeded now and then");
    } catch (const std::exception& e) {
      expect(false, e.what());
    }
    ::_exit(failures == 0 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "3: could not become an unprivileged user, 4: the file stayed writable";
  EXPECT_EQ(FileBytes(path), "u");
}

TEST(OsErrorMappingTest, MapsEveryListedErrno) {
  EXPECT_EQ(MapOsError(ENOENT), 11010);
  EXPECT_EQ(MapOsError(ENOTDIR), 11010);
  EXPECT_EQ(MapOsError(EMFILE), 11012);
  EXPECT_EQ(MapOsError(ENFILE), 11012);
  EXPECT_EQ(MapOsError(EACCES), 11013);
  EXPECT_EQ(MapOsError(EPERM), 11013);
  EXPECT_EQ(MapOsError(EROFS), 11013);
  EXPECT_EQ(MapOsError(EWOULDBLOCK), 11013);
  EXPECT_EQ(MapOsError(EBADF), 11014);
  EXPECT_EQ(MapOsError(ENOMEM), 11016);
  EXPECT_EQ(MapOsError(EXDEV), 11025);
  EXPECT_EQ(MapOsError(EIO), 11047);
  EXPECT_EQ(MapOsError(ENOSPC), 11047);
}

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() : faults_(PosixPlatform()) { previous_ = SetPlatform(&faults_); }
  ~FaultTest() override { SetPlatform(previous_ == &PosixPlatform() ? nullptr : previous_); }
  TFaultPlatform faults_;
  TPlatform* previous_;
};

TEST_F(FaultTest, OperatingSystemFailuresBecomeEngineErrorsNamingTheFile) {
  TempDir dir;
  WriteFile(dir / "f.DAT", std::string(10, 'f'));
  TFileHandler h;
  h.SetFileName(dir / "f.DAT");
  faults_.FailAt(TFaultOp::Open, 1, EMFILE);
  std::string message;
  EXPECT_EQ(CodeOf([&] { h.Open(); }, nullptr, &message), 11012);
  EXPECT_NE(message.find(dir / "f.DAT"), std::string::npos);
  EXPECT_FALSE(h.IsOpen());
  faults_.FailAt(TFaultOp::Open, 1, EIO);
  EXPECT_EQ(CodeOf([&] { h.Open(); }), 11047);
  h.Open();
  faults_.FailAt(TFaultOp::Write, 1, ENOSPC);
  EXPECT_EQ(CodeOf([&] { h.Write("abc", 3); }, nullptr, &message), 9218);
  EXPECT_NE(message.find(dir / "f.DAT"), std::string::npos);
  // A gathered write is one write to a file that stands between: it fails as one.
  const TWritePiece pieces[] = {{"ab", 2}, {"", 0}, {"c", 1}};
  faults_.FailAt(TFaultOp::Write, 1, ENOSPC);
  EXPECT_EQ(CodeOf([&] { h.WriteGather(pieces, 3); }, nullptr, &message), 9218);
  EXPECT_NE(message.find(dir / "f.DAT"), std::string::npos);
  faults_.FailAt(TFaultOp::Read, 1, EIO);
  char buf[4];
  EXPECT_EQ(CodeOf([&] { h.Read(buf, 4); }), 9217);
  faults_.FailAt(TFaultOp::Sync, 1, EIO);
  EXPECT_EQ(CodeOf([&] { h.Flush(); }), 9218);
  faults_.FailAt(TFaultOp::Lock, 1, ENOLCK);
  EXPECT_EQ(CodeOf([&] { h.LockRange(1, 1); }), 11047);
  faults_.FailAt(TFaultOp::Truncate, 1, EIO);
  EXPECT_EQ(CodeOf([&] { h.Write(nullptr, 0); }), 9218);
  faults_.FailAt(TFaultOp::Create, 1, EACCES);
  TFileHandler c;
  c.SetFileName(dir / "new.DAT");
  c.SetExclusive(true);
  EXPECT_EQ(CodeOf([&] { c.Create(); }), 11013);
  EXPECT_FALSE(c.IsOpen());
  h.Close();
  EXPECT_EQ(FileBytes(dir / "f.DAT"), std::string(10, 'f'));
}

}  // namespace
}  // namespace ovrin
