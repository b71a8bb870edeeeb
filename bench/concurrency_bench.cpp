// The long run of several users on shared tables: writers appending, editing and
// deleting records with blobs (their own and the ones other writers stand on) while a
// walker reads every record, for as long as asked; then the checker and the writers'
// journals. Prints what was done and any problem.
//   concurrency_bench [--seconds S] [--writers W] [--tables T] [--seed N] [--folder DIR]
//                     [--mounts DIR1,DIR2,...]
// With --mounts the tables are made under DIR1/tables and the users reach them through
// every mount in turn (one file server folder mounted several times): the writers one
// mount after another, the walker through the next. The journals stay in a local folder.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/concurrent_users.h"
#include "engine/base/platform.h"

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  ovrin::test::TConcurrentOptions o;
  o.seconds = 600;
  std::string folder;
  std::vector<std::string> mounts;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i], v = argv[i + 1];
    if (a == "--seconds") o.seconds = std::atof(v.c_str());
    else if (a == "--writers") o.writers = std::atoi(v.c_str());
    else if (a == "--tables") o.tables = std::atoi(v.c_str());
    else if (a == "--seed") o.seed = static_cast<uint32_t>(std::atoi(v.c_str()));
    else if (a == "--folder") folder = v;
    else if (a == "--mounts") {
      for (size_t start = 0; start <= v.size();) {
        size_t comma = v.find(',', start);
        if (comma == std::string::npos) comma = v.size();
        if (comma > start) mounts.push_back(v.substr(start, comma - start));
        start = comma + 1;
      }
    } else {
      std::fprintf(stderr, "usage: concurrency_bench [--seconds S] [--writers W] [--tables T] [--seed N] [--folder DIR]"
                           " [--mounts DIR1,DIR2,...]\n");
      return 2;
    }
  }
  bool temporary = folder.empty();
  if (temporary) {
    char pattern[] = "/tmp/concurrency-XXXXXX";
    folder = mkdtemp(pattern);
  }
  o.folder = folder + "/tables";
  if (!mounts.empty()) {
    std::filesystem::create_directories(o.folder);
    o.journalFolder = o.folder;
    o.folder = mounts.front() + "/tables";
    for (const std::string& m : mounts) o.userFolders.push_back(m + "/tables");
    std::filesystem::remove_all(o.folder);
  }
  std::printf("%d writers and a walker on %d shared tables for %.0f s", o.writers, o.tables, o.seconds);
  if (!mounts.empty()) std::printf(" through %zu mounts", mounts.size());
  std::printf("...\n");
  std::fflush(stdout);
  ovrin::test::TConcurrentResult r = ovrin::test::RunConcurrentUsers(o);
  std::printf("changes posted      %ld (%.1f per second)\nchanges refused     %ld\nrecord gone (8710)  %ld\n"
              "duplicate refused, posted corrected %ld\nrecords walked      %ld\ntorn records        %ld\n"
              "blob read after its record changed %ld\n",
              r.posted, static_cast<double>(r.posted) / o.seconds, r.refused, r.gone, r.corrected, r.walked, r.torn, r.raced);
  for (const std::string& p : r.problems) std::printf("PROBLEM: %s\n", p.c_str());
  std::printf(r.problems.empty() ? "Nothing lost; the tables are sound\n" : "%zu problem(s)\n", r.problems.size());
  if (temporary) std::filesystem::remove_all(folder);
  if (!mounts.empty()) std::filesystem::remove_all(o.folder);
  return r.problems.empty() ? 0 : 1;
}
