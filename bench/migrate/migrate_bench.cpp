// Migration benchmark: generates a large old-layout archive, copies its folder with
// `cp -r` and with a loop of read() and write() calls (the yardsticks for moving the same
// bytes, warm cache), then migrates it with hollard-migrate into a fresh new-layout archive
// and prints the time of each step and its cost per item, the stored-file bytes per second
// and the peak memory of the migrating process.
//
// Usage: migrate_bench [--revisions N] [--modules M] [--projects P] [--blob-bytes B]
//                      [--seed S] [--folder DIR] [--keep] [--reuse] [--runs N]
//                      [--migrate PROGRAM]
// --reuse migrates the archive a former run kept in --folder instead of generating one;
// --runs N migrates it N times and prints the best figure of each step; --migrate names
// another build of hollard-migrate to measure (an older one, to compare).
// The defaults make 20,000 revisions of 2,000 modules with stored files of up to 400,000
// bytes (about 800 MB of them). Without --folder a temporary folder is used and removed.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/table/table.h"
#include "engine/base/conversions.h"
#include "engine/base/platform.h"

namespace fs = std::filesystem;

namespace {

struct TChild {
  double seconds = 0;
  long maxRssKb = 0;
  int status = -1;
};

// Runs a program with its standard output sent to a file, and measures it.
TChild RunProgram(const std::vector<std::string>& args, const std::string& outputFile) {
  auto start = std::chrono::steady_clock::now();
  pid_t pid = ::fork();
  if (pid == 0) {
    if (!outputFile.empty()) {
      if (!std::freopen(outputFile.c_str(), "w", stdout)) std::_Exit(127);
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    std::perror(argv[0]);
    std::_Exit(127);
  }
  TChild child;
  struct rusage usage {};
  ::wait4(pid, &child.status, 0, &usage);
  child.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  child.maxRssKb = usage.ru_maxrss;
  return child;
}

void Require(const TChild& child, const std::string& what) {
  if (!WIFEXITED(child.status) || WEXITSTATUS(child.status) != 0) {
    std::cerr << what << " failed (status " << child.status << ")\n";
    std::exit(1);
  }
}

uintmax_t FolderBytes(const fs::path& folder) {
  uintmax_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.is_regular_file()) n += e.file_size();
  return n;
}

double Mb(double bytes) { return bytes / 1e6; }

// Copies the files of a folder (one level, as the archive's folder is) with a loop of
// read() and write() calls through one 1 MB buffer; returns the seconds it took.
double ReadWriteCopy(const fs::path& from, const fs::path& to) {
  auto start = std::chrono::steady_clock::now();
  fs::create_directories(to);
  std::vector<char> buffer(1 << 20);
  for (const auto& e : fs::directory_iterator(from)) {
    if (!e.is_regular_file()) continue;
    int in = ::open(e.path().c_str(), O_RDONLY | O_CLOEXEC);
    int out = ::open((to / e.path().filename()).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (in < 0 || out < 0) {
      std::perror(e.path().c_str());
      std::exit(1);
    }
    for (;;) {
      ssize_t n = ::read(in, buffer.data(), buffer.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        std::perror("read");
        std::exit(1);
      }
      if (n == 0) break;
      for (ssize_t done = 0; done < n;) {
        ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) {
          std::perror("write");
          std::exit(1);
        }
        done += w;
      }
    }
    ::close(in);
    ::close(out);
  }
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// What a step's cost is counted in: the records it adds to these target tables.
struct TStepItems {
  const char* procedure;
  const char* unit;
  std::vector<const char*> tables;
};

}  // namespace

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  std::string revisions = "20000", modules = "2000", projects = "12", blobBytes = "400000", seed = "5", folder;
  bool keep = false, reuse = false;
  int runs = 1;
  std::string migrateTool = HOLLARD_MIGRATE_TOOL;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        std::cerr << a << " needs a value\n";
        std::exit(2);
      }
      *out = argv[++i];
    };
    if (a == "--revisions") value(&revisions);
    else if (a == "--modules") value(&modules);
    else if (a == "--projects") value(&projects);
    else if (a == "--blob-bytes") value(&blobBytes);
    else if (a == "--seed") value(&seed);
    else if (a == "--folder") value(&folder);
    else if (a == "--keep") keep = true;
    else if (a == "--reuse") reuse = true;
    else if (a == "--migrate") value(&migrateTool);
    else if (a == "--runs") {
      std::string n;
      value(&n);
      runs = std::max(1, std::atoi(n.c_str()));
    }
    else {
      std::cerr << "usage: migrate_bench [--revisions N] [--modules M] [--projects P] [--blob-bytes B] [--seed S]"
                   " [--folder DIR] [--keep] [--reuse] [--runs N] [--migrate PROGRAM]\n";
      return 2;
    }
  }
  bool temporary = folder.empty();
  if (temporary) {
    std::string pattern = (fs::temp_directory_path() / "migrate-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      return 1;
    }
    folder = pattern;
  }
  const fs::path root(folder), source = root / "old", copy = root / "copy", target = root / "new";
  reuse = reuse && fs::exists(source / "hollardm.log");
  if (!reuse) fs::remove_all(source);
  fs::remove_all(copy);
  fs::remove_all(target);
  fs::create_directories(root);

  if (reuse) {
    std::cout << "Using the archive a former run left in " << source.string() << std::endl;
  } else {
    std::cout << "Generating " << revisions << " revisions of " << modules << " modules in " << projects
              << " projects (stored files up to " << blobBytes << " bytes)..." << std::endl;
    Require(RunProgram({HOLLARD_ARCHIVE_TOOL, "make-source", source.string(), "--revisions", revisions, "--modules",
                        modules, "--projects", projects, "--blob-bytes", blobBytes, "--seed", seed},
                       "/dev/null"),
            "hollard-archive make-source");
  }
  const double sourceBytes = static_cast<double>(FolderBytes(source));

  // The program's own footprint (code, libraries, ICU data): a run over a tiny archive.
  const fs::path tinySource = root / "tiny-old", tinyTarget = root / "tiny-new";
  fs::remove_all(tinySource);
  fs::remove_all(tinyTarget);
  Require(RunProgram({HOLLARD_ARCHIVE_TOOL, "make-source", tinySource.string(), "--revisions", "10", "--modules", "3",
                      "--blob-bytes", "1000"},
                     "/dev/null"),
          "hollard-archive make-source (tiny)");
  Require(RunProgram({HOLLARD_ARCHIVE_TOOL, "create", tinyTarget.string()}, "/dev/null"), "hollard-archive create");
  TChild tiny = RunProgram({migrateTool, tinySource.string(), tinyTarget.string(), "--date-format",
                            "dd.mm.yyyy"},
                           "/dev/null");
  Require(tiny, "hollard-migrate (tiny)");
  fs::remove_all(tinySource);
  fs::remove_all(tinyTarget);

  // Both runs read the source folder after it was just written: a warm cache for both.
  TChild copied = RunProgram({"cp", "-r", source.string(), copy.string()}, "");
  Require(copied, "cp -r");
  fs::remove_all(copy);
  // The yardstick the run is measured against: every byte through user space with plain
  // read() and write() calls, 1 MB at a time, file by file (cp can have the kernel copy
  // the files without that pass). The best of three copies.
  double userCopy = 0;
  for (int round = 0; round < 3; ++round) {
    double seconds = ReadWriteCopy(source, copy);
    userCopy = round == 0 ? seconds : std::min(userCopy, seconds);
    fs::remove_all(copy);
  }
  // The migration, into a fresh target each time; with --runs N each step's figure and
  // the whole run's are the best of the N runs (the machine may be shared).
  const std::string report = (root / "report.json").string();
  TChild migrated;
  std::map<std::string, double> bestSeconds;
  for (int run = 0; run < runs; ++run) {
    fs::remove_all(target);
    Require(RunProgram({HOLLARD_ARCHIVE_TOOL, "create", target.string()}, "/dev/null"), "hollard-archive create");
    TChild once = RunProgram({migrateTool, source.string(), target.string(), "--date-format", "dd.mm.yyyy",
                              "--report", report},
                             (root / "migrate.log").string());
    Require(once, "hollard-migrate");
    nlohmann::json r;
    std::ifstream(report) >> r;
    for (const auto& s : r["steps"]) {
      std::string procedure = s["procedure"].get<std::string>();
      double seconds = s["seconds"].get<double>();
      auto [it, first] = bestSeconds.emplace(procedure, seconds);
      if (!first) it->second = std::min(it->second, seconds);
    }
    if (run == 0 || once.seconds < migrated.seconds) {
      long rss = std::max(migrated.maxRssKb, once.maxRssKb);
      migrated = once;
      migrated.maxRssKb = rss;
    } else {
      migrated.maxRssKb = std::max(migrated.maxRssKb, once.maxRssKb);
    }
  }

  // What was stored: every blobs record's file content, as the target now holds it.
  double storedBytes = 0, largest = 0;
  int64_t storedFiles = 0;
  {
    ovrin::TOvrinTable blobs;
    blobs.SetDatabaseName(target.string());
    blobs.SetTableName("blobs");
    blobs.Open();
    for (blobs.First(); !blobs.Eof(); blobs.Next()) {
      double size = static_cast<double>(blobs.FieldByName("FILEDATA").AsString().size());
      storedBytes += size;
      largest = std::max(largest, size);
      ++storedFiles;
    }
  }

  nlohmann::json j;
  std::ifstream(report) >> j;
  double revisionSeconds = 0;
  std::printf("\nSource folder %.1f MB; %lld stored files, %.1f MB, the largest %.1f KB\n", Mb(sourceBytes),
              static_cast<long long>(storedFiles), Mb(storedBytes), largest / 1e3);
  // Each step's cost per item: per record it adds to the tables it fills, or per line of
  // the side files it reads (the log, the projects' module lists, references, ToDo lists).
  auto linesOf = [&](const std::string& extension) {
    int64_t n = 0;
    for (const auto& e : fs::directory_iterator(source)) {
      if (ovrin::AsciiLower(e.path().extension().string()) != extension) continue;
      std::ifstream in(e.path(), std::ios::binary);
      for (std::string line; std::getline(in, line);) ++n;
    }
    return n;
  };
  const std::map<std::string, int64_t> sideLines = {{"ConvertLogFile", linesOf(".log")},
                                                    {"ConvertModuleLists", linesOf(".prl")},
                                                    {"ConvertCrossReferences", linesOf(".pcr")},
                                                    {"ConvertToDoLists", linesOf(".tdo")}};
  const TStepItems kItems[] = {{"ConvertUsers", "user", {"users"}},
                               {"ConvertProjects", "project", {"projects"}},
                               {"ConvertModules", "module", {"modules"}},
                               {"ConvertRevisions", "revision", {"revision"}},
                               {"ConvertLabels", "assignment", {"labels", "rvlabels"}},
                               {"ConvertToDoLists", "list line", {}},
                               {"ConvertModuleLists", "list line", {}},
                               {"ConvertCrossReferences", "list line", {}},
                               {"ConvertLogFile", "log line", {}}};
  auto added = [&](const char* table) -> int64_t {
    return j["added"].contains(table) ? j["added"][table].get<int64_t>() : 0;
  };
  std::printf("%-34s %9s %12s\n", "step", "seconds", "per item");
  for (const auto& s : j["steps"]) {
    std::string procedure = s["procedure"].get<std::string>();
    std::string name = s["steps"].get<std::string>() + "  " + procedure;
    double seconds = bestSeconds[procedure];
    if (procedure == "ConvertRevisions") revisionSeconds = seconds;
    std::string perItem;
    for (const TStepItems& items : kItems) {
      if (procedure != items.procedure) continue;
      int64_t n = sideLines.count(procedure) ? sideLines.at(procedure) : 0;
      for (const char* table : items.tables) n += added(table);
      if (n > 0) {
        char text[96];
        std::snprintf(text, sizeof text, "%8.1f us per %s", seconds * 1e6 / static_cast<double>(n), items.unit);
        perItem = text;
        if (procedure == "ConvertRevisions" && storedFiles > 0) {
          std::snprintf(text, sizeof text, ", %.1f us per stored file",
                        seconds * 1e6 / static_cast<double>(storedFiles));
          perItem += text;
        }
      }
    }
    std::printf("%-34s %9.3f %s%s\n", name.c_str(), seconds, perItem.c_str(),
                s["succeeded"].get<bool>() ? "" : "  FAILED");
  }
  std::printf("\ncp -r of the source folder        %9.2f s\n", copied.seconds);
  std::printf("read()/write() copy of the folder %9.2f s\n", userCopy);
  std::printf("hollard-migrate, whole run        %9.2f s  (%.1f x cp -r, %.1f x the read/write copy)\n",
              migrated.seconds, migrated.seconds / copied.seconds, migrated.seconds / userCopy);
  std::printf("stored-file bytes per second      %9.1f MB/s in step 10, %.1f MB/s over the whole run\n",
              Mb(storedBytes) / revisionSeconds, Mb(storedBytes) / migrated.seconds);
  std::printf("peak memory of hollard-migrate    %9.1f MB; on a 10-revision archive %.1f MB\n",
              migrated.maxRssKb / 1e3, tiny.maxRssKb / 1e3);
  std::printf("  growth with the archive          %9.1f MB  (%.1f x the largest stored file)\n",
              (migrated.maxRssKb - tiny.maxRssKb) / 1e3, (migrated.maxRssKb - tiny.maxRssKb) * 1e3 / largest);
  if (!j["succeeded"].get<bool>()) std::printf("The migration reported a failure; see %s\n", report.c_str());
  if (temporary && !keep) fs::remove_all(root);
  return 0;
}
