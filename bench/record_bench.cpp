// Record storage benchmark: appends 100,000 records to a table with a primary and two
// secondary indexes, in shared and in exclusive mode, then walks them in index order.
// Each mode runs in a process of its own, so that its peak memory is its own.
// Usage: record_bench [records] [folder]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/base/coding.h"
#include "engine/data/data_file.h"
#include "engine/data/table_create.h"
#include "engine/base/platform.h"

using namespace ovrin;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Run(const std::string& path, int records, bool exclusive) {
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"NAME", fldString, subNone, 40},
                TFieldSpec{"MODULE", fldInteger}, TFieldSpec{"STAMP", fldTimeStamp}};
  def.Primary.Fields = {"ID"};
  TIndexSpec name;
  name.Name = "NAME";
  name.Fields = {"NAME"};
  name.Compression = 3;
  TIndexSpec module;
  module.Name = "MODULE";
  module.Fields = {"MODULE", "STAMP"};
  def.Secondary = {name, module};
  CreateTable(path, def, TCreateOptions{true, false});

  TDataFile file;
  file.SetFileName(path);
  file.SetExclusive(exclusive);
  file.Open();
  std::vector<uint8_t> buffer(file.LogicalRecordSize());
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < records; ++i) {
    file.InitRecord(buffer.data());
    std::string text = "module/file_" + std::to_string((i * 7919) % records) + ".cpp";
    file.SetFieldValue(2, reinterpret_cast<const uint8_t*>(text.c_str()), false, buffer.data());
    uint8_t v[8];
    StoreLE32(v, static_cast<uint32_t>(i % 997));
    file.SetFieldValue(3, v, false, buffer.data());
    StoreLEDouble(v, 6.3e13 + i * 1000.0);
    file.SetFieldValue(4, v, false, buffer.data());
    file.AppendRecord(buffer.data());
  }
  file.Close();
  double append = Seconds(start);
  file.Open();
  start = std::chrono::steady_clock::now();
  file.SelectIndex("NAME");
  file.First();
  int walked = 0;
  while (file.GetNextRecord(buffer.data()) == 0) ++walked;
  double walk = Seconds(start);
  file.Close();
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  int64_t size = static_cast<int64_t>(std::filesystem::file_size(DataFileName(path)) +
                                      std::filesystem::file_size(IndexFileName(path)));
  std::printf("%-9s %7d records  append %9.0f records/s  walk (NAME) %10.0f records/s  peak memory %6.1f MB  files %6.1f MB\n",
              exclusive ? "exclusive" : "shared", records, records / append, walked / walk, usage.ru_maxrss / 1024.0,
              size / 1048576.0);
}

}  // namespace

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  int records = argc > 1 ? std::atoi(argv[1]) : 100000;
  std::string folder = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string();
  std::string path = folder + "/record_bench";
  for (bool exclusive : {false, true}) {
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      Run(path, records, exclusive);
      std::fflush(stdout);
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
  }
  for (const std::string& f : {DataFileName(path), IndexFileName(path)}) std::filesystem::remove(f);
  return 0;
}
