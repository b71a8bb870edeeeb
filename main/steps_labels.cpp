// Steps 11 and 12: the labels of the key file, then a label assignment for every target
// revision that matches a labelled source revision.
//
// A revision record names its label by the label's number in the key file. The target is
// an existing archive that may hold labels already, so the number is not the id the
// target gives the label: an assignment takes the id of the label that step 11 made for
// that number. A number step 11 made no label for (the key file lacks it, or holds it
// after the gap that ends the list, or above 1000) is not assigned: written as an id it
// named some other label of the target, at once or once a label of that id was made
// later. Each is logged and counted in the report under "rvlabels.LABELID", and labels
// the key file holds that step 11 does not read are logged by number and name.
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
  std::set<int32_t> notRead;           // numbers the key file holds beyond the end of its list
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
    // The list ends at the first missing number; what the file holds beyond is said.
    for (const auto& [key, name] : keys.Section("Keys")) {
      const bool number = !key.empty() && key.size() <= 9 && key.find_first_not_of("0123456789") == std::string::npos &&
                          key[0] != '0';
      if (number && !labelId.count(std::stoi(key)) && name != "_empty_") {
        Log("Not read: label " + key + ". " + Shown(name) + " of the key file (" +
            (std::stoi(key) > 1000 ? "above 1000" : "after the gap that ends its list") + ")");
        notRead.insert(std::stoi(key));
      }
    }
  }
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
    auto made = labelId.find(label);
    if (made == labelId.end()) {
      const std::string why = notRead.count(label) ? "not read from the key file" : "not in the key file";
      Log("Not assigned: label " + std::to_string(label) + " is " + why);
      report_.unmatched["rvlabels.LABELID"].Add(std::to_string(label) + " (" + why + ")");
      continue;
    }
    const int32_t id = made->second;
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
