// Lookups and letter case: keys with trailing blanks, case mapping that stays within the
// archive's code page, "ignoring case" as equality after full case folding, and keys
// cut to their field's size.
#include <gtest/gtest.h>
#include <unicode/uloc.h>

#include "main/text_compare.h"
#include "tests/main/migration_fixture.h"

namespace hollard::test {
namespace {

// The ICU default locale for the life of one object.
class DefaultLocale {
 public:
  explicit DefaultLocale(const char* name) : saved_(uloc_getDefault()) { Set(name); }
  ~DefaultLocale() { Set(saved_.c_str()); }

 private:
  static void Set(const char* name) {
    UErrorCode status = U_ZERO_ERROR;
    uloc_setDefault(name, &status);
  }
  std::string saved_;
};

TEST(CaseMappingTest, StaysWithinTheCodePage) {
  // Turkish rules lower "I" to a dotless i, which windows-1252 lacks: it used to become
  // the converter's substitute byte 0x1A.
  TTextComparer latin("windows-1252", "tr_TR");
  EXPECT_EQ(latin.Lower("UNIT1.PAS"), "unIt1.pas");
  EXPECT_EQ(latin.Upper("unit1.pas"), "UNiT1.PAS");  // the dotted capital I is missing too
  EXPECT_EQ(latin.Lower("\xC4RGER"), "\xE4rger");
  EXPECT_EQ(latin.Lower("\x81\x8D"), "\x81\x8D");  // undefined bytes stay
  TTextComparer turkish("windows-1254", "tr_TR");
  EXPECT_EQ(turkish.Lower("UNIT1.PAS"), "un\xFDt1.pas");  // dotless i is 0xFD there
  EXPECT_EQ(turkish.Lower("\xDD"), "i");                  // dotted capital I
  TTextComparer english("windows-1252", "en_US");
  EXPECT_EQ(english.Lower("UNIT1.PAS"), "unit1.pas");
  EXPECT_EQ(english.Upper("stra\xDF" "e"), "STRA\xDF" "E");  // no one-character capital sharp s in the code page
  for (const TTextComparer* c : {&latin, &turkish, &english})
    for (int b = 0; b < 256; ++b) {
      std::string one(1, static_cast<char>(b));
      EXPECT_EQ(c->Lower(one).size(), 1u);
      if (b != 0x1A) {
        EXPECT_NE(c->Lower(one), "\x1A") << b;
      }
    }
}

// At ICU's secondary strength "x\xB2.pas" equalled "x2.pas", and soft hyphens, control
// bytes and undefined bytes were ignored; ignoring case means equal after case folding.
TEST(CaseFoldingTest, OnlyLetterCaseIsIgnored) {
  TTextComparer c("windows-1252", "en_US");
  EXPECT_TRUE(c.Equal("Unit1.PAS", "unit1.pas"));
  EXPECT_TRUE(c.Equal("STRASSE", "stra\xDF" "e"));  // full folding: sharp s is "ss"
  EXPECT_TRUE(c.Equal("\xC4rger", "\xE4RGER"));
  EXPECT_FALSE(c.Equal("x\xB2.pas", "x2.pas"));
  EXPECT_FALSE(c.Equal("ab\xAD" "c.pas", "abc.pas"));
  EXPECT_FALSE(c.Equal("ab\x01" "c.pas", "abc.pas"));
  EXPECT_FALSE(c.Equal("ab\x81" "c", "ab\x8D" "c"));
  EXPECT_FALSE(c.Equal("\xE9t\xE9", "ete"));  // accents count
  EXPECT_EQ(c.SortKey("Unit1.PAS"), c.SortKey("UNIT1.pas"));
  EXPECT_NE(c.SortKey("x\xB2.pas"), c.SortKey("x2.pas"));
  // The working list keeps both, in a stable order, and finds each.
  TWorkingList list(c);
  for (const char* t : {"x2.pas", "x\xB2.pas", "X2.PAS", "abc.pas", "ab\xAD" "c.pas"}) list.Add(t);
  EXPECT_EQ(list.Count(), 4);
  EXPECT_GE(list.IndexOf("x\xB2.PAS"), 0);
  EXPECT_NE(list.IndexOf("x\xB2.pas"), list.IndexOf("x2.pas"));
  for (int i = 1; i < list.Count(); ++i) EXPECT_LT(c.Compare(list[i - 1], list[i]), 0);
}

class LookupCaseTest : public MigrationFixture {
 protected:
  // Migrates afresh with the lookup images and with the reference walks; check runs
  // after each.
  template <typename F>
  void EachLookupWay(F check) {
    for (bool walk : {false, true}) {
      SCOPED_TRACE(walk);
      ResetTarget();
      walkLookups = walk;
      Run();
      ASSERT_FALSE(report.Failed()) << (user.errors.empty() ? "" : user.errors.front());
      check();
    }
  }
};

// The engine keeps strings without trailing blanks, the lookups searched with them: a
// module locked by "lee " got user 0.
TEST_F(LookupCaseTest, ALoginWithATrailingBlankFindsItsUser) {
  WriteRevisions(source, {{"\\src\\", "a.pas", "Main.dpr", "lee "}, {"\\src\\", "b.pas", "Main.dpr", "lee"}});
  WriteProjects(source, {{"Main.dpr", "lee ", "lee"}});
  EachLookupWay([&] {
    EXPECT_EQ(Column(target, "users", "LOGIN"), std::vector<std::string>{"lee"});  // one user
    std::string lee = std::to_string(IdOf(target, "users", "LOGIN", "lee", "USERID"));
    EXPECT_EQ(Column(target, "modules", "USERID"), (std::vector<std::string>{lee, lee}));
    EXPECT_EQ(Column(target, "projects", "CREATEDBY"), std::vector<std::string>{lee});
  });
}

// "x\xB2.pas" and "x2.pas" were one module: the second's revisions went to the first.
TEST_F(LookupCaseTest, ModulesThatDifferInMoreThanCaseStayApart) {
  WriteRevisions(source, {{"\\src\\", "x2.pas", "Main.dpr", ""},
                          {"\\src\\", "x\xB2.pas", "Main.dpr", ""},
                          {"\\src\\", "ab\xAD" "c.pas", "Main.dpr", ""},
                          {"\\src\\", "abc.pas", "Main.dpr", ""},
                          {"\\SRC\\", "X2.PAS", "Main.dpr", ""}});
  WriteProjects(source, {{"Main.dpr", "", ""}});
  EachLookupWay([&] {
    auto names = Column(target, "modules", "NAME");
    EXPECT_EQ(names.size(), 4u);  // "X2.PAS" merges with "x2.pas", nothing else merges
    auto id = [&](const std::string& name) { return std::to_string(IdOf(target, "modules", "NAME", name, "MODULEID")); };
    EXPECT_EQ(Column(target, "revision", "MODULEID"),
              (std::vector<std::string>{id("x2.pas"), id("x\xB2.pas"), id("ab\xAD" "c.pas"), id("abc.pas"), id("x2.pas")}));
  });
}

// Turkish rules put a 0x1A byte into module names lower-cased from a module list.
TEST_F(LookupCaseTest, ATurkishLocaleLowerCasesWithinTheCodePage) {
  DefaultLocale turkish("tr_TR");
  WriteRevisions(source, {{"\\src\\", "a.pas", "Main.dpr", ""}});
  WriteProjects(source, {{"Main.dpr", "", ""}});
  WriteTextFile(source + "/Main.prl", "C:\\WORK\\UNIT1.PAS\r\nC:\\Work\\\xC4RGER.PAS\r\n");
  Run();
  ASSERT_FALSE(report.Failed()) << (user.errors.empty() ? "" : user.errors.front());
  // In the list's order: the module list's lines sorted.
  EXPECT_EQ(Column(target, "modules", "NAME"), (std::vector<std::string>{"a.pas", "\xE4rger.pas", "unIt1.pas"}));
  EXPECT_EQ(Column(target, "modules", "PATH"), (std::vector<std::string>{"\\src\\", "c:\\work\\", "c:\\work\\"}));
}

// A key longer than its field is cut as the engine cuts it, so a module whose path is
// 252 characters still finds its revisions. Two paths that differ only after the cut
// are one key in the target: both resolve to the module written first.
TEST_F(LookupCaseTest, KeysCutToTheirFieldFindTheirModule) {
  std::string common = "\\" + std::string(249, 'p');
  std::string first = common + "ab\\", second = common + "cd\\";  // 252 characters, equal for 250
  WriteRevisions(source, {{first, "u.pas", "Main.dpr", ""}, {second, "u.pas", "Main.dpr", ""},
                          {first, "u.pas", "Main.dpr", "", false, false, false, 0, 1, 2}});
  WriteProjects(source, {{"Main.dpr", "", ""}});
  EachLookupWay([&] {
    auto paths = Column(target, "modules", "PATH");
    ASSERT_FALSE(paths.empty());
    for (const std::string& p : paths) EXPECT_EQ(p, first.substr(0, 250));
    std::string firstId = Column(target, "modules", "MODULEID")[0];
    EXPECT_EQ(Column(target, "revision", "MODULEID"), (std::vector<std::string>{firstId, firstId, firstId}));
  });
}

}  // namespace
}  // namespace hollard::test
