#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/base/file_session.h"
#include "engine/base/memory_file.h"

namespace ovrin {
namespace {

TEST(MemoryFileTest, GrowsInWholeGranules) {
  TMemoryFile file("a.DAT");
  int32_t h = file.NewHandle();
  file.Seek(h, 65535, 0);
  char bytes[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(file.Write(h, bytes, 10), 10u);
  EXPECT_EQ(file.Size(), 65545u);
  EXPECT_EQ(file.Capacity(), 131070u);
  file.Seek(h, 65540, 0);
  char out[20];
  EXPECT_EQ(file.Read(h, out, 20), 5u);
  EXPECT_EQ(std::memcmp(out, bytes + 5, 5), 0);
  // Bytes never written read as zero.
  file.Seek(h, 100, 0);
  EXPECT_EQ(file.Read(h, out, 1), 1u);
  EXPECT_EQ(out[0], 0);
  // Reading past the end reads nothing.
  file.Seek(h, 70000, 0);
  EXPECT_EQ(file.Read(h, out, 1), 0u);
  // A zero-length write sets the size to the position.
  file.Seek(h, 10, 0);
  EXPECT_EQ(file.Write(h, bytes, 0), 0u);
  EXPECT_EQ(file.Size(), 10u);
  EXPECT_EQ(file.Capacity(), 65535u);
  file.SetSize(0);
  EXPECT_EQ(file.Capacity(), 0u);
}

TEST(MemoryFileTest, UnknownHandleReadsAndWritesNothing) {
  TMemoryFile file("a.DAT");
  int32_t h = file.NewHandle();
  char c = 'x';
  file.Write(h, &c, 1);
  EXPECT_EQ(file.Write(h + 7, &c, 1), 0u);
  EXPECT_EQ(file.Read(h + 7, &c, 1), 0u);
  EXPECT_EQ(file.Seek(h + 7, 0, 2), 0u);
  EXPECT_EQ(file.Size(), 1u);
}

TEST(MemoryFileTest, LocksBelongToTheFileAndMustNotOverlap) {
  TMemoryFile file("a.DAT");
  EXPECT_TRUE(file.LockRange(100, 10));
  EXPECT_FALSE(file.LockRange(105, 10));
  EXPECT_FALSE(file.LockRange(109, 1));
  EXPECT_TRUE(file.LockRange(110, 1));
  EXPECT_TRUE(file.LockRange(99, 1));
  EXPECT_FALSE(file.UnlockRange(100, 5));
  EXPECT_TRUE(file.UnlockRange(100, 10));
  EXPECT_FALSE(file.UnlockRange(100, 10));
  EXPECT_TRUE(file.LockRange(105, 10) == false);  // 110 is still locked
  EXPECT_TRUE(file.LockRange(100, 10));
  EXPECT_EQ(file.LockCount(), 3);
}

TEST(MemoryFileTest, HandleNumbersAreUniqueAmongOpenHandles) {
  TMemoryFile file("a.DAT");
  int32_t a = file.NewHandle(), b = file.NewHandle(), c = file.NewHandle();
  EXPECT_NE(a, b);
  EXPECT_NE(b, c);
  EXPECT_NE(a, c);
  EXPECT_EQ(file.OpenCount(), 3);
  file.ReleaseHandle(b);
  int32_t d = file.NewHandle();
  EXPECT_NE(d, a);
  EXPECT_NE(d, c);
  EXPECT_EQ(file.OpenCount(), 3);
  file.ReleaseHandle(999);  // not held: nothing changes
  EXPECT_EQ(file.OpenCount(), 3);
}

TEST(MemoryFileListTest, SharingRules) {
  TMemoryFileList list;
  TMemoryFile* f = nullptr;
  EXPECT_EQ(list.Open("a.DAT", false, &f), -11010);
  EXPECT_EQ(list.Create("/dir/ .DAT", &f), -11010);  // empty base name
  int32_t h1 = list.Create("a.DAT", &f);
  ASSERT_GT(h1, 0);
  TMemoryFile* file = f;
  EXPECT_TRUE(file->Exclusive());
  // Created files are exclusive while that handle stays open.
  EXPECT_EQ(list.Open("a.dat", false, &f), -11013);
  EXPECT_EQ(f, nullptr);
  file->ReleaseHandle(h1);
  int32_t h2 = list.Open(" A.DAT ", false, &f);  // names ignore case and outer blanks
  ASSERT_GT(h2, 0);
  int32_t h3 = list.Open("a.DAT", false, &f);
  ASSERT_GT(h3, 0);
  EXPECT_EQ(list.Open("a.DAT", true, &f), -11013);
  EXPECT_EQ(list.Create("a.DAT", &f), -11013);
  EXPECT_FALSE(list.Delete("a.DAT"));
  EXPECT_FALSE(list.Rename("a.DAT", "b.DAT"));
  file->ReleaseHandle(h2);
  file->ReleaseHandle(h3);
  EXPECT_TRUE(list.Rename("a.DAT", "b.DAT"));
  EXPECT_FALSE(list.Exists("a.DAT"));
  EXPECT_TRUE(list.Exists("B.dat"));
  EXPECT_TRUE(list.Delete("b.DAT"));
  EXPECT_EQ(list.Count(), 0);
}

TEST(MemoryFileListTest, CreateEmptiesAFileWithoutHandles) {
  TMemoryFileList list;
  TMemoryFile* f = nullptr;
  int32_t h = list.Create("t.DAT", &f);
  f->Write(h, "hello", 5);
  f->ReleaseHandle(h);
  int32_t h2 = list.Open("t.DAT", false, &f);
  EXPECT_FALSE(f->Exclusive());
  EXPECT_EQ(f->Size(), 5u);
  f->ReleaseHandle(h2);
  list.Create("t.DAT", &f);
  EXPECT_EQ(f->Size(), 0u);
  EXPECT_TRUE(f->Exclusive());
  EXPECT_EQ(list.Count(), 1);
}

TEST(MemoryFileListTest, CopyOfExactlyOnePiece) {
  TMemoryFileList list;
  TMemoryFile* src = nullptr;
  int32_t h = list.Create("s.DAT", &src);
  std::vector<uint8_t> data(65535);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  src->Write(h, data.data(), 65535);
  EXPECT_EQ(list.Copy(src, h, "d.DAT"), 0);
  TMemoryFile* dst = list.Find("d.DAT");
  ASSERT_NE(dst, nullptr);
  EXPECT_EQ(dst->OpenCount(), 0);
  int32_t hd = dst->NewHandle();
  std::vector<uint8_t> back(65535);
  EXPECT_EQ(dst->Read(hd, back.data(), 65535), 65535u);
  EXPECT_EQ(back, data);
  // A destination that is in use is refused.
  EXPECT_EQ(list.Copy(src, h, "d.DAT"), -11013);
}

class InMemoryHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override { engine::StartEngine(); }
  void TearDown() override { engine::StopEngine(); }
};

TEST_F(InMemoryHandlerTest, SurvivesCloseAndReopensByName) {
  TFileHandler h;
  h.SetInMemory(true);
  h.SetFileName("mem.DAT");
  EXPECT_THROW(h.Create(), EOvrinEngineError);  // not exclusive
  h.SetExclusive(true);
  h.Create();
  h.Write("abcdef", 6);
  EXPECT_EQ(h.Size(), 6);
  h.Close();
  h.SetExclusive(false);
  h.Open();
  EXPECT_FALSE(h.ReadOnlyByAttribute());
  h.Seek(2, 0);
  char out[4];
  EXPECT_EQ(h.Read(out, 4), 4u);
  EXPECT_EQ(std::string(out, 4), "cdef");
  EXPECT_EQ(h.Read(out, 4, true), 0u);
  try {
    h.Read(out, 4);
    FAIL();
  } catch (const EOvrinEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 9217);
    EXPECT_NE(e.Message().find("mem.DAT"), std::string::npos);
  }
  // Locks on memory files conflict through any handler of the file.
  TFileHandler other;
  other.SetInMemory(true);
  other.SetFileName("MEM.dat");
  other.Open();
  EXPECT_TRUE(h.LockRange(0x7FFFFFFF, 1));
  EXPECT_FALSE(other.LockRange(0x7FFFFFFF, 1));
  EXPECT_TRUE(h.UnlockRange(0x7FFFFFFF, 1));
  EXPECT_TRUE(other.LockRange(0x7FFFFFFF, 1));
  other.Close();
  h.Close();
  EXPECT_TRUE(h.Exists());
  h.Delete();
  EXPECT_FALSE(h.Exists());
  try {
    h.Open();
    FAIL();
  } catch (const EOvrinEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 11010);
  }
}

TEST_F(InMemoryHandlerTest, DeleteAndRenameRefusedWhileOpenElsewhere) {
  TFileHandler a, b;
  for (TFileHandler* h : {&a, &b}) {
    h->SetInMemory(true);
    h->SetFileName("x.IDX");
  }
  a.SetExclusive(true);
  a.Create();
  a.Close();
  a.SetExclusive(false);
  a.Open();
  try {
    b.Delete();
    FAIL();
  } catch (const EOvrinEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 9220);
  }
  try {
    b.Rename("y.IDX");
    FAIL();
  } catch (const EOvrinEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 11047);
  }
  a.Close();
  b.Rename("y.IDX");
  EXPECT_EQ(b.FileName(), "y.IDX");
  EXPECT_TRUE(b.Exists());
}

TEST_F(InMemoryHandlerTest, NeedsAStartedEngine) {
  engine::StopEngine();
  TFileHandler h;
  h.SetInMemory(true);
  h.SetFileName("m.DAT");
  try {
    h.Open();
    FAIL();
  } catch (const EOvrinEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 10758);
  }
  engine::StartEngine();
}

}  // namespace
}  // namespace ovrin
