#include "tools/archive_tool.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <memory>

#include "engine/base/errors.h"
#include "tools/archive_schema.h"
#include "tools/source_generator.h"

namespace hollard {

namespace {

class TCommand {
 public:
  virtual ~TCommand() = default;
  virtual void Define(CLI::App& app) = 0;
  virtual int Run(std::ostream& out, std::ostream& err) = 0;
  CLI::App* app = nullptr;
};

class TMakeSource : public TCommand {
 public:
  void Define(CLI::App& parent) override {
    app = parent.add_subcommand("make-source", "Write an old-layout archive (Paradox tables and side files)");
    app->add_option("dir", dir_, "Folder to write into (made when missing)")->required();
    app->add_option("--revisions", options_.revisions, "Stored revisions")->check(CLI::Range(0, 10000000));
    app->add_option("--modules", options_.modules, "Modules")->check(CLI::Range(0, 1000000));
    app->add_option("--projects", options_.projects, "Projects")->check(CLI::Range(1, 10000));
    app->add_option("--blob-bytes", options_.blobBytes, "Largest stored file in bytes")->check(CLI::Range(int64_t(0), int64_t(1) << 30));
    app->add_option("--seed", options_.seed, "Seed of the generator");
    app->add_option("--date-format", options_.dateFormat, "Date format of the side files, e.g. dd.mm.yyyy or m/d/yyyy");
  }
  int Run(std::ostream& out, std::ostream&) override {
    std::filesystem::create_directories(dir_);
    TSourceArchive archive = PlanSourceArchive(options_);
    WriteSourceArchive(dir_, archive, options_);
    out << "Wrote an old-layout archive to " << dir_ << ": " << archive.revisions.size() << " revisions, "
        << archive.projects.size() << " projects, " << archive.labels.size() << " labels\n";
    return 0;
  }

 private:
  std::string dir_;
  TSourceOptions options_;
};

class TCreate : public TCommand {
 public:
  void Define(CLI::App& parent) override {
    app = parent.add_subcommand("create", "Write an empty new-layout archive (the eleven target tables)");
    app->add_option("dir", dir_, "Folder to write into (made when missing)")->required();
    app->add_flag("--replace", replace_, "Overwrite tables that exist");
  }
  int Run(std::ostream& out, std::ostream&) override {
    std::filesystem::create_directories(dir_);
    CreateNewLayoutArchive(dir_, replace_);
    out << "Created " << NewLayoutTables().size() << " tables in " << dir_ << "\n";
    return 0;
  }

 private:
  std::string dir_;
  bool replace_ = false;
};

}  // namespace

int RunArchiveTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  CLI::App app("hollard-archive: make, create and inspect archives", "hollard-archive");
  app.require_subcommand(1);
  std::vector<std::unique_ptr<TCommand>> commands;
  commands.push_back(std::make_unique<TMakeSource>());
  commands.push_back(std::make_unique<TCreate>());
  for (auto& c : commands) c->Define(app);
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    err << e.what() << "\n" << "Run 'hollard-archive --help' for the commands.\n";
    return 2;
  }
  for (auto& c : commands) {
    if (!c->app->parsed()) continue;
    try {
      return c->Run(out, err);
    } catch (const ovrin::Exception& e) {
      err << "hollard-archive: " << e.Message() << "\n";
      return 1;
    } catch (const std::exception& e) {
      err << "hollard-archive: " << e.what() << "\n";
      return 1;
    }
  }
  return 2;
}

}  // namespace hollard
