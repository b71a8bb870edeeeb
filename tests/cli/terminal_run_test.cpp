// The terminal run's progress bar (drawn with an injected width and clock), its answers
// (project-list order, names the list holds twice, keys that match no question, text
// after the JSON) and the questions file of --list-questions, run in-process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/answers.h"
#include "cli/migrate_tool.h"
#include "cli/progress_bar.h"
#include "cli/terminal_user.h"
#include "main/target_lock.h"
#include "tests/cli/generated_archive_fixture.h"
#include "tests/cli/migrate_tool_fixture.h"
#include "tests/main/migration_fixture.h"
#include "tests/support/file_bytes.h"

namespace hollard::test {
namespace {

namespace fs = std::filesystem;
using ovrin::test::FileBytes;

// The lines a bar drew: the texts after each clearing escape, up to the next one.
std::vector<std::string> DrawnLines(const std::string& stream) {
  std::vector<std::string> lines;
  const std::string clear = "\r\033[K";
  for (size_t at = stream.find(clear); at != std::string::npos;) {
    size_t from = at + clear.size(), next = stream.find(clear, from);
    std::string line = stream.substr(from, next == std::string::npos ? std::string::npos : next - from);
    if (!line.empty()) lines.push_back(line);
    at = next;
  }
  return lines;
}

// ------------------------------------------------------------------ the progress bar

TEST(ProgressBarTest, NoDrawnLineReachesTheLastColumn) {
  // Step texts of 81 to 85 columns wrapped at 80, and the clearing escape left the
  // wrapped part behind.
  for (int width : {0, 20, 40, 60, 79, 80, 81, 86, 120, 200}) {
    for (int length = 70; length <= 90; ++length) {
      std::ostringstream err;
      double now = 0;
      TProgressBar bar(err, true, [&] { return width; }, [&] { return now; });
      bar.SetStep(std::string(static_cast<size_t>(length - 13), 'x') + " - Step 10/16");
      bar.SetMaximum(1000);
      for (int i = 1; i <= 1000; ++i) {
        now += 0.05;
        bar.SetProgress(i);
        bar.SetBytes(i * 1234567LL, 1000 * 1234567LL);
        if (i % 7 == 0) bar.Clear();
      }
      const size_t room = static_cast<size_t>((width > 0 ? width : TProgressBar::kDefaultWidth) - 1);
      std::vector<std::string> lines = DrawnLines(err.str());
      ASSERT_FALSE(lines.empty());
      for (const std::string& line : lines) {
        EXPECT_LE(line.size(), room) << "width " << width << ": " << line;
        EXPECT_EQ(line.find('\n'), std::string::npos);
      }
    }
  }
}

TEST(ProgressBarTest, RedrawsAtMostTenTimesASimulatedSecond) {
  std::ostringstream err;
  double now = 100;
  TProgressBar bar(err, true, [] { return 80; }, [&] { return now; });
  bar.SetStep("Converting revisions... - Step 10/16");
  bar.SetMaximum(100000);
  // 5,000 progress calls and as many log lines (each clears the bar) in one second.
  for (int i = 1; i <= 5000; ++i) {
    now += 0.0002;
    bar.SetProgress(i * 20);
    bar.Clear();
  }
  // The step's own drawing and one each tenth of a second.
  EXPECT_LE(bar.Redraws(), 11);
  EXPECT_GE(bar.Redraws(), 9);
  EXPECT_EQ(static_cast<int>(DrawnLines(err.str()).size()), bar.Redraws());
  // A new step text draws at once.
  int before = bar.Redraws();
  bar.SetStep("Converting labels... - Step 11/16");
  EXPECT_EQ(bar.Redraws(), before + 1);
}

TEST(ProgressBarTest, NothingIsDrawnWhenNotATerminal) {
  std::ostringstream err;
  double now = 0;
  TProgressBar bar(err, false, [] { return 80; }, [&] { return now; });
  bar.SetStep("Converting modules...#1 - Step 4/16");
  bar.SetMaximum(10);
  for (int i = 1; i <= 10; ++i) {
    now += 1;
    bar.SetProgress(i);
    bar.SetBytes(i, 10);
    bar.Clear();
  }
  EXPECT_EQ(err.str(), "");
  EXPECT_EQ(bar.Redraws(), 0);
}

TEST(ProgressBarTest, ShowsTheStepOfAllBytesCopiedRateAndTimeLeft) {
  std::ostringstream err;
  double now = 0;
  TProgressBar bar(err, true, [] { return 120; }, [&] { return now; });
  bar.SetStep("Converting revisions... - Step 10/16");
  bar.SetMaximum(100);
  bar.SetBytes(0, 40'000'000);
  now = 2;
  bar.SetProgress(25);
  bar.SetBytes(10'000'000, 40'000'000);
  // 10 MB in 2 s: 5 MB/s, 30 MB left, 6 s.
  EXPECT_EQ(bar.Line(120, now),
            "step 10 of 16: Converting revisions... [#######                       ] 25%  10.0/40.0 MB  5.0 MB/s  "
            "0:06 left");
  // A step without byte counts tells its time left from its own progress.
  bar.SetStep("Converting labels... - Step 11/16");
  bar.SetMaximum(10);
  now = 6;
  bar.SetProgress(2);
  EXPECT_EQ(bar.Line(120, now), "step 11 of 16: Converting labels... [######                        ] 20%  0:16 left");
  // Too narrow for everything: the step text is cut first, then the extras.
  std::string narrow = bar.Line(40, now);
  EXPECT_EQ(narrow, "step 11 of 16: Conv... [##        ] 20%");
  EXPECT_EQ(bar.Line(30, now), "11/16 Con... [##        ] 20%");
  EXPECT_EQ(bar.Line(20, now), "11/16  [##        ]");
}

// The counts the core gives its user: bytes copied in the revisions step, questions
// per series.
class CoreCountsTest : public GeneratedArchiveTest {
 protected:
  CoreCountsTest() : GeneratedArchiveTest(60, 12, 3, 30000) {}
};

TEST_F(CoreCountsTest, BytesCopiedRiseToTheirTotalAndQuestionCountsMatchTheQuestions) {
  struct TCounting : TQuestionRecorder {
    void SetBytesCopied(int64_t done, int64_t total) override { bytes.push_back({done, total}); }
    void SetQuestionCount(int count) override { counts.push_back(count); }
    std::vector<std::pair<int64_t, int64_t>> bytes;
    std::vector<int> counts;
  } user;
  TMigration migration(user);
  migration.SetSourceDir(source);
  migration.SetTargetDir(target);
  migration.Import();
  ASSERT_FALSE(migration.Report().Failed());
  ASSERT_GE(user.bytes.size(), 2u);
  const int64_t total = user.bytes.front().second;
  EXPECT_GT(total, 0);
  EXPECT_EQ(user.bytes.front().first, 0);
  for (size_t i = 1; i < user.bytes.size(); ++i) {
    EXPECT_EQ(user.bytes[i].second, total);
    EXPECT_GE(user.bytes[i].first, user.bytes[i - 1].first);
  }
  EXPECT_EQ(user.bytes.back().first, total);
  ASSERT_TRUE(user.questions.shared && user.questions.hidden);
  EXPECT_EQ(user.counts, (std::vector<int>{static_cast<int>(user.questions.shared->modules.size()),
                                           static_cast<int>(user.questions.hidden->modules.size())}));
  EXPECT_GT(user.counts[0], 0);
}

// ------------------------------------------------------------------ answers

struct TConsole {
  std::istringstream in;
  std::ostringstream out, err;
  TMigrateConsole console{in, out, err, false};
};

TEST(TerminalAnswersTest, AProjectNamedTwiceIsItsEntriesInListOrderEachOnce) {
  TConsole c;
  TTerminalUser user(c.console, nullptr);
  user.answers.shared = {{"m", {"B", "A", "A", "A", "B", "Gone"}}, {"n", {"A"}}, {"o", {"B", "B"}}};
  user.SetProjects({"A", "B", "A"});
  user.BeginQuestion("Module is shared between:");
  user.SetQuestionCount(3);
  // The first and second mention of A are its first and second entry; the third has none.
  EXPECT_EQ(user.Ask("m"), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(user.Ask("n"), (std::vector<int>{0}));
  EXPECT_EQ(user.Ask("o"), (std::vector<int>{1}));
  user.EndQuestion();
  EXPECT_EQ(user.unknownProjects, (std::vector<std::string>{"m -> Gone"}));
  EXPECT_TRUE(user.skipped.empty());
}

TEST(TerminalAnswersTest, KeysOfASeriesTheRunReachedButDidNotAskAreUnknown) {
  TConsole c;
  TTerminalUser user(c.console, nullptr);
  user.answersGiven = true;
  user.answers.shared = {{"asked", {}}, {"\forms\readme10", {}}};
  user.answers.hidden = {{"never reached", {}}};
  user.BeginQuestion("Module is shared between:");
  user.Ask("asked");
  user.Ask("not answered");
  user.EndQuestion();
  EXPECT_EQ(user.UnknownKeys(), (std::vector<std::string>{"shared: \forms\readme10"}));
  ASSERT_EQ(user.skipped.size(), 1u);
  EXPECT_EQ(user.skipped[0].module, "not answered");
  EXPECT_EQ(user.skipped[0].why, "not in the answers file");
}

// ------------------------------------------------------------------ runs

class TerminalRunTest : public MigrateToolFixture {
 protected:
  std::map<std::string, std::string> TargetFiles() {
    auto files = ovrin::test::FolderBytes(target);
    files.erase(TTargetLock::kFileName);
    return files;
  }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }
};

TEST_F(TerminalRunTest, RepeatedAndReorderedProjectsOfTheAnswersFileApplyOnceInListOrder) {
  // Applied in the file's order with repeats kept, "Already assigned" was logged twice
  // and the hidden link counted as changed twice.
  std::string answers = Write("answers.json", R"({"shared": {"\\src\\a.pas": ["Two.dpr", "One.dpr", "Two.dpr"],
                                                            "\\src\\b.pas": ["One.dpr", "One.dpr"]},
                                                 "hidden": {"\\src\\b.pas": ["One.dpr", "One.dpr"]}})");
  std::string report = dir / "report.json";
  TResult r = Run({source, target, "--answers", answers, "--report", report});
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_EQ(Count(r.out, "Already assigned: \\src\\b.pas -> One.dpr\n"), 1u) << r.out;
  EXPECT_EQ(Count(r.out, "\\src\\a.pas -> "), 2u) << r.out;
  size_t one = r.out.find("Already assigned: \\src\\a.pas -> One.dpr\n"), two = r.out.find("Sharing: \\src\\a.pas -> Two.dpr\n");
  ASSERT_NE(one, std::string::npos) << r.out;
  ASSERT_NE(two, std::string::npos) << r.out;
  EXPECT_LT(one, two) << "list order: One.dpr before Two.dpr";
  nlohmann::json j = nlohmann::json::parse(FileBytes(report));
  EXPECT_EQ(j["changed"]["pjmodule"], 1);
  EXPECT_EQ(j["added"]["pjmodule"], 4);
  EXPECT_EQ(j["unknownProjects"], nlohmann::json::array());
}

TEST_F(TerminalRunTest, AnswerKeysThatMatchNoQuestionAreAWarningOrWithStrictAnswersAStop) {
  // "\forms\readme10" with single backslashes is valid JSON (a form feed and a carriage
  // return) and matches no module; it was ignored without a word.
  std::string answers = Write("answers.json", R"({"shared": {"\\src\\a.pas": ["Two.dpr"], "\forms\readme10": ["One.dpr"]},
                                                 "hidden": {"\\src\\nothere.pas": []}})");
  const std::string unknownShared = "shared: \forms\readme10", unknownHidden = "hidden: \\src\\nothere.pas";
  const auto before = TargetFiles();
  TResult strict = Run({source, target, "--answers", answers, "--strict-answers"});
  EXPECT_EQ(strict.code, 2) << strict.err << strict.out;
  EXPECT_NE(strict.err.find("names modules the run does not ask about"), std::string::npos) << strict.err;
  EXPECT_NE(strict.err.find(answers), std::string::npos) << strict.err;
  EXPECT_NE(strict.err.find("  " + unknownShared + "\n"), std::string::npos) << strict.err;
  EXPECT_NE(strict.err.find("  " + unknownHidden + "\n"), std::string::npos) << strict.err;
  EXPECT_NE(strict.err.find("Nothing was written"), std::string::npos) << strict.err;
  EXPECT_TRUE(TargetFiles() == before) << "the target was written";
  EXPECT_EQ(Run({source, target, "--strict-answers"}).code, 2) << "--strict-answers needs --answers";

  std::string report = dir / "report.json";
  TResult r = Run({source, target, "--answers", answers, "--report", report});
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("Warning: answers for modules the run did not ask about"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    " + unknownShared + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("    " + unknownHidden + "\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Sharing: \\src\\a.pas -> Two.dpr"), std::string::npos);
  nlohmann::json j = nlohmann::json::parse(FileBytes(report));
  EXPECT_EQ(j["unknownKeys"], nlohmann::json::array({unknownShared, unknownHidden}));
}

TEST_F(TerminalRunTest, StrictAnswersThatMatchEveryQuestionRun) {
  std::string answers = Write("answers.json", R"({"shared": {"\\src\\a.pas": ["Two.dpr"]}})");
  TResult r = Run({source, target, "--answers", answers, "--strict-answers"});
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("Sharing: \\src\\a.pas -> Two.dpr"), std::string::npos);
  EXPECT_EQ(r.out.find("Warning: answers"), std::string::npos);
}

TEST_F(TerminalRunTest, TextAfterTheJsonOfTheAnswersFileIsAnError) {
  // A whole JSON object followed by more text was read as if the text were not there.
  const auto before = TargetFiles();
  for (const char* text : {R"({"shared": {}} x)", R"({"shared": {}}{"hidden": {}})", "{}\n]\n"}) {
    std::string answers = Write("answers.json", text);
    TResult r = Run({source, target, "--answers", answers});
    EXPECT_EQ(r.code, 2) << text;
    EXPECT_NE(r.err.find("The answers file " + answers + " holds text after its JSON"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(TargetFiles() == before);
  // Blanks and line ends after it are no text; broken JSON stays "not valid JSON".
  EXPECT_EQ(Run({source, target, "--answers", Write("blank.json", "{\"shared\": {}}\n \n\t")}).code, 0);
  TResult broken = Run({source, target, "--answers", Write("broken.json", "{\"shared\": ")});
  EXPECT_EQ(broken.code, 2);
  EXPECT_NE(broken.err.find("is not valid JSON"), std::string::npos) << broken.err;
}

TEST_F(TerminalRunTest, ListedQuestionsFilledInAndRun) {
  const auto before = TargetFiles();
  std::string questions = dir / "questions.json";
  TResult listed = Run({source, target, "--list-questions", questions});
  ASSERT_EQ(listed.code, 0) << listed.err << listed.out;
  EXPECT_TRUE(TargetFiles() == before) << "listing the questions wrote to the target";
  // Written in the order the questions come: the file's text, not only its content.
  const std::string text = FileBytes(questions);
  EXPECT_LT(text.find("\"shared\""), text.find("\"hidden\"")) << text;
  EXPECT_LT(text.find("\"hidden\""), text.find("\"projects\"")) << text;
  nlohmann::json file = nlohmann::json::parse(text);
  EXPECT_EQ(file["shared"], nlohmann::json::parse(R"({"\\src\\a.pas": [], "\\src\\b.pas": []})"));
  EXPECT_EQ(file["hidden"], nlohmann::json::parse(R"({"\\src\\b.pas": [], "\\src\\c.pas": []})"));
  // The project lists as the questions offer them, in list order.
  EXPECT_EQ(file["projects"]["shared"], nlohmann::json::parse(R"(["One.dpr", "Two.dpr"])"));
  EXPECT_EQ(file["projects"]["hidden"], file["projects"]["shared"]);

  // The file as written reads back as answers that skip nothing but name nothing.
  TAnswers empty = LoadAnswers(questions);
  EXPECT_EQ(empty.shared.size(), 2u);
  EXPECT_EQ(empty.hidden.size(), 2u);

  file["shared"]["\\src\\a.pas"] = {"Two.dpr"};
  file["hidden"]["\\src\\c.pas"] = {"Two.dpr"};
  std::ofstream(questions, std::ios::binary | std::ios::trunc) << file.dump(2);
  std::string report = dir / "report.json";
  TResult r = Run({source, target, "--answers", questions, "--strict-answers", "--report", report});
  ASSERT_EQ(r.code, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("Sharing: \\src\\a.pas -> Two.dpr"), std::string::npos) << r.out;
  nlohmann::json j = nlohmann::json::parse(FileBytes(report));
  EXPECT_EQ(j["added"]["pjmodule"], 4);
  EXPECT_EQ(j["changed"]["pjmodule"], 1);
  EXPECT_EQ(j["skippedQuestions"], nlohmann::json::array());
  EXPECT_EQ(j["unknownKeys"], nlohmann::json::array());
  EXPECT_EQ(Column(target, "pjmodule", "HIDDEN"), (std::vector<std::string>{"0", "0", "1", "0"}));
}

TEST_F(TerminalRunTest, ALogGoingElsewhereLeavesTheBarInPlace) {
  // With standard output a file, every log line cleared the bar and the next progress
  // drew it again.
  std::istringstream in;
  std::ostringstream out, err;
  ASSERT_EQ(RunMigrateTool({source, target}, TMigrateConsole{in, out, err, true, false}), 0);
  const std::string clear = "\r\033[K";
  size_t clears = 0;
  for (size_t at = err.str().find(clear); at != std::string::npos; at = err.str().find(clear, at + 1)) ++clears;
  // Only the end of the run takes the bar off; every other escape starts a drawing.
  EXPECT_EQ(clears, DrawnLines(err.str()).size() + 1) << err.str();
  EXPECT_NE(out.str().find("Adding \\src\\a.pas\n"), std::string::npos);
  // Run without answers, every question is a Skip for want of them.
  EXPECT_NE(out.str().find("    shared: \\src\\a.pas (no answers file)\n"), std::string::npos) << out.str();
}

TEST_F(TerminalRunTest, QuietLeavesTheLogLinesToTheLogFile) {
  std::string logFile = dir / "run.log";
  TResult r = Run({source, target, "--quiet", "--log", logFile});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out.find("Adding \\src\\a.pas"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.rfind("\nSummary\n", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("Result: success"), std::string::npos);
  EXPECT_NE(FileBytes(logFile).find("Adding \\src\\a.pas\n"), std::string::npos);
}

}  // namespace
}  // namespace hollard::test
