// Steps 1 to 3: the users (the distinct lock owners of the old archive) and the projects.
#include "engine/table/table.h"
#include "main/migration.h"

namespace hollard {

using ovrin::TOvrinTable;

// ------------------------------------------------------------------ users and projects

void TMigration::ConvertUsers() {
  Log("Converting users...");
  OpenSource("hollardm");
  source_->First();
  // Step 1: the distinct lock owners, the empty login of unlocked modules included.
  StartGauge("Converting users... #1 - Step 1/16", source_->RecordCount());
  list_.Clear();
  for (; !source_->Eof(); source_->Next()) {
    Advance();
    list_.Add(source_->FieldByName("LOCKEDBY").AsString());
  }
  source_->Close();
  TOvrinTable& users = OpenTarget(2, "users");

  // Step 2: a user for every login that no user has in exactly this spelling.
  StartGauge("Converting users... #2 - Step 2/16", list_.Count());
  for (int i = 0; i < list_.Count(); ++i) {
    Advance();
    user_.ProcessEvents();
    const std::string& login = list_[i];
    Log("Adding " + Shown(login));
    // Exact, against the login as the engine will store it (without trailing blanks):
    // "lee" and "lee " are one user.
    std::string stored = login;
    while (!stored.empty() && stored.back() == ' ') stored.pop_back();
    bool exists = false;
    for (users.First(); !users.Eof() && !exists; users.Next()) exists = users.FieldByName("LOGIN").AsString() == stored;
    if (exists) continue;
    users.Append();
    SetText(users, "LOGIN", login);
    SetText(users, "PW", kInitialPassword);
    SetText(users, "IPADDR", "0");
    users.FieldByName("RIGHTS").SetAsInteger(2);
    SetText(users, "DELETED", "0");
    SetText(users, "DESCRIPTION", "");
    users.Post();
    Added(users);
  }
  EndStep();
}

void TMigration::ConvertProjects() {
  Log("Converting projects...");
  OpenSource("hollardp");
  source_->First();
  TOvrinTable& projects = OpenTarget(2, "projects");
  TOvrinTable& users = OpenTarget(5, "users");
  StartGauge("Converting projects... - Step 3/16", source_->RecordCount());
  for (source_->First(); !source_->Eof(); source_->Next()) {
    Advance();
    user_.ProcessEvents();
    std::string name = source_->FieldByName("PROJECT").AsString();
    if (name == "_HLRD_std.dpr") continue;  // the standard project, never migrated
    Log("Adding " + Shown(name));
    projects.Append();
    SetText(projects, "NAME", name);
    projects.FieldByName("CREATED").SetAsDateTime(source_->FieldByName("CREATETIME").AsDateTime());
    const std::string createdBy = source_->FieldByName("CREATEBY").AsString();
    const std::string lastUser = source_->FieldByName("LASTUSER").AsString();
    projects.FieldByName("CREATEDBY").SetAsInteger(Noted(projects, "CREATEDBY", FindUserId(users, createdBy), createdBy));
    projects.FieldByName("LASTUSER").SetAsInteger(Noted(projects, "LASTUSER", FindUserId(users, lastUser), lastUser));
    projects.FieldByName("LASTACCESS").SetAsDateTime(source_->FieldByName("LASTACCESS").AsDateTime());
    SetText(projects, "HISTORY", "Converted by Dovoruv 2.0");
    SetText(projects, "DELETED", "0");
    SetText(projects, "DESCRIPTION", "");
    projects.Post();
    Added(projects);
  }
  EndStep();
}

}  // namespace hollard
