// Steps 4 to 9: modules with their first project link, and the links of shared and
// hidden modules that the user names.
#include "engine/table/table.h"
#include "main/migration.h"

namespace hollard {

using ovrin::TOvrinTable;

// ------------------------------------------------------------------ modules

std::string TMigration::SourceKey() {
  return source_->FieldByName("PATH").AsString() + source_->FieldByName("FNAME").AsString();
}

void TMigration::ConvertModules() {
  Log("Converting modules...");
  OpenSource("hollardm");
  source_->First();
  TOvrinTable& modules = OpenTarget(2, "modules");
  TOvrinTable& links = OpenTarget(3, "pjmodule");
  TOvrinTable& projects = OpenTarget(5, "projects");
  TOvrinTable& users = OpenTarget(6, "users");

  // Step 4: one key per module, whatever its letter case and number of revisions.
  StartGauge("Converting modules...#1 - Step 4/16", source_->RecordCount());
  list_.Clear();
  for (; !source_->Eof(); source_->Next()) {
    Advance();
    list_.Add(SourceKey());
  }

  // Step 5: the first record of each key makes the module and its project link.
  StartGauge("Converting modules...#2 - Step 5/16", source_->RecordCount());
  for (source_->First(); !source_->Eof(); source_->Next()) {
    Advance();
    user_.ProcessEvents();
    int at = list_.IndexOf(SourceKey());
    if (at < 0) continue;
    list_.Delete(at);
    std::string path = source_->FieldByName("PATH").AsString(), name = source_->FieldByName("FNAME").AsString();
    Log("Adding " + Shown(path + name));
    std::string lockedBy = source_->FieldByName("LOCKEDBY").AsString();
    modules.Append();
    modules.FieldByName("USERID").SetAsInteger(FindUserId(users, lockedBy));
    SetText(modules, "NAME", name);
    SetText(modules, "PATH", path);
    modules.FieldByName("TSTAMP").SetAsDateTime(source_->FieldByName("TSTAMP").AsDateTime());
    modules.FieldByName("LOCKTSTAMP").SetAsDateTime(source_->FieldByName("LOCKTSTAMP").AsDateTime());
    SetText(modules, "READONLY", source_->FieldByName("READONLY").AsBoolean() ? "1" : "0");
    modules.FieldByName("LASTUSER").SetAsInteger(FindUserId(users, lockedBy));
    modules.FieldByName("FLAGS").SetAsInteger(source_->FieldByName("OPTIONS").AsInteger());
    SetText(modules, "DESCRIPTION", "");
    modules.Post();
    Added(modules);
    int32_t moduleId = modules.FieldByName("MODULEID").AsInteger();

    links.Append();
    links.FieldByName("MODULEID").SetAsInteger(moduleId);
    const std::string project = source_->FieldByName("PROJECT").AsString();
    links.FieldByName("PROJECTID").SetAsInteger(Noted(links, "PROJECTID", FindProjectId(projects, project), project));
    SetText(links, "HIDDEN", "0");
    links.Post();
    Added(links);
  }
  EndStep();
}

// ------------------------------------------------------------------ shared and hidden modules

void TMigration::ConvertSharedDependencies() {
  ConvertDependencies(true);
}

void TMigration::ConvertHiddenDependencies() {
  ConvertDependencies(false);
}

void TMigration::ConvertDependencies(bool shared) {
  const std::string title = shared ? "Converting shared dependencies..." : "Converting hidden dependencies...";
  const std::string first = shared ? "6" : "8", second = shared ? "7" : "9";
  Log(title);
  TOvrinTable& list = OpenTarget(1, "projects");
  projectNames_.clear();
  for (list.First(); !list.Eof(); list.Next()) projectNames_.push_back(list.FieldByName("NAME").AsString());
  list.Close();
  std::vector<std::string> shown;
  for (const std::string& name : projectNames_) shown.push_back(Shown(name));
  user_.SetProjects(shown);
  projectsShown_ = true;

  OpenSource("hollardm");
  source_->First();
  TOvrinTable& links = OpenTarget(2, "pjmodule");
  TOvrinTable& projects = OpenTarget(5, "projects");
  TOvrinTable& modules = OpenTarget(6, "modules");

  // The first half collects the keys of the marked modules, each once.
  StartGauge(title + "#1 - Step " + first + "/16", source_->RecordCount());
  list_.Clear();
  const char* flag = shared ? "SHARE" : "HIDDEN";
  for (; !source_->Eof(); source_->Next()) {
    Advance();
    if (source_->FieldByName(flag).AsBoolean()) list_.Add(SourceKey());
  }

  // The second half asks about each of them.
  user_.BeginQuestion(shared ? "Module is shared between:" : "Module is hidden in:");
  user_.SetQuestionCount(list_.Count());
  questionOpen_ = true;
  StartGauge(title + "#2 - Step " + second + "/16", list_.Count());
  for (int i = 0; i < list_.Count(); ++i) {
    const std::string key = list_[i];
    std::optional<std::vector<int>> answer = user_.Ask(Shown(key));
    if (shared) {
      user_.SetBusyCursor(true);
      busy_ = true;
    }
    if (answer) {
      // The key splits after its last backslash or colon; the folder keeps it.
      size_t cut = key.find_last_of("\\:");
      std::string path = cut == std::string::npos ? std::string() : key.substr(0, cut + 1);
      std::string name = cut == std::string::npos ? key : key.substr(cut + 1);
      int32_t moduleId = FindModuleId(modules, name, path);
      for (int selected : *answer) {
        if (selected < 0 || selected >= static_cast<int>(projectNames_.size())) continue;
        const std::string& project = projectNames_[static_cast<size_t>(selected)];
        int32_t projectId = FindProjectId(projects, project);
        if (shared)
          ShareModule(links, key, project, moduleId, projectId);
        else
          HideModule(links, moduleId, projectId);
      }
    }
    if (shared) {
      user_.SetBusyCursor(false);
      busy_ = false;
    }
    Advance();
    user_.ProcessEvents();
  }

  for (auto& t : targets_) t->Close();
  source_->Close();
  Log("Success.");
  user_.EndQuestion();
  questionOpen_ = projectsShown_ = false;
  projectNames_.clear();
  ShowStep("Success");
  list_.Clear();
}

bool TMigration::FindLink(TOvrinTable& links, int32_t moduleId, int32_t projectId) {
  for (; !links.Eof(); links.Next())
    if (links.FieldByName("PROJECTID").AsInteger() == projectId && links.FieldByName("MODULEID").AsInteger() == moduleId)
      return true;
  return false;
}

void TMigration::ShareModule(TOvrinTable& links, const std::string& key, const std::string& project, int32_t moduleId,
                             int32_t projectId) {
  bool linked;
  if (walkLookups_) {
    WalkFromFirst(links);
    linked = FindLink(links, moduleId, projectId);
  } else {
    linksImage_.Sync(links);
    linked = linksImage_.Contains({moduleId, projectId});
  }
  if (linked) {
    Log("Already assigned: " + Shown(key) + " -> " + Shown(project));
    return;
  }
  Log("Sharing: " + Shown(key) + " -> " + Shown(project));
  links.Append();
  links.FieldByName("PROJECTID").SetAsInteger(projectId);
  links.FieldByName("MODULEID").SetAsInteger(moduleId);
  SetText(links, "HIDDEN", "0");
  links.Post();
  Added(links);
  linksImage_.Appended(links);
}

void TMigration::HideModule(TOvrinTable& links, int32_t moduleId, int32_t projectId) {
  auto hide = [&] {
    links.Edit();
    SetText(links, "HIDDEN", "1");
    links.Post();
    Changed(links);
    linksImage_.Touched(links);
  };
  if (walkLookups_) {
    for (WalkFromFirst(links); FindLink(links, moduleId, projectId); links.Next()) hide();
    return;
  }
  linksImage_.Sync(links);
  for (const TBookmark& link : linksImage_.Bookmarks({moduleId, projectId})) {
    links.GotoBookmark(link);
    hide();
  }
}

}  // namespace hollard
