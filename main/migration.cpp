// The run: preflight, banner, the step procedures in order, each under its own handler,
// and the conventions every step follows (log lines, gauge, table objects, lookups).
#include "main/migration.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <chrono>
#include <cstring>

#include "engine/base/conversions.h"
#include "engine/base/datetime.h"
#include "engine/base/locale.h"
#include "engine/base/platform.h"
#include "engine/table/session.h"
#include "engine/table/table.h"
#include "main/migration_guards.h"
#include "main/target_lock.h"

namespace hollard {

using ovrin::TOvrinTable;

// Fifty groups of '#' and a number: the stored form of the initial password.
const char* const TMigration::kInitialPassword =
    "#91#43#20#92#136#95#72#93#92#94#61#78#45#40#86#42#58#93#91#35#13#39#16#137#26#11#36#50#92#78#22#89#85#88#47#49#91"
    "#184#36#26#139#70#20#65#28#126#89#87#61#48";

bool ApplyDateFormat(const std::string& pattern, ovrin::TFormatSettings* settings) {
  std::string order, parts;
  char separator = 0;
  for (size_t i = 0; i < pattern.size(); ++i) {
    char c = static_cast<char>(std::tolower(static_cast<unsigned char>(pattern[i])));
    if (c == 'd' || c == 'm' || c == 'y') {
      if (order.empty() || order.back() != c || (i > 0 && !std::isalpha(static_cast<unsigned char>(pattern[i - 1]))))
        order += c;
      parts += c;
    } else if (!std::isalnum(static_cast<unsigned char>(c)) && (separator == 0 || separator == c)) {
      separator = c;
      parts += '/';
    } else {
      return false;
    }
  }
  // The orders dates are read in: the first of the three decides, so "yyyy-dd-mm" would
  // be read as year, month, day; such patterns are refused rather than misread.
  if ((order != "dmy" && order != "mdy" && order != "ymd") || separator == 0) return false;
  settings->ShortDateFormat = parts;
  settings->DateSeparator = separator;
  return true;
}

bool TMigrationReport::Failed() const {
  if (preflightFailed) return true;
  for (const TStepOutcome& s : steps)
    if (!s.succeeded && !(s.stopped && s.errors.empty())) return true;
  return false;
}

namespace {

// Thrown at a stop point and caught by the step's handler; no std::exception, so that
// no handler inside a step takes it for an error of its own.
struct TStopRun {};

// The step number of a step text ("... - Step 5/16"), or 0.
int StepNumberOf(const std::string& text) {
  size_t at = text.rfind("Step ");
  if (at == std::string::npos) return 0;
  int n = 0;
  for (size_t i = at + 5; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i)
    n = n * 10 + (text[i] - '0');
  return n;
}

}  // namespace

TMigration::TMigration(TMigrationUser& user, const std::string& codePage)
    : user_(user), comparer_(codePage), settings_(ovrin::UserFormatSettings(codePage.c_str())), list_(comparer_) {}

TMigration::~TMigration() { DestroyTables(); }

std::string TMigration::WithDelimiter(const std::string& folder) {
  return !folder.empty() && folder.back() == '/' ? folder : folder + "/";
}

void TMigration::CreateTables() {
  source_ = std::make_unique<TSourceTable>();
  for (auto& t : targets_) t = std::make_unique<TOvrinTable>();
}

void TMigration::DestroyTables() {
  source_.reset();
  for (auto& t : targets_) t.reset();
}

void TMigration::Import() {
  CreateTables();
  struct TDestroy {
    TMigration* m;
    ~TDestroy() { m->DestroyTables(); }
  } destroy{this};
  // A target table that is enciphered asks the user for its password.
  ovrin::TOvrinSession& session = ovrin::Sessions().Default();
  ovrin::TOvrinPasswordEvent saved = session.OnPassword;
  leftOut_.clear();
  session.OnPassword = [this](ovrin::TOvrinSession& s, bool& continueOpen) {
    continueOpen = false;
    if (opening_.empty() || std::find(leftOut_.begin(), leftOut_.end(), opening_) != leftOut_.end()) return;
    std::string password;
    // Asked again in the same open: the password just given did not open the table.
    continueOpen = user_.AskPassword(targetDir_ + opening_, passwordsAsked_++ > 0, &password);
    if (continueOpen)
      s.AddPassword(password);
    else if (!StopPending())  // a stop asked for at the prompt is no answer
      leftOut_.push_back(opening_);
  };
  struct TRestore {
    ovrin::TOvrinSession& s;
    ovrin::TOvrinPasswordEvent saved;
    ~TRestore() { s.OnPassword = std::move(saved); }
  } restore{session, std::move(saved)};
  RunMigration();
}

bool TMigration::Preflight() {
  auto missing = [](const std::string& path) { return ovrin::Platform().ResolveExisting(path).empty(); };
  // A folder this user may not list or enter hides its tables: the message says so, or
  // the user would look for a wrong path. A folder that may be entered but not listed
  // (0711) is refused as well, --force or not: a table or side file is found there only
  // when its name is spelt exactly as the run asks for it, so the run would miss the
  // side files and call present tables missing.
  const char* which = nullptr;
  const std::string* folder = nullptr;
  std::string why;
  for (const std::string* f : {&sourceDir_, &targetDir_})
    if (ovrin::PermissionDenied(*f, R_OK | X_OK)) {
      which = f == &sourceDir_ ? "Source tables not found!" : "Target tables not found!";
      folder = f;
      why = " The folder " + *f + " cannot be read by this user (" + std::strerror(errno) + ").";
      break;
    }
  if (!which && missing(sourceDir_ + "hollardm.db")) {
    which = "Source tables not found!";
    folder = &sourceDir_;
  } else if (!which && missing(targetDir_ + "users.dat")) {
    which = "Target tables not found!";
    folder = &targetDir_;
  }
  if (!which) return CheckSource() && CheckTarget() && SettleDates() && CheckRunAnyway();
  // The folders given the wrong way round, or the old archive given as both: the folder
  // holds the other layout's tables.
  if (why.empty() && folder == &sourceDir_ && !missing(sourceDir_ + "users.dat"))
    why = " The folder " + sourceDir_ + " holds a new-layout archive (users.DAT): the source is the old archive's folder.";
  else if (why.empty() && folder == &targetDir_ && !missing(targetDir_ + "hollardm.db"))
    why = " The folder " + targetDir_ + " holds an old-layout archive (hollardm.db): the target is the new archive's folder.";
  report_.preflightFailed = true;
  report_.preflightMessage = std::string(which) + why + "\n\rSee Hollard online help topic \"Installation\"";
  user_.ShowError(report_.preflightMessage);
  return false;
}

void TMigration::PreflightFailed(const std::string& message, bool show) {
  report_.preflightFailed = true;
  report_.preflightMessage = message;
  if (show) user_.ShowError(message);
}

bool TMigration::CheckSource() {
  if (guardsChecked_) return true;
  std::vector<std::string> damaged = SourceProblems(sourceDir_, comparer_.CodePage());
  if (damaged.empty() || force_) return true;
  std::string message;
  for (const std::string& d : damaged) message += d + "\n";
  PreflightFailed(message + "Nothing was written.");
  return false;
}

bool TMigration::CheckTarget() {
  if (guardsChecked_) return true;
  std::vector<TTargetProblem> problems = TargetProblems(targetDir_, !force_, [this](const std::string& table) {
    opening_ = table;
    passwordsAsked_ = 0;
  });
  opening_.clear();
  if (problems.empty()) return true;
  std::string message;
  // A killed run may leave a table damaged: its backup, put back, mends that too.
  const std::string mark = TUnfinishedRun::Read(targetDir_);
  if (!mark.empty()) message += UnfinishedMessage(targetText_.empty() ? targetDir_ : targetText_, mark) + "\n";
  for (const TTargetProblem& p : problems) message += p.message + "\n";
  PreflightFailed(message + "Nothing was written.");
  return false;
}

bool TMigration::RunAnyway(const std::string& cause) {
  if (user_.AskRunAnyway(cause)) return true;
  // The question showed the cause, and the answer No is the user's: no second box.
  PreflightFailed(cause + "\nNothing was written.", false);
  return false;
}

bool TMigration::CheckRunAnyway() {
  if (guardsChecked_) return true;
  const std::string shownTarget = targetText_.empty() ? targetDir_ : targetText_;
  if (!allowDuplicates_) {
    const std::string mark = TUnfinishedRun::Read(targetDir_);
    if (!mark.empty() && !RunAnyway(UnfinishedMessage(shownTarget, mark))) return false;
    std::vector<std::string> duplicates;
    try {
      duplicates = ProjectsAlreadyInTarget(sourceDir_, targetDir_, comparer_);
    } catch (const ovrin::Exception&) {
      // A table the guard cannot read is left to the steps, which report it.
    }
    if (!duplicates.empty()) {
      std::vector<std::string> shown;
      for (const std::string& d : duplicates) shown.push_back(Shown(d));
      if (!RunAnyway(DuplicatesMessage(shown, shownTarget))) return false;
    }
  }
  if (!force_) {
    TBlobSpace space;
    try {
      space = BlobSpaceNeeded(sourceDir_, targetDir_, comparer_.CodePage());
    } catch (const ovrin::Exception&) {
      // Counted from every stored file's record, which the source's checks have read.
    }
    if (!space.Fits() && !RunAnyway(SpaceMessage(space, shownTarget))) return false;
  }
  return true;
}

bool TMigration::SettleDates() {
  TDateFormatFinding finding;
  if (dateFinding_) {
    finding = *dateFinding_;
  } else {
    try {
      finding = SettleDateFormat(sourceDir_, dateChoice_, settings_, comparer_.CodePage());
    } catch (const std::exception& e) {
      PreflightFailed(e.what());
      return false;
    }
  }
  if (!finding.Settled() && !force_) {
    PreflightFailed(finding.UnreadMessage() + "\nNothing was written.");
    return false;
  }
  if (!guardsChecked_ && !force_) {
    std::vector<std::string> todo = ToDoProblems(sourceDir_, finding.settings, comparer_.CodePage());
    if (!todo.empty()) {
      std::string message;
      for (const std::string& t : todo) message += t + "\n";
      PreflightFailed(message + "Nothing was written.");
      return false;
    }
  }
  settings_ = finding.settings;
  report_.dateFormat = finding.LogLine();
  for (const auto& [file, unread] : finding.unreadPerFile)
    if (ovrin::AsciiLower(file.substr(file.size() >= 4 ? file.size() - 4 : 0)) == ".tdo") report_.passedOver[file] = unread;
  return true;
}

void TMigration::WriteBanner() {
  Log("Hollard version archive conversion tool", false);
  Log(std::string(39, '='), false);
  Log("Converting from Paradox archive V1.4 - " + sourceDir_, false);
  Log("Converting to Ovrin archive V2.0 - " + targetDir_, false);
  Log("Ovrin engine version: " + targets_[0]->EngineVersion(), false);
  Log("Process started at " + NowText(), false);
  Log("", false);
  // Not part of the banner proper: how the archive's dates are read, and why.
  Log(report_.dateFormat, false);
}

void TMigration::RunMigration() {
  report_ = TMigrationReport();
  sourceDir_ = WithDelimiter(sourceText_);
  targetDir_ = WithDelimiter(targetText_);
  if (!Preflight()) return;
  if (markUnfinished_ && !MarkUnfinished()) return;
  WriteBanner();
  static const struct {
    const char* procedure;
    int first, last;
    TStepBody body;
  } kSteps[] = {{"ConvertUsers", 1, 2, &TMigration::ConvertUsers},
                {"ConvertProjects", 3, 3, &TMigration::ConvertProjects},
                {"ConvertModules", 4, 5, &TMigration::ConvertModules},
                {"ConvertSharedDependencies", 6, 7, &TMigration::ConvertSharedDependencies},
                {"ConvertHiddenDependencies", 8, 9, &TMigration::ConvertHiddenDependencies},
                {"ConvertRevisions", 10, 10, &TMigration::ConvertRevisions},
                {"ConvertLabels", 11, 12, &TMigration::ConvertLabels},
                {"ConvertToDoLists", 13, 13, &TMigration::ConvertToDoLists},
                {"ConvertModuleLists", 14, 14, &TMigration::ConvertModuleLists},
                {"ConvertCrossReferences", 15, 15, &TMigration::ConvertCrossReferences},
                {"ConvertLogFile", 16, 16, &TMigration::ConvertLogFile}};
  for (const auto& step : kSteps) {
    // A stop asked for between two steps: the next one does not start.
    if (StopPending()) {
      report_.stoppedAtStep = step.first;
      break;
    }
    RunStep(step.procedure, step.first, step.last, step.body);
    if (report_.Stopped()) break;
  }
  if (report_.Stopped()) Log("Stopped at step " + std::to_string(report_.stoppedAtStep) + ".");
  if (markUnfinished_) {
    if (report_.Failed() || report_.Stopped())
      TUnfinishedRun::Write(targetDir_, TUnfinishedRun::EndedText(sourceDir_, report_, ""));
    else
      TUnfinishedRun::Clear(targetDir_);
  }
}

bool TMigration::MarkUnfinished() {
  int error = 0;
  if (TUnfinishedRun::Write(targetDir_, TUnfinishedRun::StartedText(sourceDir_, ""), &error)) return true;
  bool full = false;
  const std::string what =
      TUnfinishedRun::WriteFailed(targetDir_, targetText_.empty() ? targetDir_ : targetText_, error, &full);
  if (full) {
    PreflightFailed("The run " + what + ".\nNothing was written. Make room on it, then run again.");
    return false;
  }
  user_.ShowError("The run " + what + "; it goes on without it.");
  return true;
}

void TMigration::RunStep(const char* procedure, int firstStep, int lastStep, TStepBody body) {
  TStepOutcome outcome;
  outcome.procedure = procedure;
  outcome.firstStep = firstStep;
  outcome.lastStep = lastStep;
  report_.steps.push_back(std::move(outcome));
  current_ = &report_.steps.back();
  currentStep_ = firstStep;
  stepTargets_.clear();
  lineFile_.clear();
  lineNumber_ = 0;
  auto start = std::chrono::steady_clock::now();
  std::string error;
  bool failed = true, stopped = false;
  try {
    (this->*body)();
    failed = false;
  } catch (const TStopRun&) {
    stopped = true;
  } catch (const ovrin::EOvrinEngineError& e) {
    error = e.Message();
    // Damage calls for the checker and the repair: say so, naming them.
    if (ovrin::IsDamageError(e.ErrorCode()) && !stepTargets_.empty()) {
      error += "\nA target table may be damaged: run 'hollard-archive check " + targetDir_ +
               "' to see which, and 'hollard-archive repair " + targetDir_ + " TABLE' to mend it.";
    }
    if (e.ErrorCode() == ovrin::errWrite && !stepTargets_.empty()) {
      const std::string full = DiskFullNote(targetDir_);
      if (!full.empty()) error += "\n" + full;
    }
  } catch (const ovrin::Exception& e) {
    error = e.Message();
  } catch (const std::bad_alloc&) {
    // Memory running out is the engine's error 11016 wherever it was noticed.
    error = ovrin::EOvrinEngineError(ovrin::errNoMemory,
                                     "There is insufficient operating system memory available for the current "
                                     "operation")
                .Message();
  } catch (const std::exception& e) {
    error = e.what();
  }
  if (stopped) {
    current_->stopped = true;
    report_.stoppedAtStep = std::max(currentStep_, firstStep);
    CloseAll();
  } else if (failed) {
    error += ErrorContext(error);
    current_->errors.push_back(error);
    user_.ShowError(error);
    CloseAll();
  }
  current_->succeeded = !failed && current_->errors.empty();
  current_->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  current_ = nullptr;
}

// Ends a step that failed: the record being edited is discarded, every table closed,
// the question controls returned to idle and the working lists released.
void TMigration::CloseAll() {
  for (auto& t : targets_) {
    if (!t) continue;
    try {
      if (t->State() == ovrin::TDataSetState::Insert || t->State() == ovrin::TDataSetState::Edit) t->Cancel();
    } catch (...) {
    }
    try {
      t->Close();
    } catch (...) {
    }
  }
  if (source_) source_->Close();
  if (busy_) {
    user_.SetBusyCursor(false);
    busy_ = false;
  }
  if (questionOpen_ || projectsShown_) {
    user_.EndQuestion();
    questionOpen_ = projectsShown_ = false;
  }
  list_.Clear();
  projectNames_.clear();
}

void TMigration::EndStep() {
  for (auto& t : targets_) t->Close();
  source_->Close();
  Log("Success.");
  ShowStep("Success");
  list_.Clear();
}

std::string TMigration::Shown(const std::string& archiveText) const {
  return ovrin::DecodeToUtf8(archiveText, comparer_.CodePage().c_str());
}

void TMigration::NoteStep(const std::string& text) {
  if (int n = StepNumberOf(text)) currentStep_ = n;
}

void TMigration::StartGauge(const std::string& stepText, int maximum) {
  NoteStep(stepText);
  user_.SetStepText(stepText);
  ResetGauge(maximum);
  user_.ProcessEvents();
}

void TMigration::ResetGauge(int maximum) {
  gaugeMax_ = maximum;
  gaugeProgress_ = 0;
  user_.SetGaugeMax(maximum);
  user_.SetGaugeProgress(0);
}

void TMigration::StepError(const std::string& text) {
  if (current_) current_->errors.push_back(text);
  user_.ShowError(text);
}

std::string TMigration::NowText() const {
  return Shown(ovrin::FormatDateTime(settings_.ShortDateFormat + " " + settings_.LongTimeFormat, ovrin::Now(), settings_));
}

void TMigration::Advance() {
  StopPoint();
  if (gaugeProgress_ < gaugeMax_) ++gaugeProgress_;
  user_.SetGaugeProgress(gaugeProgress_);
}

std::string TMigration::ErrorContext(const std::string& message) const {
  // A message that names its file (and line) already says where it comes from.
  std::vector<std::string> parts;
  if (lineNumber_ > 0) {
    std::string line = lineFile_ + ", line " + std::to_string(lineNumber_);
    if (message.find(line) != std::string::npos) return {};
    parts.push_back("at " + line);
  } else if (source_ && source_->Active()) {
    const std::string& path = source_->File().Path();
    if (message.find(path) != std::string::npos) return {};
    parts.push_back(source_->Eof() ? "reading the source table " + path
                                   : "at record " + std::to_string(source_->Current() + 1) + " of the source table " +
                                         path);
  }
  if (!stepTargets_.empty()) {
    std::string tables = stepTargets_.size() == 1 ? "writing the target table " : "writing the target tables ";
    for (size_t i = 0; i < stepTargets_.size(); ++i) tables += (i ? ", " : "") + stepTargets_[i];
    parts.push_back(tables + " in " + targetDir_);
  }
  if (parts.empty()) return {};
  std::string context = "\n(step " + std::to_string(currentStep_);
  for (size_t i = 0; i < parts.size(); ++i) context += (i ? "; " : ", ") + parts[i];
  return context + ")";
}

void TMigration::StopPoint() {
  if (StopPending()) throw TStopRun{};
}

void TMigration::OpenSource(const std::string& table) {
  source_->SetDatabaseName(sourceDir_);
  source_->SetTableName(table);
  source_->SetTableType(TTableType::Paradox);
  // A table that does not open ends the step with its own error: going on, the step's
  // next use of the closed table would add a second one that says nothing.
  source_->Open();
}

TOvrinTable& TMigration::OpenTarget(int number, const std::string& table) {
  TOvrinTable& t = *targets_.at(static_cast<size_t>(number - 1));
  t.SetDatabaseName(targetDir_);
  t.SetTableName(table);
  // A table object takes the read-only attribute of the last file it opened as its own
  // setting: without this, one read-only table would make every later table opened
  // through the same object read-only as well.
  t.SetReadOnly(false);
  if (std::find(stepTargets_.begin(), stepTargets_.end(), table) == stepTargets_.end()) stepTargets_.push_back(table);
  auto leftOut = [&] { return std::find(leftOut_.begin(), leftOut_.end(), table) != leftOut_.end(); };
  const std::string notGiven = "The target table " + targetDir_ + table +
                               " is enciphered and was left out of this run: no password was given for it.";
  if (leftOut()) throw ovrin::EDatabaseError(notGiven);
  opening_ = table;
  passwordsAsked_ = 0;
  struct TOpening {
    std::string& name;
    ~TOpening() { name.clear(); }
  } opening{opening_};
  try {
    t.Open();
  } catch (const ovrin::EOvrinEngineError& e) {
    if (leftOut()) throw ovrin::EDatabaseError(notGiven);
    if (StopPending()) throw TStopRun{};  // stopped at the password prompt
    throw;
  }
  return t;
}

void TMigration::Added(TOvrinTable& table) { ++report_.added[table.TableName()]; }
void TMigration::Changed(TOvrinTable& table) { ++report_.changed[table.TableName()]; }

int32_t TMigration::Noted(TOvrinTable& table, const char* field, int32_t id, const std::string& name) {
  if (id == 0 && name.find_first_not_of(' ') != std::string::npos)
    report_.unmatched[table.TableName() + "." + field].Add(Shown(name));
  return id;
}

void TMigration::SetText(TOvrinTable& table, const char* field, const std::string& text) {
  ovrin::TField& f = table.FieldByName(field);
  if (f.DataType() == ovrin::TFieldType::String && text.size() > static_cast<size_t>(std::max(f.DataSize() - 1, 0)))
    ++report_.cut[table.TableName() + "." + f.FieldName()];
  f.SetAsString(text);
}

void TMigration::WalkFromFirst(TOvrinTable& table) {
  // Without a refresh a cursor notices another cursor's posts only when it misses its
  // caches, so whether a walk saw a record appended a moment ago would depend on the
  // cache; a module listed twice would be added twice.
  table.Refresh();
  table.First();
}

int32_t TMigration::Lookup(TOvrinTable& table, TKeyImage& image, const char* keyField, const std::string& key,
                           const char* secondField, const std::string& askedSecond, const char* idField) {
  // A key is compared as the target stores it: a text longer than its field was cut when
  // it was written, and the engine keeps strings without trailing blanks; the key is cut
  // and stripped the same way here so that it still finds its record ("lee " finds "lee").
  auto stored = [&](const char* field, const std::string& text) {
    ovrin::TField& f = table.FieldByName(field);
    if (f.DataType() != ovrin::TFieldType::String) return text;
    size_t room = static_cast<size_t>(std::max(f.DataSize() - 1, 0));
    std::string s = text.size() > room ? text.substr(0, room) : text;
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
  };
  const std::string asked = stored(keyField, key);
  const std::string second = secondField ? stored(secondField, askedSecond) : askedSecond;
  if (!walkLookups_) {
    image.Sync(table);
    return image.Find(asked, second);
  }
  // The fields are looked up once; their texts are read in place, without a copy.
  ovrin::TField& keyF = table.FieldByName(keyField);
  ovrin::TField* secondF = secondField ? &table.FieldByName(secondField) : nullptr;
  ovrin::TField& idF = table.FieldByName(idField);
  auto matches = [&](bool exact) {
    std::string_view k = keyF.AsStringView();
    bool equal = exact ? k == asked : comparer_.Equal(k, asked);
    if (equal && secondF) {
      std::string_view s = secondF->AsStringView();
      equal = exact ? s == second : comparer_.Equal(s, second);
    }
    return equal;
  };
  // The exact walk first; only when it finds nothing, the walk that ignores case, so
  // that a spelling merged into one user or module by the working lists still finds it.
  for (bool exact : {true, false}) {
    for (WalkFromFirst(table); !table.Eof(); table.Next())
      if (matches(exact)) return idF.AsInteger();
  }
  return 0;
}

int32_t TMigration::FindUserId(TOvrinTable& users, const std::string& login) {
  return Lookup(users, usersImage_, "LOGIN", login, nullptr, std::string(), "USERID");
}

int32_t TMigration::FindProjectId(TOvrinTable& projects, const std::string& name) {
  return Lookup(projects, projectsImage_, "NAME", name, nullptr, std::string(), "PROJECTID");
}

int32_t TMigration::FindModuleId(TOvrinTable& modules, const std::string& name, const std::string& path) {
  return Lookup(modules, modulesImage_, "NAME", name, "PATH", path, "MODULEID");
}

}  // namespace hollard
