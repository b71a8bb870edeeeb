// The migration core's user at a terminal: the log and summary on one stream, errors,
// questions and the progress bar on the other; questions answered from an answers file
// or typed on the terminal.
#pragma once

#include <algorithm>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/answers.h"
#include "cli/migrate_tool.h"
#include "cli/progress_bar.h"
#include "main/migration.h"

namespace hollard {

// A question answered with Skip: its series ("shared" or "hidden"), the module and why.
struct TSkippedQuestion {
  std::string question, module, why;
};

class TTerminalUser : public TMigrationUser {
 public:
  TTerminalUser(TMigrateConsole& console, std::ostream* log)
      : c_(console), log_(log), bar_(console.bar ? *console.bar : console.err, console.terminal) {}

  void AddLogLine(const std::string& text, bool) override {
    if (!quiet) {
      // Only a log line on the bar's terminal needs the bar out of its way.
      if (c_.outTerminal) bar_.Clear();
      WriteOut(text + "\n");
    }
    WriteLog(text + "\n");
  }
  // A write error on standard output (a reader that went away, a full disk) stops the
  // run; what would have gone there goes nowhere, and the summary to the error stream.
  void WriteOut(const std::string& text) {
    if (outputGone_) return;
    // Flushed line by line: a reader that went away (| head) is seen at the next line,
    // not when a buffer of several kilobytes fills.
    c_.out << text << std::flush;
    if (!c_.out) outputGone_ = true;
  }
  // The log file is flushed line by line, so that it is whole up to the last line also
  // when the run is killed; a write error is told at once (and makes the exit code 1).
  void WriteLog(const std::string& text) {
    if (!log_ || logFailed) return;
    *log_ << text << std::flush;
    if (!*log_) {
      logFailed = true;
      logError = std::strerror(errno);
      bar_.Clear();
      c_.err << "hollard-migrate: cannot write the log file " << logName << ": " << logError
             << "; the run goes on without it.\n";
    }
  }
  bool OutputGone() const { return outputGone_; }
  bool StopRequested() override { return outputGone_ || (c_.stop && c_.stop->load() != 0); }
  void SetStepText(const std::string& text) override { bar_.SetStep(text); }
  void SetGaugeMax(int maximum) override { bar_.SetMaximum(maximum); }
  void SetGaugeProgress(int progress) override { bar_.SetProgress(progress); }
  void SetBytesCopied(int64_t done, int64_t total) override { bar_.SetBytes(done, total); }
  void ProcessEvents() override {}
  void SetProjects(const std::vector<std::string>& projects) override { projects_ = projects; }
  void BeginQuestion(const std::string& question) override {
    question_ = question;
    series_ = question == "Module is hidden in:" ? "hidden" : "shared";
    // The series was reached, even when it asks nothing.
    current_ = &(series_ == "hidden" ? asked_.hidden : asked_.shared).emplace();
    number_ = 0;
    count_ = 0;
  }
  void SetQuestionCount(int count) override { count_ = count; }
  std::optional<std::vector<int>> Ask(const std::string& module) override {
    ++number_;
    if (current_) current_->modules.push_back(module);
    if (interactive) return AskOnTerminal(module);
    const auto& script = series_ == "hidden" ? answers.hidden : answers.shared;
    auto it = script.find(module);
    if (it == script.end()) return Skip(module, answersGiven ? "not in the answers file" : "no answers file");
    return Pick(module, it->second);
  }
  void EndQuestion() override {
    current_ = nullptr;
    projects_.clear();
    question_.clear();
  }
  void ShowError(const std::string& text) override {
    bar_.Clear();
    c_.err << "Error: " << text << "\n";
    WriteLog("Error: " + text + "\n");
  }
  void SetBusyCursor(bool) override {}
  bool AskPassword(const std::string& table, bool wrongBefore, std::string* password) override {
    if (!interactive || endOfInput_) return false;
    bar_.Clear();
    if (wrongBefore) c_.err << "That password does not open " << table << ".\n";
    c_.err << "Password for the enciphered table " << table << " (empty to leave the table out): " << std::flush;
    std::string line;
    // The password is not shown while it is typed on a terminal.
    struct termios saved {};
    const bool hide = c_.inFd >= 0 && ::isatty(c_.inFd) && ::tcgetattr(c_.inFd, &saved) == 0;
    if (hide) {
      struct termios quiet = saved;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      ::tcsetattr(c_.inFd, TCSAFLUSH, &quiet);
    }
    const bool read = WaitForInput() && static_cast<bool>(std::getline(c_.in, line));
    if (hide) {
      ::tcsetattr(c_.inFd, TCSAFLUSH, &saved);
      c_.err << "\n";
    }
    if (!read) {
      if (!StopRequested()) endOfInput_ = true;
      return false;
    }
    if (line.empty()) return false;
    *password = line;
    return true;
  }

  // Waits until a line can be read or the run is to stop (false). A signal that comes
  // just before a blocking read would be lost in it: the read never returns until the
  // user types, so the wait looks at the stop every tenth of a second.
  bool WaitForInput() {
    if (c_.inFd < 0) return !StopRequested();
    while (true) {
      if (StopRequested()) return false;
      if (c_.in.rdbuf()->in_avail() > 0 || (c_.inputBuffered && c_.inputBuffered())) return true;
      struct pollfd p {c_.inFd, POLLIN, 0};
      int ready = ::poll(&p, 1, 100);
      if (ready > 0) return true;
      if (ready < 0 && errno != EINTR) return true;  // let the read tell what is wrong
    }
  }

  // Takes the bar off the screen at the end of the run, before the summary.
  void ClearBar() { bar_.Clear(); }

  // The keys of the answers file that name no question the run asked, as
  // "shared: KEY" or "hidden: KEY"; only series the run reached are judged.
  std::vector<std::string> UnknownKeys() const { return hollard::UnknownKeys(answers, asked_); }

  TAnswers answers;
  bool interactive = false;
  std::string logName, logError;
  bool logFailed = false;
  // An answers file was given (else every question is a Skip for want of one).
  bool answersGiven = false;
  // Log lines go to the log file only, not to the output stream.
  bool quiet = false;
  std::vector<TSkippedQuestion> skipped;
  std::vector<std::string> unknownProjects;

 private:
  std::nullopt_t Skip(const std::string& module, const std::string& why) {
    skipped.push_back({series_, module, why});
    return std::nullopt;
  }
  // The entries of the project list the names select, in list order and each once; the
  // k-th mention of a name the list holds more than once is its k-th entry.
  std::vector<int> Pick(const std::string& module, const std::vector<std::string>& names) {
    std::vector<bool> selected(projects_.size(), false);
    std::map<std::string, int> mentions;
    for (const std::string& name : names) {
      int wanted = mentions[name]++, seen = 0;
      bool inList = false;
      for (size_t i = 0; i < projects_.size(); ++i)
        if (projects_[i] == name) {
          inList = true;
          if (seen++ == wanted) {
            selected[i] = true;
            break;
          }
        }
      if (!inList) unknownProjects.push_back(module + " -> " + name);
    }
    std::vector<int> picked;
    for (size_t i = 0; i < selected.size(); ++i)
      if (selected[i]) picked.push_back(static_cast<int>(i));
    return picked;
  }
  std::optional<std::vector<int>> AskOnTerminal(const std::string& module) {
    // After the end of the input every further question is a Skip, asked no more.
    if (endOfInput_) return Skip(module, "end of input");
    bar_.Clear();
    c_.err << "\n(" << number_ << " of " << std::max(count_, number_) << ") " << question_ << " " << module << "\n";
    for (size_t i = 0; i < projects_.size(); ++i) c_.err << "  " << i + 1 << ". " << projects_[i] << "\n";
    while (true) {
      c_.err << "Numbers of the projects (empty line: Skip; end of input: Skip all): "
             << std::flush;
      std::string line;
      if (!WaitForInput() || !std::getline(c_.in, line)) {
        c_.err << "\n";
        // A signal breaks off the wait for a line: the run stops at its next record.
        if (StopRequested()) return Skip(module, "the run was stopped");
        endOfInput_ = true;
        return Skip(module, "end of input");
      }
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
      if (picked.empty()) return Skip(module, "empty line");
      std::sort(picked.begin(), picked.end());
      picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
      return picked;
    }
  }
  TMigrateConsole& c_;
  std::ostream* log_;
  TProgressBar bar_;
  std::string question_, series_;
  int number_ = 0, count_ = 0;
  bool endOfInput_ = false;
  // The series reached and the modules asked about.
  TQuestionList asked_;
  TQuestionSeries* current_ = nullptr;
  std::vector<std::string> projects_;
  bool outputGone_ = false;
};

}  // namespace hollard
