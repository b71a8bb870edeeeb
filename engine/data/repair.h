// Repair of a damaged table: the table's files are opened exclusively (a table in use
// by another user is refused), the data file is cut to the records its header counts,
// the index file is emptied and every index rebuilt from the records, the free chain and
// "Sys Deleted" are rebuilt, and every blob chain of a live record is followed with the
// blob file's repair rules. Records whose bytes are intact all stay; what had to change
// is written to the log, one line per fix.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ovrin {

struct TRepairReport {
  std::vector<std::string> log;  // every fix, in the order made
  int32_t liveRecords = 0, deletedRecords = 0;
  int64_t freeBlocks = 0;
};

// path names the table (any extension is replaced); an enciphered table's password
// must be in the current session's list. Raises the engine error that stops the
// repair: the table in use by another user, a data or index header that cannot be
// read, a password not known (10498).
TRepairReport RepairTable(const std::string& path);

}  // namespace ovrin
