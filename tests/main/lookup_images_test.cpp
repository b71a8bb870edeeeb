// The run's lookup images against the walks they replace: the same archives migrated
// both ways give the same target files, byte for byte, whatever order the target's
// primary indexes keep; and the images follow the changes the run and others make.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "engine/base/conversions.h"
#include "engine/format/table_format.h"
#include "engine/table/table.h"
#include "main/lookup_images.h"
#include "tests/main/migration_fixture.h"
#include "tools/archive_schema.h"
#include "tools/source_generator.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;

// Answers every question without looking at the module's name: some modules go to one
// project, some to two, some are skipped.
class TPatternUser : public TScriptedUser {
 public:
  std::optional<std::vector<int>> Ask(const std::string& module) override {
    asked.push_back(module);
    int n = static_cast<int>(asked.size());
    int count = static_cast<int>(projects.size());
    if (count == 0 || n % 4 == 0) return std::nullopt;
    if (n % 3 == 0) return std::vector<int>{(n + 1) % count, n % count};
    return std::vector<int>{n % count};
  }
};

// How the target archive is made before the run.
struct TTargetShape {
  bool reversedPrimary = false;  // primary indexes in descending order
  bool seeded = false;           // records there before the run, some of them deleted
};

void CreateTarget(const std::string& folder, const TTargetShape& shape) {
  fs::create_directories(folder);
  for (TArchiveTable t : NewLayoutTables()) {
    if (shape.reversedPrimary && !t.def.Primary.Fields.empty()) t.def.Primary.Descending = true;
    ovrin::CreateTable(folder + "/" + t.name, t.def);
  }
  if (!shape.seeded) return;
  auto open = [&](ovrin::TOvrinTable& t, const char* name) {
    t.SetDatabaseName(folder);
    t.SetTableName(name);
    t.Open();
  };
  ovrin::TOvrinTable users, projects, modules, links;
  open(users, "users");
  // Logins that differ from the archive's only in letter case, one of them twice.
  for (const char* login : {"SMITH", "Jones", "JONES", "Ada", "zed"}) {
    users.Append();
    users.FieldByName("LOGIN").SetAsString(login);
    users.Post();
  }
  open(projects, "projects");
  for (const char* name : {"MAIN.DPR", "other.dpr"}) {
    projects.Append();
    projects.FieldByName("NAME").SetAsString(name);
    projects.Post();
  }
  open(modules, "modules");
  for (auto [path, name] : {std::pair{"\\Src\\", "UNIT0.PAS"}, {"c:\\work\\lib\\", "Unit3.pas"}, {"\\x\\", "gone.pas"}}) {
    modules.Append();
    modules.FieldByName("PATH").SetAsString(path);
    modules.FieldByName("NAME").SetAsString(name);
    modules.Post();
  }
  // Deleted records leave places the run's appends fill first, so that the table's
  // physical order is not the order of its appends.
  open(links, "pjmodule");
  for (int i = 1; i <= 6; ++i) {
    links.Append();
    links.FieldByName("PROJECTID").SetAsInteger(i % 2 + 1);
    links.FieldByName("MODULEID").SetAsInteger(i);
    links.FieldByName("HIDDEN").SetAsString("0");
    links.Post();
  }
  for (links.First(); !links.Eof();) {
    if (links.FieldByName("MODULEID").AsInteger() % 3 != 0) {
      links.Delete();
    } else {
      links.Next();
    }
  }
  modules.Last();
  modules.Delete();
}

// The bytes of every file that differ between two runs of the same work: the stamps of
// the last change in the headers of the data and blob files. Everything else must agree.
std::string Masked(const std::string& name, std::string bytes) {
  std::string lower = ovrin::AsciiLower(name);
  auto blank = [&](size_t at, size_t n) {
    if (bytes.size() >= at + n) bytes.replace(at, n, n, '\0');
  };
  if (lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".dat") == 0) blank(ovrin::datafmt::hLastUpdate, 8);
  return bytes;
}

void ExpectSameFolders(const std::string& a, const std::string& b) {
  auto left = FolderBytes(a), right = FolderBytes(b);
  ASSERT_EQ(left.size(), right.size());
  for (const auto& [name, bytes] : left) {
    ASSERT_TRUE(right.count(name)) << name;
    std::string x = Masked(name, bytes), y = Masked(name, right.at(name));
    ASSERT_EQ(x.size(), y.size()) << name;
    size_t at = 0;
    while (at < x.size() && x[at] == y[at]) ++at;
    EXPECT_EQ(at, x.size()) << name << " differs first at byte " << at;
  }
}

class LookupImagesTest : public ::testing::TestWithParam<std::tuple<uint32_t, bool, bool>> {
 protected:
  // Migrates the generated archive into a fresh target; answers the summary's counts.
  TMigrationReport Migrate(const std::string& target, bool walk) {
    CreateTarget(target, shape);
    TPatternUser user;
    TMigration m(user, "windows-1252");
    m.SetSourceDir(source);
    m.SetTargetDir(target);
    ovrin::TFormatSettings settings = ovrin::FixedFormatSettings();
    ApplyDateFormat("dd.mm.yyyy", &settings);
    m.SetFormatSettings(settings);
    m.SetWalkLookups(walk);
    m.SetAllowDuplicates(true);  // a seeded target holds some of the archive's projects on purpose
    m.Import();
    for (const TStepOutcome& s : m.Report().steps)
      EXPECT_TRUE(s.succeeded) << s.procedure << ": " << (s.errors.empty() ? "" : s.errors.front());
    return m.Report();
  }
  ovrin::test::TempDir dir;
  std::string source;
  TTargetShape shape;
};

TEST_P(LookupImagesTest, WalksAndImagesWriteTheSameTarget) {
  auto [seed, reversed, seeded] = GetParam();
  shape = {reversed, seeded};
  source = dir / "old";
  fs::create_directories(source);
  TSourceOptions options;
  options.seed = seed;
  options.revisions = 150;
  options.modules = 36;
  options.projects = 4;
  options.blobBytes = 2000;
  options.labels = 4;
  WriteSourceArchive(source, PlanSourceArchive(options), options);

  TMigrationReport walked = Migrate(dir / "walked", true);
  TMigrationReport imaged = Migrate(dir / "imaged", false);
  EXPECT_EQ(walked.added, imaged.added);
  EXPECT_EQ(walked.changed, imaged.changed);
  EXPECT_GT(imaged.added.at("rvlabels"), 0);
  EXPECT_GT(imaged.added.at("vcslog"), 0);
  ExpectSameFolders(dir / "walked", dir / "imaged");
}

INSTANTIATE_TEST_SUITE_P(Archives, LookupImagesTest,
                         ::testing::Combine(::testing::Values(1u, 7u), ::testing::Bool(), ::testing::Bool()));

// ---------------------------------------------------------------- the images alone

class ImageModelTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    folder = dir / "t";
    fs::create_directories(folder);
    for (TArchiveTable t : NewLayoutTables()) {
      if (t.name != "users" && t.name != "revision" && t.name != "modules") continue;
      t.def.Primary.Descending = GetParam();
      ovrin::CreateTable(folder + "/" + t.name, t.def);
    }
  }
  void Open(ovrin::TOvrinTable& t, const char* name) {
    t.SetDatabaseName(folder);
    t.SetTableName(name);
    t.Open();
  }
  ovrin::test::TempDir dir;
  std::string folder;
};

// The reference: a walk from the first record, exact first, then without case.
int32_t WalkFind(const TTextComparer& comparer, ovrin::TOvrinTable& t, const std::string& login) {
  for (bool exact : {true, false}) {
    t.Refresh();
    for (t.First(); !t.Eof(); t.Next()) {
      std::string k = t.FieldByName("LOGIN").AsString();
      if (exact ? k == login : comparer.Equal(k, login)) return t.FieldByName("USERID").AsInteger();
    }
  }
  return 0;
}

TEST_P(ImageModelTest, KeyImageAnswersAsTheWalkUnderRandomChangesByThreeCursors) {
  TTextComparer comparer("windows-1252", "en_US");
  TKeyImage image(comparer, "LOGIN", nullptr, "USERID");
  ovrin::TOvrinTable lookup, writer, other;
  Open(lookup, "users");
  Open(writer, "users");
  Open(other, "users");
  std::mt19937 rng(11);
  const std::vector<std::string> logins = {"smith", "Smith", "SMITH", "jones", "JONES", "\xe9mile", "\xc9mile", "ada"};
  for (int step = 0; step < 300; ++step) {
    int what = static_cast<int>(rng() % 10);
    const std::string& login = logins[rng() % logins.size()];
    if (what < 5) {
      // The run's own post, told to the image.
      writer.Append();
      writer.FieldByName("LOGIN").SetAsString(login);
      writer.Post();
      image.Appended(writer);
    } else if (what == 5) {
      // Another user's post, which the image learns of only from the table.
      other.Append();
      other.FieldByName("LOGIN").SetAsString(login);
      other.Post();
    } else if (what == 6) {
      // Another user renames or deletes a record the image holds.
      other.Refresh();
      other.First();
      other.MoveBy(static_cast<int>(rng() % 8));
      if (other.Eof()) continue;
      if (rng() % 2) {
        other.Edit();
        other.FieldByName("LOGIN").SetAsString(login);
        other.Post();
      } else {
        other.Delete();
      }
    } else {
      const std::string& asked = logins[rng() % logins.size()];
      image.Sync(lookup);
      ASSERT_EQ(image.Find(asked, ""), WalkFind(comparer, lookup, asked)) << "step " << step << " " << asked;
    }
  }
  // Rebuilt after the other user's changes, not after the run's own.
  EXPECT_GT(image.Rebuilds(), 1);
  EXPECT_LT(image.Rebuilds(), 70);
}

TEST_P(ImageModelTest, GroupImageKeepsEveryMatchInWalkOrder) {
  TGroupImage image({"MODULEID", "VERSION"}, "REVISIONID");
  ovrin::TOvrinTable lookup, writer;
  Open(lookup, "revision");
  Open(writer, "revision");
  std::mt19937 rng(5);
  image.Sync(lookup);
  for (int i = 0; i < 200; ++i) {
    writer.Append();
    writer.FieldByName("MODULEID").SetAsInteger(static_cast<int32_t>(rng() % 4));
    writer.FieldByName("VERSION").SetAsInteger(static_cast<int32_t>(rng() % 3));
    writer.Post();
    image.Appended(writer);
  }
  EXPECT_EQ(image.Rebuilds(), 1);
  for (int32_t m = 0; m < 4; ++m)
    for (int32_t v = 0; v < 3; ++v) {
      std::vector<int32_t> walked;
      lookup.Refresh();
      for (lookup.First(); !lookup.Eof(); lookup.Next())
        if (lookup.FieldByName("MODULEID").AsInteger() == m && lookup.FieldByName("VERSION").AsInteger() == v)
          walked.push_back(lookup.FieldByName("REVISIONID").AsInteger());
      image.Sync(lookup);
      EXPECT_EQ(image.Ids({m, v}), walked);
    }
}

TEST_P(ImageModelTest, TextImageFindsTheFirstRecordWhosePatternOccurs) {
  ovrin::TOvrinTable modules;
  Open(modules, "modules");
  std::mt19937 rng(9);
  auto word = [&] {
    std::string w;
    for (int n = 1 + static_cast<int>(rng() % 4); n > 0; --n) w += static_cast<char>('a' + rng() % 3);
    return w;
  };
  for (int i = 0; i < 120; ++i) {
    modules.Append();
    modules.FieldByName("PATH").SetAsString(rng() % 5 ? word() : std::string());
    modules.FieldByName("NAME").SetAsString(word());
    modules.Post();
  }
  auto pattern = [](ovrin::TOvrinTable& t) { return t.FieldByName("PATH").AsString() + t.FieldByName("NAME").AsString(); };
  TTextImage image(pattern, "MODULEID");
  for (int i = 0; i < 300; ++i) {
    std::string text = word() + word() + "." + word();
    int32_t walked = 0;
    for (modules.First(); !modules.Eof(); modules.Next()) {
      std::string p = pattern(modules);
      if (!p.empty() && text.find(p) != std::string::npos) {
        walked = modules.FieldByName("MODULEID").AsInteger();
        break;
      }
    }
    image.Sync(modules);
    ASSERT_EQ(image.Find(text).id, walked) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(PrimaryOrder, ImageModelTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Descending" : "Ascending"; });

}  // namespace
}  // namespace hollard::test
