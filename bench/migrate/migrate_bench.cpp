// Migration benchmark: generates a large old-layout archive, copies its folder with
// `cp -r` (a warm-cache yardstick for moving the same bytes), then migrates it with
// hollard-migrate into a fresh new-layout archive and prints the time of each step, the
// stored-file bytes per second and the peak memory of the migrating process.
//
// Usage: migrate_bench [--revisions N] [--modules M] [--projects P] [--blob-bytes B]
//                      [--seed S] [--folder DIR] [--keep]
// The defaults make 20,000 revisions of 2,000 modules with stored files of up to 400,000
// bytes (about 800 MB of them). Without --folder a temporary folder is used and removed.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "engine/table/table.h"
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

}  // namespace

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  std::string revisions = "20000", modules = "2000", projects = "12", blobBytes = "400000", seed = "5", folder;
  bool keep = false;
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
    else {
      std::cerr << "usage: migrate_bench [--revisions N] [--modules M] [--projects P] [--blob-bytes B] [--seed S]"
                   " [--folder DIR] [--keep]\n";
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
  fs::remove_all(source);
  fs::remove_all(copy);
  fs::remove_all(target);
  fs::create_directories(root);

  std::cout << "Generating " << revisions << " revisions of " << modules << " modules in " << projects
            << " projects (stored files up to " << blobBytes << " bytes)..." << std::endl;
  Require(RunProgram({HOLLARD_ARCHIVE_TOOL, "make-source", source.string(), "--revisions", revisions, "--modules",
                      modules, "--projects", projects, "--blob-bytes", blobBytes, "--seed", seed},
                     "/dev/null"),
          "hollard-archive make-source");
  Require(RunProgram({HOLLARD_ARCHIVE_TOOL, "create", target.string()}, "/dev/null"), "hollard-archive create");
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
  TChild tiny = RunProgram({HOLLARD_MIGRATE_TOOL, tinySource.string(), tinyTarget.string(), "--date-format",
                            "dd.mm.yyyy"},
                           "/dev/null");
  Require(tiny, "hollard-migrate (tiny)");
  fs::remove_all(tinySource);
  fs::remove_all(tinyTarget);

  // Both runs read the source folder after it was just written: a warm cache for both.
  TChild copied = RunProgram({"cp", "-r", source.string(), copy.string()}, "");
  Require(copied, "cp -r");
  fs::remove_all(copy);
  // A second yardstick: every byte through user space, 1 MB at a time (cp can have the
  // kernel copy the files without that pass).
  double userCopy = 0;
  {
    auto start = std::chrono::steady_clock::now();
    fs::create_directories(copy);
    std::vector<char> buffer(1 << 20);
    for (const auto& e : fs::directory_iterator(source)) {
      std::ifstream in(e.path(), std::ios::binary);
      std::ofstream out(copy / e.path().filename(), std::ios::binary);
      while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())) || in.gcount() > 0)
        out.write(buffer.data(), in.gcount());
    }
    userCopy = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fs::remove_all(copy);
  }
  const std::string report = (root / "report.json").string();
  TChild migrated = RunProgram({HOLLARD_MIGRATE_TOOL, source.string(), target.string(), "--date-format", "dd.mm.yyyy",
                                "--report", report},
                               (root / "migrate.log").string());
  Require(migrated, "hollard-migrate");

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
  std::printf("%-34s %9s\n", "step", "seconds");
  for (const auto& s : j["steps"]) {
    std::string name = s["steps"].get<std::string>() + "  " + s["procedure"].get<std::string>();
    double seconds = s["seconds"].get<double>();
    if (s["procedure"] == "ConvertRevisions") revisionSeconds = seconds;
    std::printf("%-34s %9.2f%s\n", name.c_str(), seconds, s["succeeded"].get<bool>() ? "" : "  FAILED");
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
