#include "engine/table/session.h"

#include <algorithm>

#include "engine/base/conversions.h"
#include "engine/table/dataset.h"
#include "engine/table/table.h"

namespace ovrin {

namespace {
bool HasPathCharacters(const std::string& name) { return name.find('/') != std::string::npos || name.find(':') != std::string::npos; }
}  // namespace

// ---------------------------------------------------------------- session list

TOvrinSessionList& TOvrinSessionList::Instance() {
  static TOvrinSessionList* list = new TOvrinSessionList();  // lives for the whole process
  return *list;
}

TOvrinSessionList& Sessions() { return TOvrinSessionList::Instance(); }

TOvrinSessionList::TOvrinSessionList() {
  default_ = std::unique_ptr<TOvrinSession>(new TOvrinSession(this, "Default"));
}

void TOvrinSessionList::Add(TOvrinSession* session) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  session->isDefault_ = sessions_.empty();
  sessions_.push_back(session);
}

void TOvrinSessionList::Remove(TOvrinSession* session) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  sessions_.erase(std::remove(sessions_.begin(), sessions_.end(), session), sessions_.end());
}

TOvrinSession* TOvrinSessionList::FindSession(const std::string& name) {
  std::lock_guard<std::recursive_mutex> guard(lock_);
  if (name.empty()) return sessions_.empty() ? nullptr : sessions_.front();
  for (TOvrinSession* s : sessions_)
    if (AsciiEqualNoCase(s->SessionName(), name)) return s;
  return nullptr;
}

TOvrinSession& TOvrinSessionList::GetSession(const std::string& name) {
  TOvrinSession* s = FindSession(name);
  if (!s) DatabaseErrorFmt("Session name %s is not valid.", name);
  return *s;
}

// ---------------------------------------------------------------- session

TOvrinSession::TOvrinSession(const std::string& name, const void* owner) : TOvrinSession(&Sessions(), name) {
  owner_ = owner;
  // The list holds the session already: a failure takes it out again.
  try {
    if (owner_) {
      std::lock_guard<std::recursive_mutex> guard(Sessions().Lock());
      for (TOvrinSession* s : Sessions().sessions_)
        if (s != this && s->owner_ == owner_ && s->autoSessionName_) DatabaseError("This auto-session already exists.");
    }
    if (name.empty()) SetAutoSessionName(true);
  } catch (...) {
    Sessions().Remove(this);
    throw;
  }
}

TOvrinSession::TOvrinSession(TOvrinSessionList* list, const std::string& name) : sessionName_(name) {
  TOvrinSession* other = nullptr;
  for (TOvrinSession* s : list->sessions_)
    if (!name.empty() && AsciiEqualNoCase(s->SessionName(), name)) other = s;
  if (other) DatabaseErrorFmt("Session name %s already exists.", name);
  list->Add(this);
}

TOvrinSession::~TOvrinSession() {
  try {
    SetActive(false);
  } catch (...) {
  }
  ReleaseAutoNumber();
  Sessions().Remove(this);
}

void TOvrinSession::SetAutoSessionName(bool on) {
  if (on == autoSessionName_) return;
  std::lock_guard<std::recursive_mutex> guard(Sessions().Lock());
  if (!on) {
    ReleaseAutoNumber();
    autoSessionName_ = false;
    return;
  }
  if (Active()) DatabaseError("Cannot perform this operation on an active session.");
  if (owner_)
    for (TOvrinSession* s : Sessions().sessions_)
      if (s != this && s->owner_ == owner_) DatabaseError("The active auto-session can be the only active session.");
  std::vector<bool>& used = Sessions().autoNumbers_;
  int32_t number = 0;
  while (static_cast<size_t>(number) < used.size() && used[static_cast<size_t>(number)]) ++number;
  sessionNumber_ = number;
  try {
    ApplyAutoName();
  } catch (...) {
    sessionNumber_ = -1;
    throw;
  }
  if (used.size() <= static_cast<size_t>(number)) used.resize(static_cast<size_t>(number) + 1, false);
  used[static_cast<size_t>(number)] = true;
  autoSessionName_ = true;
}

// "<component name>_<number + 1>", and the same session name for the databases of the
// session's owner.
void TOvrinSession::ApplyAutoName() {
  std::string name = name_ + "_" + std::to_string(sessionNumber_ + 1);
  applyingAutoName_ = true;
  struct TDone {
    bool& flag;
    ~TDone() { flag = false; }
  } done{applyingAutoName_};
  SetSessionName(name);
  if (!owner_) return;
  for (TOvrinSession* s : Sessions().sessions_)
    for (TOvrinDatabase* db : s->databases_)
      if (db->Owner() == owner_ && !db->Connected() && db->SessionName() != sessionName_) db->sessionName_ = sessionName_;
}

void TOvrinSession::ReleaseAutoNumber() {
  std::lock_guard<std::recursive_mutex> guard(Sessions().Lock());
  std::vector<bool>& used = Sessions().autoNumbers_;
  if (sessionNumber_ >= 0 && static_cast<size_t>(sessionNumber_) < used.size())
    used[static_cast<size_t>(sessionNumber_)] = false;
  sessionNumber_ = -1;
}

void TOvrinSession::SetName(const std::string& name) {
  if (name == name_) return;
  std::string before = name_;
  name_ = name;
  if (!autoSessionName_) return;
  try {
    ApplyAutoName();
  } catch (...) {
    name_ = before;
    throw;
  }
}

void TOvrinSession::SetActive(bool on) {
  std::lock_guard<std::recursive_mutex> guard(Sessions().Lock());
  if (on == Active()) return;
  if (on) Activate();
  else Deactivate();
}

void TOvrinSession::Activate() {
  if (OnStartup) OnStartup(*this);
  if (sessionName_.empty()) DatabaseError("Session name is missing.");
  if (!isDefault_) Sessions().Default().SetActive(true);
  if (isDefault_) {
    engine::StartEngine();
    handle_ = engine::EngineFileSession();
  } else {
    handle_ = engine::CreateFileSession();
  }
  if (!privateDir_.empty()) {
    try {
      SetPrivateDir(privateDir_);
    } catch (...) {
      Deactivate();
      throw;
    }
  }
}

void TOvrinSession::Deactivate() {
  engine::SetCurrentFileSession(handle_);
  for (size_t i = databases_.size(); i-- > 0;) {
    TOvrinDatabase* db = databases_[i];
    if (db->Temporary()) {
      RemoveDatabase(db);
      for (auto it = owned_.begin(); it != owned_.end(); ++it)
        if (it->get() == db) {
          owned_.erase(it);
          break;
        }
    } else {
      db->Close();
    }
  }
  if (isDefault_) {
    engine::StopEngine();
  } else {
    engine::FreeFileSession(handle_);
    if (Sessions().Default().Active()) engine::SetCurrentFileSession(Sessions().Default().Handle());
  }
  handle_ = nullptr;
}

void TOvrinSession::SetSessionName(const std::string& name) {
  if (name == sessionName_) return;
  if (autoSessionName_ && !applyingAutoName_)
    DatabaseError("Cannot perform this operation on the active auto-session.");
  if (Active()) DatabaseError("Cannot perform this operation on an active session.");
  TOvrinSession* other = Sessions().FindSession(name);
  if (!name.empty() && other && other != this) DatabaseErrorFmt("Session name %s already exists.", name);
  sessionName_ = name;
}

std::string TOvrinSession::PrivateDir() {
  if (!Active()) return AsciiUpper(privateDir_);
  TSessionScope scope(*this);
  return AsciiUpper(engine::PrivateDirectory());
}

void TOvrinSession::SetPrivateDir(const std::string& directory) {
  if (Active()) {
    TSessionScope scope(*this);
    engine::SetPrivateDirectory(directory);
  }
  privateDir_ = directory;
}

void TOvrinSession::Enter() {
  if (lockCount_ > 0) {
    ++lockCount_;
    return;
  }
  Sessions().Lock().lock();
  lockCount_ = 1;
  try {
    if (!handle_) SetActive(true);
    engine::SetCurrentFileSession(handle_);
  } catch (...) {
    lockCount_ = 0;
    Sessions().Lock().unlock();
    throw;
  }
}

void TOvrinSession::Leave() {
  if (lockCount_ <= 0) return;
  if (--lockCount_ == 0) Sessions().Lock().unlock();
}

void TOvrinSession::AddPassword(const std::string& password) {
  TSessionScope scope(*this);
  handle_->Passwords.Add(password.substr(0, 255));
}

void TOvrinSession::RemovePassword(const std::string& password) {
  TSessionScope scope(*this);
  handle_->Passwords.Remove(password.substr(0, 255));
}

void TOvrinSession::RemoveAllPasswords() {
  TSessionScope scope(*this);
  handle_->Passwords.RemoveAll();
}

bool TOvrinSession::AskPassword() {
  if (!OnPassword) return false;
  bool continueOpen = false;
  OnPassword(*this, continueOpen);
  return continueOpen;
}

void TOvrinSession::DatabaseEvent(TDatabaseEvent event, TOvrinDatabase& database) {
  if (OnDatabaseEvent) OnDatabaseEvent(event, database);
}

void TOvrinSession::AddDatabase(TOvrinDatabase* database) {
  databases_.push_back(database);
  DatabaseEvent(TDatabaseEvent::Added, *database);
}

void TOvrinSession::RemoveDatabase(TOvrinDatabase* database) {
  auto at = std::find(databases_.begin(), databases_.end(), database);
  if (at == databases_.end()) return;
  databases_.erase(at);
  DatabaseEvent(TDatabaseEvent::Removed, *database);
}

TOvrinDatabase* TOvrinSession::FindDatabase(const std::string& name) {
  for (TOvrinDatabase* db : databases_)
    if ((!db->DatabaseName().empty() || db->Temporary()) && AsciiEqualNoCase(db->DatabaseName(), name)) return db;
  return nullptr;
}

TOvrinDatabase* TOvrinSession::FindDatabase(const std::string& name, const void* owner) {
  for (TOvrinDatabase* db : databases_)
    if (db->Owner() == owner && db->HandleShared() && AsciiEqualNoCase(db->DatabaseName(), name)) return db;
  return FindDatabase(name);
}

TOvrinDatabase* TOvrinSession::OpenDatabase(const std::string& name, const void* owner) {
  if (!Active()) SetActive(true);
  engine::SetCurrentFileSession(handle_);
  TOvrinDatabase* found = FindDatabase(name, owner);
  bool created = false;
  if (!found) {
    auto db = std::make_unique<TOvrinDatabase>(this, true);
    // Connecting resolves the session by name: the database names its own session, or
    // it would move to the default one.
    db->sessionName_ = sessionName_;
    db->databaseName_ = name;
    db->keepConnection_ = keepConnections_;
    db->owner_ = owner;
    found = db.get();
    owned_.push_back(std::move(db));
    created = true;
  }
  try {
    found->Open();
  } catch (...) {
    if (created) {
      RemoveDatabase(found);
      owned_.pop_back();
    }
    throw;
  }
  ++found->refCount_;
  return found;
}

void TOvrinSession::CloseDatabase(TOvrinDatabase* database) {
  if (!database) return;
  if (database->refCount_ > 0) --database->refCount_;
  if (database->refCount_ == 0 && !database->KeepConnection()) {
    if (database->Temporary() && !database->destroying_) {
      RemoveDatabase(database);
      for (auto it = owned_.begin(); it != owned_.end(); ++it)
        if (it->get() == database) {
          owned_.erase(it);
          break;
        }
    } else {
      database->Close();
    }
  }
}

// ---------------------------------------------------------------- database

TOvrinDatabase::TOvrinDatabase(TOvrinSession* session, bool temporary)
    : session_(session ? session : &Sessions().Default()), temporary_(temporary) {
  session_->AddDatabase(this);
}

TOvrinDatabase::~TOvrinDatabase() {
  destroying_ = true;
  try {
    Close();
  } catch (...) {
  }
  if (session_) session_->RemoveDatabase(this);
}

void TOvrinDatabase::SetOwner(const void* owner) {
  owner_ = owner;
  if (!owner_ || Connected()) return;
  std::lock_guard<std::recursive_mutex> guard(Sessions().Lock());
  for (TOvrinSession* s : Sessions().sessions_) {
    if (s->Owner() != owner_ || !s->AutoSessionName()) continue;
    if (s != session_) {
      session_->RemoveDatabase(this);
      session_ = s;
      session_->AddDatabase(this);
    }
    sessionName_ = s->SessionName();
    return;
  }
}

void TOvrinDatabase::SetDatabaseName(const std::string& name) {
  if (name == databaseName_) return;
  if (Connected()) DatabaseError("Cannot perform this operation on an open database.");
  if (!temporary_ && HasPathCharacters(name)) DatabaseErrorFmt("Database name %s is not valid.", name);
  for (TOvrinDatabase* other : session_->Databases()) {
    if (other == this || !AsciiEqualNoCase(other->DatabaseName(), name)) continue;
    if (other->HandleShared() && handleShared_) continue;
    if (!other->Temporary() || other->ReferenceCount() > 0) DatabaseErrorFmt("Database name %s already exists.", name);
    session_->CloseDatabase(other);  // a temporary one nobody uses goes
  }
  databaseName_ = name;
}

std::string TOvrinDatabase::Directory() const {
  if (temporary_ && HasPathCharacters(databaseName_)) return databaseName_;
  return directory_;
}

void TOvrinDatabase::SetDirectory(const std::string& directory) {
  if (Connected()) DatabaseError("Cannot perform this operation on an open database.");
  directory_ = directory;
}

void TOvrinDatabase::SetKeepConnection(bool keep) {
  keepConnection_ = keep;
  if (!keep && refCount_ == 0) Close();
}

void TOvrinDatabase::SetSessionName(const std::string& name) {
  if (Connected()) DatabaseError("Cannot perform this operation on an open database.");
  sessionName_ = name;
}

void TOvrinDatabase::SetConnected(bool on) {
  if (on == Connected()) return;
  if (on) {
    if (BeforeConnect) BeforeConnect(*this);
    if (!temporary_ && databaseName_.empty()) DatabaseError("Database name is missing.");
    TOvrinSession& target = Sessions().GetSession(sessionName_);
    if (&target != session_) {
      session_->RemoveDatabase(this);
      session_ = &target;
      session_->AddDatabase(this);
    }
    session_->SetActive(true);
    if (handleShared_)
      for (TOvrinDatabase* other : session_->Databases())
        if (other != this && other->Connected() && other->HandleShared() &&
            AsciiEqualNoCase(other->DatabaseName(), databaseName_)) {
          handle_ = other->handle_;
          return;
        }
    TSessionScope scope(*session_);
    handle_ = 1;
    session_->DatabaseEvent(TDatabaseEvent::Open, *this);
  } else {
    session_->DatabaseEvent(TDatabaseEvent::Close, *this);
    while (!dataSets_.empty()) dataSets_.back()->Close();
    handle_ = 0;
    refCount_ = 0;
  }
}

void TOvrinDatabase::AddDataSet(TOvrinTable* table) { dataSets_.push_back(table); }

void TOvrinDatabase::RemoveDataSet(TOvrinTable* table) {
  dataSets_.erase(std::remove(dataSets_.begin(), dataSets_.end(), table), dataSets_.end());
}

}  // namespace ovrin
