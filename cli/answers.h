// The answers file of a terminal run: for each question kind ("shared", "hidden"), the
// module key and the names of the projects it belongs to; and the questions file that
// --list-questions writes for it, the same JSON with every key mapped to an empty list
// and the project list of each series under "projects".
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "main/migration.h"

namespace hollard {

// A wrong command line or answers file: the run stops before any work with exit code 2.
struct TUsageError {
  std::string message;
};

// The answers of a terminal run: per question kind, module key -> project names.
struct TAnswers {
  std::map<std::string, std::vector<std::string>> shared, hidden;
};

// Reads and checks the answers file; a file that cannot be read, does not hold the
// expected JSON or holds text after it is a TUsageError naming the file. The section
// "projects" (the project lists a questions file shows) is read over.
TAnswers LoadAnswers(const std::string& path);

// The questions of a run, per series: the modules in the order asked and the project
// list offered (as shown, duplicates kept). A series the run did not reach is absent.
struct TQuestionSeries {
  std::vector<std::string> modules, projects;
};
struct TQuestionList {
  std::optional<TQuestionSeries> shared, hidden;
};

// A user that records every question and answers Skip; the log and progress go nowhere.
class TQuestionRecorder : public TMigrationUser {
 public:
  void AddLogLine(const std::string&, bool) override {}
  void SetStepText(const std::string&) override {}
  void SetGaugeMax(int) override {}
  void SetGaugeProgress(int) override {}
  void ProcessEvents() override {}
  void SetProjects(const std::vector<std::string>& projects) override { projects_ = projects; }
  void BeginQuestion(const std::string& question) override {
    auto& series = question == "Module is hidden in:" ? questions.hidden : questions.shared;
    series.emplace();
    series->projects = projects_;
    current_ = &*series;
  }
  std::optional<std::vector<int>> Ask(const std::string& module) override {
    if (current_) current_->modules.push_back(module);
    return std::nullopt;
  }
  void EndQuestion() override { current_ = nullptr; }
  void ShowError(const std::string& text) override { errors.push_back(text); }
  void SetBusyCursor(bool) override {}
  bool StopRequested() override { return stop && stop(); }

  TQuestionList questions;
  std::vector<std::string> errors;
  std::function<bool()> stop;  // the user asked the run to stop

 private:
  std::vector<std::string> projects_;
  TQuestionSeries* current_ = nullptr;
};

// The questions file: {"shared": {KEY: []...}, "hidden": {...}, "projects": {"shared":
// [names], "hidden": [names]}}.
nlohmann::ordered_json QuestionsFileJson(const TQuestionList& questions);

// The keys of the answers that name no question of the list, as "shared: KEY" or
// "hidden: KEY"; a series the list lacks is not judged.
std::vector<std::string> UnknownKeys(const TAnswers& answers, const TQuestionList& questions);

}  // namespace hollard
