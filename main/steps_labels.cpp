// Steps 11 and 12: the labels of the key file, then a label assignment for every target
// revision that matches a labelled source revision.
//
// A revision record names its label by the label's number in the key file. The target is
// an existing archive that may hold labels already, so the number is not the id the
// target gives the label: an assignment takes the id of the label that step 11 made for
// that number. A number the key file does not hold (a gap ends the list, a missing key
// file holds none) keeps the number as the id, since nothing better is known and the
// number itself is kept that way; but where the target has a label of that id, which
// is some other label, the assignment is not written. Both are counted in the report
// under "rvlabels.LABELID".
#include <map>
#include <set>

#include "engine/table/table.h"
#include "main/migration.h"
#include "main/profile_file.h"

namespace hollard {

using ovrin::TOvrinTable;

void TMigration::ConvertLabels() {
  // Step 11: the key file's labels, numbered from 1 until the first missing one.
  Log("Converting labels...");
  TOvrinTable& labels = OpenTarget(2, "labels");
  TOvrinTable& modules = OpenTarget(5, "modules");
  TOvrinTable& revisions = OpenTarget(6, "revision");
  ShowStep("Converting labels... - Step 11/16");
  std::string keyFile = sourceDir_ + "hollardm.key";
  Log(keyFile);
  std::map<int32_t, int32_t> labelId;  // the key file's number -> the id of the label made for it
  {
    TProfileFile keys(keyFile);
    for (int n = 1; n <= 1000; ++n) {
      StopPoint();
      std::string name = keys.ReadString("Keys", std::to_string(n), "_empty_");
      if (name == "_empty_") break;
      Log(std::to_string(n) + ". " + Shown(name));
      labels.Append();
      SetText(labels, "LABEL", name);
      SetText(labels, "DESCRIPTION", keys.ReadString("Comments", std::to_string(n), ""));
      labels.Post();
      Added(labels);
      labelId[n] = labels.FieldByName("LABELID").AsInteger();
    }
  }
  // Every label id the target has now, those of earlier runs among them.
  std::set<int32_t> targetIds;
  for (labels.First(); !labels.Eof(); labels.Next()) targetIds.insert(labels.FieldByName("LABELID").AsInteger());
  labels.Close();
  Log("Success.");
  Log("Assign labels...");

  // Step 12: each labelled revision's label goes to every matching target revision.
  OpenSource("hollardm");
  source_->First();
  TOvrinTable& assignments = OpenTarget(2, "rvlabels");
  StartGauge("Assign labels... - Step 12/16", source_->RecordCount());
  for (source_->First(); !source_->Eof(); source_->Next()) {
    Advance();
    user_.ProcessEvents();
    int32_t label = source_->FieldByName("FLAG").AsInteger();
    if (label == 0) continue;
    std::string name = source_->FieldByName("FNAME").AsString();
    int32_t version = source_->FieldByName("VERSION").AsInteger();
    int32_t revision = source_->FieldByName("REVISION").AsInteger();
    int32_t nr = source_->FieldByName("NR").AsInteger();
    Log("Search label " + Shown(name) + std::to_string(version) + "." + std::to_string(revision) + " [" +
        std::to_string(nr) + "]");
    const std::string path = source_->FieldByName("PATH").AsString();
    int32_t moduleId = FindModuleId(modules, name, path);
    const std::vector<int32_t> revisionIds = FindRevisionIds(revisions, moduleId, version, revision);
    if (revisionIds.empty()) {
      report_.unmatched["rvlabels"].Add(Shown(path + name) + " " + std::to_string(version) + "." + std::to_string(revision));
      continue;
    }
    int32_t id = label;
    if (auto made = labelId.find(label); made != labelId.end()) {
      id = made->second;
    } else if (targetIds.count(label)) {
      report_.unmatched["rvlabels.LABELID"].Add(std::to_string(label) + " (not assigned: id " + std::to_string(label) +
                                                " is another label)");
      continue;
    } else {
      report_.unmatched["rvlabels.LABELID"].Add(std::to_string(label) + " (kept as the id)");
    }
    for (int32_t revisionId : revisionIds) {
      assignments.Append();
      assignments.FieldByName("REVISIONID").SetAsInteger(revisionId);
      assignments.FieldByName("LABELID").SetAsInteger(id);
      assignments.Post();
      Added(assignments);
    }
  }
  EndStep();
}

std::vector<int32_t> TMigration::FindRevisionIds(TOvrinTable& revisions, int32_t moduleId, int32_t version,
                                                 int32_t revision) {
  if (!walkLookups_) {
    revisionsImage_.Sync(revisions);
    return revisionsImage_.Ids({moduleId, version, revision});
  }
  std::vector<int32_t> ids;
  for (WalkFromFirst(revisions); !revisions.Eof(); revisions.Next())
    if (revisions.FieldByName("MODULEID").AsInteger() == moduleId &&
        revisions.FieldByName("VERSION").AsInteger() == version &&
        revisions.FieldByName("REVISION").AsInteger() == revision)
      ids.push_back(revisions.FieldByName("REVISIONID").AsInteger());
  return ids;
}

}  // namespace hollard
