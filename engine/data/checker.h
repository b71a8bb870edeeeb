// The consistency checker: reads a table's data file, every index and every blob chain
// and reports every disagreement between them. It opens the table read-only and never
// changes a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ovrin {

struct TCheckReport {
  std::string table;
  bool opened = false;
  int32_t physicalRecords = 0;
  int32_t liveRecords = 0;
  int32_t deletedRecords = 0;
  int64_t blobBlocks = 0;
  std::vector<std::string> problems;
  bool Ok() const { return opened && problems.empty(); }
};

// Checks the table named by path (any extension is replaced). A table that cannot be
// opened is reported with the engine's message. At most maxProblems lines are kept
// (a count of the rest is added).
TCheckReport CheckTable(const std::string& path, size_t maxProblems = 200);

}  // namespace ovrin
