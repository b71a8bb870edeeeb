// The long run of several users on shared tables: writers appending, editing and
// deleting records with blobs (their own and the ones other writers stand on) while a
// walker reads every record, for as long as asked; then the checker and the writers'
// journals. Prints what was done and any problem.
//   concurrency_bench [--seconds S] [--writers W] [--tables T] [--seed N] [--folder DIR]
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "tests/support/concurrent_users.h"
#include "engine/base/platform.h"

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  ovrin::test::TConcurrentOptions o;
  o.seconds = 600;
  std::string folder;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i], v = argv[i + 1];
    if (a == "--seconds") o.seconds = std::atof(v.c_str());
    else if (a == "--writers") o.writers = std::atoi(v.c_str());
    else if (a == "--tables") o.tables = std::atoi(v.c_str());
    else if (a == "--seed") o.seed = static_cast<uint32_t>(std::atoi(v.c_str()));
    else if (a == "--folder") folder = v;
    else {
      std::fprintf(stderr, "usage: concurrency_bench [--seconds S] [--writers W] [--tables T] [--seed N] [--folder DIR]\n");
      return 2;
    }
  }
  bool temporary = folder.empty();
  if (temporary) {
    char pattern[] = "/tmp/concurrency-XXXXXX";
    folder = mkdtemp(pattern);
  }
  o.folder = folder + "/tables";
  std::printf("%d writers and a walker on %d shared tables for %.0f s...\n", o.writers, o.tables, o.seconds);
  std::fflush(stdout);
  ovrin::test::TConcurrentResult r = ovrin::test::RunConcurrentUsers(o);
  std::printf("changes posted      %ld\nchanges refused     %ld\nrecord gone (8710)  %ld\n"
              "duplicate refused, posted corrected %ld\nrecords walked      %ld\ntorn records        %ld\n"
              "blob read after its record changed %ld\n",
              r.posted, r.refused, r.gone, r.corrected, r.walked, r.torn, r.raced);
  for (const std::string& p : r.problems) std::printf("PROBLEM: %s\n", p.c_str());
  std::printf(r.problems.empty() ? "Nothing lost; the tables are sound\n" : "%zu problem(s)\n", r.problems.size());
  if (temporary) std::filesystem::remove_all(folder);
  return r.problems.empty() ? 0 : 1;
}
