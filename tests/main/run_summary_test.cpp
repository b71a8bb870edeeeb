// The run's summary as the terminal and the log show it.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "main/migration.h"
#include "main/run_summary.h"

namespace hollard {
namespace {

// The lines passed over: the first few, each cut to a line's worth at the start of a
// character, and how many more there are (a forced run printed a date text of 300,000
// characters whole, and the count alone for the rest).
TEST(RunSummaryTest, PassedOverLinesAreCutAtACharacterAndTheRestCounted) {
  TMigrationReport report;
  TPassedOver& passed = report.passedOver["/a/hollardm.log"];
  passed.count = 7;
  std::string longText = "x";
  for (int i = 0; i < 150; ++i) longText += "\xC3\xA9";  // "é": two bytes each
  passed.first = {{"/a/hollardm.log", 4, longText}, {"/a/hollardm.log", 9, "short"}};
  std::ostringstream out;
  PrintReportSummary(out, report, false);
  const std::string text = out.str();
  std::string cut = "x";
  for (int i = 0; i < 99; ++i) cut += "\xC3\xA9";
  EXPECT_NE(text.find("    /a/hollardm.log: 7\n      line 4: " + cut + "...\n      line 9: short\n      and 5 more\n"),
            std::string::npos)
      << text;
}

// Names that found nothing: how many records carried one, and the first few distinct
// names, each cut at a character's start.
TEST(RunSummaryTest, NamesThatFindNothingAreCountedWithTheFirstFew) {
  TMigrationReport report;
  for (const char* name : {"jones", "jones", "lee", "smith", "ward"}) report.unmatched["vcslog.USERID"].Add(name);
  std::string longName;
  for (int i = 0; i < 40; ++i) longName += "\xC3\xA9";
  report.unmatched["rvlabels"].Add(longName);
  EXPECT_EQ(report.unmatched["vcslog.USERID"].first, (std::vector<std::string>{"jones", "lee", "smith"}));
  std::ostringstream out;
  PrintReportSummary(out, report, false);
  const std::string text = out.str();
  std::string cut;
  for (int i = 0; i < 30; ++i) cut += "\xC3\xA9";
  EXPECT_NE(text.find("  Names that find nothing in the target (written as id 0; a label is not assigned;\n"
                      "      under rvlabels.LABELID the label numbers no label was made for, not assigned):\n"
                      "    rvlabels             1  e.g. \"" + cut + "...\"\n"
                      "    vcslog.USERID        5  e.g. \"jones\", \"lee\", \"smith\"\n"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace hollard
