// Repair of a damaged table. Before anything is judged or touched the data file is
// taken exclusively, and it stays held until the repair has finished (index file made
// anew and renamed into place included): every other open of the table meets the
// sharing violation (11013) meanwhile, so no other user ever sees a table half
// repaired. A table another program has open, or any sharing violation met during the
// repair, is "in use": refused, with nothing renamed and (when met before the first
// change, as it always is with users of the engine, who open the data file first)
// nothing changed. Then the data file is cut to the records
// its header counts, the index file is emptied and every index rebuilt from the records,
// the free chain and "Sys Deleted" are rebuilt, the record link of every live record is
// set to its own number, the last autoincrement value is raised to the highest
// identifier, every blob chain of a live record is followed with the blob file's repair
// rules, and bytes an unfinished change left after the blob file's end-of-file offset
// are cut. Records whose bytes are intact all stay; what had to change is written to the
// log, one line per fix.
//
// The index file is trusted only when it fits the table. Its descriptions must open
// against the data file's fields (field numbers, types, key lengths, key-field counts;
// the engine's own open checks), and then:
//  - when the caller supplies the table's structure (TRepairOptions::structure) and the
//    data file's fields are exactly that structure's, every index description (names,
//    options, key fields, the primary index or its absence) must be the structure's;
//  - otherwise the entries the index file holds must not contradict the records: an
//    index whose tree can be read and of which at least two entries name live records,
//    fewer than half of them under the keys those records have, belongs to another
//    table. Entries naming records the data file does not hold, or deleted ones, are
//    what failed changes leave and count neither way.
// An error of the system met while the index file is judged (a sharing violation, too
// many open files, a failing device) is never taken for a misfit: only the file's own
// contents are.
// An index file that does not fit is never used to delete a record (a unique index of
// another table would delete every record that shares a key with another). With the
// structure a new index file is made from the structure under a name of its own
// (NAME.IDX.new), the old one is kept aside as NAME.IDX.damaged (or .damaged2, ...) and
// the new one renamed into its place; the log says so; without one, the data file alone cannot tell the
// table's indexes (it holds no index descriptions), and the repair is refused with the
// reason, the index file left as it is.
//
// Before and after, the consistency checker runs over the table: each problem it found
// before that is gone afterwards is logged as mended, and each that remains is listed
// in remaining, as beyond what the repair can mend.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/data/table_create.h"

namespace ovrin {

struct TRepairOptions {
  // The table's own structure when the caller knows it, else null. Used only when the
  // data file's fields are exactly the structure's fields.
  const TTableSpec* structure = nullptr;
};

struct TRepairReport {
  std::vector<std::string> log;  // every fix, in the order made
  int32_t liveRecords = 0, deletedRecords = 0;
  int64_t freeBlocks = 0;
  // Not repaired: another program has the table open (inUse), the index file does not
  // fit and no structure tells the table's indexes, or an error stopped the repair after
  // it had changed something (refused says why in each case). The log holds every change
  // made: on a refused misfit at most the mending of the data file's length.
  bool inUse = false;
  std::string refused;
  std::string indexKeptAs;                // the old index file's new name, when kept aside
  std::vector<std::string> problemsBefore;  // the checker's report before the repair
  std::vector<std::string> remaining;       // ... and what it still reports afterwards
  bool Repaired() const { return !inUse && refused.empty(); }
  bool Sound() const { return Repaired() && remaining.empty(); }
};

// path names the table (any extension is replaced); an enciphered table's password
// must be in the current session's list. Raises the engine error that stops the
// repair before it has changed anything: a data or index header that cannot be read, a
// password not known (10498); one that stops it later is reported in refused, the
// changes made in the log.
TRepairReport RepairTable(const std::string& path, const TRepairOptions& options = {});

// Whether the repair has something to start from: the data file's header (the table's
// fields, its record count) reads. The repair rebuilds indexes, chains and lists from the
// records and that header, never the header itself: a data file cut inside its header,
// or whose header is overwritten, is for a backup. A file that cannot be opened at all
// (missing, no rights) and an enciphered header whose password is not known count as
// readable: those are not damage the repair is asked about.
bool DataHeaderReadable(const std::string& path);


}  // namespace ovrin
