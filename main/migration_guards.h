// Checks a terminal run makes before it writes anything: whether the target already
// holds this archive's projects (a second run of the same archive), and whether the
// stored files fit into what the target's blob file has left.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/base/conversions.h"
#include "main/text_compare.h"

namespace hollard {

// The source's project names (archive bytes) that a target project already carries,
// compared without regard to case; the standard project "_HLRD_std.dpr" is left out.
std::vector<std::string> ProjectsAlreadyInTarget(const std::string& sourceDir, const std::string& targetDir,
                                                 const TTextComparer& comparer);

struct TBlobSpace {
  int64_t needed = 0;     // bytes of blob blocks the stored files will take
  int64_t available = 0;  // bytes the target's blob file can still grow by
  int64_t blobs = 0;      // non-empty stored files
  int64_t records = 0;    // about: the records, their memos and indexes the run adds
  int64_t copied = 0;     // a copy of the target's table files (a dry run's)
  int64_t diskFree = -1;  // bytes free to this user where the run writes; -1 unknown
  bool FitsFile() const { return needed <= available; }
  bool FitsDisk() const { return diskFree < 0 || needed + records + copied <= diskFree; }
  bool Fits() const { return FitsFile() && FitsDisk(); }
};
// Sums the stored files' lengths (as the revision records declare them, without reading
// the blob file) in whole blocks of the target "blobs" table, and asks how much room the
// target's disk has left; the rest the run writes is RecordsRoom's. Blocks the blob file
// has free are not counted against the need: a target with many freed blocks may be
// refused on a disk that would hold it.
TBlobSpace BlobSpaceNeeded(const std::string& sourceDir, const std::string& targetDir,
                           const std::string& codePage = "windows-1252");
// The items of the source's revision table that the room of the records is counted from.
struct TSourceItems {
  int64_t revisions = 0, storedFiles = 0, modules = 0;
  std::vector<int64_t> memoLengths;  // of every revision's memo fields (its comments)
  std::vector<std::string> projects;  // the projects' names as stored, whose side files count
  std::string codePage = "windows-1252";
};
// The room the records the run adds take (record and index entries, memo blocks for
// memos as long as the source's texts), counted per item: a revision, a stored file, a
// module, a project, a line of the history log, the label key file or a side file of
// one of the projects; and a megabyte for the rest.
int64_t RecordsRoom(const std::string& sourceDir, const std::string& targetDir, const TSourceItems& items);

// The source tables ("hollardm", "hollardp") whose records the reader cannot all be
// trusted to reach or to hold: a data block chain that holds another number of records
// than the header counts, a file that holds more data blocks than the header counts, or
// records of nothing but zero bytes; one message each naming the file and what was
// found. A table that cannot be opened is left to the steps, which report it.
std::vector<std::string> SourceTablesCutShort(const std::string& sourceDir);

// Everything wrong with the source files a run reads, one message each naming the file
// and what is wrong, before anything is written: the tables "hollardm" and "hollardp"
// (missing, not a regular file, damaged header, a data block chain cut short or holding
// another number of records than the header counts, more data blocks in the file than
// the header counts, records of nothing but zero bytes, their blob file missing, not a
// regular file, its header unreadable, or shorter than a blob it holds), and the label
// key file, the history log and the projects' side files when there (not a regular file,
// or the key file or a side file larger than a side file may be).
std::vector<std::string> SourceProblems(const std::string& sourceDir, const std::string& codePage);

// What to do about a target table whose data file's header does not read (the table's
// fields and record count are there, and the repair rebuilds everything but that):
// its files from a backup.
std::string HeaderLostAdvice(const std::string& table);
// The backup's part of that advice, for any damage the repair cannot get past.
std::string BackupAdvice(const std::string& table);

// The projects' ToDo lines that the ToDo step cannot convert whatever the date format,
// one message per file naming the first few lines: a creation date that is not even
// shaped like a date (empty, or a word), or a priority that is no whole number. The
// step stops at such a line, so it would leave out the rest of that file and the ToDo
// lists of every later project. Creation dates shaped like dates are the date format's
// check (`SettleDateFormat`). Also lines whose description no "|" ends (two "|" and
// text after them): the step would keep such a line without its text. Files or tables
// that cannot be read are left to the other checks and the steps.
std::vector<std::string> ToDoProblems(const std::string& sourceDir, const ovrin::TFormatSettings& settings,
                                      const std::string& codePage);

// The eleven tables a run writes into, in the order they are checked.
const std::vector<std::string>& TargetTableNames();

// What stands in the way of writing into a target table.
struct TTargetProblem {
  std::string table;
  std::string message;  // names the table and its file, what is wrong and what to do
  bool damaged = false;  // the consistency checker found damage (the rest make writing impossible)
};
// Every target table is there, opens for writing (its files are not read-only and no
// other program holds it exclusively) and, with checkConsistency, passes the consistency
// checker. A table enciphered with a password the session does not hold is left to the
// run, which asks for it. `opening`, when given, is told each table's name before it is
// opened (a password prompt can then name it).
std::vector<TTargetProblem> TargetProblems(const std::string& targetDir, bool checkConsistency,
                                           const std::function<void(const std::string&)>& opening = nullptr);

// The causes a guard states, the same for every front end (each adds its remedy).
// The source's projects the target holds already (names shown, UTF-8).
std::string DuplicatesMessage(const std::vector<std::string>& shownNames, const std::string& target);
// A run into the target that did not finish, as its mark says.
std::string UnfinishedMessage(const std::string& target, const std::string& mark);
// The bytes this user may still write on the disk that holds `folder` (root also those
// the file system keeps back for it); -1 when the system does not say.
int64_t FreeBytes(const std::string& folder);
// "The disk that holds FOLDER is full ..." when it has less than a megabyte left for this
// user, else empty: said beside an error in writing, whose message names no cause.
std::string DiskFullNote(const std::string& folder);
// The stored files that will not fit the target's blob file, or its disk.
std::string SpaceMessage(const TBlobSpace& space, const std::string& target);

// The table files (.DAT, .IDX, .BLB in any letter case) of a target folder.
std::vector<std::string> TargetTableFiles(const std::string& targetDir);

}  // namespace hollard
