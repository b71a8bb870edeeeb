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

TOvrinSession::TOvrinSession(const std::string& name) : TOvrinSession(&Sessions(), name) {}

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
  Sessions().Remove(this);
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
    if (handle_) engine::SetCurrentFileSession(handle_);
    else SetActive(true);
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

void TOvrinSession::AddDatabase(TOvrinDatabase* database) { databases_.push_back(database); }

void TOvrinSession::RemoveDatabase(TOvrinDatabase* database) {
  databases_.erase(std::remove(databases_.begin(), databases_.end(), database), databases_.end());
}

TOvrinDatabase* TOvrinSession::FindDatabase(const std::string& name) {
  for (TOvrinDatabase* db : databases_)
    if ((!db->DatabaseName().empty() || db->Temporary()) && AsciiEqualNoCase(db->DatabaseName(), name)) return db;
  return nullptr;
}

TOvrinDatabase* TOvrinSession::OpenDatabase(const std::string& name, const void* owner) {
  if (!Active()) SetActive(true);
  engine::SetCurrentFileSession(handle_);
  TOvrinDatabase* found = nullptr;
  for (TOvrinDatabase* db : databases_)
    if (db->Owner() == owner && db->HandleShared() && AsciiEqualNoCase(db->DatabaseName(), name)) found = db;
  if (!found) found = FindDatabase(name);
  bool created = false;
  if (!found) {
    auto db = std::make_unique<TOvrinDatabase>(this, true);
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
    TSessionScope scope(*session_);
    handle_ = 1;
  } else {
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
