// Filter benchmark: on a table of one million records, an equality filter on an indexed
// field (answered from the index's keys) against the same condition on an unindexed
// field (every record read and evaluated), in one run; prints both times and the ratio.
// Usage: filter_bench [records] [folder]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "engine/data/table_create.h"
#include "engine/table/filter_expr.h"
#include "engine/table/table.h"
#include "engine/base/platform.h"

using namespace ovrin;
namespace fs = std::filesystem;

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Activates the filter and walks what passes; answers the time and the count.
std::pair<double, int> Filtered(TOvrinTable& table, const std::string& text) {
  auto start = std::chrono::steady_clock::now();
  table.SetFilter(text);
  table.SetFiltered(true);
  int n = 0;
  for (table.First(); !table.Eof(); table.Next()) ++n;
  double seconds = Seconds(start);
  table.SetFiltered(false);
  return {seconds, n};
}

}  // namespace

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  int records = argc > 1 ? std::atoi(argv[1]) : 1000000;
  fs::path folder = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "filter-bench";
  fs::remove_all(folder);
  fs::create_directories(folder);
  TTableSpec def;
  def.Fields = {TFieldSpec{"ID", fldInteger, subAutoInc}, TFieldSpec{"QTY", fldInteger}, TFieldSpec{"OTHER", fldInteger}};
  def.Primary.Fields = {"ID"};
  TIndexSpec qty;
  qty.Name = "QTY";
  qty.Fields = {"QTY"};
  def.Secondary = {qty};
  CreateTable((folder / "items").string(), def);

  TOvrinTable table;
  table.SetDatabaseName(folder.string());
  table.SetTableName("items");
  table.SetExclusive(true);
  table.Open();
  std::mt19937 rng(1);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < records; ++i) {
    int v = static_cast<int>(rng() % 1000);
    table.Append();
    table.FieldByName("QTY").SetAsInteger(v);
    table.FieldByName("OTHER").SetAsInteger(v);
    table.Post();
  }
  std::printf("%d records appended in %.1f s\n", records, Seconds(start));
  // Opened again as its users open it: shared, with nothing in the record cache.
  table.Close();
  table.SetExclusive(false);
  table.Open();

  auto [indexed, a] = Filtered(table, "QTY = 7");
  auto [scanned, b] = Filtered(table, "OTHER = 7");
  std::printf("indexed equality filter (QTY = 7):    %8.4f s, %d records\n", indexed, a);
  std::printf("full scan filter (OTHER = 7):         %8.4f s, %d records\n", scanned, b);
  std::printf("ratio full scan / indexed:            %8.1f\n", scanned / indexed);
  auto [range, c] = Filtered(table, "QTY >= 10 AND QTY < 20");
  std::printf("indexed range filter (10 <= QTY < 20): %7.4f s, %d records\n", range, c);
  table.Close();
  fs::remove_all(folder);
  return a == b ? 0 : 1;
}
