// B+-tree benchmark: one million keys inserted in ascending and in random order into an
// index of its own, each followed by a full walk. Prints keys per second and the pages
// written. Usage: btree_bench [keys] [folder]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/base/conversions.h"
#include "engine/base/file_handler.h"
#include "engine/data/table_create.h"
#include "engine/index/index_file.h"
#include "engine/base/platform.h"

using namespace ovrin;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Run(const std::string& folder, const char* label, std::vector<uint32_t> order, bool shared) {
  std::string path = folder + "/bench_" + label;
  TTableSpec def;
  def.Fields = {TFieldSpec{"K", fldInteger}};
  TIndexSpec index;
  index.Name = "K";
  index.Fields = {"K"};
  index.Unique = true;
  def.Secondary = {index};
  CreateTable(path, def, TCreateOptions{true, false});
  TFileHandler data;
  data.SetFileName(DataFileName(path));
  data.Open();
  auto fields = ReadTableImage(data, [](const std::string&) { return false; }).descriptors;
  data.Close();

  TIndexFile file;
  file.SetFileName(path);
  file.SetExclusive(!shared);
  file.OpenIndex(fields, 0, 0, false);
  auto start = std::chrono::steady_clock::now();
  uint8_t key[5] = {1};
  for (uint32_t n : order) {
    KeyInt32(static_cast<int32_t>(n), key + 1);
    file.InsertKey(1, key, static_cast<int32_t>(n));
  }
  file.UnpinAll();
  file.FlushPages();
  file.WriteHeader(true);
  double insert = Seconds(start);
  long pages = file.Stats().pagesWritten;

  file.SelectSlot(1);
  start = std::chrono::steady_clock::now();
  file.First();
  size_t walked = 0;
  while (!file.Eof() && !file.Empty()) {
    ++walked;
    file.MoveBy(1);
  }
  double walk = Seconds(start);
  int64_t size = static_cast<int64_t>(std::filesystem::file_size(IndexFileName(path)));
  std::printf("%-10s %-9s %9zu keys  insert %10.0f keys/s  walk %11.0f keys/s  pages written %7ld  file %6.1f MB\n",
              label, shared ? "shared" : "exclusive", order.size(), order.size() / insert, walked / walk, pages,
              size / 1048576.0);
  file.Close();
}

}  // namespace

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  size_t count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000000;
  std::string folder = argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string();
  std::vector<uint32_t> ascending(count);
  for (size_t i = 0; i < count; ++i) ascending[i] = static_cast<uint32_t>(i + 1);
  std::vector<uint32_t> random = ascending;
  std::shuffle(random.begin(), random.end(), std::mt19937(42));
  Run(folder, "ascending", ascending, false);
  Run(folder, "random", random, false);
  for (const char* label : {"ascending", "random"}) {
    std::string base = folder + "/bench_" + label;
    std::filesystem::remove(DataFileName(base));
    std::filesystem::remove(IndexFileName(base));
  }
  return 0;
}
