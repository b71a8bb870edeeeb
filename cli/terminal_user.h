// The migration core's user at a terminal: the log and summary on one stream, errors,
// questions and the progress bar on the other; questions answered from an answers file
// or typed on the terminal.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
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

class TTerminalUser : public TMigrationUser {
 public:
  TTerminalUser(TMigrateConsole& console, std::ostream* log)
      : c_(console), log_(log), bar_(console.err, console.terminal) {}

  void AddLogLine(const std::string& text, bool) override {
    bar_.Clear();
    WriteOut(text + "\n");
    WriteLog(text + "\n");
  }
  // A write error on standard output (a reader that went away, a full disk) stops the
  // run; what would have gone there goes nowhere, and the summary to the error stream.
  void WriteOut(const std::string& text) {
    if (outputGone_) return;
    c_.out << text;
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
    bar_.Clear();
    c_.err << "Error: " << text << "\n";
    WriteLog("Error: " + text + "\n");
  }
  void SetBusyCursor(bool) override {}
  bool AskPassword(const std::string& folder, std::string* password) override {
    if (!interactive) return false;
    bar_.Clear();
    c_.err << "Password for an enciphered table in " << folder << " (empty to cancel): " << std::flush;
    std::string line;
    if (!std::getline(c_.in, line) || line.empty()) return false;
    *password = line;
    return true;
  }

  TAnswers answers;
  bool interactive = false;
  std::string logName, logError;
  bool logFailed = false;
  std::vector<std::string> unanswered, unknownProjects;

 private:
  std::optional<std::vector<int>> AskOnTerminal(const std::string& module) {
    bar_.Clear();
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
  TMigrateConsole& c_;
  std::ostream* log_;
  TProgressBar bar_;
  std::string question_;
  std::vector<std::string> projects_;
  bool outputGone_ = false;
};

}  // namespace hollard
