// Settling an archive's date format from its dated texts: the order values above 12
// decide, ties broken by the locale's order and then by the log running forward in
// time, separators found from the texts, explicit formats checked.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "main/date_format.h"
#include "main/migration.h"
#include "tests/main/migration_fixture.h"
#include "tests/support/temp_dir.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;

class DateFormatTest : public ::testing::Test {
 protected:
  void SetUp() override { folder = dir / "src"; fs::create_directories(folder); }
  void Log(const std::string& text) { WriteTextFile(folder + "/hollardm.log", text); }
  void ToDo(const std::string& name, const std::string& text) { WriteTextFile(folder + "/" + name, text); }
  TDateFormatFinding Settle(const std::string& localeFormat = "M/d/yyyy", TDateFormatChoice choice = {}) {
    ovrin::TFormatSettings base = ovrin::FixedFormatSettings();
    base.ShortDateFormat = localeFormat;
    return SettleDateFormat(folder, choice, base);
  }
  ovrin::test::TempDir dir;
  std::string folder;
};

TEST(DatedTextTest, WhatStartsLikeADate) {
  char ds = 0, ts = 0;
  EXPECT_TRUE(StartsLikeDate("01.03.2001 10:15:00 > x", &ds, &ts));
  EXPECT_EQ(ds, '.');
  EXPECT_EQ(ts, ':');
  EXPECT_TRUE(StartsLikeDate("  2001-03-01", &ds, &ts));
  EXPECT_EQ(ds, '-');
  EXPECT_EQ(ts, 0);
  EXPECT_TRUE(StartsLikeDate("1/3/01 10.15", &ds, &ts));
  EXPECT_EQ(ts, '.');
  EXPECT_TRUE(StartsLikeDate("31.02.2001 x", &ds, &ts));  // starts like one, whether it exists or not
  for (const char* no : {"", "an undated line", "01.03", "01.03-2001", "01 03 2001", "x01.03.2001", "01a03a2001"})
    EXPECT_FALSE(StartsLikeDate(no, &ds, &ts)) << no;
  EXPECT_EQ(DatePattern("dmy", '.'), "dd.mm.yyyy");
  EXPECT_EQ(DatePattern("ymd", '-'), "yyyy-mm-dd");
  EXPECT_EQ(DateOrderOf("dd.MM.yyyy"), "dmy");
  EXPECT_EQ(DateOrderOf("M/d/yyyy"), "mdy");
  EXPECT_EQ(DateOrderOf("yyyy-MM-dd"), "ymd");
}

TEST_F(DateFormatTest, AValueAbove12DecidesTheOrder) {
  ToDo("a.tdo", "1|13.02.2001 10:00|x\r\n");
  Log("02.03.2001 10:00:00 > [a] b\r\nan undated line\r\n");
  TDateFormatFinding f = Settle();  // the locale says month first; the texts say otherwise
  EXPECT_EQ(f.pattern, "dd.mm.yyyy");
  EXPECT_EQ(f.timeSeparator, ':');
  EXPECT_EQ(f.dated, 2);
  EXPECT_TRUE(f.Settled());
  EXPECT_EQ(f.LogLine(),
            "Dates read as dd.mm.yyyy, time separator ':' (found automatically: the only order that reads all 2 dated texts)");
}

TEST_F(DateFormatTest, SeveralOrdersReadEverythingTheLocalesOrderFirst) {
  // No value above 12: day/month and month/day both read every text.
  Log("05.01.2001 10:00:00 > a\r\n01.02.2001 10:00:00 > b\r\n03.02.2001 10:00:00 > c\r\n");
  TDateFormatFinding dmy = Settle("dd.MM.yyyy");
  EXPECT_EQ(dmy.pattern, "dd.mm.yyyy");
  EXPECT_NE(dmy.reason.find("the locale's order is one of them"), std::string::npos) << dmy.reason;
  TDateFormatFinding mdy = Settle("M/d/yyyy");
  EXPECT_EQ(mdy.pattern, "mm.dd.yyyy");
  // A locale whose order is not among them: the order under which the log runs forward
  // (5 Jan, 1 Feb, 3 Feb rather than 1 May, 2 Jan, 2 Mar).
  TDateFormatFinding forward = Settle("yyyy-MM-dd");
  EXPECT_EQ(forward.pattern, "dd.mm.yyyy");
  EXPECT_NE(forward.reason.find("the log's dates run forward in time (2 steps forward)"), std::string::npos)
      << forward.reason;
}

TEST_F(DateFormatTest, TwoDigitYearsAndTheirOwnTimeSeparator) {
  Log("1.3.99 10.15.00 > a\r\n25.3.99 08.00 > b\r\n");
  TDateFormatFinding f = Settle();
  EXPECT_EQ(f.pattern, "dd.mm.yyyy");
  EXPECT_EQ(f.timeSeparator, '.');
  EXPECT_TRUE(f.Settled());
  ovrin::TDateTime v = 0;
  ASSERT_TRUE(ovrin::TryTextToDateTime("25.3.99 08.00", f.settings, &v));
  EXPECT_EQ(ovrin::FormatDateTime("yyyy-mm-dd hh:nn", v, ovrin::FixedFormatSettings()), "1999-03-25 08:00");
}

TEST_F(DateFormatTest, AnExplicitFormatIsCheckedAndTheFirstThreeNamed) {
  ToDo("b.tdo", "1|03/13/2001|x\r\n2|03/14/2001|y\r\n");
  Log("03/01/2001 10:00:00 > a\r\n03/15/2001 10:00:00 > b\r\n03/02/2001 10:00:00 > c\r\n");
  TDateFormatChoice choice;
  choice.automatic = false;
  choice.pattern = "d/m/yyyy";
  TDateFormatFinding f = Settle("M/d/yyyy", choice);
  EXPECT_EQ(f.pattern, "dd/mm/yyyy");
  EXPECT_EQ(f.dated, 5);
  EXPECT_EQ(f.unread, 3);
  ASSERT_EQ(f.firstUnread.size(), 3u);
  EXPECT_EQ(f.firstUnread[0].file, folder + "/b.tdo");
  EXPECT_EQ(f.firstUnread[0].line, 1);
  EXPECT_EQ(f.firstUnread[2].file, folder + "/hollardm.log");
  EXPECT_EQ(f.firstUnread[2].line, 2);
  EXPECT_EQ(f.unreadPerFile.at(folder + "/b.tdo").count, 2);
  EXPECT_EQ(f.readingPattern, "mm/dd/yyyy");
  EXPECT_EQ(f.UnreadMessage(),
            "3 dated text(s) of the archive do not read as dd/mm/yyyy, time separator ':':\n"
            "  " + folder + "/b.tdo, line 1: '03/13/2001'\n"
            "  " + folder + "/b.tdo, line 2: '03/14/2001'\n"
            "  " + folder + "/hollardm.log, line 2: '03/15/2001 10:00:00'\n"
            "They read as mm/dd/yyyy, time separator ':'.");
  choice.pattern = "no format";
  EXPECT_THROW(Settle("M/d/yyyy", choice), std::invalid_argument);
}

TEST_F(DateFormatTest, TextsNoOrderReadsStayUnreadUnderTheBestOrder) {
  Log("13.02.2001 10:00:00 > a\r\n02.13.2001 10:00:00 > b\r\n14.02.2001 10:00:00 > c\r\n");
  TDateFormatFinding f = Settle();
  EXPECT_EQ(f.pattern, "dd.mm.yyyy");  // reads two of the three
  EXPECT_EQ(f.unread, 1);
  EXPECT_TRUE(f.readingPattern.empty());
  EXPECT_NE(f.UnreadMessage().find("No day/month/year order reads them all."), std::string::npos);
}

TEST_F(DateFormatTest, OnlyRegularToDoFilesAreRead) {
  ToDo("a.TDO", "1|13.02.2001|x\r\n");
  fs::create_directories(folder + "/folder.tdo");
  ASSERT_EQ(::mkfifo((folder + "/pipe.tdo").c_str(), 0600), 0);
  EXPECT_EQ(DatedFiles(folder), std::vector<std::string>{folder + "/a.TDO"});
  EXPECT_EQ(Settle().pattern, "dd.mm.yyyy");  // the FIFO is not opened: no hang
}

}  // namespace
}  // namespace hollard::test
