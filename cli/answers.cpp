#include "cli/answers.h"

#include <nlohmann/json.hpp>

#include <fstream>

namespace hollard {

using nlohmann::json;

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

}  // namespace hollard
