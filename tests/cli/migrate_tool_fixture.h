// hollard-migrate run in-process on a small hand-made archive: three modules of two
// projects (a.pas shared, b.pas shared and hidden, c.pas hidden) and the standard
// project, into an empty new-layout archive.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/migrate_tool.h"
#include "tests/main/migration_fixture.h"
#include "tests/support/temp_dir.h"

namespace hollard::test {

class MigrateToolFixture : public ::testing::Test {
 protected:
  struct TResult {
    int code;
    std::string out, err;
  };
  void SetUp() override {
    source = dir / "old";
    target = dir / "new";
    std::filesystem::create_directories(source);
    std::filesystem::create_directories(target);
    CreateNewLayoutArchive(target);
    WriteRevisions(source, {{"\\src\\", "a.pas", "One.dpr", "ada", true, false},
                            {"\\src\\", "b.pas", "One.dpr", "bob", true, true},
                            {"\\src\\", "c.pas", "Two.dpr", "", false, true}});
    WriteProjects(source, {{"One.dpr", "ada", "bob"}, {"Two.dpr", "bob", "ada"}, {"_HLRD_std.dpr", "", ""}});
  }
  // Runs the tool with `input` as its standard input, not on a terminal.
  TResult Run(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    int code = RunMigrateTool(args, TMigrateConsole{in, out, err, false});
    return {code, out.str(), err.str()};
  }
  std::string Write(const std::string& name, const std::string& text) {
    std::string path = dir / name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  ovrin::test::TempDir dir;
  std::string source, target;
};

}  // namespace hollard::test
