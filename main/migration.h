// The migration core: copies an old-layout archive (Paradox tables and side files) into
// an existing new-layout archive in numbered steps, always in the same order. It talks
// to its user only through TMigrationUser, so the window, the terminal tool and the
// tests all drive this same code.
//
// Texts read from the archive stay bytes of its code page all the way into the target
// tables; only what is shown to the user (log lines, module keys, project names) is
// decoded to UTF-8.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/base/conversions.h"
#include "main/date_format.h"
#include "main/lookup_images.h"
#include "main/source_table.h"
#include "main/text_compare.h"

namespace ovrin {
class TOvrinTable;
class TField;
}

namespace hollard {

// What the run asks of and reports to its user.
class TMigrationUser {
 public:
  virtual ~TMigrationUser() = default;
  // A new last line of the log; scroll asks the log to scroll down by one line.
  virtual void AddLogLine(const std::string& text, bool scroll) = 0;
  virtual void SetStepText(const std::string& text) = 0;
  virtual void SetGaugeMax(int maximum) = 0;
  virtual void SetGaugeProgress(int progress) = 0;
  // Lets the user interface process pending events.
  virtual void ProcessEvents() = 0;
  // The projects the coming questions offer, in table order (duplicates kept).
  virtual void SetProjects(const std::vector<std::string>& projects) = 0;
  // A series of questions: which of the projects does each module belong to?
  virtual void BeginQuestion(const std::string& question) = 0;
  // Asks about one module (path followed by file name); answers the selected entries
  // of the project list in list order, or nothing for Skip.
  virtual std::optional<std::vector<int>> Ask(const std::string& module) = 0;
  // Empties, disables and clears the question controls and the project list.
  virtual void EndQuestion() = 0;
  virtual void ShowError(const std::string& text) = 0;
  virtual void SetBusyCursor(bool busy) = 0;
  // A password for the enciphered target table (its path: folder and name) that the
  // session holds none for; `wrongBefore` says the password given for it a moment ago
  // was wrong. False (Cancel) leaves the table out for the rest of the run: it is not
  // asked for again, and the steps that need it fail with a message that says so.
  virtual bool AskPassword(const std::string& /*table*/, bool /*wrongBefore*/, std::string* /*password*/) {
    return false;
  }
  // How many modules the question series begun last will ask about; told after
  // BeginQuestion and before the first Ask.
  virtual void SetQuestionCount(int /*count*/) {}
  // The stored files' bytes the revisions step has copied so far, of the total the
  // revision records declare (0 when it could not be counted).
  virtual void SetBytesCopied(int64_t /*done*/, int64_t /*total*/) {}
  // Asked between two records (never inside a change): true stops the run there.
  virtual bool StopRequested() { return false; }
  // A guard found something the user may run past (the target holds this archive's
  // projects, the stored files will not fit); `text` says what. True runs anyway.
  virtual bool AskRunAnyway(const std::string& /*text*/) { return false; }
};

// The outcome of one step procedure, for summaries.
struct TStepOutcome {
  std::string procedure;
  int firstStep = 0, lastStep = 0;
  bool succeeded = false;
  bool stopped = false;             // the user stopped the run in this step
  std::vector<std::string> errors;  // every message shown while the step ran
  double seconds = 0;
};

// Names that found nothing in the target, of one kind: how many records carried one, and
// the first few distinct names (as shown, in UTF-8).
struct TUnmatched {
  int64_t count = 0;
  std::vector<std::string> first;  // at most kShown
  static constexpr size_t kShown = 3;
  void Add(const std::string& name) {
    ++count;
    if (first.size() < kShown && std::find(first.begin(), first.end(), name) == first.end()) first.push_back(name);
  }
};

struct TMigrationReport {
  bool preflightFailed = false;
  std::string preflightMessage;
  std::vector<TStepOutcome> steps;
  std::map<std::string, int64_t> added;    // records appended per target table
  std::map<std::string, int64_t> changed;  // records modified per target table
  std::map<std::string, int64_t> cut;      // "table.FIELD" -> texts cut to the field's size
  // The date and time format the run read the archive's dates in, and why.
  std::string dateFormat;
  // Per file (as shown): the log lines passed over for want of a valid date, and the
  // ToDo lines whose date does not read, with the first few of them.
  std::map<std::string, TPassedOver> passedOver;
  // Per file (as shown): the history log's lines of backup events (they hold
  // " - Backup ("), which the rules do not convert, with the first few of them.
  std::map<std::string, TPassedOver> backupLines;
  // Per side file (as found): the lines taken once with an earlier one, the same line
  // again or one that differs from it only in letter case (the rules read each such line
  // once), with the first few of them. Empty lines are not counted.
  std::map<std::string, TPassedOver> mergedLines;
  // What the conversion rules write when a name finds nothing in the target, said once
  // per kind: "table.FIELD" -> the records written with id 0 there (a login no user has,
  // a project that is not there), and "rvlabels" -> the label assignments not written
  // because no revision of the module, version and revision is there.
  std::map<std::string, TUnmatched> unmatched;
  // The form files whose size (ASFSIZE) is 0 or less while their field holds bytes: the
  // rules store no form file then. How many, and the first few.
  TUnmatched formsNotStored;
  // The step the run was stopped in, or would have run next; 0 when it was not stopped.
  int stoppedAtStep = 0;
  bool Stopped() const { return stoppedAtStep > 0; }
  // A step failed or the preflight refused the run (a stopped run has not failed).
  bool Failed() const;
};

// Sets the order and separator of dates from a pattern of day, month and year with one
// separator (dd.mm.yyyy, m/d/yyyy, yyyy-mm-dd, d.m.yy); false for another pattern, also
// for the orders the date reading does not know (year, day, month and the like).
bool ApplyDateFormat(const std::string& pattern, ovrin::TFormatSettings* settings);

// The side-file forms of steps 13 to 16.
//
// Splits a file name at its last backslash or colon: the folder part (with that
// character) and the file-name part.
std::pair<std::string, std::string> SplitFileName(const std::string& path);
// The name with its extension (from the last '.') replaced, or the extension appended.
std::string ChangeFileExt(const std::string& name, const std::string& extension);
// A project's side file in the source folder (which ends in its delimiter): the
// project's name (bytes of the archive's code page) with the extension, decoded to
// UTF-8 as copies from Windows name their files, else as the raw bytes. Found by the
// exact name first, then without regard to ASCII case, then without regard to case
// under full Unicode case folding (the same in every locale); of several entries that
// match at a stage, the first in byte order. Empty when there is none. `others`, when
// given, receives the other entries that match the name without regard to case.
std::string FindSideFile(const std::string& sourceDir, const std::string& projectName, const std::string& extension,
                         const std::string& codePage, std::vector<std::string>* others = nullptr);
// Every occurrence of the pattern, compared without regard to the case of the letters
// A to Z and scanned from left to right, replaced; the pattern must not be empty.
std::string ReplaceText(const std::string& text, const std::string& pattern, const std::string& replacement);
// A ToDo list line: priority|created|description|state|further field|login, where the
// login may hold '|'; missing fields are empty.
struct TToDoLine {
  std::string priority, created, description, state, login;
};
TToDoLine SplitToDoLine(const std::string& line);
// A module list's or cross-reference file's line of nothing but blanks and tabs: it names
// no module and no project, and is passed over.
bool BlankLine(const std::string& line);
// A history log line of a backup event (it holds " - Backup ("): not converted.
bool BackupEvent(const std::string& line);
// A history log line: "<date> <time> > [<user>] <event>". The date text ends one blank
// before the first '>'; the user is cut before " on " and " (as "; the event is the rest.
struct TLogLine {
  std::string dateText, user, event;
};
TLogLine SplitLogLine(const std::string& line);
// The one-letter event type of a history line: of the event markers that occur in it,
// the last in marker order decides; empty when there is none.
std::string EventType(const std::string& line);

class TMigration {
 public:
  // The fixed stored password text of every migrated user.
  static const char* const kInitialPassword;

  explicit TMigration(TMigrationUser& user, const std::string& codePage = "windows-1252");
  ~TMigration();

  // The two folders as typed; a delimiter is appended when the text does not end in one.
  void SetSourceDir(const std::string& folder) { sourceText_ = folder; }
  void SetTargetDir(const std::string& folder) { targetText_ = folder; }
  const std::string& SourceDir() const { return sourceDir_; }
  const std::string& TargetDir() const { return targetDir_; }

  // "The system's" date and time formats: built from the user's locale, texts in the
  // archive's code page; the user may set others.
  const ovrin::TFormatSettings& FormatSettings() const { return settings_; }
  void SetFormatSettings(const ovrin::TFormatSettings& settings) { settings_ = settings; }
  // How the archive's dates are read: found from its dated texts (the default) or a
  // given pattern. The preflight settles the format from the format settings above and
  // refuses to run when dated texts do not read in it, or when a source file is damaged
  // or strange (SourceProblems: a table that does not open or whose block chain holds
  // another number of records than its header counts, a blob file missing or cut short,
  // a FIFO or device in a file's place), unless forced.
  void SetDateFormat(const TDateFormatChoice& choice) { dateChoice_ = choice; }
  void SetForce(bool force) { force_ = force; }
  // A format the caller has already settled (and checked) for this source folder; the
  // preflight then takes it instead of reading the texts again.
  void SetDateFinding(const TDateFormatFinding& finding) { dateFinding_ = finding; }

  // Creates the seven table objects, runs, and destroys them again (also on an error).
  void Import();
  // Stops the run at its next point between two records: the step in hand ends as
  // stopped, its tables are closed and no further step runs. Safe to call from a
  // signal handler or another thread. The user's StopRequested is asked as well.
  void RequestStop() { stopRequested_.store(true); }
  bool StopPending() { return stopRequested_.load() || user_.StopRequested(); }
  // The caller ran the guards already (the source's and the target's problems, the
  // projects migrated before, an unfinished run, the room for the stored files); the
  // preflight then does not run them again.
  void SetGuardsChecked(bool checked) { guardsChecked_ = checked; }
  // The run leaves the mark of a run that has not finished in the target from its first
  // step until it succeeds (the window's run; the terminal run keeps the mark itself,
  // around its backup and its putting back).
  void SetMarkUnfinished(bool mark) { markUnfinished_ = mark; }
  // Run even when the target holds this archive's projects (else the user is asked).
  void SetAllowDuplicates(bool allow) { allowDuplicates_ = allow; }
  // The run itself; the table objects must exist.
  void RunMigration();
  const TMigrationReport& Report() const { return report_; }

  // Appends the folder delimiter when the text does not end in one (also to an empty text).
  static std::string WithDelimiter(const std::string& folder);

  // Lookups answer from in-memory images of the tables (the default), or, as the
  // reference the images are measured against, by a walk from the first record for
  // every item. Both see every record posted before the lookup and answer the same.
  void SetWalkLookups(bool walk) { walkLookups_ = walk; }
  bool WalkLookups() const { return walkLookups_; }

  // The first record whose key equals the text exactly; failing that, the first (in
  // walk order) whose key equals it without regard to case; else 0.
  int32_t FindUserId(ovrin::TOvrinTable& users, const std::string& login);
  int32_t FindProjectId(ovrin::TOvrinTable& projects, const std::string& name);
  int32_t FindModuleId(ovrin::TOvrinTable& modules, const std::string& name, const std::string& path);

  // The step procedures, in run order. Each catches its own errors.
  void ConvertUsers();
  void ConvertProjects();
  void ConvertModules();
  void ConvertSharedDependencies();
  void ConvertHiddenDependencies();
  void ConvertRevisions();
  void ConvertLabels();
  void ConvertToDoLists();
  void ConvertModuleLists();
  // A module list's or cross-reference file's line of nothing but blanks and tabs: logged
  // as passed over (true), else false.
  bool PassedOverBlank(const std::string& line);
  void ConvertCrossReferences();
  void ConvertLogFile();
  // Every target revision of the module with this version and revision, in table order.
  std::vector<int32_t> FindRevisionIds(ovrin::TOvrinTable& revisions, int32_t moduleId, int32_t version,
                                       int32_t revision);

 private:
  using TStepBody = void (TMigration::*)();
  void CreateTables();
  void DestroyTables();
  bool Preflight();
  void WriteBanner();
  // Runs a step body under the handler that shows its error and closes its tables.
  void RunStep(const char* procedure, int firstStep, int lastStep, TStepBody body);
  void EndStep();
  void CloseAll();

  // Step conventions.
  void Log(const std::string& text, bool scroll = true) { user_.AddLogLine(text, scroll); }
  std::string Shown(const std::string& archiveText) const;
  // The step text, and a chance for the user interface to show it.
  void ShowStep(const std::string& text) {
    NoteStep(text);
    user_.SetStepText(text);
    user_.ProcessEvents();
  }
  void StartGauge(const std::string& stepText, int maximum);
  // Takes the step number from a step text ("... - Step 5/16") for the report of a stop.
  void NoteStep(const std::string& text);
  void ResetGauge(int maximum);
  // Shows an error the step goes on after, and marks the step as not clean.
  void StepError(const std::string& text);
  // The current date and time in the short date and long time formats, for the log.
  std::string NowText() const;
  // Moves the gauge on by one item; the point between two items where a stop is taken.
  void Advance();
  // Ends the step as stopped when a stop is pending; called only between records.
  void StopPoint();
  // Where the step was when an error ended it, for its message: the source record or
  // the side-file line in hand and the target tables the step writes.
  std::string ErrorContext(const std::string& message) const;
  void OpenSource(const std::string& table);
  ovrin::TOvrinTable& OpenTarget(int number, const std::string& table);
  void Added(ovrin::TOvrinTable& table);
  // The id a lookup answered for a field of the table written; a name that is not blank
  // and found nothing (id 0) is counted under "table.FIELD" for the summary.
  int32_t Noted(ovrin::TOvrinTable& table, const char* field, int32_t id, const std::string& name);
  // Sets a text field, counting a text longer than the field holds (the engine cuts it).
  void SetText(ovrin::TOvrinTable& table, const char* field, const std::string& text);
  void Changed(ovrin::TOvrinTable& table);

  int32_t Lookup(ovrin::TOvrinTable& table, TKeyImage& image, const char* keyField, const std::string& key,
                 const char* secondField, const std::string& askedSecond, const char* idField);
  // Refreshes a cursor and puts it before its first record, so that the walk that
  // follows sees every record posted so far, also through the run's other cursors.
  static void WalkFromFirst(ovrin::TOvrinTable& table);
  // The source fields of a stored file: time, size, check value, stored size, content.
  struct TStoredFileFields {
    const char *time, *size, *crc, *compressed, *data;
  };
  void AppendBlob(ovrin::TOvrinTable& blobs, int32_t revisionId, const std::string& extension,
                  const TStoredFileFields& from);
  // Copies a source blob field's whole content into a target blob field.
  void CopyBlob(const char* sourceField, ovrin::TField& target);
  // Where CopyBlob reads stored files; it keeps its room through the revisions step.
  std::string blobBuffer_;
  std::string SourceKey();  // PATH followed by FNAME of the current source record
  void ConvertDependencies(bool shared);
  // From the cursor on: stops at the first link of the module to the project.
  bool FindLink(ovrin::TOvrinTable& links, int32_t moduleId, int32_t projectId);
  void ShareModule(ovrin::TOvrinTable& links, const std::string& key, const std::string& project, int32_t moduleId,
                   int32_t projectId);
  void HideModule(ovrin::TOvrinTable& links, int32_t moduleId, int32_t projectId);
  // Steps 13 to 15: for each project walked in `projects`, its side file with this
  // extension, its lines sorted and each once, handed to `convert` with the project's id.
  // A conversion error names the file and the (first) line it came from.
  void ConvertProjectFiles(ovrin::TOvrinTable& projects, const char* extension,
                           const std::function<void(int32_t projectId, const std::string& line)>& convert);
  // Step 16's work on one line (number from 1) of the history log.
  void ConvertLogLine(const std::string& line, int64_t number, const std::string& file, ovrin::TOvrinTable& log,
                      ovrin::TOvrinTable& projects, ovrin::TOvrinTable& users, ovrin::TOvrinTable& modules);
  // The preflight's checks of the source: its tables' record counts and the date
  // format; false stops the run.
  bool CheckSource();
  bool CheckTarget();
  // The guards the user may run past: the projects migrated before, an unfinished run,
  // the room for the stored files; each asks the user, else stops the preflight.
  bool CheckRunAnyway();
  bool MarkUnfinished();
  bool RunAnyway(const std::string& cause);
  bool SettleDates();
  // The preflight stops with `message`, shown to the user unless the user has just
  // answered it (a "Run anyway?" answered No).
  void PreflightFailed(const std::string& message, bool show = true);

  TMigrationUser& user_;
  TTextComparer comparer_;
  bool walkLookups_ = false;
  TKeyImage usersImage_{comparer_, "LOGIN", nullptr, "USERID"};
  TKeyImage projectsImage_{comparer_, "NAME", nullptr, "PROJECTID"};
  TKeyImage modulesImage_{comparer_, "NAME", "PATH", "MODULEID"};
  TGroupImage revisionsImage_{{"MODULEID", "VERSION", "REVISION"}, "REVISIONID"};
  TGroupImage linksImage_{{"MODULEID", "PROJECTID"}, nullptr};
  // Step 16: the module whose folder and name, and the project whose name, occur in a line.
  static std::string LogModulePattern(ovrin::TOvrinTable& modules);
  static std::string LogProjectPattern(ovrin::TOvrinTable& projects);
  TTextImage logModulesImage_{&TMigration::LogModulePattern, "MODULEID"};
  TTextImage logProjectsImage_{&TMigration::LogProjectPattern, "PROJECTID"};
  ovrin::TFormatSettings settings_;
  TDateFormatChoice dateChoice_;
  std::optional<TDateFormatFinding> dateFinding_;
  bool force_ = false, guardsChecked_ = false, allowDuplicates_ = false, markUnfinished_ = false;
  std::atomic<bool> stopRequested_{false};
  static_assert(std::atomic<bool>::is_always_lock_free, "a stop request must be safe from a signal handler");
  int currentStep_ = 0;  // the step number the run is in, from the step texts
  std::string opening_;           // the target table being opened, for its password
  int passwordsAsked_ = 0;        // how often its password was asked for in this open
  std::vector<std::string> leftOut_;  // enciphered tables the user gave no password for
  std::vector<std::string> stepTargets_;  // the target tables the step in hand opened
  // The side-file line in hand: its file and number (0: none).
  std::string lineFile_;
  int64_t lineNumber_ = 0;
  TWorkingList list_;
  std::string sourceText_, targetText_, sourceDir_, targetDir_;
  std::unique_ptr<TSourceTable> source_;
  std::array<std::unique_ptr<ovrin::TOvrinTable>, 6> targets_;
  std::vector<std::string> projectNames_;  // the question's project list, archive bytes
  bool questionOpen_ = false, projectsShown_ = false, busy_ = false;
  int gaugeMax_ = 0, gaugeProgress_ = 0;
  TMigrationReport report_;
  TStepOutcome* current_ = nullptr;
};

}  // namespace hollard
