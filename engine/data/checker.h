// The consistency checker: reads a table's data file, every index and every blob chain
// and reports every disagreement between them. It opens the table read-only and never
// changes a file.
//
// Beyond the records, indexes and blobs it reports: a data file that is missing while
// another file of the table is there, or that is not a regular file; a table another
// program holds open exclusively (inUse, not damage: nothing could be read); and a last
// autoincrement value in the data header below the identifier of a live record (the
// next new record would repeat that identifier and fail on a unique index). Bytes of an
// unfinished change after the blob file's end-of-file offset are no damage (the engine
// never reads them and the next new block overwrites them): they are a note.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/base/file_handler.h"
#include "engine/format/table_format.h"

namespace ovrin {

struct TCheckReport {
  std::string table;
  bool opened = false;
  bool inUse = false;  // another program holds the table open exclusively
  // This user's permissions shut it out of the table (its folder or files): nothing is
  // known of their state, which is no damage either.
  bool refused = false;

  int32_t physicalRecords = 0;
  int32_t liveRecords = 0;
  int32_t deletedRecords = 0;
  int64_t blobBlocks = 0;
  std::vector<std::string> problems;
  std::vector<std::string> notes;  // worth knowing, but no damage
  bool Ok() const { return opened && problems.empty(); }
};

// Checks the table named by path (any extension is replaced). A table that cannot be
// opened is reported with the engine's message. At most maxProblems lines are kept
// (a count of the rest is added).
TCheckReport CheckTable(const std::string& path, size_t maxProblems = 200);

// Reads a data file's header from its first bytes and answers how many whole records its
// length holds after the header and field descriptors; false when the header gives no
// record size or the file ends before its records start. A short header raises.
bool WholeRecords(TFileHandler& file, TTableHeader* header, int64_t* whole);

// Whether one of the table's files exists and cannot be opened in this mode (shared or
// exclusive) because another open of it holds it: a sharing violation, as opposed to
// a file that is missing or that permissions close.
bool TableInUse(const std::string& path, bool exclusive);

}  // namespace ovrin
