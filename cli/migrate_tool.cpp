#include "cli/migrate_tool.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <optional>
#include <sstream>

#include "engine/base/errors.h"
#include "engine/base/locale.h"
#include "engine/base/platform.h"
#include "engine/table/session.h"
#include "main/migration.h"
#include "main/migration_guards.h"
#include "main/target_lock.h"

namespace hollard {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

struct TUsageError {
  std::string message;
};

// The answers of a terminal run: per question kind, module key -> project names.
struct TAnswers {
  std::map<std::string, std::vector<std::string>> shared, hidden;
};

TAnswers LoadAnswers(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw TUsageError{"Cannot read the answers file " + path};
  json document;
  try {
    in >> document;
  } catch (const json::exception& e) {
    throw TUsageError{"The answers file " + path + " is not valid JSON: " + e.what()};
  }
  if (!document.is_object()) throw TUsageError{"The answers file " + path + " must hold a JSON object"};
  TAnswers answers;
  for (auto& [kind, target] : {std::pair<const char*, std::map<std::string, std::vector<std::string>>*>{"shared", &answers.shared},
                               {"hidden", &answers.hidden}}) {
    if (!document.contains(kind)) continue;
    const json& section = document[kind];
    if (!section.is_object())
      throw TUsageError{"In the answers file " + path + ", \"" + std::string(kind) + "\" must be an object"};
    for (auto& [module, projects] : section.items()) {
      if (!projects.is_array())
        throw TUsageError{"In the answers file " + path + ", the answer for \"" + module + "\" must be a list of project names"};
      std::vector<std::string> names;
      for (const json& p : projects) {
        if (!p.is_string())
          throw TUsageError{"In the answers file " + path + ", the answer for \"" + module + "\" holds a value that is not a project name"};
        names.push_back(p.get<std::string>());
      }
      (*target)[module] = names;
    }
  }
  for (const auto& [kind, _] : document.items())
    if (kind != "shared" && kind != "hidden")
      throw TUsageError{"The answers file " + path + " has an unknown section \"" + kind + "\" (expected \"shared\" and \"hidden\")"};
  return answers;
}

class TTerminalUser : public TMigrationUser {
 public:
  TTerminalUser(TMigrateConsole& console, std::ostream* log) : c_(console), log_(log) {}

  void AddLogLine(const std::string& text, bool) override {
    ClearBar();
    c_.out << text << "\n";
    if (log_) *log_ << text << "\n";
  }
  void SetStepText(const std::string& text) override {
    step_ = text;
    Draw(true);
  }
  void SetGaugeMax(int maximum) override {
    max_ = maximum;
    progress_ = 0;
  }
  void SetGaugeProgress(int progress) override {
    progress_ = progress;
    Draw(false);
  }
  void ProcessEvents() override {}
  void SetProjects(const std::vector<std::string>& projects) override { projects_ = projects; }
  void BeginQuestion(const std::string& question) override { question_ = question; }
  std::optional<std::vector<int>> Ask(const std::string& module) override {
    if (interactive) return AskOnTerminal(module);
    bool hiddenQuestion = question_ == "Module is hidden in:";
    const auto& script = hiddenQuestion ? answers.hidden : answers.shared;
    auto it = script.find(module);
    if (it == script.end()) {
      unanswered.push_back((hiddenQuestion ? "hidden: " : "shared: ") + module);
      return std::nullopt;
    }
    std::vector<int> picked;
    for (const std::string& name : it->second) {
      bool found = false;
      for (size_t i = 0; i < projects_.size() && !found; ++i)
        if (projects_[i] == name) {
          picked.push_back(static_cast<int>(i));
          found = true;
        }
      if (!found) unknownProjects.push_back(module + " -> " + name);
    }
    return picked;
  }
  void EndQuestion() override {
    projects_.clear();
    question_.clear();
  }
  void ShowError(const std::string& text) override {
    ClearBar();
    c_.err << "Error: " << text << "\n";
    if (log_) *log_ << "Error: " << text << "\n";
  }
  void SetBusyCursor(bool) override {}
  bool AskPassword(const std::string& folder, std::string* password) override {
    if (!interactive) return false;
    ClearBar();
    c_.err << "Password for an enciphered table in " << folder << " (empty to cancel): " << std::flush;
    std::string line;
    if (!std::getline(c_.in, line) || line.empty()) return false;
    *password = line;
    return true;
  }

  TAnswers answers;
  bool interactive = false;
  std::vector<std::string> unanswered, unknownProjects;

 private:
  std::optional<std::vector<int>> AskOnTerminal(const std::string& module) {
    ClearBar();
    c_.err << "\n" << question_ << " " << module << "\n";
    for (size_t i = 0; i < projects_.size(); ++i) c_.err << "  " << i + 1 << ". " << projects_[i] << "\n";
    while (true) {
      c_.err << "Numbers of the projects, separated by blanks (empty line: Skip): " << std::flush;
      std::string line;
      if (!std::getline(c_.in, line)) return std::nullopt;
      std::istringstream numbers(line);
      std::vector<int> picked;
      std::string word;
      bool ok = true;
      while (numbers >> word) {
        char* end = nullptr;
        long n = std::strtol(word.c_str(), &end, 10);
        if (*end != '\0' || n < 1 || n > static_cast<long>(projects_.size())) {
          c_.err << "'" << word << "' is not a number from 1 to " << projects_.size() << ".\n";
          ok = false;
          break;
        }
        picked.push_back(static_cast<int>(n - 1));
      }
      if (!ok) continue;
      if (picked.empty()) return std::nullopt;
      std::sort(picked.begin(), picked.end());
      picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
      return picked;
    }
  }
  void Draw(bool force) {
    if (!c_.terminal) return;
    int percent = max_ > 0 ? static_cast<int>(100LL * progress_ / max_) : 0;
    if (!force && percent == shown_) return;
    shown_ = percent;
    int filled = percent * 30 / 100;
    c_.err << "\r\033[K" << step_ << " [" << std::string(static_cast<size_t>(filled), '#')
           << std::string(static_cast<size_t>(30 - filled), ' ') << "] " << percent << "%" << std::flush;
    barShown_ = true;
  }
  void ClearBar() {
    if (!barShown_) return;
    c_.err << "\r\033[K" << std::flush;
    barShown_ = false;
    shown_ = -1;
  }

  TMigrateConsole& c_;
  std::ostream* log_;
  std::string step_, question_;
  std::vector<std::string> projects_;
  int max_ = 0, progress_ = 0, shown_ = -1;
  bool barShown_ = false;
};

std::string Steps(const TStepOutcome& s) {
  return s.firstStep == s.lastStep ? std::to_string(s.firstStep)
                                   : std::to_string(s.firstStep) + "-" + std::to_string(s.lastStep);
}

json ReportJson(const TMigrationReport& report, const TTerminalUser& user, bool dryRun, const std::string& backup) {
  json j;
  j["succeeded"] = !report.Failed();
  j["dryRun"] = dryRun;
  if (report.preflightFailed) j["preflight"] = report.preflightMessage;
  j["added"] = report.added;
  j["changed"] = report.changed;
  j["cut"] = report.cut;
  if (!report.dateFormat.empty()) j["dateFormat"] = report.dateFormat;
  j["passedOver"] = json::object();
  for (const auto& [file, passed] : report.passedOver) {
    json first = json::array();
    for (const TDatedText& t : passed.first) first.push_back({{"line", t.line}, {"text", t.text}});
    j["passedOver"][file] = {{"count", passed.count}, {"first", first}};
  }
  j["steps"] = json::array();
  for (const TStepOutcome& s : report.steps)
    j["steps"].push_back({{"procedure", s.procedure},
                          {"steps", Steps(s)},
                          {"succeeded", s.succeeded},
                          {"seconds", std::round(s.seconds * 1000) / 1000},
                          {"errors", s.errors}});
  j["skippedQuestions"] = user.unanswered;
  j["unknownProjects"] = user.unknownProjects;
  if (!backup.empty()) j["backup"] = backup;
  return j;
}

void PrintSummary(std::ostream& out, const TMigrationReport& report, const TTerminalUser& user, bool dryRun,
                  const std::string& backup, const std::string& target) {
  out << "\nSummary" << (dryRun ? " (dry run: the target was not touched)" : "") << "\n";
  if (report.preflightFailed) {
    out << "  The run did not start: " << report.preflightMessage << "\n";
    return;
  }
  if (!report.dateFormat.empty()) out << "  " << report.dateFormat << "\n";
  out << (dryRun ? "  Records that would be added:\n" : "  Records added:\n");
  if (report.added.empty()) out << "    none\n";
  for (const auto& [table, n] : report.added) out << "    " << std::left << std::setw(10) << table << " " << n << "\n";
  if (!report.changed.empty()) {
    out << (dryRun ? "  Records that would be changed:\n" : "  Records changed:\n");
    for (const auto& [table, n] : report.changed) out << "    " << std::left << std::setw(10) << table << " " << n << "\n";
  }
  if (!report.cut.empty()) {
    out << "  Texts cut to their field's size (longer in the archive than the target holds):\n";
    for (const auto& [field, n] : report.cut) out << "    " << std::left << std::setw(20) << field << " " << n << "\n";
  }
  if (!report.passedOver.empty()) {
    out << "  Lines passed over (no valid date in the log; a date that does not read in a ToDo list):\n";
    for (const auto& [file, passed] : report.passedOver) {
      out << "    " << file << ": " << passed.count << "\n";
      for (const TDatedText& t : passed.first) out << "      line " << t.line << ": " << t.text << "\n";
    }
  }
  out << "  Steps:\n";
  for (const TStepOutcome& s : report.steps) {
    out << "    " << std::left << std::setw(6) << Steps(s) << std::setw(27) << s.procedure << std::right << std::fixed
        << std::setprecision(2) << std::setw(8) << s.seconds << " s  " << (s.succeeded ? "ok" : "FAILED") << "\n";
    for (const std::string& e : s.errors) out << "          " << e << "\n";
  }
  if (!user.unanswered.empty()) {
    out << "  Questions answered with Skip (the answers file does not name the module):\n";
    for (const std::string& m : user.unanswered) out << "    " << m << "\n";
  }
  if (!user.unknownProjects.empty()) {
    out << "  Answers naming a project the target does not hold (left out):\n";
    for (const std::string& m : user.unknownProjects) out << "    " << m << "\n";
  }
  if (!backup.empty() && report.Failed())
    out << "  To undo this run, copy the files in " << backup << " back into " << target << ".\n";
  out << (report.Failed() ? "Result: FAILED\n" : "Result: success\n");
}

std::string MakeTempFolder() {
  std::string pattern = (fs::temp_directory_path() / "hollard-dry-run-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("Cannot make a temporary folder for the dry run");
  return pattern;
}

void CopyTableFiles(const std::string& from, const std::string& to) {
  fs::create_directories(to);
  // Each file is copied into a staging folder and moved to its name when whole: a run
  // stopped during the copy leaves only whole files under table names, so putting the
  // folder's files back can never put a cut file over a table.
  const fs::path staging = fs::path(to) / ".incomplete";
  fs::create_directories(staging);
  for (const std::string& file : TargetTableFiles(from)) {
    fs::path dest = fs::path(to) / fs::path(file).filename();
    if (fs::exists(dest)) throw std::runtime_error("The backup folder " + to + " already holds " + dest.filename().string());
    fs::path partial = staging / dest.filename();
    fs::copy_file(file, partial, fs::copy_options::overwrite_existing);
    fs::rename(partial, dest);
  }
  fs::remove(staging);
}

std::string Megabytes(int64_t bytes) {
  std::ostringstream s;
  s << std::fixed << std::setprecision(1) << bytes / 1e6 << " MB";
  return s.str();
}

}  // namespace

int RunMigrateTool(const std::vector<std::string>& args, TMigrateConsole console) {
  CLI::App app("hollard-migrate: move an old-layout archive into a new-layout archive", "hollard-migrate");
  std::string source, target, answersFile, logFile, reportFile, codePage = "windows-1252", backup;
  std::vector<std::string> passwords;
  bool interactive = false, dryRun = false, allowDuplicates = false, force = false, walkLookups = false;
  app.add_option("source", source, "Folder of the old-layout archive (Paradox tables)")->required();
  app.add_option("target", target, "Folder of the new-layout archive to add to")->required();
  auto* answersOption = app.add_option("--answers", answersFile, "JSON file with the projects of shared and hidden modules");
  app.add_flag("--interactive", interactive, "Ask the questions on the terminal")->excludes(answersOption);
  app.add_option("--log", logFile, "Keep the run's log in this file");
  app.add_option("--report", reportFile, "Write the summary as JSON to this file");
  app.add_flag("--walk-lookups", walkLookups,
               "Look every item up by walking the target table from its first record (slow; the reference)");
  app.add_flag("--dry-run", dryRun, "Run against a temporary copy of the target's tables");
  app.add_flag("--allow-duplicates", allowDuplicates, "Run even when the target holds this archive's projects");
  app.add_flag("--force", force,
               "Run even when the stored files will not fit the target's blob file or dated texts do not read");
  app.add_option("--code-page", codePage, "Code page of the archive's text (default windows-1252)");
  app.add_option("--backup", backup, "Copy the target's table files to this folder before writing");
  app.add_option("--password", passwords, "Password of enciphered target tables (repeatable)");
  std::string dateFormat = "auto", timeSeparator;
  app.add_option("--date-format", dateFormat,
                 "Date format of the archive's texts: auto (found from the texts, the default), or e.g. dd.mm.yyyy "
                 "or m/d/yyyy");
  app.add_option("--time-separator", timeSeparator, "Time separator of the archive's texts (one character)");
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    console.out << app.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    console.err << e.what() << "\nRun 'hollard-migrate --help' for the options.\n";
    return 2;
  }

  std::ofstream log;
  TAnswers answers;
  ovrin::TFormatSettings settings;
  TDateFormatChoice dateChoice;
  try {
    if (!answersFile.empty()) answers = LoadAnswers(answersFile);
    TTextComparer probe(codePage);  // an unknown code page is a usage error
    settings = ovrin::UserFormatSettings(codePage.c_str());
    if (dateFormat != "auto") {
      ovrin::TFormatSettings probe = settings;
      if (!ApplyDateFormat(dateFormat, &probe))
        throw TUsageError{"--date-format '" + dateFormat +
                          "': expected day, month and year (d-m-y, m-d-y or y-m-d) with one separator (e.g. dd.mm.yyyy or "
                          "m/d/yyyy), or auto"};
      dateChoice.automatic = false;
      dateChoice.pattern = dateFormat;
    }
    if (!timeSeparator.empty()) {
      if (timeSeparator.size() != 1 || std::isalnum(static_cast<unsigned char>(timeSeparator[0])))
        throw TUsageError{"--time-separator '" + timeSeparator + "': expected one character that is not a letter or digit"};
      dateChoice.timeSeparator = timeSeparator[0];
    }
    if (!logFile.empty()) {
      log.open(logFile, std::ios::binary | std::ios::trunc);
      if (!log) throw TUsageError{"Cannot write the log file " + logFile};
    }
  } catch (const TUsageError& e) {
    console.err << "hollard-migrate: " << e.message << "\n";
    return 2;
  } catch (const std::exception& e) {
    console.err << "hollard-migrate: " << e.what() << "\n";
    return 2;
  }

  TTerminalUser user(console, logFile.empty() ? nullptr : &log);
  user.answers = answers;
  user.interactive = interactive;
  ovrin::TOvrinSession& session = ovrin::Sessions().Default();
  for (const std::string& p : passwords) session.AddPassword(p);

  std::string sourceDir = TMigration::WithDelimiter(source), targetDir = TMigration::WithDelimiter(target);
  bool tablesThere = !ovrin::Platform().ResolveExisting(sourceDir + "hollardm.db").empty() &&
                     !ovrin::Platform().ResolveExisting(targetDir + "users.dat").empty();
  std::string runTarget = target, scratch;
  std::optional<TDateFormatFinding> dates;
  // One run per target, taken before the guards and held to the end: two runs started at
  // once would both pass the guard against migrating an archive twice.
  TTargetLock targetLock;
  if (tablesThere) {
    std::string holder;
    switch (targetLock.Acquire(targetDir, &holder)) {
      case TTargetLock::TResult::Taken: break;
      case TTargetLock::TResult::HeldByAnother:
        console.err << "hollard-migrate: another migration into " << target << " is running (" << holder
                    << ").\nNothing was written. Wait for it to end, then run again.\n";
        return 3;
      case TTargetLock::TResult::Failed:
        console.err << "hollard-migrate: " << holder
                    << "; the run goes on without the lock that keeps a second run out of this target.\n";
        break;
    }
  }
  try {
    if (tablesThere) {
      // The archive's dates are settled first: a format that leaves dated texts unread
      // would pass over their log lines and stop the ToDo step at its first one.
      std::vector<std::string> damaged = SourceProblems(sourceDir, codePage);
      if (!damaged.empty() && !force) {
        for (const std::string& d : damaged) console.err << "hollard-migrate: " << d << "\n";
        console.err << "Nothing was written. Run with --force to migrate what can be read.\n";
        return 3;
      }
      dates = SettleDateFormat(sourceDir, dateChoice, settings, codePage);
      if (!dates->Settled() && !force) {
        console.err << "hollard-migrate: " << dates->UnreadMessage()
                    << "\nNothing was written. Run with --force to migrate anyway (those lines are passed over or "
                       "stop the ToDo step).\n";
        return 3;
      }
      // Guards: nothing is written before they pass.
      // A table the guards cannot read is left to the run, whose steps report it.
      auto check = [&](const char* what, auto&& guard) {
        try {
          guard();
        } catch (const ovrin::Exception& e) {
          console.err << "hollard-migrate: cannot check " << what << ": " << e.Message() << "\n";
        }
      };
      TTextComparer comparer(codePage);
      std::vector<std::string> duplicates;
      check("for projects migrated before", [&] { duplicates = ProjectsAlreadyInTarget(sourceDir, targetDir, comparer); });
      if (!duplicates.empty() && !allowDuplicates) {
        console.err << "hollard-migrate: the target already holds projects of this archive:";
        for (const std::string& d : duplicates) console.err << " " << ovrin::DecodeToUtf8(d, codePage.c_str());
        console.err << ".\nIt looks as if this archive was migrated into " << target
                    << " before; a second run would add every project, module and revision again.\n"
                       "Nothing was written. Run with --allow-duplicates to migrate it anyway.\n";
        return 3;
      }
      TBlobSpace space;
      // The room is counted from every stored file's record: one that does not read is a
      // damaged table, and the run would copy what it can and leave the rest.
      try {
        space = BlobSpaceNeeded(sourceDir, targetDir);
      } catch (const ovrin::Exception& e) {
        if (!force) {
          console.err << "hollard-migrate: cannot count the room the stored files need: " << e.Message()
                      << "\nNothing was written. Run with --force to migrate what can be read.\n";
          return 3;
        }
        console.err << "hollard-migrate: cannot check the room in the blob file: " << e.Message() << "\n";
      }
      if (!space.Fits() && !force) {
        console.err << "hollard-migrate: the " << space.blobs << " stored files need " << Megabytes(space.needed)
                    << " in the target's blob file, which can grow by only " << Megabytes(space.available) << "; "
                    << Megabytes(space.needed - space.available)
                    << " would not fit, and the revisions step would fail part way.\n"
                       "Nothing was written. Run with --force to migrate what fits.\n";
        return 3;
      }
      if (dryRun) {
        scratch = MakeTempFolder();
        CopyTableFiles(target, scratch);
        runTarget = scratch;
      } else if (!backup.empty()) {
        CopyTableFiles(target, backup);
        console.err << "Copied the target's table files to " << backup << ".\n";
      }
    }
  } catch (const ovrin::Exception& e) {
    console.err << "hollard-migrate: " << e.Message() << "\n";
    return 1;
  } catch (const std::exception& e) {
    console.err << "hollard-migrate: " << e.what() << "\n";
    return 1;
  }

  TMigrationReport report;
  {
    TMigration migration(user, codePage);
    migration.SetFormatSettings(settings);
    migration.SetDateFormat(dateChoice);
    if (dates) migration.SetDateFinding(*dates);
    migration.SetForce(force);
    migration.SetWalkLookups(walkLookups);
    migration.SetSourceDir(source);
    migration.SetTargetDir(runTarget);
    migration.Import();
    report = migration.Report();
  }
  if (!scratch.empty()) {
    std::error_code ec;
    fs::remove_all(scratch, ec);
  }
  PrintSummary(console.out, report, user, dryRun, dryRun ? std::string() : backup, target);
  if (!reportFile.empty()) {
    std::ofstream r(reportFile, std::ios::binary | std::ios::trunc);
    r << ReportJson(report, user, dryRun, dryRun ? std::string() : backup).dump(2) << "\n";
    if (!r) {
      console.err << "hollard-migrate: cannot write the report file " << reportFile << "\n";
      return 1;
    }
  }
  return report.Failed() ? 1 : 0;
}

}  // namespace hollard
