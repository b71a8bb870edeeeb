// Sessions and databases: the top of the engine as its users see it. A session holds a
// file session (private directory, memory files, passwords) and a list of databases; a
// database names a folder that holds tables. Tables need neither to be made by hand:
// opening a table whose DatabaseName is a folder activates the default session "Default"
// (which starts the engine) and creates a temporary database for that folder, freed
// again when the last table on it closes.
//
// Sessions are plain objects here: there is no component streaming, so automatic session
// names and design-time behaviour are left out. One process-wide lock serialises session
// activation and every entry into a session; entries nest within a thread.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/base/file_session.h"

namespace ovrin {

class TOvrinSession;
class TOvrinSessionList;
class TOvrinDatabase;
class TOvrinTable;

using TOvrinPasswordEvent = std::function<void(TOvrinSession& session, bool& continueOpen)>;

class TOvrinDatabase {
 public:
  explicit TOvrinDatabase(TOvrinSession* session, bool temporary = false);
  ~TOvrinDatabase();

  const std::string& DatabaseName() const { return databaseName_; }
  void SetDatabaseName(const std::string& name);
  // The effective directory: a temporary database named by a path is that path.
  std::string Directory() const;
  void SetDirectory(const std::string& directory);
  bool KeepConnection() const { return keepConnection_; }
  void SetKeepConnection(bool keep);
  bool Temporary() const { return temporary_; }
  bool Connected() const { return handle_ != 0; }
  void SetConnected(bool on);
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }
  bool HandleShared() const { return handleShared_; }
  void SetHandleShared(bool on) { handleShared_ = on; }
  int32_t ReferenceCount() const { return refCount_; }
  TOvrinSession* Session() const { return session_; }
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(const std::string& name);
  const void* Owner() const { return owner_; }
  void SetOwner(const void* owner) { owner_ = owner; }
  std::string EngineVersion() const { return "1.19"; }
  std::function<void(TOvrinDatabase&)> BeforeConnect;

  // The datasets that use this database.
  void AddDataSet(TOvrinTable* table);
  void RemoveDataSet(TOvrinTable* table);

 private:
  friend class TOvrinSession;
  TOvrinSession* session_;
  std::vector<TOvrinTable*> dataSets_;
  bool keepConnection_ = true;
  bool temporary_;
  bool handleShared_ = false;
  int32_t refCount_ = 0;
  int32_t handle_ = 0;
  std::string sessionName_, databaseName_, directory_;
  const void* owner_ = nullptr;
  bool destroying_ = false;
};

class TOvrinSession {
 public:
  explicit TOvrinSession(const std::string& name = "");
  ~TOvrinSession();

  bool Active() const { return handle_ != nullptr; }
  void SetActive(bool on);
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(const std::string& name);
  // Read back in upper case.
  std::string PrivateDir();
  void SetPrivateDir(const std::string& directory);
  bool KeepConnections() const { return keepConnections_; }
  void SetKeepConnections(bool keep) { keepConnections_ = keep; }
  bool IsDefault() const { return isDefault_; }
  std::string EngineVersion() const { return "1.19"; }
  TFileSession* Handle() const { return handle_; }

  std::function<void(TOvrinSession&)> OnStartup;
  TOvrinPasswordEvent OnPassword;

  // A connected database for the name (a temporary one when none exists), counted as one
  // more user; a failure leaves no new temporary database behind.
  TOvrinDatabase* OpenDatabase(const std::string& name, const void* owner = nullptr);
  void CloseDatabase(TOvrinDatabase* database);
  TOvrinDatabase* FindDatabase(const std::string& name);
  const std::vector<TOvrinDatabase*>& Databases() const { return databases_; }

  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();

  // Bracket every operation that touches the session's files.
  void Enter();
  void Leave();
  int32_t LockCount() const { return lockCount_; }

  // Asks for a table's password: the OnPassword handler's answer, or false without one.
  bool AskPassword();

 private:
  friend class TOvrinDatabase;
  friend class TOvrinSessionList;
  TOvrinSession(TOvrinSessionList* list, const std::string& name);
  void Activate();
  void Deactivate();
  void AddDatabase(TOvrinDatabase* database);
  void RemoveDatabase(TOvrinDatabase* database);

  TFileSession* handle_ = nullptr;
  std::vector<TOvrinDatabase*> databases_;
  std::vector<std::unique_ptr<TOvrinDatabase>> owned_;  // temporary databases
  bool keepConnections_ = false;
  bool isDefault_ = false;
  std::string sessionName_;
  std::string privateDir_;
  int32_t lockCount_ = 0;
};

class TOvrinSessionList {
 public:
  static TOvrinSessionList& Instance();
  // An empty name is the default session; otherwise names compare without case.
  TOvrinSession* FindSession(const std::string& name);
  // As FindSession, but "Session name %s is not valid." when there is none.
  TOvrinSession& GetSession(const std::string& name);
  TOvrinSession& Default() { return *sessions_.front(); }
  std::recursive_mutex& Lock() { return lock_; }
  int Count() const { return static_cast<int>(sessions_.size()); }

 private:
  friend class TOvrinSession;
  TOvrinSessionList();
  void Add(TOvrinSession* session);
  void Remove(TOvrinSession* session);
  std::vector<TOvrinSession*> sessions_;
  std::unique_ptr<TOvrinSession> default_;
  std::recursive_mutex lock_;
};

// The session list with its default session "Default".
TOvrinSessionList& Sessions();

// Enters a session for the length of a scope.
class TSessionScope {
 public:
  explicit TSessionScope(TOvrinSession& session) : session_(session) { session_.Enter(); }
  ~TSessionScope() { session_.Leave(); }
  TSessionScope(const TSessionScope&) = delete;
  TSessionScope& operator=(const TSessionScope&) = delete;

 private:
  TOvrinSession& session_;
};

}  // namespace ovrin
