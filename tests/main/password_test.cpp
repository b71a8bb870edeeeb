// Passwords of enciphered target tables: the prompt names the table and says when the
// password given was wrong, the session keeps a right one for the later steps, and
// Cancel leaves the table out for the rest of the run (asked no more, each step that
// needs it failing once with a message that says so).
#include <filesystem>

#include "engine/data/table_create.h"
#include "engine/table/session.h"
#include "tests/main/migration_fixture.h"

namespace hollard::test {
namespace {

class PasswordTest : public MigrationFixture {
 protected:
  void SetUp() override {
    MigrationFixture::SetUp();
    WriteGeneratedArchive(source, 20, 8, 2, 2000);
    EncipherArchiveTable(target, "projects", "s3cret");
  }
  void TearDown() override { ovrin::Sessions().Default().RemoveAllPasswords(); }
};

TEST_F(PasswordTest, ARightPasswordIsAskedOnceForTheWholeRun) {
  user.passwords = {"s3cret"};
  Run();
  ASSERT_FALSE(report.preflightFailed) << report.preflightMessage;
  ASSERT_EQ(user.passwordAsks.size(), 1u);
  EXPECT_EQ(user.passwordAsks[0], std::make_pair(target + "/projects", false));
  EXPECT_FALSE(report.Failed()) << (user.errors.empty() ? "" : user.errors[0]);
}

TEST_F(PasswordTest, AWrongPasswordIsSaidAtTheNextPrompt) {
  user.passwords = {"guess", "s3cret"};
  Run();
  ASSERT_EQ(user.passwordAsks.size(), 2u);
  EXPECT_FALSE(user.passwordAsks[0].second);
  EXPECT_TRUE(user.passwordAsks[1].second);
  EXPECT_FALSE(report.Failed());
}

TEST_F(PasswordTest, CancelLeavesTheTableOutAndIsNotAskedAgain) {
  // Cancel made every later step that opened the table ask again, with an error box
  // after each prompt.
  user.passwords = {std::nullopt};
  Run();
  ASSERT_EQ(user.passwordAsks.size(), 1u);
  const std::string leftOut =
      "The target table " + target + "/projects is enciphered and was left out of this run: no password was given for it.";
  int failedSteps = 0;
  for (const TStepOutcome& s : report.steps) {
    if (s.succeeded) continue;
    ++failedSteps;
    ASSERT_EQ(s.errors.size(), 1u) << s.procedure;
    EXPECT_EQ(s.errors[0].rfind(leftOut, 0), 0u) << s.procedure << ": " << s.errors[0];
  }
  EXPECT_GE(failedSteps, 3);
  // The steps that do not need it ran.
  EXPECT_TRUE(report.steps[0].succeeded);
  EXPECT_EQ(report.steps.size(), 11u);
}

}  // namespace
}  // namespace hollard::test
