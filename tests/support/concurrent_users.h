// Several processes on the same shared tables at once: writers that append, edit and
// delete records with blobs, each keeping a journal of every change the engine reports
// as posted, and a walker that reads every record again and again and checks that each
// one is whole. Afterwards the tables must be sound and hold exactly what the journals
// say. Used by the suite (a few seconds) and by bench/concurrency_bench (as long as
// asked).
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/errors.h"
#include "engine/data/checker.h"
#include "engine/data/table_create.h"
#include "engine/table/table.h"

namespace ovrin::test {

struct TConcurrentOptions {
  std::string folder;           // where the tables are made and checked afterwards
  // The same folder as each user reaches it (a file server mounted twice, say): writer w
  // works through userFolders[w % n], the walker through the next one. Empty: folder.
  std::vector<std::string> userFolders;
  std::string journalFolder;    // the writers' journals; empty: folder
  int writers = 4;
  int tables = 3;
  double seconds = 3;
  uint32_t seed = 1;
};

struct TConcurrentResult {
  long posted = 0;    // changes the writers report as posted
  long refused = 0;   // changes the engine refused (lock timeouts and the like)
  long gone = 0;      // edits and deletes of a record another writer had deleted (8710)
  long corrected = 0; // changes refused for a duplicate key, then posted corrected
  long walked = 0;    // records the walker read
  long torn = 0;      // records the walker found not whole, also when read again
  long raced = 0;     // blobs read after a writer had changed their record since it was read
  std::vector<std::string> problems;  // checker findings and differences from the journals
};

inline uint32_t Fnv(const std::string& bytes) {
  uint32_t h = 2166136261u;
  for (unsigned char c : bytes) h = (h ^ c) * 16777619u;
  return h & 0x7FFFFFFF;
}

inline std::string TableName(int t) { return "shared" + std::to_string(t); }

// The folder through which user u (writers first, then the walker) opens the tables.
inline const std::string& UserFolder(const TConcurrentOptions& o, int user) {
  return o.userFolders.empty() ? o.folder : o.userFolders[static_cast<size_t>(user) % o.userFolders.size()];
}

inline std::string JournalPath(const TConcurrentOptions& o, const std::string& name) {
  return (o.journalFolder.empty() ? o.folder : o.journalFolder) + "/" + name;
}

inline void CreateConcurrentTables(const TConcurrentOptions& o) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 40},
                TFieldSpec{"HASH", fldInteger}, TFieldSpec{"VER", fldInteger}, TFieldSpec{"NOTE", fldBlob, subMemo},
                TFieldSpec{"DATA", fldBlob, subBinary}};
  def.Primary.Fields = {"ID"};
  TIndexSpec name;
  name.Name = "BYNAME";
  name.Fields = {"NAME"};
  name.Unique = true;
  def.Secondary = {name};
  std::filesystem::create_directories(o.folder);
  for (int t = 0; t < o.tables; ++t) CreateTable(o.folder + "/" + TableName(t), def, TCreateOptions{true, false});
}

inline void OpenShared(TOvrinTable& table, const std::string& folder, const std::string& name) {
  table.SetDatabaseName(folder + "/");
  table.SetTableName(name);
  table.Open();
}

// One writer. Besides appending, editing and deleting records of its own, it stands on
// any record (another writer's too) and edits or deletes it, and it tries changes the
// engine must refuse (a name another record has in the unique index) before posting
// the corrected one. Every record carries a version that each edit raises by one under
// the record lock, so the journals give each record's changes in order. Journal lines,
// each written after the engine reported the change as posted:
//   "A table id name hash", "E table id version name hash", "D table id", and at the
// end "R refused gone corrected".
inline int RunConcurrentWriter(const TConcurrentOptions& o, int writer) {
  std::mt19937 rng(o.seed * 977 + static_cast<uint32_t>(writer));
  std::ofstream journal(JournalPath(o, "journal" + std::to_string(writer)), std::ios::trunc);
  std::vector<TOvrinTable> tables(static_cast<size_t>(o.tables));
  for (int t = 0; t < o.tables; ++t) {
    TOvrinTable& table = tables[static_cast<size_t>(t)];
    table.SetLockRetryCount(5);
    table.SetLockWaitTime(20);
    OpenShared(table, UserFolder(o, writer), TableName(t));
  }
  std::vector<std::vector<int32_t>> mine(static_cast<size_t>(o.tables));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.seconds);
  long refused = 0, gone = 0, corrected = 0;
  for (int seq = 0; std::chrono::steady_clock::now() < deadline; ++seq) {
    int t = static_cast<int>(rng() % static_cast<uint32_t>(o.tables));
    TOvrinTable& table = tables[static_cast<size_t>(t)];
    std::vector<int32_t>& own = mine[static_cast<size_t>(t)];
    int op = static_cast<int>(rng() % 14);
    std::string name = "w" + std::to_string(writer) + "-" + std::to_string(seq);
    std::string data(rng() % 3 == 0 ? rng() % 20000 : rng() % 600, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    // Edits the record the table stands on: the new version is one above what the
    // locked record holds. With clash, first tries a name that another record holds.
    auto edit = [&](bool clash) {
      std::string taken;
      if (clash) {
        std::vector<uint8_t> here = table.GetBookmark();
        table.First();
        taken = table.FieldByName("NAME").AsString();
        table.GotoBookmark(here);
      }
      table.Edit();
      int32_t id = table.FieldByName("ID").AsInteger();
      int64_t version = table.FieldByName("VER").AsInteger() + 1;
      table.FieldByName("VER").SetAsInteger(version);
      table.FieldByName("HASH").SetAsInteger(Fnv(data));
      table.FieldByName("DATA").SetAsBytes(data);
      if (clash && taken != table.FieldByName("NAME").AsString()) {
        table.FieldByName("NAME").SetAsString(taken);
        try {
          table.Post();
          // The other record was deleted meanwhile, so the name was free after all.
          journal << "E " << t << " " << id << " " << version << " " << taken << " " << Fnv(data) << "\n";
          return;
        } catch (const EOvrinEngineError& e) {
          if (e.ErrorCode() != errKeyViolation) throw;
          ++corrected;  // refused as it must be; the same edit goes on, corrected
        }
      }
      table.FieldByName("NAME").SetAsString(name);
      table.Post();
      journal << "E " << t << " " << id << " " << version << " " << name << " " << Fnv(data) << "\n";
    };
    try {
      if (op < 5 || (op < 10 && own.empty())) {
        table.Append();
        table.FieldByName("NAME").SetAsString(name);
        table.FieldByName("HASH").SetAsInteger(Fnv(data));
        table.FieldByName("VER").SetAsInteger(0);
        table.FieldByName("NOTE").SetAsString(std::string(rng() % 300, 'n'));
        table.FieldByName("DATA").SetAsBytes(data);
        table.Post();
        int32_t id = table.FieldByName("ID").AsInteger();
        own.push_back(id);
        journal << "A " << t << " " << id << " " << name << " " << Fnv(data) << "\n";
      } else if (op < 10) {
        size_t pick = rng() % own.size();
        int32_t id = own[pick];
        table.SetKey();
        table.FieldByName("ID").SetAsInteger(id);
        if (!table.GotoKey() || table.FieldByName("ID").AsInteger() != id) {
          own.erase(own.begin() + static_cast<std::ptrdiff_t>(pick));  // another writer deleted it
          continue;
        }
        if (op < 8) {
          edit(op == 7);
        } else {
          table.Delete();
          own.erase(own.begin() + static_cast<std::ptrdiff_t>(pick));
          journal << "D " << t << " " << id << "\n";
        }
      } else {
        // Any record, wherever the cursor lands; others may change or delete it before
        // this writer acts, and then the engine must say the record is gone.
        table.Refresh();
        int32_t count = table.RecordCount();
        if (count == 0) continue;
        table.SetRecNo(static_cast<int32_t>(rng() % static_cast<uint32_t>(count)) + 1);
        if (table.Eof() && table.Bof()) continue;
        int32_t id = table.FieldByName("ID").AsInteger();
        // Now and then a pause, so that others change or delete the record meanwhile.
        if (rng() % 3 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (op < 13) {
          edit(op == 12);
        } else {
          table.Delete();
          journal << "D " << t << " " << id << "\n";
        }
      }
      journal.flush();
    } catch (const EOvrinEngineError& e) {
      if (e.ErrorCode() == errRecordNotFound) ++gone;
      else ++refused;  // not posted: nothing goes into the journal
      try {
        table.Cancel();
      } catch (const std::exception&) {
      }
    } catch (const std::exception& e) {
      std::fprintf(stderr, "writer %d: %s\n", writer, e.what());
      return 2;
    }
  }
  journal << "R " << refused << " " << gone << " " << corrected << "\n";
  return 0;
}

// The walker: every record of every table again and again; a record is whole when its
// DATA hashes to its HASH.
inline int RunConcurrentWalker(const TConcurrentOptions& o) {
  std::ofstream out(JournalPath(o, "walker"), std::ios::trunc);
  long walked = 0, torn = 0, raced = 0;
  std::vector<TOvrinTable> tables(static_cast<size_t>(o.tables));
  for (int t = 0; t < o.tables; ++t)
    OpenShared(tables[static_cast<size_t>(t)], UserFolder(o, o.writers), TableName(t));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(o.seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    for (TOvrinTable& table : tables) {
      try {
        table.Refresh();
        for (table.First(); !table.Eof(); table.Next()) {
          ++walked;
          auto whole = [&] {
            return static_cast<int64_t>(Fnv(table.FieldByName("DATA").AsBytes())) == table.FieldByName("HASH").AsInteger();
          };
          if (whole()) continue;
          // A blob is read when it is asked for, after its record: when a writer changed
          // the record in between, the blob read is the new one. Read again, the record
          // must be whole; otherwise it is torn on disk.
          table.Refresh();
          if (whole())
            ++raced;
          else
            ++torn;
        }
      } catch (const EOvrinEngineError&) {
        // A lock wait that ran out: the walk starts again.
      }
    }
  }
  out << walked << " " << torn << " " << raced << "\n";
  return 0;
}

inline TConcurrentResult RunConcurrentUsers(const TConcurrentOptions& o) {
  TConcurrentResult result;
  CreateConcurrentTables(o);
  std::vector<pid_t> children;
  std::fflush(nullptr);
  for (int w = 0; w <= o.writers; ++w) {
    pid_t pid = fork();
    if (pid == 0) {
      int code = 2;
      try {
        code = w < o.writers ? RunConcurrentWriter(o, w) : RunConcurrentWalker(o);
      } catch (const std::exception& e) {
        std::fprintf(stderr, "process %d: %s\n", w, e.what());
      }
      _exit(code);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
      result.problems.push_back("process " + std::to_string(pid) + " ended with status " + std::to_string(status));
  }

  // What the journals say each table must hold: per id its appended value and its
  // edits by version; a record someone deleted must be gone, and the others must hold
  // their highest version.
  struct TExpected {
    bool appended = false, deleted = false;
    std::map<int64_t, std::pair<std::string, int64_t>> versions;  // 0: the appended value
  };
  std::vector<std::map<int32_t, TExpected>> expected(static_cast<size_t>(o.tables));
  for (int w = 0; w < o.writers; ++w) {
    std::ifstream journal(JournalPath(o, "journal" + std::to_string(w)));
    std::string kind;
    while (journal >> kind) {
      if (kind == "R") {
        long n = 0, g = 0, c = 0;
        journal >> n >> g >> c;
        result.refused += n;
        result.gone += g;
        result.corrected += c;
        continue;
      }
      int t = 0;
      int32_t id = 0;
      journal >> t >> id;
      TExpected& e = expected.at(static_cast<size_t>(t))[id];
      ++result.posted;
      if (kind == "D") {
        if (e.deleted) result.problems.push_back(TableName(t) + ": record " + std::to_string(id) + " deleted twice");
        e.deleted = true;
        continue;
      }
      int64_t version = 0;
      if (kind == "E") journal >> version;
      std::string name;
      int64_t hash = 0;
      journal >> name >> hash;
      if (kind == "A") e.appended = true;
      if (!e.versions.emplace(version, std::make_pair(name, hash)).second)
        result.problems.push_back(TableName(t) + ": record " + std::to_string(id) + " got version " +
                                  std::to_string(version) + " twice");
    }
  }
  std::ifstream walker(JournalPath(o, "walker"));
  walker >> result.walked >> result.torn >> result.raced;
  if (result.torn) result.problems.push_back(std::to_string(result.torn) + " torn records seen by the walker");

  for (int t = 0; t < o.tables; ++t) {
    const std::string name = TableName(t);
    TCheckReport check = CheckTable(o.folder + "/" + name);
    for (const std::string& p : check.problems) result.problems.push_back(name + ": " + p);
    TOvrinTable table;
    OpenShared(table, o.folder, name);
    auto want = expected[static_cast<size_t>(t)];
    for (table.First(); !table.Eof(); table.Next()) {
      int32_t id = table.FieldByName("ID").AsInteger();
      auto it = want.find(id);
      std::string got = table.FieldByName("NAME").AsString();
      int64_t hash = Fnv(table.FieldByName("DATA").AsBytes());
      int64_t version = table.FieldByName("VER").AsInteger();
      if (it == want.end() || !it->second.appended) {
        result.problems.push_back(name + ": record " + std::to_string(id) + " (" + got + ") is in no journal");
        continue;
      }
      const TExpected& e = it->second;
      if (e.deleted) result.problems.push_back(name + ": deleted record " + std::to_string(id) + " is still there");
      const auto& last = *e.versions.rbegin();
      if (version != last.first || last.second.first != got || last.second.second != hash)
        result.problems.push_back(name + ": record " + std::to_string(id) + " holds version " + std::to_string(version) +
                                  " " + got + ", the journals say version " + std::to_string(last.first) + " " +
                                  last.second.first);
      for (int64_t v = 0; v < last.first; ++v)
        if (!e.versions.count(v) && v > 0)
          result.problems.push_back(name + ": record " + std::to_string(id) + " has no version " + std::to_string(v));
      want.erase(it);
    }
    for (const auto& [id, e] : want)
      if (e.appended && !e.deleted)
        result.problems.push_back(name + ": posted record " + std::to_string(id) + " is missing");
  }
  return result;
}

}  // namespace ovrin::test
