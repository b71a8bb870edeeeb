// The old-layout generator, read back through our own Paradox reader (and, for the
// fields it reads right, through pxlib): what the generator meant to write is what a
// reader finds, blobs byte for byte, for every size from empty to hundreds of kilobytes.
#include <gtest/gtest.h>

#include <tuple>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "main/source_table.h"
#include "tests/support/file_bytes.h"
#include "tests/support/pxlib_record.h"
#include "tests/support/temp_dir.h"
#include "tools/source_generator.h"

namespace hollard {
namespace {

namespace fs = std::filesystem;
using ovrin::test::FileBytes;

std::string Pattern(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed;
  for (auto& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return bytes;
}

// The fields of an open table refer to it, so a table is opened where it lives.
struct TOpened {
  TSourceTable table;
  TOpened(const std::string& folder, const std::string& name) {
    table.SetDatabaseName(folder);
    table.SetTableName(name);
    table.Open();
  }
};

// ------------------------------------------------------------------ blobs of every size

// Sizes around every boundary of the blob file: the part kept in the record (the
// leader), the largest sub-allocated piece, one whole block with and without its
// header, several blocks, and a few hundred kilobytes.
const std::vector<size_t> kBlobSizes = {0,    1,    9,    10,   11,   39,   40,    41,    100,    255,
                                        256,  1023, 2047, 2048, 2049, 4079, 4080,  4081,  4087,   4088,
                                        4089, 4095, 4096, 4097, 8176, 8192, 65535, 65536, 300000, 700001};

TEST(ParadoxWriterTest, BlobsAndMemosOfEverySizeReadBackByteForByte) {
  ovrin::test::TempDir dir;
  std::vector<TParadoxColumn> columns = {
      {"ID", pxLong, 4}, {"SHORTMEMO", pxMemo, 11}, {"MEMO", pxMemo, 50}, {"BLOB", pxBlob, 10}, {"TAIL", pxAlpha, 8}};
  std::vector<std::vector<TParadoxValue>> rows;
  for (size_t i = 0; i < kBlobSizes.size(); ++i) {
    auto value = [&](size_t size, uint32_t seed) {
      TParadoxValue v;
      v.isNull = size == 0;
      v.text = Pattern(size, seed);
      return v;
    };
    TParadoxValue id;
    id.isNull = false;
    id.integer = static_cast<int64_t>(i);
    TParadoxValue tail;
    tail.isNull = false;
    tail.text = "end" + std::to_string(i);
    // The memo columns get printable text; the blob column any bytes at all.
    TParadoxValue memo = value(kBlobSizes[i], static_cast<uint32_t>(i));
    for (char& c : memo.text) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
    rows.push_back({id, memo, memo, value(kBlobSizes[kBlobSizes.size() - 1 - i], static_cast<uint32_t>(i + 99)), tail});
  }
  WriteParadoxTable(dir / "blobs.db", dir / "blobs.mb", columns, rows);

  TOpened opened(dir.Path(), "blobs");
  TSourceTable& t = opened.table;
  ASSERT_EQ(t.RecordCount(), static_cast<int32_t>(rows.size()));
  size_t r = 0;
  for (t.First(); !t.Eof(); t.Next(), ++r) {
    SCOPED_TRACE("record " + std::to_string(r) + ", memo of " + std::to_string(kBlobSizes[r]) + " bytes");
    EXPECT_EQ(t.FieldByName("ID").AsInteger(), static_cast<int32_t>(r));
    EXPECT_EQ(t.FieldByName("SHORTMEMO").AsBytes(), rows[r][1].text);
    EXPECT_EQ(t.FieldByName("MEMO").AsBytes(), rows[r][2].text);
    EXPECT_EQ(t.FieldByName("MEMO").AsString(), rows[r][2].text);
    EXPECT_EQ(t.FieldByName("BLOB").AsBytes(), rows[r][3].text);
    EXPECT_EQ(t.FieldByName("BLOB").IsNull(), rows[r][3].text.empty());
    EXPECT_EQ(t.FieldByName("TAIL").AsString(), rows[r][4].text);
    std::ostringstream streamed;
    t.FieldByName("BLOB").SaveToStream(streamed);
    EXPECT_EQ(streamed.str(), rows[r][3].text);
  }
  EXPECT_EQ(r, rows.size());
}

TEST(ParadoxWriterTest, AlphaValuesLongerThanTheFieldAreCutNotOverrun) {
  ovrin::test::TempDir dir;
  TParadoxValue longText;
  longText.isNull = false;
  longText.text = std::string(40, 'x');
  TParadoxValue after;
  after.isNull = false;
  after.integer = 77;
  WriteParadoxTable(dir / "cut.db", "", {{"NAME", pxAlpha, 10}, {"AFTER", pxLong, 4}}, {{longText, after}});
  TOpened opened(dir.Path(), "cut");
  TSourceTable& t = opened.table;
  t.First();
  EXPECT_EQ(t.FieldByName("NAME").AsString(), std::string(10, 'x'));
  EXPECT_EQ(t.FieldByName("AFTER").AsInteger(), 77);
}

TEST(ParadoxWriterTest, AnUnwritableFolderIsAnErrorNamingTheFile) {
  try {
    WriteParadoxTable("/nonexistent-folder/x.db", "", {{"A", pxLong, 4}}, {});
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent-folder/x.db"), std::string::npos) << e.what();
  }
}

// ------------------------------------------------------------------ the whole archive

class GeneratedArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options.revisions = 120;
    options.modules = 30;
    options.projects = 3;
    options.blobBytes = 200 * 1024;
    options.seed = 42;
    plan = PlanSourceArchive(options);
    WriteSourceArchive(dir.Path(), plan, options);
  }
  ovrin::test::TempDir dir;
  TSourceOptions options;
  TSourceArchive plan;
};

TEST_F(GeneratedArchiveTest, RevisionTableReadsBackFieldByFieldAndBlobByBlob) {
  TOpened opened(dir.Path(), "HOLLARDM");
  TSourceTable& t = opened.table;  // any letter case finds it
  ASSERT_EQ(t.RecordCount(), static_cast<int32_t>(plan.revisions.size()));
  size_t r = 0, emptyBlobs = 0, bigBlobs = 0;
  auto time = [](double meant) { return meant; };
  for (t.First(); !t.Eof(); t.Next(), ++r) {
    const TSourceRevision& w = plan.revisions[r];
    SCOPED_TRACE("revision record " + std::to_string(r));
    EXPECT_EQ(t.FieldByName("PATH").AsString(), w.path);
    EXPECT_EQ(t.FieldByName("FNAME").AsString(), w.fname);
    EXPECT_EQ(t.FieldByName("PROJECT").AsString(), w.project);
    EXPECT_EQ(t.FieldByName("LOCKEDBY").AsString(), w.lockedBy);
    EXPECT_EQ(t.FieldByName("LCOMMENT").AsString(), w.lcomment);
    EXPECT_EQ(t.FieldByName("VCOMMENT").AsString(), w.vcomment);
    EXPECT_EQ(t.FieldByName("VERSION").AsInteger(), w.version);
    EXPECT_EQ(t.FieldByName("REVISION").AsInteger(), w.revision);
    EXPECT_EQ(t.FieldByName("NR").AsInteger(), w.nr);
    EXPECT_EQ(t.FieldByName("VERSTATE").AsInteger(), w.verstate);
    EXPECT_EQ(t.FieldByName("OPTIONS").AsInteger(), w.options);
    EXPECT_EQ(t.FieldByName("OPTIONS2").AsInteger(), w.options2);
    EXPECT_EQ(t.FieldByName("FSIZE").AsInteger(), w.fsize);
    EXPECT_EQ(t.FieldByName("FLAG2").AsInteger(), w.flag2);
    EXPECT_EQ(t.FieldByName("COMPSIZE").AsInteger(), w.compsize);
    EXPECT_EQ(t.FieldByName("ASFSIZE").AsInteger(), w.asfsize);
    EXPECT_EQ(t.FieldByName("ASCOMPSIZE").AsInteger(), w.ascompsize);
    EXPECT_EQ(t.FieldByName("FLAG").AsInteger(), w.flag);
    // Timestamps are whole milliseconds in the table.
    EXPECT_NEAR(t.FieldByName("TSTAMP").AsDateTime(), time(w.tstamp), 1e-8);
    EXPECT_NEAR(t.FieldByName("LOCKTSTAMP").AsDateTime(), time(w.locktstamp), 1e-8);
    EXPECT_EQ(t.FieldByName("LOCKTSTAMP").IsNull(), w.locktstamp == 0);
    EXPECT_NEAR(t.FieldByName("FTIME").AsDateTime(), time(w.ftime), 1e-8);
    EXPECT_NEAR(t.FieldByName("ASFTIME").AsDateTime(), time(w.asftime), 1e-8);
    EXPECT_EQ(t.FieldByName("READONLY").AsBoolean(), w.readonly);
    EXPECT_EQ(t.FieldByName("SHARE").AsBoolean(), w.share);
    EXPECT_EQ(t.FieldByName("HIDDEN").AsBoolean(), w.hidden);
    EXPECT_EQ(t.FieldByName("BINARY").AsBytes(), w.binary);
    EXPECT_EQ(t.FieldByName("ASBINARY").AsBytes(), w.asbinary);
    emptyBlobs += w.binary.empty();
    bigBlobs += w.binary.size() > 100 * 1024;
  }
  EXPECT_EQ(r, plan.revisions.size());
  // The plan covers empty and large files, or the test proves less than it says.
  EXPECT_GT(emptyBlobs, 0u);
  EXPECT_GT(bigBlobs, 0u);
}

TEST_F(GeneratedArchiveTest, ProjectTableKeepsTheStandardProject) {
  TOpened opened(dir.Path(), "hollardp");
  TSourceTable& t = opened.table;
  ASSERT_EQ(t.RecordCount(), static_cast<int32_t>(plan.projects.size()));
  size_t r = 0;
  for (t.First(); !t.Eof(); t.Next(), ++r) {
    EXPECT_EQ(t.FieldByName("PROJECT").AsString(), plan.projects[r].project);
    EXPECT_EQ(t.FieldByName("CREATEBY").AsString(), plan.projects[r].createBy);
    EXPECT_EQ(t.FieldByName("LASTUSER").AsString(), plan.projects[r].lastUser);
    EXPECT_NEAR(t.FieldByName("CREATETIME").AsDateTime(), plan.projects[r].createTime, 1e-8);
    EXPECT_NEAR(t.FieldByName("LASTACCESS").AsDateTime(), plan.projects[r].lastAccess, 1e-8);
  }
  EXPECT_EQ(plan.projects.back().project, "_HLRD_std.dpr");
}

// pxlib is a second, independent reader of the fixed-size fields (it cannot read the
// blob file of a table here, so blob columns are left out of the comparison).
TEST_F(GeneratedArchiveTest, PxlibReadsTheSameFixedFields) {
  pxdoc_t* px = ovrin::test::NewQuietPxDoc();
  ASSERT_NE(px, nullptr);
  ASSERT_EQ(PX_open_file(px, (dir / "hollardm.db").c_str()), 0);
  TOpened opened(dir.Path(), "hollardm");
  TSourceTable& t = opened.table;
  ASSERT_EQ(PX_get_num_records(px), t.RecordCount());
  int fieldCount = PX_get_num_fields(px);
  pxfield_t* fields = PX_get_fields(px);
  int r = 0;
  for (t.First(); !t.Eof(); t.Next(), ++r) {
    ovrin::test::TPxRecord values(px, r);
    ASSERT_TRUE(values.Valid());
    for (int f = 0; f < fieldCount; ++f) {
      TSourceField& ours = t.FieldByName(fields[f].px_fname);
      pxval_t* theirs = values[f];
      SCOPED_TRACE(std::string(fields[f].px_fname) + " of record " + std::to_string(r));
      switch (fields[f].px_ftype) {
        case pxfAlpha:
          if (!theirs->isnull) {
            EXPECT_EQ(ours.AsString(), std::string(theirs->value.str.val, theirs->value.str.len));
          }
          break;
        case pxfLong:
        case pxfShort:
          EXPECT_EQ(ours.IsNull(), theirs->isnull != 0);
          if (!theirs->isnull) {
            EXPECT_EQ(ours.AsInteger(), theirs->value.lval);
          }
          break;
        case pxfLogical:
          if (!theirs->isnull) {
            EXPECT_EQ(ours.AsBoolean(), theirs->value.lval != 0);
          }
          break;
        case pxfTimestamp:
          // pxlib reports a null timestamp (all-zero bytes) as a value of zero.
          if (!theirs->isnull && !ours.IsNull()) {
            EXPECT_NEAR(ours.AsDateTime(), theirs->value.dval / 86400000.0 - 693594.0, 1e-8);
          }
          break;
        default:
          break;
      }
    }
  }
  PX_close(px);
  PX_delete(px);
}

TEST_F(GeneratedArchiveTest, SideFilesAndLog) {
  std::string key = FileBytes(dir / "hollardm.key");
  EXPECT_EQ(key.rfind("[Keys]\r\n1=Release 1.0\r\n", 0), 0u) << key;
  EXPECT_NE(key.find("[Comments]\r\n1=Comment of Release 1.0\r\n"), std::string::npos);
  for (const TSourceProject& p : plan.projects) {
    std::string stem = p.project.substr(0, p.project.rfind('.'));
    bool standard = p.project == "_HLRD_std.dpr";
    EXPECT_EQ(fs::exists(dir / (stem + ".tdo")), !standard) << stem;
    EXPECT_EQ(fs::exists(dir / (stem + ".prl")), !standard) << stem;
    EXPECT_EQ(fs::exists(dir / (stem + ".pcr")), !standard) << stem;
  }
  std::string tdo = FileBytes(dir / "Main.tdo");
  EXPECT_NE(tdo.find("|Task 0 of Main|open|x|"), std::string::npos) << tdo;
  // Dates follow the chosen format: day.month.year with the project's creation day.
  EXPECT_NE(tdo.find("|01.03.1999 00:00:00|"), std::string::npos) << tdo;
  std::string log = FileBytes(dir / "hollardm.log");
  EXPECT_NE(log.find(" - check in: revision "), std::string::npos);
  EXPECT_NE(log.find("an undated line without a time\r\n"), std::string::npos);
  EXPECT_NE(log.find("Main.dpr - Backup (nightly)"), std::string::npos);
}

TEST(GeneratorTest, SameSeedSameFilesOtherSeedOtherFiles) {
  TSourceOptions o;
  o.revisions = 40;
  o.modules = 10;
  o.blobBytes = 20000;
  auto write = [&](const ovrin::test::TempDir& dir, uint32_t seed) {
    o.seed = seed;
    WriteSourceArchive(dir.Path(), PlanSourceArchive(o), o);
  };
  ovrin::test::TempDir a, b, c;
  write(a, 5);
  write(b, 5);
  write(c, 6);
  size_t files = 0;
  for (const auto& entry : fs::directory_iterator(a.Path())) {
    std::string name = entry.path().filename().string();
    std::string first = FileBytes(entry.path().string()), second = FileBytes(b / name);
    if (name.size() > 3 && name.substr(name.size() - 3) == ".db") {
      // pxlib fills parts of a table's header with memory addresses and the time of
      // writing; the records after the header are the same.
      ASSERT_GE(first.size(), 4u);
      size_t header = static_cast<uint8_t>(first[2]) | static_cast<size_t>(static_cast<uint8_t>(first[3])) << 8;
      EXPECT_EQ(first.size(), second.size()) << name;
      EXPECT_EQ(first.substr(header), second.substr(header)) << name;
    } else {
      EXPECT_EQ(first, second) << name;
    }
    ++files;
  }
  EXPECT_GE(files, 12u);  // two tables, one blob file, key, log, three side files per project
  EXPECT_NE(FileBytes(a / "hollardm.mb"), FileBytes(c / "hollardm.mb"));
}

TEST(GeneratorTest, MonthFirstDateFormat) {
  TSourceOptions o;
  o.revisions = 5;
  o.modules = 3;
  o.projects = 1;
  o.dateFormat = "m/d/yyyy";
  ovrin::test::TempDir dir;
  WriteSourceArchive(dir.Path(), PlanSourceArchive(o), o);
  std::string log = FileBytes(dir / "hollardm.log");
  EXPECT_EQ(log.rfind("3/1/1999 ", 0), 0u) << log.substr(0, 80);
}

TEST(GeneratorTest, DateFormsWithTwoDigitYearsAndAnotherTimeSeparator) {
  TSourceOptions o;
  o.revisions = 5;
  o.modules = 3;
  o.projects = 1;
  ovrin::test::TempDir dir;
  for (auto [format, separator, first] :
       {std::tuple{"d.m.yy", ':', "1.3.99 00:00:00 > "}, std::tuple{"yyyy-mm-dd", '.', "1999-03-01 00.00.00 > "},
        std::tuple{"mm/dd/yyyy", ':', "03/01/1999 00:00:00 > "}}) {
    o.dateFormat = format;
    o.timeSeparator = separator;
    WriteSourceArchive(dir.Path(), PlanSourceArchive(o), o);
    std::string log = FileBytes(dir / "hollardm.log");
    EXPECT_EQ(log.rfind(first, 0), 0u) << log.substr(0, 80);
  }
}

// A pattern without day, month and year used to be copied into every date ("bogu0").
TEST(GeneratorTest, ADateFormatOrTimeSeparatorTheMigrationCannotReadIsRefusedBeforeAnyFile) {
  TSourceOptions o;
  o.revisions = 2;
  o.modules = 2;
  o.projects = 1;
  ovrin::test::TempDir dir;
  o.dateFormat = "bogus";
  EXPECT_THROW(WriteSourceArchive(dir.Path(), PlanSourceArchive(o), o), std::invalid_argument);
  o.dateFormat = "dd.mm.yyyy";
  o.timeSeparator = '7';
  EXPECT_THROW(WriteSourceArchive(dir.Path(), PlanSourceArchive(o), o), std::invalid_argument);
  EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

TEST(GeneratorTest, AnArchiveWithoutRevisionsOrBlobs) {
  TSourceOptions o;
  o.revisions = 0;
  o.blobBytes = 0;
  ovrin::test::TempDir dir;
  WriteSourceArchive(dir.Path(), PlanSourceArchive(o), o);
  TOpened opened(dir.Path(), "hollardm");
  TSourceTable& t = opened.table;
  EXPECT_EQ(t.RecordCount(), 0);
  t.First();
  EXPECT_TRUE(t.Eof());
}

}  // namespace
}  // namespace hollard
