// The archive's date format, settled before a terminal run writes: generated archives in
// several date formats migrated with the format found from their texts, the same
// archives with the right and a wrong explicit format, and the proof by verify.
#include <gtest/gtest.h>
#include <unicode/uloc.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/migrate_tool.h"
#include "engine/format/table_format.h"
#include "tests/main/migration_fixture.h"
#include "tests/support/file_bytes.h"
#include "tests/support/posix_locale.h"
#include "tools/archive_verify.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;
using ovrin::test::FileBytes;

struct TResult {
  int code;
  std::string out, err;
};

TResult Migrate(std::vector<std::string> args) {
  std::istringstream in;
  std::ostringstream out, err;
  int code = RunMigrateTool(args, TMigrateConsole{in, out, err, false});
  return {code, out.str(), err.str()};
}

std::map<std::string, std::string> Snapshot(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(folder)) files[e.path().filename()] = FileBytes(e.path().string());
  return files;
}

// The names of the files that differ between two folders (or are in one only), leaving
// out the stamp of the last change in the data files' headers.
std::vector<std::string> Differing(const std::string& a, const std::string& b) {
  auto x = Snapshot(a), y = Snapshot(b);
  for (auto* files : {&x, &y})
    for (auto& [name, bytes] : *files)
      if (name.size() > 4 && ovrin::AsciiLower(name.substr(name.size() - 4)) == ".dat" &&
          bytes.size() >= ovrin::datafmt::hLastUpdate + 8)
        bytes.replace(ovrin::datafmt::hLastUpdate, 8, 8, '\0');
  std::vector<std::string> names;
  for (const auto& [name, bytes] : x)
    if (!y.count(name) || y[name] != bytes) names.push_back(name);
  for (const auto& [name, bytes] : y)
    if (!x.count(name)) names.push_back(name);
  return names;
}

using ovrin::test::PosixLocale;

std::string MakeSource(const std::string& folder, const std::string& dateFormat, int revisions, uint32_t seed,
                       char timeSeparator = ':') {
  TSourceOptions o;
  o.timeSeparator = timeSeparator;
  o.revisions = revisions;
  o.modules = 12;
  o.projects = 3;
  o.blobBytes = 3000;
  o.seed = seed;
  o.dateFormat = dateFormat;
  fs::create_directories(folder);
  WriteSourceArchive(folder, PlanSourceArchive(o), o);
  return folder;
}

std::string MakeTarget(const std::string& folder) {
  fs::create_directories(folder);
  CreateNewLayoutArchive(folder);
  return folder;
}

// The demo's archive (dd.mm.yyyy dates) run under the POSIX locale (month/day/year)
// without a date option passed over every log line and stopped the ToDo step at its
// first date.
TEST(ArchiveDatesTest, TheDemoArchiveUnderThePosixLocaleFindsItsFormatAndLosesNothing) {
  PosixLocale posix;
  ovrin::test::TempDir dir;
  TSourceOptions o;  // the demo's archive: make-source --seed 1
  o.blobBytes = 4000;
  std::string source = dir / "old", target = MakeTarget(dir / "new");
  fs::create_directories(source);
  WriteSourceArchive(source, PlanSourceArchive(o), o);
  std::string report = dir / "report.json";
  TResult r = Migrate({source, target, "--report", report});
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("Dates read as dd.mm.yyyy, time separator ':' (found automatically: the only order that reads "
                       "all "),
            std::string::npos)
      << r.out.substr(0, 2000);
  EXPECT_NE(r.out.find("Result: success"), std::string::npos);
  // The undated lines of the log are counted, none silently.
  nlohmann::json j = nlohmann::json::parse(FileBytes(report));
  ASSERT_TRUE(j["passedOver"].contains(source + "/hollardm.log")) << j["passedOver"].dump();
  EXPECT_EQ(j["passedOver"][source + "/hollardm.log"]["count"], 9);
  EXPECT_EQ(j["passedOver"][source + "/hollardm.log"]["first"][0]["text"], "an undated line without a time");
  EXPECT_EQ(j["passedOver"].size(), 1u);
  EXPECT_EQ(Records(target, "vcslog").size(), 200u);
  // So are its backup events, which are not converted.
  ASSERT_TRUE(j["backupLines"].contains(source + "/hollardm.log")) << j["backupLines"].dump();
  EXPECT_EQ(j["backupLines"][source + "/hollardm.log"]["count"], 12);

  TVerifyOptions options;
  options.settings = ovrin::UserFormatSettings();
  TVerifyReport verified = VerifyMigration(source, target, options);
  EXPECT_TRUE(verified.Ok()) << (verified.lost.empty() ? "" : verified.lost.front());
  EXPECT_EQ(verified.dateFormat.rfind("Dates read as dd.mm.yyyy, time separator ':'", 0), 0u) << verified.dateFormat;
  EXPECT_EQ(verified.checked["dated log lines"], 200);
  EXPECT_EQ(verified.passedOver.size(), 9u);
}

// Each format found automatically gives the target the run with the right explicit
// format gives, byte for byte; a wrong explicit format stops before anything is written.
TEST(ArchiveDatesTest, GeneratedArchivesInFourFormatsMigrateAsWithTheRightFormat) {
  PosixLocale posix;
  struct TCase {
    const char* format;  // as the generator writes and the run is told
    const char* found;   // as the run names what it found
    const char* wrong;
    char time = ':';
  };
  for (const TCase& c : {TCase{"dd.mm.yyyy", "dd.mm.yyyy", "mm.dd.yyyy"}, TCase{"mm/dd/yyyy", "mm/dd/yyyy", "dd/mm/yyyy"},
                         TCase{"yyyy-mm-dd", "yyyy-mm-dd", "dd-mm-yyyy"}, TCase{"d.m.yy", "dd.mm.yyyy", "m.d.yy"},
                         TCase{"yyyy-mm-dd", "yyyy-mm-dd", "dd-mm-yyyy", '.'}}) {
    SCOPED_TRACE(std::string(c.format) + " " + c.time);
    ovrin::test::TempDir dir;
    std::string source = MakeSource(dir / "old", c.format, 60, 3, c.time);
    const std::string time = std::string(", time separator '") + c.time + "'";
    // Copies of one empty archive: tables created apart differ in their headers.
    std::string pristine = MakeTarget(dir / "pristine");
    auto copy = [&](const char* name) {
      std::string folder = dir / name;
      fs::copy(pristine, folder);
      return folder;
    };
    std::string automatic = copy("auto"), explicitly = copy("explicit"), wrong = copy("wrong");
    TResult a = Migrate({source, automatic});
    ASSERT_EQ(a.code, 0) << a.err << a.out.substr(0, 3000);
    EXPECT_NE(a.out.find(std::string("Dates read as ") + c.found + time + " (found automatically"), std::string::npos);
    TResult e = Migrate({source, explicitly, "--date-format", c.format});
    ASSERT_EQ(e.code, 0) << e.err;
    EXPECT_EQ(Differing(automatic, explicitly), std::vector<std::string>{});
    EXPECT_EQ(Records(automatic, "vcslog").size(), 60u);
    EXPECT_GT(Records(automatic, "todo").size(), 0u);

    TResult w = Migrate({source, wrong, "--date-format", c.wrong});
    EXPECT_EQ(w.code, 3) << w.out;
    EXPECT_EQ(Differing(wrong, pristine), std::vector<std::string>{});
    EXPECT_NE(w.err.find("dated text(s) of the archive do not read as"), std::string::npos) << w.err;
    EXPECT_NE(w.err.find(std::string("They read as ") + c.found + time + "."), std::string::npos) << w.err;
    EXPECT_NE(w.err.find(", line "), std::string::npos) << w.err;
    EXPECT_NE(w.err.find("Nothing was written. Run with --force"), std::string::npos) << w.err;
  }
}

// An archive written month/day/year read as day/month/year kept only the lines with a
// day up to 12, with day and month swapped. Forced, the rest is counted per file.
TEST(ArchiveDatesTest, AWrongFormatForcedCountsEveryLineItPassesOver) {
  PosixLocale posix;
  ovrin::test::TempDir dir;
  std::string source = MakeSource(dir / "old", "mm/dd/yyyy", 60, 5);
  std::string target = MakeTarget(dir / "new");
  std::string report = dir / "report.json";
  TResult r = Migrate({source, target, "--date-format", "dd/mm/yyyy", "--force", "--report", report});
  nlohmann::json j = nlohmann::json::parse(FileBytes(report));
  int64_t passed = j["passedOver"][source + "/hollardm.log"]["count"].get<int64_t>();
  // Every line is either converted or counted: 60 dated lines and 3 undated ones.
  EXPECT_EQ(static_cast<int64_t>(Records(target, "vcslog").size()) + passed, 63);
  EXPECT_GT(passed, 3);
  EXPECT_NE(r.out.find("Lines passed over"), std::string::npos);
  // The summary shows the first few and says how many more there are.
  const int64_t shown = static_cast<int64_t>(j["passedOver"][source + "/hollardm.log"]["first"].size());
  EXPECT_NE(r.out.find("      and " + std::to_string(passed - shown) + " more\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Dates read as dd/mm/yyyy, time separator ':' (as given)"), std::string::npos);
}

// A ToDo line whose creation date is empty or a word reads in no date format, so the
// date check passed it, and the ToDo step stopped there: the later projects' ToDo items
// were left out after users, revisions and labels had been written. The tool now stops
// before it writes, naming the line; forced, it runs as before.
TEST(ArchiveDatesTest, AToDoLineThatReadsInNoFormatStopsTheToolBeforeItWrites) {
  PosixLocale posix;
  ovrin::test::TempDir dir;
  std::string source = MakeSource(dir / "old", "dd.mm.yyyy", 30, 7);
  std::string todo;
  for (const auto& e : fs::directory_iterator(source))
    if (ovrin::AsciiLower(e.path().extension().string()) == ".tdo") todo = e.path().string();
  ASSERT_FALSE(todo.empty());
  {
    std::ofstream out(todo, std::ios::binary | std::ios::app);
    out << "2|soon|a word for a date\r\n";
  }
  std::string pristine = MakeTarget(dir / "pristine");
  std::string target = dir / "new";
  fs::copy(pristine, target);
  TResult r = Migrate({source, target});
  EXPECT_EQ(r.code, 3) << r.out;
  EXPECT_EQ(Differing(target, pristine), std::vector<std::string>{});
  EXPECT_NE(r.err.find("The ToDo file " + todo + " holds 1 line the ToDo step cannot convert ("), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(": the creation date 'soon' is no date)."), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Nothing was written. Run with --force"), std::string::npos) << r.err;

  TResult forced = Migrate({source, target, "--force"});
  EXPECT_EQ(forced.code, 1) << forced.err;
  EXPECT_NE(forced.err.find("'soon' is not a valid date and time"), std::string::npos) << forced.err;
}

}  // namespace
}  // namespace hollard::test
