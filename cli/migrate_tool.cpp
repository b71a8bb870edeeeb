#include "cli/migrate_tool.h"

#include "cli/answers.h"
#include "cli/run_summary.h"
#include "cli/terminal_user.h"

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
    return 0;
  } catch (const CLI::ParseError& e) {
    console.err << e.what() << "\nRun 'hollard-migrate --help' for the options.\n";
    return 2;
  }
  // Listing the questions is a dry run: it runs against a temporary copy of the target.
  if (!listQuestions.empty()) dryRun = true;

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
  user.quiet = quiet;
  user.answersGiven = !answersFile.empty();
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

  // --list-questions and --strict-answers: a run on a copy of the target's tables with a
  // user that records each question and answers Skip learns the questions the run asks.
  if (!listQuestions.empty() || strictAnswers) {
    auto askedQuestions = [&](const std::string& folder, TQuestionRecorder& recorder) {
      TMigration migration(recorder, codePage);
      migration.SetFormatSettings(settings);
      migration.SetDateFormat(dateChoice);
      if (dates) migration.SetDateFinding(*dates);
      migration.SetForce(force);
      migration.SetWalkLookups(walkLookups);
      migration.SetSourceDir(source);
      migration.SetTargetDir(folder);
      migration.Import();
      return migration.Report();
    };
    auto removeScratch = [&] {
      std::error_code ec;
      if (!scratch.empty()) fs::remove_all(scratch, ec);
    };
    if (!listQuestions.empty()) {
      if (scratch.empty()) {
        console.err << "hollard-migrate: cannot list the questions: " << source << " or " << target
                    << " holds no archive tables.\n";
        return 1;
      }
      TQuestionRecorder recorder;
      TMigrationReport listed = askedQuestions(scratch, recorder);
      removeScratch();
      for (const std::string& e : recorder.errors) console.err << "hollard-migrate: " << e << "\n";
      if (listed.preflightFailed) {
        console.err << "hollard-migrate: " << listed.preflightMessage << "\n";
        return 1;
      }
      std::ofstream file(listQuestions, std::ios::binary | std::ios::trunc);
      file << QuestionsFileJson(recorder.questions).dump(2) << "\n";
      if (!file) {
        console.err << "hollard-migrate: cannot write the questions file " << listQuestions << "\n";
        return 1;
      }
      console.out << "Wrote the questions to " << listQuestions << ".\n";
      return listed.Failed() ? 1 : 0;
    }
    if (tablesThere) {
      TQuestionRecorder recorder;
      std::string copy;
      try {
        copy = MakeTempFolder();
        CopyTableFiles(target, copy);
        askedQuestions(copy, recorder);
      } catch (const std::exception& e) {
        console.err << "hollard-migrate: cannot learn the questions for --strict-answers: " << e.what() << "\n";
        std::error_code ec;
        if (!copy.empty()) fs::remove_all(copy, ec);
        removeScratch();
        return 1;
      }
      std::error_code ec;
      fs::remove_all(copy, ec);
      std::vector<std::string> unknown = UnknownKeys(answers, recorder.questions);
      if (!unknown.empty()) {
        console.err << "hollard-migrate: the answers file " << answersFile
                    << " names modules the run does not ask about:\n";
        for (const std::string& k : unknown) console.err << "  " << k << "\n";
        console.err << "Nothing was written. Mend the keys (--list-questions writes every question), or run "
                       "without --strict-answers to leave them out.\n";
        removeScratch();
        return 2;
      }
    }
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
  user.ClearBar();
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
