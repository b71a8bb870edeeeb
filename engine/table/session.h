// Sessions and databases: the top of the engine as its users see it. A session holds a
// file session (private directory, memory files, passwords) and a list of databases; a
// database names a folder that holds tables. Tables need neither to be made by hand:
// opening a table whose DatabaseName is a folder activates the default session "Default"
// (which starts the engine) and creates a temporary database for that folder, freed
// again when the last table on it closes.
//
// Sessions are plain objects here: there is no component streaming or design-time
// behaviour. A session made without a name names itself automatically, "Session_1",
// "Session_2", ... by the lowest free number (its component name followed by the number),
// and gives the number back when it goes. An owner (any object that makes sessions and
// databases, given as a pointer) may hold one automatically named session only. One
// process-wide lock serialises session activation and every entry into a session;
// entries nest within a thread.
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
  // Databases of one session and one name that both share their handle use one
  // connection: the second to connect takes over the first one's handle.
  bool HandleShared() const { return handleShared_; }
  void SetHandleShared(bool on) { handleShared_ = on; }
  // Zero while closed; the connection's handle while connected.
  int32_t Handle() const { return handle_; }
  int32_t ReferenceCount() const { return refCount_; }
  TOvrinSession* Session() const { return session_; }
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(const std::string& name);
  const void* Owner() const { return owner_; }
  // A database given to an owner that has an automatically named session joins that
  // session (while closed).
  void SetOwner(const void* owner);
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

// Events of the database hook: opened, closed, added to the session, removed from it.
enum class TDatabaseEvent { Open = 0, Close = 1, Added = 2, Removed = 3 };

class TOvrinSession {
 public:
  // An empty name: the session names itself automatically. A session on an owner that
  // already has an automatically named session fails with "This auto-session already
  // exists."
  explicit TOvrinSession(const std::string& name = "", const void* owner = nullptr);
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
  const void* Owner() const { return owner_; }
  // Automatic naming: on takes the lowest free number N and names the session
  // "<component name>_<N + 1>"; off gives the number back and keeps the name.
  bool AutoSessionName() const { return autoSessionName_; }
  void SetAutoSessionName(bool on);
  // The component name from which the automatic name is made ("Session" unless set);
  // changing it names an automatically named session again.
  const std::string& Name() const { return name_; }
  void SetName(const std::string& name);
  // The database hook, called with each database that opens, closes, is added to or
  // removed from the session; nothing is called when it is not set.
  std::function<void(TDatabaseEvent, TOvrinDatabase&)> OnDatabaseEvent;

  std::function<void(TOvrinSession&)> OnStartup;
  TOvrinPasswordEvent OnPassword;

  // A connected database for the name (a temporary one when none exists), counted as one
  // more user; a failure leaves no new temporary database behind.
  TOvrinDatabase* OpenDatabase(const std::string& name, const void* owner = nullptr);
  void CloseDatabase(TOvrinDatabase* database);
  // The database of that name (names compare without case), without opening it; with an
  // owner, a database of that owner that shares its handle comes first.
  TOvrinDatabase* FindDatabase(const std::string& name);
  TOvrinDatabase* FindDatabase(const std::string& name, const void* owner);
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
  void ApplyAutoName();
  void ReleaseAutoNumber();
  void DatabaseEvent(TDatabaseEvent event, TOvrinDatabase& database);

  TFileSession* handle_ = nullptr;
  const void* owner_ = nullptr;
  std::string name_ = "Session";
  bool autoSessionName_ = false;
  bool applyingAutoName_ = false;
  int32_t sessionNumber_ = -1;
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
  friend class TOvrinDatabase;
  TOvrinSessionList();
  void Add(TOvrinSession* session);
  void Remove(TOvrinSession* session);
  std::vector<TOvrinSession*> sessions_;
  std::vector<bool> autoNumbers_;  // automatic session numbers in use
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
