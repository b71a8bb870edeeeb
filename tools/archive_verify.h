// Verifying a migration: reads an old-layout archive and the new-layout archive it was
// migrated into, and finds, item by item, what the target lacks or holds differently.
// Outcomes that the migration's own rules produce (the standard project left out, names
// that differ only in letter case merged, a label number the key file lacks kept as its id, texts
// cut to their field's size, a lookup that found nothing) are reported apart from losses.
// Reads both archives; writes nothing.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "engine/base/conversions.h"
#include "main/date_format.h"

namespace hollard {

struct TVerifyReport {
  std::map<std::string, int64_t> checked;  // items checked, per kind
  std::vector<std::string> lost;           // missing or different
  std::vector<std::string> intended;       // what the migration's rules did on purpose
  // Source lines the migration passes over by its rules, whether it ran or not: log
  // lines without a valid date, ToDo lines whose date does not read ("file, line N: text").
  std::vector<std::string> passedOver;
  std::string dateFormat;  // the format the dates were read in, and why
  bool Ok() const { return lost.empty(); }
};

struct TVerifyOptions {
  std::string codePage = "windows-1252";
  // The dates of the side files and the log: settled from the archive's texts as the
  // migration settles them (or checked, when given), with the base settings' locale
  // order for ties.
  ovrin::TFormatSettings settings;
  TDateFormatChoice dates;
};

TVerifyReport VerifyMigration(const std::string& sourceDir, const std::string& targetDir, const TVerifyOptions& options);

}  // namespace hollard
