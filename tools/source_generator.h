// Writes an old-layout (1.4) archive for tests, demos and benchmarks: the Paradox
// tables "hollardm" (one record per stored revision, with the file contents in its .MB)
// and "hollardp" (projects), the label key file, per project a ToDo list, a module list
// and a cross-reference file, and the history log. The same seed gives the same archive.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace hollard {

struct TSourceOptions {
  int revisions = 200;
  int modules = 40;
  int projects = 4;
  int64_t blobBytes = 300 * 1024;  // the largest stored file
  uint32_t seed = 1;
  std::string dateFormat = "dd.mm.yyyy";  // day, month, year order of the side files
  char timeSeparator = ':';               // of the times in the side files
  int labels = 6;
};

// What the generator wrote, for tests to compare the reading against.
struct TSourceRevision {
  std::string path, fname, project, lockedBy, lcomment, vcomment;
  int32_t version = 0, revision = 0, nr = 0, verstate = 0, options = 0, options2 = 0;
  int32_t fsize = 0, flag2 = 0, compsize = 0, asfsize = 0, ascompsize = 0, flag = 0;
  double tstamp = 0, locktstamp = 0, ftime = 0, asftime = 0;
  bool readonly = false, share = false, hidden = false;
  std::string binary, asbinary;
};

struct TSourceProject {
  std::string project, createBy, lastUser;
  double createTime = 0, lastAccess = 0;
};

struct TSourceArchive {
  std::vector<TSourceRevision> revisions;
  std::vector<TSourceProject> projects;
  std::vector<std::string> labels;
  int logLines = 0;
};

// Builds the archive's contents in memory (deterministic for the seed).
TSourceArchive PlanSourceArchive(const TSourceOptions& options);
// Writes them into a folder (which must exist). Throws std::invalid_argument, before
// writing anything, for a date format or time separator the migration cannot read, and
// std::runtime_error naming the file when a file cannot be written.
void WriteSourceArchive(const std::string& folder, const TSourceArchive& archive, const TSourceOptions& options);

// Writes one Paradox table through pxlib's writer: fields as (name, type, size), rows of
// values where each value is the raw text, integer, double or bytes for its field.
struct TParadoxColumn {
  std::string name;
  uint8_t type;
  int size;
};
struct TParadoxValue {
  bool isNull = true;
  std::string text;  // Alpha, memo and blob bytes
  int64_t integer = 0;
  double number = 0;  // Number and Timestamp (ms)
};
void WriteParadoxTable(const std::string& dbPath, const std::string& mbPath, const std::vector<TParadoxColumn>& columns,
                       const std::vector<std::vector<TParadoxValue>>& rows);

}  // namespace hollard
