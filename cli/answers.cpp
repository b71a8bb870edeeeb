#include "cli/answers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

namespace hollard {

using nlohmann::json;

TAnswers LoadAnswers(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw TUsageError{"Cannot read the answers file " + path + ": " + std::strerror(errno)};
  std::stringstream text;
  text << in.rdbuf();
  json document;
  try {
    document = json::parse(text.str());
  } catch (const json::parse_error& e) {
    // A whole JSON value followed by more text is named as such, with where it starts.
    std::istringstream prefix(text.str());
    json value;
    bool wholeValue = true;
    try {
      prefix >> value;
    } catch (const json::exception&) {
      wholeValue = false;
    }
    if (wholeValue)
      throw TUsageError{"The answers file " + path + " holds text after its JSON (at byte " +
                        std::to_string(e.byte > 0 ? e.byte - 1 : 0) + ")"};
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
    if (kind != "shared" && kind != "hidden" && kind != "projects")
      throw TUsageError{"The answers file " + path + " has an unknown section \"" + kind +
                        "\" (expected \"shared\" and \"hidden\")"};
  return answers;
}

nlohmann::ordered_json QuestionsFileJson(const TQuestionList& questions) {
  nlohmann::ordered_json file = nlohmann::ordered_json::object(), projects = nlohmann::ordered_json::object();
  for (const auto& [name, series] : {std::pair{"shared", &questions.shared}, std::pair{"hidden", &questions.hidden}}) {
    nlohmann::ordered_json keys = nlohmann::ordered_json::object();
    if (*series) {
      for (const std::string& module : (*series)->modules) keys[module] = nlohmann::ordered_json::array();
      projects[name] = (*series)->projects;
    }
    file[name] = keys;
  }
  file["projects"] = projects;
  return file;
}

std::vector<std::string> UnknownKeys(const TAnswers& answers, const TQuestionList& questions) {
  std::vector<std::string> unknown;
  for (const auto& [name, script, series] : {std::tuple{"shared", &answers.shared, &questions.shared},
                                             std::tuple{"hidden", &answers.hidden, &questions.hidden}}) {
    if (!*series) continue;
    const std::vector<std::string>& asked = (*series)->modules;
    for (const auto& [key, _] : *script)
      if (std::find(asked.begin(), asked.end(), key) == asked.end()) unknown.push_back(std::string(name) + ": " + key);
  }
  return unknown;
}

}  // namespace hollard
