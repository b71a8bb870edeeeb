// The table structures of our new-layout (2.0) archives: the eleven target tables that
// tests, demos and benchmarks create. They are our reference structures; real archives
// may differ, which the migration copes with through typed field access.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/data/table_create.h"

namespace hollard {

struct TArchiveTable {
  std::string name;
  ovrin::TTableSpec def;
};

// The eleven tables: users, projects, modules, pjmodule, revision, blobs, labels,
// rvlabels, todo, pjref, vcslog.
const std::vector<TArchiveTable>& NewLayoutTables();

// Creates an empty new-layout archive in a folder (which must exist). Without replace a
// folder that holds any of the tables is refused before anything is written. A failure
// part of the way (a full disk) removes the tables this call made anew, so that no
// archive short of tables is left behind; tables that replace overwrote stay, empty.
// onFailure is called before that removal (the disk as the failure left it) with the
// number of tables already overwritten.
void CreateNewLayoutArchive(const std::string& folder, bool replace = false,
                            const std::function<void(int replaced)>& onFailure = {});

}  // namespace hollard
