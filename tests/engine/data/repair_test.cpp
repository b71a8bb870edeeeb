// The checker and the repair on real tables damaged behind the engine's back: what the
// checker reports, what the repair mends, and what the repair refuses to do.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "engine/base/errors.h"
#include "engine/base/platform.h"
#include "engine/data/checker.h"
#include "engine/data/repair.h"
#include "tests/engine/data/table_fixture.h"
#include "tests/support/file_bytes.h"
#include "tests/support/small_disk.h"

namespace ovrin {
namespace {

namespace fs = std::filesystem;
using namespace test;

std::string Problems(const TCheckReport& report) {
  std::string all;
  for (const std::string& p : report.problems) all += p + "\n";
  return all;
}

bool Mentions(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& l : lines)
    if (l.find(text) != std::string::npos) return true;
  return false;
}


// The table's data header as an open of the table reads it.
TTableHeader HeaderOf(TableFixture& fx) { return fx.Open()->Header(); }

std::vector<uint8_t> LE32(int32_t v) {
  return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string Read(const std::string& path) { return FileBytes(path); }

// ---------------------------------------------------------------- missing files

TEST(CheckerFilesTest, AMissingDataFileIsAProblemNamingTheFile) {
  TableFixture fx;
  Fill(fx, 3);
  fs::remove(DataFileName(fx.Path()));
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_FALSE(report.Ok());
  EXPECT_FALSE(report.inUse);
  ASSERT_EQ(report.problems.size(), 1u) << Problems(report);
  EXPECT_EQ(report.problems[0], "data file people.DAT is missing (people.IDX and people.BLB are there)");
}

TEST(CheckerFilesTest, ADataFileThatIsAFolderIsAProblemNamingTheFile) {
  TableFixture fx;
  Fill(fx, 3);
  fs::remove(DataFileName(fx.Path()));
  fs::create_directory(DataFileName(fx.Path()));
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_FALSE(report.Ok());
  ASSERT_EQ(report.problems.size(), 1u) << Problems(report);
  EXPECT_EQ(report.problems[0], "people.DAT is not a regular file");
}

// ---------------------------------------------------------------- in use

TEST(CheckerInUseTest, ATableHeldExclusivelyIsInUseNotDamaged) {
  TableFixture fx;
  Fill(fx, 3);
  std::string dat = Read(DataFileName(fx.Path())), idx = Read(IndexFileName(fx.Path()));
  {
    auto holder = fx.Open(true);
    TCheckReport report = CheckTable(fx.Path());
    EXPECT_TRUE(report.inUse);
    EXPECT_FALSE(report.Ok());
    EXPECT_TRUE(Mentions(report.problems, "in use by another program")) << Problems(report);
    TRepairReport repair = RepairTable(fx.Path());
    EXPECT_TRUE(repair.inUse);
    EXPECT_FALSE(repair.Repaired());
    EXPECT_TRUE(repair.log.empty());
  }
  {
    // A shared user is enough to keep the repair out, but not the checker.
    auto user = fx.Open();
    EXPECT_TRUE(CheckTable(fx.Path()).Ok());
    EXPECT_TRUE(RepairTable(fx.Path()).inUse);
  }
  EXPECT_EQ(Read(DataFileName(fx.Path())), dat);
  EXPECT_EQ(Read(IndexFileName(fx.Path())), idx);
  // Nobody holds it any more.
  EXPECT_FALSE(TableInUse(fx.Path(), true));
}

// ---------------------------------------------------------------- last autoincrement

TEST(RepairTest, LastAutoIncBelowTheHighestIdentifierIsFoundAndRaised) {
  TableFixture fx;
  Fill(fx, 6);
  Patch(DataFileName(fx.Path()), 17, LE32(2));  // header: last autoincrement value
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_FALSE(report.Ok());
  EXPECT_TRUE(Mentions(report.problems, "last autoincrement value 2 is below identifier 6 of record 6"))
      << Problems(report);
  TRepairReport repair = RepairTable(fx.Path());
  EXPECT_TRUE(repair.Sound()) << (repair.remaining.empty() ? "" : repair.remaining.front());
  EXPECT_TRUE(Mentions(repair.log, "Last identifier 2 raised to 6"));
  EXPECT_TRUE(CheckTable(fx.Path()).Ok());
  auto file = fx.Open();
  Editor e(*file);
  e.Name("after");
  file->AppendRecord(e.Data());  // the identifier 3 would clash with record 3 in the primary index
  EXPECT_EQ(file->Header().LastAutoInc(), 7);
}

// A header's record count or free chain overwritten: the repair took a count below the
// file's records for the truth and cut live records for good (a negative one, all of
// them), then failed on the free chain or the record size, having changed the file.
// Now a structure that does not read changes nothing, a count or chain that is no count
// is set from the file, and records cut because the count is smaller are kept aside. A
// blob field count of 0 passed the checker, and no blob of the table could be read.
// Records after a smaller count that were posted (their identifiers within the header's
// last autoincrement value, or the index file counting them) are counted again, with
// their blobs, where they went to the .cut file and their blob blocks were freed.
TEST(RepairTest, AnOverwrittenHeaderCountLosesNoRecordAndABadStructureChangesNothing) {
  struct TCase {
    const char* name;
    int64_t offset;
    std::vector<uint8_t> bytes;
    int32_t live;      // records after the repair, -1: the repair refuses
    int32_t keptAside;  // records kept in the .cut file
    const char* logged = nullptr;  // a line the repair's log must hold
  };
  for (const TCase& c : {TCase{"record count negative", 13, LE32(-16777016), 12, 0},
                         TCase{"record count above the file's", 13, LE32(400), 12, 0},
                         TCase{"record count below the file's", 13, LE32(5), 12, 0,
                               "Data file header counts 4 records, but the 8 after them were posted (identifiers within "
                               "the header's last autoincrement value 12; the index file counts 8 live records beyond "
                               "the count); the count is set to 12"},
                         TCase{"record count and last autoincrement value below the file's", 13,
                               Concat(LE32(5), LE32(4)), 12, 0,
                               "Data file header counts 4 records, but the 8 after them were posted (the index file "
                               "counts 8 live records beyond the count)"},
                         TCase{"record count below the last autoincrement value", 13, Concat(LE32(5), LE32(8)), 12, 0},
                         TCase{"free chain head negative", 9, LE32(-7), 12, 0},
                         TCase{"free chain head past the records", 9, LE32(9999), 12, 0},
                         TCase{"blob field count", 25, {0, 0}, 12, 0},
                         TCase{"record size", 21, {0xFF, 0xFF}, -1, 0}}) {
    SCOPED_TRACE(c.name);
    TableFixture fx;
    Fill(fx, 12);
    const std::string dat = DataFileName(fx.Path());
    const std::string whole = FileBytes(dat);
    Patch(dat, c.offset, c.bytes);
    if (c.live < 0) {
      const std::string damaged = FileBytes(dat);
      EXPECT_FALSE(DataHeaderReadable(fx.Path()));
      EXPECT_THROW(RepairTable(fx.Path()), EOvrinEngineError);
      EXPECT_EQ(FileBytes(dat), damaged);
      continue;
    }
    EXPECT_TRUE(DataHeaderReadable(fx.Path()));
    EXPECT_FALSE(CheckTable(fx.Path()).Ok());
    TRepairReport repair = RepairTable(fx.Path());
    EXPECT_TRUE(repair.Sound()) << (repair.refused.empty() ? "" : repair.refused);
    EXPECT_EQ(repair.liveRecords, c.live);
    if (c.logged) {
      EXPECT_TRUE(Mentions(repair.log, c.logged)) << c.logged;
    }
    EXPECT_TRUE(CheckTable(fx.Path()).Ok());
    {
      // Every note (a blob) reads again.
      auto file = fx.Open();
      std::vector<uint8_t> r(file->LogicalRecordSize());
      file->First();
      int n = 0;
      while (file->GetNextRecord(r.data()) == 0) {
        ++n;
        EXPECT_EQ(NoteOf(*file, r.data()), std::string(600 + n, 'n')) << "record " << n;
      }
      EXPECT_EQ(n, c.live);
    }
    const std::string cut = dat + ".cut";
    if (c.keptAside == 0) {
      EXPECT_FALSE(fs::exists(cut));
      continue;
    }
    // The cut records, byte for byte as the file held them.
    ASSERT_TRUE(fs::exists(cut));
    auto file = fx.Open();
    const size_t size = file->RecordSize();
    EXPECT_EQ(FileBytes(cut), whole.substr(whole.size() - size * c.keptAside));
    EXPECT_TRUE(Mentions(repair.log, std::to_string(c.keptAside) + " whole records its header does not count, kept "
                                     "in people.DAT.cut"));
    // The blob blocks of the records cut aside were freed; those of the records kept
    // were not (every note above read whole).
  }
}

// What lies after a smaller record count: a killed post's record (an identifier past the
// last autoincrement value, the index not counting it) is cut aside, with a word that its
// blob blocks are freed, and so is a copy of a record or of a deleted one (its identifier
// taken); a damaged record among posted ones does not stop the recount (it is mended as
// any other); and without the index's word, records whose identifiers lie past the
// header's value are cut aside as before.
TEST(RepairTest, RecordsAfterASmallerCountAreToldApart) {
  auto recordAt = [](TableFixture& fx, int32_t n) {
    TTableHeader h = HeaderOf(fx);
    return h.RecordsStart() + int64_t(n - 1) * h.RecordSize();
  };
  // Record n of the file as it stands, changed, appended at the end as record 13 (its
  // link set to that place); answers the bytes appended.
  auto appendCopy = [&](TableFixture& fx, int32_t n, const std::function<void(std::string&)>& change) {
    const std::string dat = DataFileName(fx.Path());
    std::string copy = FileBytes(dat).substr(size_t(recordAt(fx, n)), size_t(HeaderOf(fx).RecordSize()));
    const std::vector<uint8_t> link = LE32(13);
    std::copy(link.begin(), link.end(), copy.begin() + 1);
    change(copy);
    std::ofstream(dat, std::ios::binary | std::ios::app) << copy;
    return copy;
  };
  struct TCopyCase {
    const char* name;
    int32_t record;
    std::function<void(std::string&)> change;
    bool deleteFirst;
    int32_t live;
  };
  const std::vector<uint8_t> id13 = LE32(13);
  for (const TCopyCase& c :
       {TCopyCase{"a killed post's record at the end", 12,
                  [&](std::string& r) { std::copy(id13.begin(), id13.end(), r.begin() + 5); }, false, 12},
        TCopyCase{"a copy of a record at the end", 5, [](std::string&) {}, false, 12},
        TCopyCase{"a copy of a deleted record at the end, its flag live again", 6, [](std::string& r) { r[0] = 0; },
                  true, 11}}) {
    SCOPED_TRACE(c.name);
    TableFixture fx;
    Fill(fx, 12);
    const std::string dat = DataFileName(fx.Path());
    if (c.deleteFirst) {
      Patch(dat, recordAt(fx, c.record), std::vector<uint8_t>{1});
      ASSERT_TRUE(RepairTable(fx.Path()).Sound());  // deleted as a deletion leaves it
    }
    const std::string left = appendCopy(fx, c.record, c.change);
    TRepairReport repair = RepairTable(fx.Path());
    EXPECT_TRUE(repair.Sound());
    EXPECT_EQ(repair.liveRecords, c.live);
    EXPECT_EQ(FileBytes(dat + ".cut"), left);
    EXPECT_TRUE(Mentions(repair.log, "(1 whole record its header does not count, kept in people.DAT.cut; blob blocks "
                                     "that only they name are freed)"));
  }
  {
    SCOPED_TRACE("count and last autoincrement value lowered, a deleted flag damaged after them");
    TableFixture fx;
    Fill(fx, 12);
    const std::string dat = DataFileName(fx.Path());
    const int64_t twelfth = recordAt(fx, 12);
    Patch(dat, 13, Concat(LE32(5), LE32(4)));
    Patch(dat, twelfth, std::vector<uint8_t>{1});
    TRepairReport repair = RepairTable(fx.Path());
    EXPECT_TRUE(repair.Sound());
    EXPECT_EQ(repair.liveRecords, 11);  // the record whose flag says deleted stays in the table, deleted
    EXPECT_TRUE(Mentions(repair.log, "the count is set to 12"));
    EXPECT_FALSE(fs::exists(dat + ".cut"));
  }
  {
    SCOPED_TRACE("a damaged link among the records after the count");
    TableFixture fx;
    Fill(fx, 12);
    const std::string dat = DataFileName(fx.Path());
    const int64_t eighth = recordAt(fx, 8);
    Patch(dat, 13, LE32(5));
    Patch(dat, eighth + 1, LE32(3));
    TRepairReport repair = RepairTable(fx.Path());
    EXPECT_TRUE(repair.Sound());
    EXPECT_EQ(repair.liveRecords, 12);
    EXPECT_FALSE(fs::exists(dat + ".cut"));
  }
  {
    SCOPED_TRACE("identifiers past the header's value and an index that does not count them");
    TableFixture fx;
    Fill(fx, 12);
    const std::string dat = DataFileName(fx.Path());
    Patch(dat, 13, Concat(LE32(5), LE32(4)));
    Patch(IndexFileName(fx.Path()), 3974, LE32(4));
    TRepairReport repair = RepairTable(fx.Path());
    EXPECT_TRUE(repair.Sound());
    EXPECT_EQ(repair.liveRecords, 4);
    EXPECT_TRUE(Mentions(repair.log, "8 whole records its header does not count, kept in people.DAT.cut"));
  }
  {
    // A disk with no room for the records kept aside: nothing is cut, and no empty or
    // partial .cut file is left for the next repair to take for a copy (it wrote .cut2).
    SCOPED_TRACE("a full disk");
    TableFixture fx;
    Fill(fx, 12);
    appendCopy(fx, 5, [](std::string&) {});
    const std::string result = ovrin::test::OnSmallDisk(fx.Path() + "-disk", 256 * 1024, [&](const std::string& disk) {
      for (const char* ext : {".DAT", ".IDX", ".BLB"})
        if (fs::exists(fx.Path() + ext)) fs::copy_file(fx.Path() + ext, disk + "/people" + ext);
      const std::string dat = disk + "/people.DAT";
      const std::string before = FileBytes(dat);
      {
        std::ofstream filler(disk + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size())) {
        }
      }
      std::string wrong;
      TRepairReport repair;
      try {
        repair = RepairTable(disk + "/people");
        if (repair.refused.find("Error writing") == std::string::npos) wrong += "not refused: " + repair.refused + "\n";
      } catch (const EOvrinEngineError& e) {
        if (e.ErrorCode() != errWrite) wrong += std::string("raised ") + e.what() + "\n";
      }
      for (const auto& e : fs::directory_iterator(disk)) {
        if (e.path().filename().string().find(".cut") != std::string::npos)
          wrong += "left " + e.path().filename().string() + "\n";
      }
      if (FileBytes(dat).size() != before.size()) wrong += "records were cut without their copy\n";
      return wrong;
    });
    if (result != ovrin::test::kNoSmallDisk) {
      EXPECT_EQ(result, "");
    }
  }
}

// The blob block size in the data header overwritten (one byte: 512 read as 1024): the
// repair took half the records' memo references for broken, cut them and called the
// table sound. Now it refuses before it changes anything, naming the size that fits.
TEST(RepairTest, ABlobBlockSizeThatDoesNotFitTheBlobFileChangesNothing) {
  TableFixture fx;
  Fill(fx, 12);
  const int32_t size = HeaderOf(fx).BlobBlockSize();
  const std::string dat = DataFileName(fx.Path());
  Patch(dat, 4, LE32(size * 2));
  const auto before = FolderBytes(fx.Dir().Path());
  TRepairReport repair = RepairTable(fx.Path());
  EXPECT_FALSE(repair.Repaired());
  EXPECT_NE(repair.refused.find("blob block size of " + std::to_string(size * 2)), std::string::npos) << repair.refused;
  EXPECT_NE(repair.refused.find("under a block size of " + std::to_string(size) + " all of them do"), std::string::npos)
      << repair.refused;
  EXPECT_TRUE(repair.log.empty());
  EXPECT_TRUE(FolderBytes(fx.Dir().Path()) == before);
  // Set right, the table is sound with every note.
  Patch(dat, 4, LE32(size == 512 ? 0 : size));
  EXPECT_TRUE(CheckTable(fx.Path()).Ok());
}

// ---------------------------------------------------------------- record links

TEST(RepairTest, ALiveRecordLinkingElsewhereIsMended) {
  TableFixture fx;
  Fill(fx, 5);
  int64_t third = 0;
  {
    auto file = fx.Open();
    third = file->Header().RecordOffset(3);
  }
  Patch(DataFileName(fx.Path()), third + 1, LE32(9));
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_TRUE(Mentions(report.problems, "record 3: live record links to 9")) << Problems(report);
  TRepairReport repair = RepairTable(fx.Path());
  EXPECT_TRUE(Mentions(repair.log, "Record link 9 of live physical record # 3 set to its own number"));
  EXPECT_TRUE(repair.remaining.empty()) << repair.remaining.front();
  TCheckReport after = CheckTable(fx.Path());
  EXPECT_TRUE(after.Ok()) << Problems(after);
  EXPECT_EQ(after.liveRecords, 5);
  EXPECT_EQ(Read(DataFileName(fx.Path())).substr(size_t(third) + 1, 4), std::string("\3\0\0\0", 4));
}

// ---------------------------------------------------------------- blob file tail

TEST(RepairTest, BlobBytesAfterTheEndOfFileOffsetAreANoteAndTheRepairCutsThem) {
  TableFixture fx;
  Fill(fx, 4);
  const std::string blb = BlobFileName(fx.Path());
  const uintmax_t size = fs::file_size(blb);
  {
    std::ofstream tail(blb, std::ios::binary | std::ios::app);
    tail << std::string(1000, 'b');  // blocks an unfinished change wrote before its header
  }
  TCheckReport report = CheckTable(fx.Path());
  EXPECT_TRUE(report.Ok()) << Problems(report);
  ASSERT_EQ(report.notes.size(), 1u);
  EXPECT_NE(report.notes[0].find("1000 bytes after its end-of-file offset"), std::string::npos) << report.notes[0];
  TRepairReport repair = RepairTable(fx.Path());
  EXPECT_TRUE(Mentions(repair.log, "Blob file: 1000 bytes after its end-of-file offset cut"));
  EXPECT_EQ(fs::file_size(blb), size);
  TCheckReport after = CheckTable(fx.Path());
  EXPECT_TRUE(after.Ok()) << Problems(after);
  EXPECT_TRUE(after.notes.empty());
}

// ---------------------------------------------------------------- counting fixes

TEST(RepairTest, RebuildingWhatTheCheckerFoundCountsAsFixes) {
  TableFixture fx;
  Fill(fx, 8);
  // One key taken out of the AGE index.
  DropFirstKey(fx, "AGE");
  TCheckReport before = CheckTable(fx.Path());
  ASSERT_FALSE(before.Ok());
  TRepairReport repair = RepairTable(fx.Path());
  EXPECT_EQ(repair.problemsBefore, before.problems);
  ASSERT_FALSE(repair.log.empty());  // it said "0 fix(es)" here
  for (const std::string& p : before.problems) EXPECT_TRUE(Mentions(repair.log, "Mended: " + p)) << p;
  EXPECT_TRUE(repair.remaining.empty());
  EXPECT_TRUE(CheckTable(fx.Path()).Ok());
}

// ---------------------------------------------------------------- foreign index files

// Two tables like an archive's ToDo list and project-module links: their index files
// fit each other's fields in numbers, types and key lengths.
TTableSpec ItemsTable() {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ITEMID", fldInteger, subAutoInc}, TFieldSpec{"PROJECTID", fldInteger},
                TFieldSpec{"TEXT", fldString, subNone, 20}};
  def.Primary.Fields = {"ITEMID"};
  TIndexSpec project;
  project.Name = "PROJECTID";
  project.Fields = {"PROJECTID"};
  def.Secondary = {project};
  return def;
}

TTableSpec LinksTable() {
  TTableSpec def;
  def.Fields = {TFieldSpec{"PROJECTID", fldInteger}, TFieldSpec{"MODULEID", fldInteger},
                TFieldSpec{"TEXT", fldString, subNone, 20}};
  TIndexSpec module;
  module.Name = "MODULEID";
  module.Fields = {"MODULEID"};
  def.Secondary = {module};
  return def;
}

struct SwappedTables {
  TempDir dir;
  std::string items = dir / "items", links = dir / "links";
  SwappedTables() {
    CreateTable(items, ItemsTable());
    CreateTable(links, LinksTable());
    auto fill = [](const std::string& path, int n, int projects) {
      TDataFile f;
      f.SetFileName(path);
      f.Open();
      std::vector<uint8_t> r(f.LogicalRecordSize());
      for (int i = 1; i <= n; ++i) {
        f.InitRecord(r.data());
        uint8_t v[4];
        StoreLE32(v, static_cast<uint32_t>(i % projects + 1));
        f.SetFieldValue(f.FieldByName("PROJECTID").FieldNumber(), v, false, r.data());
        StoreLE32(v, static_cast<uint32_t>(100 + i));
        if (!f.Fields()[0].IsAutoInc()) f.SetFieldValue(f.FieldByName("MODULEID").FieldNumber(), v, false, r.data());
        f.AppendRecord(r.data());
      }
    };
    fill(items, 10, 3);
    fill(links, 29, 3);
    fs::rename(IndexFileName(items), dir / "swap");
    fs::rename(IndexFileName(links), IndexFileName(items));
    fs::rename(dir / "swap", IndexFileName(links));
  }
  int32_t Live(const std::string& path) {
    TCheckReport r = CheckTable(path);
    return r.liveRecords;
  }
};

TEST(RepairForeignIndexTest, WithoutTheStructureTheRepairRefusesAndDeletesNothing) {
  SwappedTables t;
  // The links table under the items table's index file: its primary index on field 1
  // would be unique over PROJECTID, which repeats.
  std::string dat = Read(DataFileName(t.links)), idx = Read(IndexFileName(t.links));
  TRepairReport links = RepairTable(t.links);
  EXPECT_FALSE(links.Repaired());
  EXPECT_NE(links.refused.find("links was not repaired: its index file links.IDX does not fit the table"),
            std::string::npos)
      << links.refused;
  EXPECT_NE(links.refused.find("only 0 of the 10 entries of its index Primary that name live records agree"), std::string::npos)
      << links.refused;
  EXPECT_NE(links.refused.find("no record was deleted"), std::string::npos) << links.refused;
  EXPECT_EQ(Read(DataFileName(t.links)), dat);
  EXPECT_EQ(Read(IndexFileName(t.links)), idx);
  // And the other way round.
  TRepairReport items = RepairTable(t.items);
  EXPECT_FALSE(items.Repaired());
  EXPECT_NE(items.refused.find("items.IDX does not fit"), std::string::npos) << items.refused;
}

TEST(RepairForeignIndexTest, WithTheStructureTheIndexFileIsKeptAsideAndMadeAnew) {
  SwappedTables t;
  const TTableSpec linksDef = LinksTable(), itemsDef = ItemsTable();
  std::string foreign = Read(IndexFileName(t.links));
  TRepairOptions options;
  options.structure = &linksDef;
  TRepairReport links = RepairTable(t.links, options);
  ASSERT_TRUE(links.Repaired()) << links.refused;
  EXPECT_TRUE(links.remaining.empty()) << links.remaining.front();
  EXPECT_EQ(links.indexKeptAs, IndexFileName(t.links) + ".damaged");
  EXPECT_EQ(Read(links.indexKeptAs), foreign);
  EXPECT_TRUE(Mentions(links.log, "Index file links.IDX does not fit the table: it gives the table a primary index, "
                                  "the table has none; it is kept as links.IDX.damaged"));
  EXPECT_FALSE(Mentions(links.log, "the record is deleted"));
  TCheckReport after = CheckTable(t.links);
  EXPECT_TRUE(after.Ok()) << Problems(after);
  EXPECT_EQ(after.liveRecords, 29);
  {
    TDataFile f;
    f.SetFileName(t.links);
    f.Open();
    EXPECT_TRUE(f.Index().NoPrimary());
    f.SelectIndex("MODULEID");
  }
  // The items table with the links table's index file; a second repair keeps a second copy aside.
  options.structure = &itemsDef;
  TRepairReport items = RepairTable(t.items, options);
  ASSERT_TRUE(items.Repaired()) << items.refused;
  EXPECT_TRUE(items.remaining.empty()) << items.remaining.front();
  EXPECT_EQ(t.Live(t.items), 10);
  EXPECT_TRUE(CheckTable(t.items).Ok());
  Patch(IndexFileName(t.items), 14 + 120 * 1, {4, 'N', 'O', 'P', 'E'});  // the secondary index renamed
  TRepairReport again = RepairTable(t.items, options);
  EXPECT_EQ(again.indexKeptAs, IndexFileName(t.items) + ".damaged2");
  EXPECT_TRUE(Mentions(again.log, "its index NOPE is not the table's index PROJECTID"));
  EXPECT_TRUE(CheckTable(t.items).Ok());
}

TEST(RepairForeignIndexTest, AStructureWhoseFieldsDifferIsNotUsed) {
  SwappedTables t;
  const TTableSpec itemsDef = ItemsTable();
  TRepairOptions options;
  options.structure = &itemsDef;  // the links table's fields are not these
  std::string dat = Read(DataFileName(t.links));
  TRepairReport links = RepairTable(t.links, options);
  EXPECT_FALSE(links.Repaired());
  EXPECT_NE(links.refused.find("its fields are not those of the known table links"), std::string::npos)
      << links.refused;
  EXPECT_EQ(Read(DataFileName(t.links)), dat);
}

TEST(RepairForeignIndexTest, TheTablesOwnIndexFileIsTrustedWhenSlightlyDamaged) {
  TableFixture fx;
  Fill(fx, 12);
  // One record's NAME changed behind the index's back: most entries still agree.
  int64_t second = 0;
  size_t nameAt = 0;
  {
    auto file = fx.Open();
    second = file->Header().RecordOffset(2);
    nameAt = file->FieldByNumber(kName).Offset() + 1u;
  }
  Patch(DataFileName(fx.Path()), second + int64_t(nameAt), {'Z', 'Z'});
  TRepairReport repair = RepairTable(fx.Path());
  EXPECT_TRUE(repair.Sound()) << repair.refused;
  EXPECT_TRUE(repair.indexKeptAs.empty());
}

TEST(RepairForeignIndexTest, KeysOfAnAppendTheDataFileNeverCountedAreNoSignOfAForeignIndexFile) {
  TableFixture fx;
  Fill(fx, 1);
  const int64_t start = HeaderOf(fx).RecordsStart();
  // The append's keys reached the index file, its record never the data header's count.
  Patch(DataFileName(fx.Path()), 13, LE32(1));
  fs::resize_file(DataFileName(fx.Path()), uintmax_t(start));
  ASSERT_FALSE(CheckTable(fx.Path()).Ok());
  TRepairReport repair = RepairTable(fx.Path());
  EXPECT_TRUE(repair.Sound()) << repair.refused;
  EXPECT_TRUE(CheckTable(fx.Path()).Ok());
}

// ---------------------------------------------------------------- another user meanwhile

// Stands for another user who opens the table at one moment of the repair: the opens of
// one of the table's files, counted from the first, meet the sharing violation from the
// given one on (0: never).
class TOtherUserPlatform final : public TPlatform {
 public:
  explicit TOtherUserPlatform(TPlatform& base) : base_(base) {}
  void Violate(const std::string& fileName, int fromOpen) {
    file_ = AsciiUpper(fileName);
    from_ = fromOpen;
  }
  int Opens(const std::string& fileName) { return opens_[AsciiUpper(fileName)]; }
  // At every open of another file and at every rename, one more user tries to open this
  // file (shared, for reading), as a reader in another process would; each answer kept.
  void Probe(const std::string& path) { probe_ = path; }
  const std::vector<int>& Probes() const { return probes_; }

  std::string ResolveExisting(const std::string& path) override { return base_.ResolveExisting(path); }
  int IsReadOnly(const std::string& path, bool* readOnly) override { return base_.IsReadOnly(path, readOnly); }
  int Open(const std::string& path, const TOpenOptions& options, std::unique_ptr<TOsFile>* file) override {
    const std::string name = AsciiUpper(PathFileName(path));
    int n = ++opens_[name];
    if (name == file_ && from_ > 0 && n >= from_) return EWOULDBLOCK;
    if (name != AsciiUpper(PathFileName(probe_))) TryProbe();
    return base_.Open(path, options, file);
  }
  int Create(const std::string& path, const TOpenOptions& options, std::unique_ptr<TOsFile>* file) override {
    return base_.Create(path, options, file);
  }
  int Remove(const std::string& path) override { return base_.Remove(path); }
  int Rename(const std::string& from, const std::string& to) override {
    TryProbe();
    return base_.Rename(from, to);
  }
  uint64_t TickMs() override { return base_.TickMs(); }
  void SleepMs(uint32_t ms) override { base_.SleepMs(ms); }

 private:
  void TryProbe() {
    if (probe_.empty()) return;
    TOpenOptions shared;
    std::unique_ptr<TOsFile> file;
    probes_.push_back(base_.Open(probe_, shared, &file));
  }

  TPlatform& base_;
  std::string probe_;
  std::vector<int> probes_;
  std::string file_;
  int from_ = 0;
  std::map<std::string, int> opens_;
};

class RepairAnotherUserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fill(fx_, 6);
    previous_ = SetPlatform(&other_);
  }
  void TearDown() override { SetPlatform(previous_ == &PosixPlatform() ? nullptr : previous_); }
  std::vector<std::string> Folder() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(fx_.Dir().Path())) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TableFixture fx_;
  const TTableSpec def_ = PeopleTable();
  TOtherUserPlatform other_{PosixPlatform()};
  TPlatform* previous_ = nullptr;
};

// The repair used to judge the index file with an open of its own after its check for
// other users: another user opening the table just then made that open fail, and the
// sound index file was taken for one that does not fit and set aside.
TEST_F(RepairAnotherUserTest, ASharingViolationWhileTheIndexFileIsJudgedIsInUseNotAMisfit) {
  const std::vector<std::string> files = Folder();
  const std::string dat = Read(DataFileName(fx_.Path())), idx = Read(IndexFileName(fx_.Path()));
  TRepairOptions options;
  options.structure = &def_;
  // Every open of the index file after the first (the check that nobody holds it).
  other_.Violate("people.IDX", 2);
  TRepairReport report = RepairTable(fx_.Path(), options);
  EXPECT_TRUE(report.inUse);
  EXPECT_FALSE(report.Repaired());
  EXPECT_TRUE(report.indexKeptAs.empty()) << report.indexKeptAs;
  EXPECT_TRUE(report.log.empty()) << report.log.front();
  EXPECT_NE(report.refused.find("people is in use by another program; nothing was changed"), std::string::npos)
      << report.refused;
  EXPECT_EQ(Folder(), files);
  EXPECT_EQ(Read(DataFileName(fx_.Path())), dat);
  EXPECT_EQ(Read(IndexFileName(fx_.Path())), idx);
}

// The repair used to open the data file anew for each step, so another user could open
// the table between two of them: the repair then failed half done (or that user saw the
// table with its index file emptied). Held from the start, the data file is opened once.
TEST_F(RepairAnotherUserTest, TheDataFileIsHeldFromTheStartSoNoOtherUserGetsInBetweenTheSteps) {
  TRepairOptions options;
  options.structure = &def_;
  // Another user would get in at any later open of the data file.
  other_.Violate("people.DAT", 2);
  TRepairReport report = RepairTable(fx_.Path(), options);
  EXPECT_TRUE(report.Sound()) << report.refused;
  EXPECT_EQ(other_.Opens("people.DAT"), 1);
  EXPECT_EQ(report.liveRecords, 6);
  SetPlatform(previous_ == &PosixPlatform() ? nullptr : previous_);
  EXPECT_TRUE(CheckTable(fx_.Path()).Ok());
  EXPECT_FALSE(TableInUse(fx_.Path(), true));
}

// While the repair runs, every other open of the data file meets the sharing violation,
// and the repair's own opens of it all succeed.
TEST_F(RepairAnotherUserTest, WhileTheRepairRunsEveryOtherOpenOfTheDataFileIsASharingViolation) {
  // An index file whose secondary index is not the table's: the repair sets it aside
  // and makes a new one, and another user tries the data file at every step.
  Patch(IndexFileName(fx_.Path()), 14 + 120 * 1, {4, 'N', 'O', 'P', 'E'});
  TRepairOptions options;
  options.structure = &def_;
  other_.Probe(DataFileName(fx_.Path()));
  TRepairReport report = RepairTable(fx_.Path(), options);
  other_.Probe("");
  ASSERT_TRUE(report.Sound()) << report.refused;
  ASSERT_GE(other_.Probes().size(), 5u);
  for (size_t i = 0; i < other_.Probes().size(); ++i) EXPECT_EQ(other_.Probes()[i], EWOULDBLOCK) << "probe " << i;
  EXPECT_EQ(report.indexKeptAs, IndexFileName(fx_.Path()) + ".damaged");
  EXPECT_TRUE(Mentions(report.log, "it is kept as people.IDX.damaged, and a new one is made"));
  // No file is left of the new index file's making.
  EXPECT_EQ(Folder(), (std::vector<std::string>{"people.BLB", "people.DAT", "people.IDX", "people.IDX.damaged"}));
}


}  // namespace
}  // namespace ovrin
