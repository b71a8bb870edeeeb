#include "cli/migrate_tool.h"

#include "cli/answers.h"
#include "cli/run_summary.h"
#include "cli/terminal_user.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <map>
#include <optional>
#include <sstream>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/base/datetime.h"
#include "engine/base/errors.h"
#include "engine/base/locale.h"
#include "engine/base/platform.h"
#include "engine/table/session.h"
#include "main/migration.h"
#include "main/migration_guards.h"
#include "main/run_summary.h"
#include "main/target_lock.h"
#include "main/version.h"

namespace hollard {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string MakeTempFolder() {
  std::string pattern = (fs::temp_directory_path() / "hollard-dry-run-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("Cannot make a temporary folder for the dry run");
  return pattern;
}

// Removes a folder (the dry run's copy) on every way out of the run.
struct TRemoveFolder {
  std::string path;
  ~TRemoveFolder() {
    if (path.empty()) return;
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// A stop asked for before the migration started: nothing was written to the target.
struct TStoppedBeforeWriting {};

// The files a copy made: name and size.
using TCopiedFiles = std::vector<std::pair<std::string, uintmax_t>>;

// Copies the target's table files into a folder. Each file is copied into a staging
// folder and moved to its name when whole. A stop or an error on the way removes what
// this copy made (the files, the staging folder, the folder when the copy made it) and
// goes on: a half backup is worth nothing, and left behind it would make the next
// run's backup folder not empty.
// `to` is named in messages as `what` (the backup folder, or a temporary copy's folder).
TCopiedFiles CopyTableFiles(const std::string& from, const std::string& to, const std::function<bool()>& stopAsked,
                            const std::string& what = "the backup folder") {
  std::error_code ec;
  const bool madeFolder = !fs::exists(to, ec);
  fs::create_directories(to);
  const fs::path staging = fs::path(to) / ".incomplete";
  TCopiedFiles copied;
  try {
    fs::create_directories(staging);
    for (const std::string& file : TargetTableFiles(from)) {
      if (stopAsked()) throw TStoppedBeforeWriting{};
      fs::path dest = fs::path(to) / fs::path(file).filename();
      if (fs::exists(dest))
        throw std::runtime_error("T" + what.substr(1) + " " + to + " already holds " + dest.filename().string());
      fs::path partial = staging / dest.filename();
      try {
        fs::copy_file(file, partial, fs::copy_options::overwrite_existing);
      } catch (const fs::filesystem_error& e) {
        // A signal breaks off the copy (its system call returns EINTR): that is the stop.
        if (stopAsked()) throw TStoppedBeforeWriting{};
        throw std::runtime_error("Cannot copy " + file + " to " + what + " " + to + ": " + e.code().message());
      }
      fs::rename(partial, dest);
      copied.emplace_back(dest.filename().string(), fs::file_size(dest));
    }
    fs::remove(staging);
  } catch (...) {
    for (const auto& [name, size] : copied) fs::remove(fs::path(to) / name, ec);
    fs::remove_all(staging, ec);
    if (madeFolder) fs::remove(to, ec);
    throw;
  }
  return copied;
}

// The report file, never cut inside its JSON: when the whole report cannot be written (a
// full disk), a short one in its place says so (the whole one, cut, freed the room it
// needs), and a regular file that cannot even take that is removed. (A device such as
// /dev/full is left as it is.) Answers the system's error, 0 when the whole report was
// written.
// Removes a report that could not be written whole, when it is a regular file (a device
// such as /dev/full is left as it is).
void RemoveCutReport(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path.c_str());
}

int WriteReportFile(const std::string& path, const nlohmann::json& report, int exitCode) {
  const int error = ovrin::WriteWholeFile(path, report.dump(2) + "\n");
  if (!error) return 0;
  nlohmann::json brief;
  brief["succeeded"] = false;
  brief["running"] = false;
  brief["exitCode"] = exitCode == kExitSuccess ? kExitFailed : exitCode;
  brief["reportError"] = std::string("the whole report could not be written: ") + std::strerror(error);
  if (ovrin::WriteWholeFile(path, brief.dump(2) + "\n") != 0) RemoveCutReport(path);
  return error;
}

// Whether two paths lie on one file system; a path not made yet is where its nearest
// existing folder is.
bool SameDisk(const std::string& a, const std::string& b) {
  auto device = [](fs::path p, dev_t* dev) {
    struct stat st;
    for (int up = 0; up < 64; ++up) {
      if (::stat(p.c_str(), &st) == 0) {
        *dev = st.st_dev;
        return true;
      }
      if (!p.has_parent_path() || p.parent_path() == p) break;
      p = p.parent_path();
    }
    return false;
  };
  dev_t da = 0, db = 0;
  return device(fs::absolute(a), &da) && device(fs::absolute(b), &db) && da == db;
}

// Whether the backup still holds every file it was made with, at its size; else
// nothing may be put back (what is left would mix old tables with new ones).
bool BackupWhole(const std::string& backup, const TCopiedFiles& files, std::string* error) {
  std::error_code ec;
  for (const auto& [name, size] : files) {
    fs::path file = fs::path(backup) / name;
    if (!fs::is_regular_file(file, ec)) {
      *error = "the backup is not whole: " + file.string() + " is missing; nothing was put back";
      return false;
    }
    if (fs::file_size(file, ec) != size) {
      *error = "the backup is not whole: " + file.string() + " holds " + std::to_string(fs::file_size(file, ec)) +
               " bytes where " + std::to_string(size) + " were copied; nothing was put back";
      return false;
    }
  }
  return true;
}

// Writes the file `from` over `dest` from its first byte and cuts `dest` to `size`.
std::error_code OverwriteInPlace(const fs::path& from, const fs::path& dest, uintmax_t size) {
  auto failed = [] { return std::error_code(errno, std::generic_category()); };
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return failed();
  const int out = ::open(dest.c_str(), O_WRONLY | O_CLOEXEC);
  if (out < 0) {
    std::error_code ec = failed();
    ::close(in);
    return ec;
  }
  std::error_code ec;
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ec = failed();
    if (n <= 0) break;
    if (const int error = ovrin::WriteAll(out, buffer.data(), static_cast<size_t>(n)))
      ec = std::error_code(error, std::generic_category());
    if (ec) break;
  }
  if (!ec && ::ftruncate(out, static_cast<off_t>(size)) != 0) ec = failed();
  if (::close(out) != 0 && !ec) ec = failed();
  ::close(in);
  return ec;
}

// Puts the backup's table files back over the target's: each copied beside its table
// and renamed over it, so that no table file is ever half old, half new; on a disk with
// no room for the copy, written over the table in place.
bool RestoreBackup(const std::string& backup, const std::string& target, const TCopiedFiles& files,
                   std::string* error) {
  if (!BackupWhole(backup, files, error)) return false;
  for (const auto& [name, size] : files) {
    const fs::path from = fs::path(backup) / name, dest = fs::path(target) / name;
    const fs::path partial = fs::path(target) / (".hollard-restore-" + name);
    std::error_code ec;
    fs::copy_file(from, partial, fs::copy_options::overwrite_existing, ec);
    if (!ec) fs::rename(partial, dest, ec);
    if (!ec) continue;
    // Nothing half made is left beside the tables (check would take it for a table).
    std::error_code ignored;
    fs::remove(partial, ignored);
    // The disk that the failed run filled has no room for a second copy: the table's own
    // blocks are written over instead (the run only made its files longer) and the file
    // cut to the backup's length, as a copy with cp does.
    if (ec == std::errc::no_space_on_device || ec.value() == EDQUOT) ec = OverwriteInPlace(from, dest, size);
    if (ec) {
      *error = "cannot put back " + dest.string() + " from " + from.string() + ": " + ec.message();
      return false;
    }
  }
  return true;
}

const char* const kHelpFooter =
    "Exit codes:\n"
    "  0  the run succeeded\n"
    "  1  the preflight or a step failed, or the log or report file could not be written\n"
    "  2  the command line or the answers file is wrong (nothing was done)\n"
    "  3  a guard stopped the run before it wrote anything (another run holds the target, the target\n"
    "     already holds this archive's projects, a damaged or unwritable table, dates that do not read,\n"
    "     too little room for the stored files)\n"
    "  4  the run was stopped (Ctrl-C, SIGTERM, SIGHUP, or standard output closed) between two records\n"
    "\n"
    "Example:\n"
    "  hollard-migrate /srv/old-archive /srv/archive --backup /srv/archive-before --restore-on-failure \\\n"
    "      --answers answers.json --log migrate.log --report migrate.json\n";

}  // namespace

int RunMigrateTool(const std::vector<std::string>& args, TMigrateConsole console) {
  CLI::App app("hollard-migrate: move an old-layout archive into a new-layout archive", "hollard-migrate");
  app.option_defaults()->always_capture_default();
  app.set_version_flag("--version", VersionText("hollard-migrate"), "Show the program's and the engine's version");
  app.footer(kHelpFooter);
  std::string source, target, answersFile, logFile, reportFile, codePage = "windows-1252", backup;
  std::vector<std::string> passwords;
  bool interactive = false, dryRun = false, allowDuplicates = false, force = false, walkLookups = false;
  bool restoreOnFailure = false;
  app.add_option("source", source, "Folder of the old-layout archive (Paradox tables)")
      ->required()
      ->check(CLI::ExistingDirectory);
  app.add_option("target", target, "Folder of the new-layout archive to add to")->required()->check(CLI::ExistingDirectory);
  auto* answersOption = app.add_option("--answers", answersFile, "JSON file with the projects of shared and hidden modules");
  app.add_flag("--interactive", interactive, "Ask the questions on the terminal")->excludes(answersOption);
  app.add_option("--log", logFile, "Keep the run's log and summary in this file");
  app.add_option("--report", reportFile, "Write the summary as JSON to this file");
  app.add_flag("--walk-lookups", walkLookups,
               "Look every item up by walking the target table from its first record (slow; the reference)");
  app.add_flag("--dry-run", dryRun, "Run against a temporary copy of the target's tables");
  app.add_flag("--allow-duplicates", allowDuplicates, "Run even when the target holds this archive's projects");
  app.add_flag("--force", force,
               "Run even when the stored files will not fit the target's blob file, dated texts do not read, a "
               "source file is damaged or a target table fails the consistency check");
  app.add_option("--code-page", codePage, "Code page of the archive's text");
  auto* backupOption = app.add_option("--backup", backup, "Copy the target's table files to this folder before writing");
  app.add_flag("--restore-on-failure", restoreOnFailure,
               "Put the backup back when a step failed or the run was stopped")
      ->needs(backupOption);
  app.add_option("--password", passwords, "Password of enciphered target tables (repeatable)");
  std::string dateFormat = "auto", timeSeparator;
  app.add_option("--date-format", dateFormat,
                 "Date format of the archive's texts: auto (found from the texts), or e.g. dd.mm.yyyy or m/d/yyyy");
  app.add_option("--time-separator", timeSeparator, "Time separator of the archive's texts (one character)");
  // The terminal's own options: how much the run prints, and the questions it asks.
  bool quiet = false, strictAnswers = false;
  std::string listQuestions;
  app.add_flag("--quiet", quiet, "Leave the log lines out of standard output (the summary stays; --log keeps them)");
  app.add_option("--list-questions", listQuestions,
                 "Write the questions the run would ask, with their project lists, to this file as an answers file to "
                 "fill in; nothing is written to the target");
  app.add_flag("--strict-answers", strictAnswers,
               "Refuse to run when the answers file names a module the run does not ask about")
      ->needs(answersOption);
  std::vector<std::string> reversed(args.rbegin(), args.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    console.out << app.help();
    return kExitSuccess;
  } catch (const CLI::CallForVersion&) {
    console.out << VersionText("hollard-migrate") << "\n";
    return kExitSuccess;
  } catch (const CLI::ParseError& e) {
    console.err << "hollard-migrate: " << e.what() << "\nRun 'hollard-migrate --help' for the options.\n";
    return kExitUsage;
  }
  // Listing the questions is a dry run: it runs against a temporary copy of the target.
  if (!listQuestions.empty()) dryRun = true;

  TRunContext run;
  // The backup folder, as the unfinished run's mark tells it, when the run made one.
  auto backupNote = [&run]() { return TUnfinishedRun::BackupNote(run.backup); };
  run.dryRun = dryRun;
  run.target = target;
  run.restoreAsked = restoreOnFailure && !dryRun;
  std::ofstream log;
  TAnswers answers;
  ovrin::TFormatSettings settings;
  TDateFormatChoice dateChoice;
  // Every option value is checked before any work; the log and report files are made
  // now, so that one that cannot be written stops the run before it writes.
  try {
    if (!answersFile.empty()) answers = LoadAnswers(answersFile);
    try {
      TTextComparer probe(codePage);
    } catch (const std::exception& e) {
      throw TUsageError{"--code-page '" + codePage + "': " + e.what()};
    }
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
    if (app.count("--time-separator") > 0) {
      if (timeSeparator.size() != 1 || std::isalnum(static_cast<unsigned char>(timeSeparator[0])))
        throw TUsageError{"--time-separator '" + timeSeparator + "': expected one character that is not a letter or digit"};
      dateChoice.timeSeparator = timeSeparator[0];
    }
    std::error_code ec;
    if (app.count("--backup") > 0 && backup.empty()) throw TUsageError{"--backup '': expected a folder"};
    if (!backup.empty() && dryRun)
      throw TUsageError{"--backup '" + backup + "': a dry run writes nothing to the target, so it makes no backup"};
    if (!backup.empty() && !dryRun) {
      if (fs::exists(backup, ec) && !fs::is_directory(backup, ec))
        throw TUsageError{"--backup '" + backup + "': not a folder"};
      if (fs::equivalent(backup, target, ec)) throw TUsageError{"--backup '" + backup + "': the target folder itself"};
      if (fs::equivalent(backup, source, ec)) throw TUsageError{"--backup '" + backup + "': the source folder itself"};
      // Only a new or empty folder: putting a backup back copies every file of it into
      // the target, and a file of another kind there would go in with the tables.
      if (fs::is_directory(backup, ec)) {
        for (const auto& e : fs::directory_iterator(backup, ec)) {
          if (e.path().filename() == ".incomplete" && fs::is_directory(e.path(), ec) && fs::is_empty(e.path(), ec))
            continue;
          throw TUsageError{"--backup '" + backup + "': the folder is not empty (it holds " +
                            e.path().filename().string() + "); give a new or empty folder"};
        }
      }
    }
    // The files the run writes must not be files of the archives: a log over the
    // source's history log, or a report over a target table, would destroy it.
    std::vector<std::pair<const char*, std::string>> outputs = {
        {"--log", logFile}, {"--report", reportFile}, {"--list-questions", listQuestions}};
    for (const auto& [option, file] : outputs) {
      if (file.empty()) continue;
      const fs::path path(file);
      const fs::path folder = path.has_parent_path() ? path.parent_path() : fs::path(".");
      if (fs::equivalent(folder, source, ec))
        throw TUsageError{std::string(option) + " '" + file + "': a file in the source folder, which the run never writes"};
      if (fs::equivalent(folder, target, ec)) {
        std::string extension = ovrin::AsciiUpper(path.extension().string());
        std::string name = path.filename().string();
        if (name == TTargetLock::kFileName || name == TUnfinishedRun::kFileName ||
            (fs::exists(path, ec) && (extension == ".DAT" || extension == ".IDX" || extension == ".BLB")))
          throw TUsageError{std::string(option) + " '" + file + "': a file of the target archive"};
      }
      if (!backup.empty() && fs::equivalent(folder, backup, ec))
        throw TUsageError{std::string(option) + " '" + file +
                          "': a file in the backup folder, whose files go into the target when it is put back"};
      // The same file, however each is spelt (neither may be there yet).
      auto same = [&](const std::string& a, const std::string& b) {
        std::error_code e1, e2;
        fs::path x = fs::weakly_canonical(fs::absolute(a), e1), y = fs::weakly_canonical(fs::absolute(b), e2);
        return a == b || (!e1 && !e2 && x == y) || fs::equivalent(a, b, e1);
      };
      for (const auto& [otherOption, other] : outputs)
        if (otherOption != option && !other.empty() && same(other, file))
          throw TUsageError{std::string(option) + " '" + file + "': the same file as " + otherOption};
    }
    if (!logFile.empty()) {
      log.open(logFile, std::ios::binary | std::ios::trunc);
      if (!log) throw TUsageError{"--log '" + logFile + "': cannot write the file: " + std::strerror(errno)};
    }
    if (!reportFile.empty()) {
      if (const int error = ovrin::WriteWholeFile(reportFile, RunningReportJson(run).dump(2) + "\n")) {
        // No empty or cut report is left.
        RemoveCutReport(reportFile);
        throw TUsageError{"--report '" + reportFile + "': cannot write the file: " + std::strerror(error)};
      }
    }
  } catch (const TUsageError& e) {
    console.err << "hollard-migrate: " << e.message << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    console.err << "hollard-migrate: " << e.what() << "\n";
    return kExitUsage;
  }

  TTerminalUser user(console, logFile.empty() ? nullptr : &log);
  user.logName = logFile;
  user.answers = answers;
  user.interactive = interactive;
  user.quiet = quiet;
  user.answersGiven = !answersFile.empty();
  ovrin::TOvrinSession& session = ovrin::Sessions().Default();
  for (const std::string& p : passwords) session.AddPassword(p);
  auto stopAsked = [&] { return user.StopRequested(); };

  std::string sourceDir = TMigration::WithDelimiter(source), targetDir = TMigration::WithDelimiter(target);
  bool sourceThere = !ovrin::Platform().ResolveExisting(sourceDir + "hollardm.db").empty();
  // A folder this user may not list leaves the guards nothing sound to read; the run's
  // preflight names it.
  const bool listable =
      !ovrin::PermissionDenied(sourceDir, R_OK | X_OK) && !ovrin::PermissionDenied(targetDir, R_OK | X_OK);
  bool tablesThere = listable && sourceThere && !ovrin::Platform().ResolveExisting(targetDir + "users.dat").empty();
  std::string runTarget = target;
  TRemoveFolder scratch;
  std::optional<TDateFormatFinding> dates;
  TCopiedFiles backupFiles;  // what the backup holds, to check before it is put back
  // Messages of the guards go to the error stream, the log file and the report.
  std::vector<std::string> guardMessages;
  auto guardMessage = [&](const std::string& text) {
    console.err << "hollard-migrate: " << text << "\n";
    user.WriteLog(text + "\n");
    guardMessages.push_back(text);
  };
  // A run that ends before its first step still finishes its report: the report made at
  // the start says "running", which only a killed run may leave behind.
  auto finishEarly = [&](int code) {
    if (!reportFile.empty()) {
      const int error = WriteReportFile(
          reportFile, EarlyReportJson(run, code, guardMessages, console.stop ? console.stop->load() : 0), code);
      if (error) {
        console.err << "hollard-migrate: cannot write the report file " << reportFile << ": " << std::strerror(error)
                    << "\n";
        if (code == kExitSuccess) code = kExitFailed;
      }
    }
    return code;
  };
  // One run per target, taken before the guards and held to the end: two runs started at
  // once would both pass the guard against migrating an archive twice.
  TTargetLock targetLock;
  if (tablesThere) {
    std::string holder;
    switch (targetLock.Acquire(targetDir, &holder)) {
      case TTargetLock::TResult::Taken: break;
      case TTargetLock::TResult::HeldByAnother:
        guardMessage((TTargetLock::HeldByRepair(holder) ? "a repair in " + target : "another migration into " + target) +
                     " is running (" + holder + ").\nNothing was written. Wait for it to end, then run again.");
        return finishEarly(kExitGuard);
      case TTargetLock::TResult::Failed:
        guardMessage(holder + "; the run goes on without the lock that keeps a second run out of this target.");
        break;
    }
  }
  // One migration run with the options of this command line, into the given folder.
  auto migrate = [&](TMigrationUser& runUser, const std::string& folder, bool checked) {
    TMigration migration(runUser, codePage);
    migration.SetFormatSettings(settings);
    migration.SetDateFormat(dateChoice);
    if (dates) migration.SetDateFinding(*dates);
    migration.SetForce(force);
    migration.SetGuardsChecked(checked);
    migration.SetWalkLookups(walkLookups);
    migration.SetSourceDir(source);
    migration.SetTargetDir(folder);
    migration.Import();
    return migration.Report();
  };
  bool guardsChecked = false;
  try {
    if (tablesThere) {
      // The archive's dates are settled first: a format that leaves dated texts unread
      // would pass over their log lines and stop the ToDo step at its first one.
      std::vector<std::string> damaged = SourceProblems(sourceDir, codePage);
      if (!damaged.empty() && !force) {
        for (const std::string& d : damaged) guardMessage(d);
        guardMessage("Nothing was written. Run with --force to migrate what can be read.");
        return finishEarly(kExitGuard);
      }
      dates = SettleDateFormat(sourceDir, dateChoice, settings, codePage);
      if (!dates->Settled() && !force) {
        guardMessage(dates->UnreadMessage() +
                     "\nNothing was written. Run with --force to migrate anyway (those lines are passed over or "
                     "stop the ToDo step).");
        return finishEarly(kExitGuard);
      }
      if (!force) {
        std::vector<std::string> todo = ToDoProblems(sourceDir, dates->settings, codePage);
        if (!todo.empty()) {
          for (const std::string& t : todo) guardMessage(t);
          guardMessage("Nothing was written. Run with --force to migrate anyway (the ToDo step stops at the first "
                       "line it cannot convert, and leaves out a description no '|' ends).");
          return finishEarly(kExitGuard);
        }
      }
      // A run that did not finish left part of an archive in the target: running again
      // would add that part twice. Asked first, since a killed run may also have left a
      // table damaged, and putting its backup back mends that too.
      const std::string unfinished = TUnfinishedRun::Read(targetDir);
      if (!unfinished.empty()) {
        // A killed run printed no summary: the command that puts its backup back is given
        // here. (A run that failed or stopped gave it, or said why not to.)
        std::string putBack =
            "A run with --backup that failed or stopped gave the command that puts its backup back in its "
            "summary. ";
        const std::string backupFolder = TUnfinishedRun::KilledRunBackup(unfinished);
        if (!backupFolder.empty()) {
          std::error_code ec;
          bool whole = fs::is_directory(backupFolder, ec);
          for (const std::string& file : TargetTableFiles(targetDir))
            whole = whole && fs::is_regular_file(fs::path(backupFolder) / fs::path(file).filename(), ec);
          if (whole)
            putBack = "This puts that run's backup back (with no other program using the target):\n  " +
                      RestoreCommand(backupFolder, target) +
                      "\nThe next run's --backup then needs a new or empty folder: that one holds the copy. ";
        }
        guardMessage(UnfinishedMessage(target, unfinished) + "\nNothing was written. " + putBack +
                     "To run anyway, remove " + targetDir + TUnfinishedRun::kFileName + ".");
        return finishEarly(kExitGuard);
      }
      // Every target table must take writes, and (unless forced) pass the consistency
      // checker: writing into a damaged table can put new blobs into blocks that
      // existing records still use.
      std::vector<TTargetProblem> targetProblems = TargetProblems(targetDir, !force);
      if (!targetProblems.empty()) {
        bool onlyDamage = true;
        for (const TTargetProblem& p : targetProblems) {
          guardMessage(p.message);
          onlyDamage = onlyDamage && p.damaged;
        }
        guardMessage(onlyDamage ? "Nothing was written. Run with --force to write into the damaged tables anyway."
                                : "Nothing was written.");
        return finishEarly(kExitGuard);
      }
      guardsChecked = true;
      // A guard that cannot read a table leaves it to the run, whose steps report it.
      auto check = [&](const char* what, auto&& guard) {
        try {
          guard();
        } catch (const ovrin::Exception& e) {
          guardMessage(std::string("cannot check ") + what + ": " + e.Message());
        }
      };
      TTextComparer comparer(codePage);
      std::vector<std::string> duplicates;
      check("for projects migrated before", [&] { duplicates = ProjectsAlreadyInTarget(sourceDir, targetDir, comparer); });
      if (!duplicates.empty() && !allowDuplicates) {
        std::vector<std::string> names;
        for (const std::string& d : duplicates) names.push_back(ovrin::DecodeToUtf8(d, codePage.c_str()));
        guardMessage(DuplicatesMessage(names, target) +
                     "\nNothing was written. Run with --allow-duplicates to migrate it anyway.");
        return finishEarly(kExitGuard);
      }
      TBlobSpace space;
      // The room is counted from every stored file's record: one that does not read is a
      // damaged table, and the run would copy what it can and leave the rest.
      try {
        space = BlobSpaceNeeded(sourceDir, targetDir, codePage);
      } catch (const ovrin::Exception& e) {
        if (!force) {
          guardMessage("cannot count the room the stored files need: " + e.Message() +
                       "\nNothing was written. Run with --force to migrate what can be read.");
          return finishEarly(kExitGuard);
        }
        guardMessage("cannot check the room in the blob file: " + e.Message());
      }
      // The target's table files, copied by a dry run, by the run that learns the
      // questions, and by a backup.
      int64_t tableBytes = 0;
      {
        std::error_code ec;
        for (const std::string& file : TargetTableFiles(targetDir))
          tableBytes += static_cast<int64_t>(fs::file_size(file, ec));
      }
      // A backup on the target's own disk takes room there first.
      if (!backup.empty() && !dryRun && SameDisk(backup, target)) space.copied = tableBytes;
      if (!space.Fits() && !force && !dryRun) {
        guardMessage(SpaceMessage(space, target) + "\nNothing was written. Run with --force to migrate what fits.");
        return finishEarly(kExitGuard);
      }
      // A dry run, and the run that learns the questions, write into a copy of the
      // target's tables in the temporary folder: that disk must hold the copy and the run.
      if ((dryRun || !listQuestions.empty() || strictAnswers) && !force) {
        TBlobSpace copySpace = space;
        copySpace.diskFree = FreeBytes(fs::temp_directory_path().string());
        copySpace.copied = tableBytes;
        if (!copySpace.Fits()) {
          guardMessage(SpaceMessage(copySpace, fs::temp_directory_path().string() +
                                                   (listQuestions.empty() && !strictAnswers
                                                        ? " (where the dry run copies the target's tables)"
                                                        : " (where the questions are learnt on a copy of the "
                                                          "target's tables)")) +
                       "\nNothing was written. Make room there or set TMPDIR to a folder with room, or run with "
                       "--force.");
          return finishEarly(kExitGuard);
        }
      }
      // --list-questions and --strict-answers: a run on a copy of the target's tables with a
      // user that records each question and answers Skip learns the questions the run asks.
      if (!listQuestions.empty() || strictAnswers) {
        if (stopAsked()) throw TStoppedBeforeWriting{};
        TRemoveFolder copy{MakeTempFolder()};
        CopyTableFiles(target, copy.path, stopAsked, "the temporary folder");
        TQuestionRecorder recorder;
        recorder.stop = stopAsked;
        TMigrationReport asked = migrate(recorder, copy.path, true);
        if (asked.Stopped()) throw TStoppedBeforeWriting{};
        if (!listQuestions.empty()) {
          for (const std::string& e : recorder.errors) guardMessage(e);
          if (asked.preflightFailed) return finishEarly(kExitFailed);
          std::ofstream file(listQuestions, std::ios::binary | std::ios::trunc);
          file << JsonTexts(QuestionsFileJson(recorder.questions)).dump(2) << "\n";
          if (!file) {
            guardMessage("cannot write the questions file " + listQuestions + ": " + std::strerror(errno));
            return finishEarly(kExitFailed);
          }
          console.out << "Wrote the questions to " << listQuestions
                      << (asked.Failed() ? " (the run on a copy of the target's tables failed part way: the questions "
                                           "of what it did not reach are missing)"
                                         : "")
                      << ".\n";
          return finishEarly(asked.Failed() ? kExitFailed : kExitSuccess);
        }
        // A run on the copy that failed part way did not ask every question: the answers
        // cannot be checked against them.
        if (asked.Failed()) {
          for (const std::string& e : recorder.errors) guardMessage(e);
          guardMessage("the run on a copy of the target's tables that learns the questions failed, so the answers "
                       "file cannot be checked against them.\nNothing was written.");
          return finishEarly(kExitFailed);
        }
        std::vector<std::string> unknown = UnknownKeys(answers, recorder.questions);
        if (!unknown.empty()) {
          std::string keys;
          for (const std::string& k : unknown) keys += "\n  " + k;
          guardMessage("the answers file " + answersFile + " names modules the run does not ask about:" + keys +
                       "\nNothing was written. Mend the keys (--list-questions writes every question), or run "
                       "without --strict-answers to leave them out.");
          return finishEarly(kExitUsage);
        }
      }
      if (stopAsked()) throw TStoppedBeforeWriting{};
      if (dryRun) {
        scratch.path = MakeTempFolder();
        CopyTableFiles(target, scratch.path, stopAsked, "the dry run's temporary folder");
        runTarget = scratch.path;
      } else if (!backup.empty()) {
        backupFiles = CopyTableFiles(target, backup, stopAsked);
        run.backup = backup;
        guardMessage("Copied the target's table files to " + backup + ".");
      }
      if (stopAsked()) throw TStoppedBeforeWriting{};
      int markError = 0;
      if (!dryRun && !TUnfinishedRun::Write(targetDir, TUnfinishedRun::StartedText(sourceDir, backupNote()),
                                            &markError)) {
        bool full = false;
        const std::string what = TUnfinishedRun::WriteFailed(targetDir, target, markError, &full);
        if (full) {
          // The backup is of no use now, and its folder must be empty for the next run.
          std::error_code ec;
          for (const auto& [name, size] : backupFiles) fs::remove(fs::path(backup) / name, ec);
          guardMessage(what + ".\nNothing was written to the target" +
                       (backupFiles.empty() ? "" : " (the backup made was removed)") +
                       ". Make room on it, then run again.");
          return finishEarly(kExitGuard);
        }
        guardMessage(what + "; the run goes on without it.");
      }
    }
  } catch (const TStoppedBeforeWriting&) {
    const int signal = console.stop ? console.stop->load() : 0;
    std::ostream& out = user.OutputGone() ? console.err : console.out;
    std::string text = "\nStopped before anything was written" +
                       (signal ? " (signal " + std::to_string(signal) + ")" : std::string()) +
                       (!backup.empty() && !dryRun ? "; the part of the backup made was removed" : "") +
                       ".\nResult: STOPPED\n";
    guardMessages.push_back("Stopped before anything was written.");
    out << text << std::flush;
    user.WriteLog(text);
    return finishEarly(kExitStopped);
  } catch (const ovrin::Exception& e) {
    guardMessage(e.Message());
    return finishEarly(kExitFailed);
  } catch (const std::exception& e) {
    guardMessage(std::string(e.what()) + "\nNothing was written to the target.");
    return finishEarly(kExitFailed);
  }

  if (!listQuestions.empty() && !tablesThere) {
    console.err << "hollard-migrate: cannot list the questions: " << source << " or " << target
                << " holds no archive tables.\n";
    return finishEarly(kExitFailed);
  }

  TMigrationReport report = migrate(user, runTarget, guardsChecked);
  user.ClearBar();
  run.stopSignal = console.stop ? console.stop->load() : 0;
  run.outputGone = user.OutputGone();
  const bool unfinished = report.Failed() || report.Stopped();
  if (unfinished && !run.backup.empty() && !BackupWhole(run.backup, backupFiles, &run.restoreError))
    run.backupIncomplete = true;
  if (!dryRun && tablesThere && !report.preflightFailed) {
    if (unfinished && run.restoreAsked && !run.backup.empty() && !run.backupIncomplete) {
      run.restored = RestoreBackup(run.backup, target, backupFiles, &run.restoreError);
    }
    if (!unfinished || run.restored) {
      TUnfinishedRun::Clear(targetDir);
    } else {
      TUnfinishedRun::Write(targetDir, TUnfinishedRun::EndedText(sourceDir, report, backupNote()));
    }
  }
  if (listable && !sourceThere)
    run.preflightNote = "looked for hollardm.db in " + sourceDir;
  else if (listable && !tablesThere)
    run.preflightNote = "looked for users.DAT in " + targetDir;
  std::ostringstream summary;
  PrintSummary(summary, report, user, run);
  std::ostream& summaryOut = user.OutputGone() ? console.err : console.out;
  summaryOut << summary.str() << std::flush;
  user.WriteLog(summary.str());
  const int code = StartedRunExitCode(report, user);
  if (!reportFile.empty()) {
    if (const int error = WriteReportFile(reportFile, ReportJson(report, user, run), code)) {
      console.err << "hollard-migrate: cannot write the report file " << reportFile << ": " << std::strerror(error)
                  << "\n";
      return code == kExitSuccess ? kExitFailed : code;
    }
  }
  return code;
}

}  // namespace hollard
