// The answers file of a terminal run: for each question kind ("shared", "hidden"), the
// module key and the names of the projects it belongs to.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace hollard {

// A wrong command line or answers file: the run stops before any work with exit code 2.
struct TUsageError {
  std::string message;
};

// The answers of a terminal run: per question kind, module key -> project names.
struct TAnswers {
  std::map<std::string, std::vector<std::string>> shared, hidden;
};

// Reads and checks the answers file; a file that cannot be read or does not hold the
// expected JSON is a TUsageError naming the file.
TAnswers LoadAnswers(const std::string& path);

}  // namespace hollard
