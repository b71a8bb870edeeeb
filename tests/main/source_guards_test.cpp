// The preflight's checks of the source files before anything is written: damaged tables
// and blob files, FIFOs and devices in a file's place, an oversized key file; and side
// files whose names differ from their project's in the case of a non-ASCII letter.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "main/migration_guards.h"
#include "main/profile_file.h"
#include "main/text_file.h"
#include "tests/main/migration_fixture.h"
#include "tests/support/file_bytes.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;
using ovrin::test::FileBytes;

class SourceGuardsTest : public MigrationFixture {
 protected:
  void SetUp() override {
    MigrationFixture::SetUp();
    WriteSource();
  }
  // Sixty revisions, each with a stored file in the blob file, in several data blocks.
  void WriteSource() {
    std::vector<TRevisionRow> rows;
    for (int i = 0; i < 60; ++i) {
      TRevisionRow r{"\\src\\", "unit" + std::to_string(i) + ".pas", "Main.dpr", "ada"};
      r.binary = std::string(300 + i, static_cast<char>('a' + i % 26));
      r.fsize = static_cast<int>(r.binary.size());
      rows.push_back(r);
    }
    WriteRevisions(source, rows);
    WriteProjects(source, {{"Main.dpr", "ada", "ada"}});
  }
  std::string Path(const std::string& name) const { return source + "/" + name; }
  // Where the record data holds the length of the stored file of `length` bytes that shares
  // a block of the blob file with others (its pointer's 4 bytes lie before it).
  static size_t SharedLengthAt(const std::string& bytes, uint32_t length) {
    const std::string le{static_cast<char>(length & 0xFF), static_cast<char>(length >> 8 & 0xFF), '\0', '\0'};
    for (size_t at = 4; (at = bytes.find(le, at)) != std::string::npos; ++at) {
      const uint32_t pointer = SharedPointer(bytes, at);
      if ((pointer & 0xFF) < 64 && pointer >= 4096 && (pointer & 0xF00) == 0) return at;
    }
    ADD_FAILURE() << "no shared blob of " << length << " bytes";
    return 4;
  }
  // Points the first stored file (300 bytes) at the slot of the one of `length` bytes.
  void AimFirstAt(uint32_t length) {
    std::string bytes = FileBytes(Path("hollardm.db"));
    const size_t at = SharedLengthAt(bytes, 300), other = SharedLengthAt(bytes, length);
    bytes.replace(at - 4, 4, bytes.substr(other - 4, 4));
    ovrin::test::WriteFileBytes(Path("hollardm.db"), bytes);
  }
  static uint32_t SharedPointer(const std::string& bytes, size_t lengthAt) {
    uint32_t pointer = 0;
    for (int i = 0; i < 4; ++i) pointer |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[lengthAt - 4 + i])) << (8 * i);
    return pointer;
  }
  void Truncate(const std::string& name, uint64_t size) { fs::resize_file(Path(name), size); }
  // Runs unforced and expects the preflight to stop with a message holding `what`,
  // the target untouched.
  void ExpectStopped(const std::string& what, const std::string& label) {
    user = TScriptedUser();
    report = {};
    auto before = FolderBytes(target);
    Run();
    EXPECT_TRUE(report.preflightFailed) << label;
    EXPECT_NE(report.preflightMessage.find(what), std::string::npos) << label << ": " << report.preflightMessage;
    EXPECT_NE(report.preflightMessage.find("Nothing was written."), std::string::npos) << label;
    EXPECT_EQ(user.errors, std::vector<std::string>{report.preflightMessage}) << label;
    EXPECT_TRUE(report.steps.empty()) << label;
    EXPECT_TRUE(FolderBytes(target) == before) << label << ": the target changed";
  }
};

// A revision table cut short, or its blob file missing or cut short, was opened only by
// the steps: the run wrote projects, modules, ToDo lists and the log without users or
// revisions (or a revision without its stored file), and a second run after the source
// was mended was refused as a duplicate.
TEST_F(SourceGuardsTest, ADamagedRevisionTableOrBlobFileStopsThePreflightBeforeItWrites) {
  EXPECT_TRUE(SourceProblems(source, "windows-1252").empty());
  const uint64_t dbSize = fs::file_size(Path("hollardm.db"));
  const std::string db = Path("hollardm.db"), mb = Path("hollardm.mb");
  const std::string head = FileBytes(db).substr(0, 4);
  const int headerSize = static_cast<uint8_t>(head[2]) | static_cast<uint8_t>(head[3]) << 8;
  ASSERT_GT(headerSize, 1000);
  struct TCase {
    const char* label;
    std::function<void()> damage;
    std::string what;
  };
  std::vector<TCase> cases = {
      {"empty table", [&] { Truncate("hollardm.db", 0); }, "Cannot open the Paradox table " + db + ": the file is empty"},
      {"100 bytes", [&] { Truncate("hollardm.db", 100); }, "The Paradox table " + db + " is damaged: "},
      {"2048 bytes", [&] { Truncate("hollardm.db", 2048); }, "The Paradox table " + db + " is damaged: "},
      // Said as "header size 2048", as if the header's own field were wrong.
      {"cut inside its header", [&] { Truncate("hollardm.db", 1000); },
       "The Paradox table " + db + " is damaged: its header of " + std::to_string(headerSize) +
           " bytes is cut short: the file holds 1000 bytes"},
      {"one byte short", [&] { Truncate("hollardm.db", dbSize - 1); },
       "The Paradox table " + db + " is damaged: block "},
      {"blob file missing", [&] { fs::remove(mb); }, "The blob file of the Paradox table " + db + " is missing"},
      {"blob file empty", [&] { Truncate("hollardm.mb", 0); },
       "its blob file " + mb + " is shorter than its header block"},
      {"blob file cut after its header", [&] { Truncate("hollardm.mb", 4096); },
       "lies beyond the end of the blob file " + mb},
      {"blob file cut in half", [&] { Truncate("hollardm.mb", fs::file_size(mb) / 2); },
       "the blob file " + mb + " ends before the blob"},
      // Zeroed, it looked whole (a header block's type is 0 too): the revisions step then
      // failed on its first stored file, with the users, projects and modules written.
      {"blob file zero-filled",
       [&] { ovrin::test::WriteFileBytes(mb, std::string(fs::file_size(mb), '\0')); },
       "of the blob file " + mb + " has type 0, not 3 (a blob's block)"},
      // The first stored file (300 bytes, in a block it shares with others) given a
      // length of 2 GB: counted as it stood, the room guard asked for gigabytes.
      {"a shared blob's length damaged",
       [&] {
         std::string bytes = FileBytes(db);
         const std::string length("\x2C\x01\x00\x00", 4);
         size_t at = 4;
         for (; (at = bytes.find(length, at)) != std::string::npos; ++at) {
           auto pointer = static_cast<uint32_t>(static_cast<uint8_t>(bytes[at - 4])) |
                          static_cast<uint32_t>(static_cast<uint8_t>(bytes[at - 3])) << 8 |
                          static_cast<uint32_t>(static_cast<uint8_t>(bytes[at - 2])) << 16 |
                          static_cast<uint32_t>(static_cast<uint8_t>(bytes[at - 1])) << 24;
           if ((pointer & 0xFF) != 0xFF && (pointer & 0xFF) < 64 && pointer >= 4096 && (pointer & 0xF00) == 0) break;
         }
         ASSERT_NE(at, std::string::npos) << "no shared blob of 300 bytes";
         bytes.replace(at, 4, std::string("\x00\x00\x00\x80", 4));
         ovrin::test::WriteFileBytes(db, bytes);
       },
       "the blob's length 2147483648 is more than its block of the blob file " + mb + " holds"},
      // A shared block's slot of a stored file zeroed: the preflight looked at the block's
      // type alone, and step 10 stopped at the file after the earlier steps had written.
      {"a shared blob's slot zeroed",
       [&] {
         const std::string bytes = FileBytes(db);
         const uint32_t pointer = SharedPointer(bytes, SharedLengthAt(bytes, 300));
         std::string blob = FileBytes(mb);
         const size_t slot = (pointer & 0xFFFFFF00u) + 12 + (pointer & 0xFF) * 5;
         blob.replace(slot, 5, std::string(5, '\0'));
         ovrin::test::WriteFileBytes(mb, blob);
       },
       "record 1, field BINARY: the blob's lengths in the record and in the blob file " + mb + " disagree"},
      // A stored file's pointer aimed at another stored file's slot, of another length.
      {"a blob pointed at another's slot", [&] { AimFirstAt(359); },
       "record 1, field BINARY: the blob's lengths in the record and in the blob file " + mb + " disagree"},
      // Aimed at a slot of as many paragraphs (300 and 301 bytes): the run stored the other
      // file's bytes in its place, and verify agreed.
      {"a blob pointed at another's slot of as many paragraphs", [&] { AimFirstAt(301); },
       "record 1, field BINARY: the blob's lengths in the record and in the blob file " + mb + " disagree"},
      // The record's modification number is not the one its slot keeps.
      {"a blob's modification number changed",
       [&] {
         std::string bytes = FileBytes(db);
         const size_t at = SharedLengthAt(bytes, 300);
         bytes[at + 4] = static_cast<char>(bytes[at + 4] ^ 0x5A);
         ovrin::test::WriteFileBytes(db, bytes);
       },
       "record 1, field BINARY: the blob's place in the blob file " + mb +
           " holds another value (its modification number is not the record's)"},
      // A stored file of blocks of its own whose first block counts fewer blocks than it
      // needs (as a count of 16 bits wrapped by a file above 256 MB): step 10 stopped at
      // it after the users, projects and modules were written.
      {"a blob's block count too small",
       [&] {
         fs::remove_all(source);
         fs::create_directories(source);
         WriteGeneratedArchive(source, 10, 3, 1, 20000);  // stored files up to 20,000 bytes
         std::string bytes = FileBytes(mb);
         size_t at = 4096;
         while (at + 3 <= bytes.size() && bytes[at] != 2) at += 4096;
         ASSERT_LT(at + 3, bytes.size()) << "no blob of blocks of its own";
         bytes[at + 1] = 0;
         bytes[at + 2] = 0;
         ovrin::test::WriteFileBytes(mb, bytes);
       },
       ": the blob runs past its blocks"},
      // A block of a stored file's own that keeps another modification number.
      {"a blob block's modification number changed",
       [&] {
         fs::remove_all(source);
         fs::create_directories(source);
         WriteGeneratedArchive(source, 10, 3, 1, 20000);
         std::string bytes = FileBytes(mb);
         size_t at = 4096;
         while (at + 9 <= bytes.size() && bytes[at] != 2) at += 4096;
         ASSERT_LT(at + 9, bytes.size()) << "no blob of blocks of its own";
         bytes[at + 7] = static_cast<char>(bytes[at + 7] ^ 0x5A);
         ovrin::test::WriteFileBytes(mb, bytes);
       },
       " holds another value (its modification number is not the record's)"},
  };
  for (const TCase& c : cases) {
    WriteSource();
    c.damage();
    EXPECT_FALSE(SourceProblems(source, "windows-1252").empty()) << c.label;
    ExpectStopped(c.what, c.label);
  }
  // Mended, the run goes through: nothing was written that would make it a duplicate.
  WriteSource();
  user = TScriptedUser();
  Run();
  EXPECT_FALSE(report.Failed()) << report.preflightMessage;
  EXPECT_EQ(report.added.at("revision"), 60);
  EXPECT_EQ(report.added.at("blobs"), 60);
}

TEST_F(SourceGuardsTest, AProjectTableThatDoesNotReadStopsThePreflight) {
  Truncate("hollardp.db", 100);
  ExpectStopped("The Paradox table " + Path("hollardp.db") + " is damaged: ", "projects cut short");
  // Forced, the run goes on and its projects step fails with the table's own error.
  force = true;
  user = TScriptedUser();
  Run();
  ASSERT_EQ(report.steps.size(), 11u);
  EXPECT_FALSE(report.steps[1].succeeded);
  ASSERT_EQ(report.steps[1].errors.size(), 1u);
  EXPECT_NE(report.steps[1].errors[0].find(Path("hollardp.db")), std::string::npos);
}

// A FIFO in place of a table, its blob file or the label key file made the run wait for
// ever; the key file as a link to /dev/zero was read until memory ran out.
TEST_F(SourceGuardsTest, AFifoOrDeviceInPlaceOfASourceFileStopsThePreflightNamingIt) {
  struct TCase {
    const char* name;
    bool fifo;  // else a link to /dev/zero
    std::string what;
  };
  std::vector<TCase> cases = {
      {"hollardm.db", true, "Cannot open the Paradox table " + Path("hollardm.db") + ": it is a FIFO, not a regular file"},
      {"hollardp.db", true, "Cannot open the Paradox table " + Path("hollardp.db") + ": it is a FIFO, not a regular file"},
      {"hollardm.mb", true, "Cannot open the blob file " + Path("hollardm.mb") + ": it is a FIFO, not a regular file"},
      {"hollardm.mb", false, "Cannot open the blob file " + Path("hollardm.mb") + ": it is a device, not a regular file"},
      {"hollardm.key", true, "Cannot read " + Path("hollardm.key") + ": it is a FIFO, not a regular file"},
      {"hollardm.key", false, "Cannot read " + Path("hollardm.key") + ": it is a device, not a regular file"},
  };
  for (const TCase& c : cases) {
    WriteSource();
    fs::remove(Path(c.name));
    if (c.fifo)
      ASSERT_EQ(::mkfifo(Path(c.name).c_str(), 0600), 0);
    else
      fs::create_symlink("/dev/zero", Path(c.name));
    ExpectStopped(c.what, c.name);
    fs::remove(Path(c.name));
  }
  // A key file larger than a side file may be is refused too, by the reader as well.
  WriteSource();
  {
    std::ofstream big(Path("hollardm.key"), std::ios::binary);
  }
  fs::resize_file(Path("hollardm.key"), (uint64_t{1} << 30) + 1);  // sparse: takes no room
  const std::string tooBig = "Cannot read " + Path("hollardm.key") +
                             ": it holds 1073741825 bytes, more than the 1073741824 a side file may hold";
  ExpectStopped(tooBig, "key file above 1 GB");
  try {
    TProfileFile keys(Path("hollardm.key"));
    ADD_FAILURE() << "the key file was read";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), tooBig);
  }
}

// A side file zero-filled, or padded with zeros after a crash, was read as text: a zeroed
// key file gave no labels and a zeroed ToDo list no items, and the run said nothing.
TEST_F(SourceGuardsTest, ASideFileHoldingZeroBytesStopsThePreflightNamingIt) {
  const std::string key = "[Labels]\r\nRelease 1=1\r\n";
  const std::string log = "01.03.2001 10:15:00 ada - Main.dpr - check in: \\src\\unit1.pas\r\n";
  const std::string todo = "1|01.03.2001 10:00:00|Fix build|open\r\n";
  struct TCase {
    const char* name;
    std::string bytes;
    std::string what;
  };
  std::vector<TCase> cases = {
      {"hollardm.key", std::string(key.size(), '\0'),
       "The side file " + Path("hollardm.key") + " is damaged: it holds " + std::to_string(key.size()) +
           " zero bytes, a run of them from offset 0, in place of text."},
      {"hollardm.log", log + std::string(4096, '\0'),
       "The side file " + Path("hollardm.log") + " is damaged: it holds 4096 zero bytes, a run of them from offset " +
           std::to_string(log.size()) + ", in place of text."},
      // A run across the reader's 64 KB pieces, after a lone zero byte.
      {"hollardm.log", std::string(1, '\0') + log + std::string(65536 - 8 - log.size(), 'x') + std::string(16, '\0') + log,
       "The side file " + Path("hollardm.log") + " is damaged: it holds 17 zero bytes, a run of them from offset " +
           std::to_string(65536 - 8 + 1) + ", in place of text."},
      {"Main.tdo", todo.substr(0, 5) + std::string(20, '\0') + todo.substr(5),
       "The side file " + Path("Main.tdo") + " is damaged: it holds 20 zero bytes, a run of them from offset 5, in "
       "place of text."},
      {"Main.tdo", std::string(3, '\0'),
       "The side file " + Path("Main.tdo") + " is damaged: it holds 3 zero bytes, a run of them from offset 0, in "
       "place of text."},
  };
  for (const TCase& c : cases) {
    WriteSource();
    WriteTextFile(Path(c.name), c.bytes);
    ExpectStopped(c.what, c.name);
    fs::remove(Path(c.name));
  }
  // The same files as text pass, and so does a lone zero byte in a line (its text ends
  // there) or a run shorter than a zero-filled piece of a file.
  WriteSource();
  WriteTextFile(Path("hollardm.key"), key);
  WriteTextFile(Path("hollardm.log"), log);
  WriteTextFile(Path("Main.tdo"), todo.substr(0, 12) + std::string(1, '\0') + todo.substr(12) + "x" +
                                      std::string(kZeroRun - 1, '\0') + "\r\n");
  EXPECT_TRUE(SourceProblems(source, "windows-1252").empty());
  // Forced, the run reads what it can of a damaged one, as before.
  WriteTextFile(Path("Main.tdo"), todo + std::string(10, '\0'));
  force = true;
  user = TScriptedUser();
  report = {};
  Run();
  EXPECT_FALSE(report.preflightFailed) << report.preflightMessage;
  ASSERT_EQ(report.steps.size(), 11u);
}

// The ToDo check's message quotes a long or non-ASCII text cut after 60 characters and
// decoded from the archive's code page; lines of other projects' files are not read.
TEST_F(SourceGuardsTest, TheToDoCheckShowsLongTextsCutAndDecoded) {
  WriteTextFile(Path("Main.tdo"), "1|" + std::string(200, 'y') + "|long|\r\n2|W\xF6rd|cp1252|\r\n");
  WriteTextFile(Path("Other.tdo"), "x|not|a project's file\r\n");
  std::vector<std::string> problems = ToDoProblems(source, ovrin::FixedFormatSettings(), "windows-1252");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("line 1: the creation date '" + std::string(60, 'y') + "...' is no date; line 2: the "
                             "creation date 'W\xC3\xB6rd' is no date)"),
            std::string::npos)
      << problems[0];
  EXPECT_EQ(problems[0].find(std::string(61, 'y')), std::string::npos);
  // A priority of digits alone that the field cannot hold is out of range, not "no whole
  // number"; one that converts passes.
  // Blanks around the digits are read; leading zeros make no number large, and more than
  // nineteen digits the reading refuses whatever they stand for. A line repeated is
  // converted, and counted, once.
  WriteTextFile(Path("Main.tdo"), "2147483648|01.03.2001 10:00:00|big|\r\n-2147483648|01.03.2001 10:00:00|least|\r\n"
                                  "-3x|01.03.2001 10:00:00|word|\r\n -2147483649 |01.03.2001 10:00:00|small|\r\n"
                                  "000000000000000000005|01.03.2001 10:00:00|zeros|\r\n"
                                  "-3x|01.03.2001 10:00:00|word|\r\n");
  problems = ToDoProblems(source, ovrin::FixedFormatSettings(), "windows-1252");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("holds 4 lines the ToDo step cannot convert (line 1: the priority '2147483648' is out of "
                             "range (from -2147483648 to 2147483647); line 3: the priority '-3x' is no whole number; "
                             "line 4: the priority ' -2147483649 ' is out of range (from -2147483648 to 2147483647); "
                             "and 1 more)"),
            std::string::npos)
      << problems[0];
  // A creation date that no '|' ends is no field: the date reads as empty.
  WriteTextFile(Path("Main.tdo"), "1|01.03.2001 10:00:00\r\n2|01.03.2001 10:00:00|\t\r\n");
  problems = ToDoProblems(source, ovrin::FixedFormatSettings(), "windows-1252");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("holds 1 line the ToDo step cannot convert (line 1: the creation date '01.03.2001 "
                             "10:00:00' stands without the '|' that ends it)"),
            std::string::npos)
      << problems[0];
}

// Side files named after a project whose name holds a non-ASCII letter in another case
// ("M\xE4in.dpr", files M\xC3\x84IN.*) were not found, and nothing said so.
TEST_F(SourceGuardsTest, SideFilesDifferingInTheCaseOfANonAsciiLetterAreFound) {
  WriteRevisions(source, {{"\\src\\", "unit.pas", "M\xE4in.dpr", "ada"}});
  WriteProjects(source, {{"M\xE4in.dpr", "ada", "ada"}});
  WriteTextFile(Path("M\xC3\x84IN.tdo"), "1|01.03.2001 10:00:00|Upper case todo|open\r\n");
  WriteTextFile(Path("M\xC3\x84IN.prl"), "\\lib\\listed.pas\r\n");
  Run();
  EXPECT_FALSE(report.Failed()) << report.preflightMessage;
  EXPECT_EQ(Column(target, "todo", "DESCRIPTION"), std::vector<std::string>{"Upper case todo"});
  EXPECT_TRUE(user.Logged("Converting " + Path("M\xC3\xA4in.tdo")));
  EXPECT_TRUE(user.Logged("Converting " + Path("M\xC3\xA4in.prl")));
  EXPECT_EQ(IdOf(target, "modules", "NAME", "listed.pas", "MODULEID") > 0, true);
}

// The order of the search: the exact name, then ASCII case, then full folding; of
// several entries that match at one stage the first in byte order, the others named.
TEST_F(SourceGuardsTest, FindSideFileTakesTheExactNameThenAsciiCaseThenFullFolding) {
  const std::string folder = source + "/";
  const std::string project = "M\xE4in.dpr";  // windows-1252
  std::vector<std::string> others;
  EXPECT_EQ(FindSideFile(folder, project, ".tdo", "windows-1252", &others), "");
  // Full folding only: two entries match, the first in byte order is taken.
  WriteTextFile(Path("m\xC3\x84IN.tdo"), "");
  WriteTextFile(Path("M\xC3\x84in.TDO"), "");
  EXPECT_EQ(FindSideFile(folder, project, ".tdo", "windows-1252", &others), Path("M\xC3\x84in.TDO"));
  EXPECT_EQ(others, std::vector<std::string>{Path("m\xC3\x84IN.tdo")});
  // ASCII case before full folding.
  WriteTextFile(Path("m\xC3\xA4IN.TDO"), "");
  EXPECT_EQ(FindSideFile(folder, project, ".tdo", "windows-1252", &others), Path("m\xC3\xA4IN.TDO"));
  EXPECT_EQ(others, (std::vector<std::string>{Path("M\xC3\x84in.TDO"), Path("m\xC3\x84IN.tdo")}));
  // The exact name before both.
  WriteTextFile(Path("M\xC3\xA4in.tdo"), "");
  EXPECT_EQ(FindSideFile(folder, project, ".tdo", "windows-1252", &others), Path("M\xC3\xA4in.tdo"));
  EXPECT_EQ(others.size(), 3u);
  // Full folding maps more than one letter: "\xC3\x9F" (sharp s) matches "SS".
  EXPECT_EQ(FindSideFile(folder, "Stra\xDF" "e.dpr", ".prl", "windows-1252"), "");
  WriteTextFile(Path("STRASSE.PRL"), "");
  EXPECT_EQ(FindSideFile(folder, "Stra\xDF" "e.dpr", ".prl", "windows-1252"), Path("STRASSE.PRL"));
}

// Of several side files that match a project, the run reads the first in byte order and
// logs that the others were left.
TEST_F(SourceGuardsTest, SeveralMatchingSideFilesAreLoggedAndTheFirstInByteOrderRead) {
  WriteRevisions(source, {{"\\src\\", "unit.pas", "M\xE4in.dpr", "ada"}});
  WriteProjects(source, {{"M\xE4in.dpr", "ada", "ada"}});
  WriteTextFile(Path("M\xC3\x84IN.tdo"), "1|01.03.2001 10:00:00|first in byte order|open\r\n");
  WriteTextFile(Path("m\xC3\x84in.TDO"), "1|01.03.2001 10:00:00|left|open\r\n");
  Run();
  EXPECT_FALSE(report.Failed()) << report.preflightMessage;
  EXPECT_EQ(Column(target, "todo", "DESCRIPTION"), std::vector<std::string>{"first in byte order"});
  EXPECT_TRUE(user.Logged("Read " + Path("M\xC3\x84IN.tdo") +
                          "; left the files whose names differ from it only in letter case: " +
                          Path("m\xC3\x84in.TDO")));
}

}  // namespace
}  // namespace hollard::test
