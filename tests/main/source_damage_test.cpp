// The old archive's tables as the run checks them before it writes: a data block chain
// cut short, a header that counts fewer blocks than the file holds, records of zero bytes,
// and the values of the reader that came out wrong (Graphic blobs).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "main/migration_guards.h"
#include "main/source_table.h"
#include "tests/main/migration_fixture.h"
#include "tests/support/file_bytes.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;
using ovrin::test::FileBytes;

uint16_t Le16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8);
}

// Sets the next-block link of the first data block to 0: the chain then ends there.
// Answers how many blocks the chain had.
int CutChainAfterFirstBlock(const std::string& path) {
  std::string db = FileBytes(path);
  size_t headerSize = Le16(db, 2), blockSize = static_cast<size_t>(static_cast<uint8_t>(db[5])) * 1024;
  int blocks = 0;
  for (uint16_t b = Le16(db, 0x0E); b != 0; b = Le16(db, headerSize + (b - 1u) * blockSize)) ++blocks;
  size_t first = headerSize + (Le16(db, 0x0E) - 1u) * blockSize;
  db[first] = 0;
  db[first + 1] = 0;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << db;
  return blocks;
}

class SourceDamageTest : public MigrationFixture {
 protected:
  // The check names the damage in `expected`, and the run stops with it before it writes.
  void ExpectRefused(const std::string& expected) {
    EXPECT_EQ(SourceTablesCutShort(source), std::vector<std::string>{expected});
    auto before = FolderBytes(target);
    Run();
    ASSERT_TRUE(report.preflightFailed);
    EXPECT_EQ(report.preflightMessage, expected + "\nNothing was written.");
    EXPECT_EQ(user.errors, std::vector<std::string>{report.preflightMessage});
    EXPECT_EQ(FolderBytes(target), before);
  }
  void SetUp() override {
    MigrationFixture::SetUp();
    std::vector<TRevisionRow> rows;
    for (int i = 0; i < 60; ++i) rows.push_back({"\\src\\", "unit" + std::to_string(i) + ".pas", "Main.dpr", "ada"});
    WriteRevisions(source, rows);
    WriteProjects(source, {{"Main.dpr", "ada", "ada"}});
  }
};

// A revision table whose chain ended early gave 57 of its 60 records, and the run said
// nothing of the rest.
TEST_F(SourceDamageTest, AChainCutShortStopsTheRunBeforeItWrites) {
  ASSERT_GT(CutChainAfterFirstBlock(source + "/hollardm.db"), 1);
  TSourceTable table;
  table.SetDatabaseName(source);
  table.SetTableName("hollardm");
  table.Open();
  int32_t walked = table.RecordCount();
  EXPECT_EQ(table.File().HeaderRecordCount(), 60u);
  ASSERT_LT(walked, 60);
  table.Close();
  std::string expected = "The source table " + source + "/hollardm.db is damaged: its data block chain holds " +
                         std::to_string(walked) + " records, its header counts 60.";
  ExpectRefused(expected);
  // Forced, the run takes what the chain holds.
  user = TScriptedUser();
  force = true;
  Run();
  EXPECT_FALSE(report.Failed());
  EXPECT_EQ(report.added.at("revision"), walked);
}

TEST_F(SourceDamageTest, SoundTablesPass) { EXPECT_TRUE(SourceTablesCutShort(source).empty()); }

// The header of an older, empty copy of the table over a full one: it counts no record
// and no block, the chain it starts is empty, and the run migrated an archive without
// revisions, modules or stored files and called it a success.
TEST_F(SourceDamageTest, AHeaderThatCountsFewerBlocksThanTheFileHoldsStopsTheRun) {
  const std::string path = source + "/hollardm.db";
  std::string db = FileBytes(path);
  const size_t blocks = (db.size() - Le16(db, 2)) / (static_cast<uint8_t>(db[5]) * 1024u);
  ASSERT_GT(blocks, 1u);
  for (size_t at : {6, 7, 8, 9, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10, 0x11}) db[at] = 0;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << db;
  const std::string expected = "The source table " + path + " is damaged: its file holds " + std::to_string(blocks) +
                               " data blocks, its header counts 0 (the records in the others are not reached).";
  ExpectRefused(expected);
}

// The zeros an interrupted copy leaves in place of the last records of a block: each
// became a revision of a module without a name, and the counts matched a sound run.
TEST_F(SourceDamageTest, RecordsOfNothingButZeroBytesStopTheRun) {
  const std::string path = source + "/hollardm.db";
  std::string db = FileBytes(path);
  const size_t recordSize = Le16(db, 0), headerSize = Le16(db, 2);
  const size_t blockSize = static_cast<size_t>(static_cast<uint8_t>(db[5])) * 1024;
  const size_t last = headerSize + (Le16(db, 0x10) - 1u) * blockSize;
  const int inLast = static_cast<int16_t>(Le16(db, last + 4)) / static_cast<int>(recordSize) + 1;
  ASSERT_GE(inLast, 2);
  // The last two records of the last block.
  std::fill(db.begin() + static_cast<ptrdiff_t>(last + 6 + (inLast - 2) * recordSize),
            db.begin() + static_cast<ptrdiff_t>(last + 6 + inLast * recordSize), '\0');
  std::ofstream(path, std::ios::binary | std::ios::trunc) << db;
  const std::string expected = "The source table " + path +
                               " is damaged: 2 of its 60 records hold nothing but zero bytes (records 59, 60), as a "
                               "copy cut short leaves them.";
  ExpectRefused(expected);
  // Forced, the run takes every record, as it did.
  user = TScriptedUser();
  force = true;
  Run();
  EXPECT_FALSE(report.Failed());
  EXPECT_EQ(report.added.at("revision"), 60);
}

// A Graphic's block holds an 8-byte picture header before the value, and its lengths
// count it; the value came back 8 bytes too long, ending in the block's zero fill.
TEST(ParadoxGraphicTest, AGraphicIsReadAtItsValuesLength) {
  ovrin::test::TempDir dir;
  std::string picture(5000, '\0');
  for (size_t i = 0; i < picture.size(); ++i) picture[i] = static_cast<char>('A' + i % 23);
  // Written as a BLOb (pxlib writes no Graphic header), with the picture header in
  // front, then retyped as a Graphic: the bytes a Graphic field has.
  TParadoxValue v;
  v.isNull = false;
  v.text = std::string("\x10\x00\x00\x00\x88\x13\x00\x00", 8) + picture;
  WriteParadoxTable(dir / "pics.db", dir / "pics.mb", {{"PIC", pxBlob, 10}}, {{v}});
  std::string db = FileBytes(dir / "pics.db");
  ASSERT_EQ(static_cast<uint8_t>(db[0x78]), pxBlob);
  db[0x78] = static_cast<char>(pxGraphic);
  std::ofstream(dir / "pics.db", std::ios::binary | std::ios::trunc) << db;
  TSourceTable t;
  t.SetDatabaseName(dir.Path());
  t.SetTableName("pics");
  t.Open();
  t.First();
  ASSERT_EQ(t.FieldByName("PIC").ParadoxType(), pxGraphic);
  std::string read = t.FieldByName("PIC").AsBytes();
  EXPECT_EQ(read.size(), picture.size());
  EXPECT_TRUE(read == picture);
}

// A field whose type changed in a damaged header (FLAG, a Long, read as Alpha) passed the
// preflight; step 12 then failed at its first value after steps 1 to 11 had written.
TEST_F(SourceDamageTest, ValuesTheStepsCannotReadStopTheRun) {
  const std::string path = source + "/hollardm.db";
  int flag = -1;
  {
    TSourceTable table;
    table.SetDatabaseName(source);
    table.SetTableName("hollardm");
    table.Open();
    flag = table.File().FieldIndex("FLAG");
    ASSERT_EQ(table.File().Fields()[static_cast<size_t>(flag)].type, pxLong);
  }
  std::string db = FileBytes(path);
  db[0x78 + 2 * static_cast<size_t>(flag)] = static_cast<char>(pxAlpha);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << db;
  auto before = FolderBytes(target);
  Run();
  ASSERT_TRUE(report.preflightFailed);
  EXPECT_EQ(report.preflightMessage.rfind("The source table " + path + " holds 60 values that the steps cannot read "
                                          "(record 1, field FLAG: ", 0),
            0u)
      << report.preflightMessage;
  EXPECT_NE(report.preflightMessage.find("; ...): the step that reads the first would fail after the steps before it "
                                         "have written.\nNothing was written."),
            std::string::npos)
      << report.preflightMessage;
  EXPECT_EQ(FolderBytes(target), before);
}

}  // namespace
}  // namespace hollard::test
