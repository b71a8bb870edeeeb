// An index file on its own, over a table with one string field K of a chosen width and
// one secondary index on it, for tests of the trees without record storage.
#pragma once

#include <memory>
#include <string>

#include "engine/base/file_handler.h"
#include "engine/data/table_create.h"
#include "engine/index/index_file.h"
#include "tests/support/temp_dir.h"

namespace ovrin::test {

// A key of length L that sorts as n: an indicator byte, then n big-endian.
inline std::vector<uint8_t> NumberKey(uint16_t L, uint32_t n) {
  std::vector<uint8_t> k(L, 0);
  k[0] = 1;
  for (int i = 0; i < 4; ++i) k[1 + i] = static_cast<uint8_t>(n >> (24 - 8 * i));
  return k;
}

struct IndexSpec {
  uint8_t width = 8;  // K is string[width]: L = width + 2, plus 4 when not unique
  bool unique = true;
  uint8_t compression = 0;
  bool descending = false;
};

class IndexFixture {
 public:
  explicit IndexFixture(const IndexSpec& shape, const std::string& name = "t") : shape_(shape) {
    TTableSpec def;
    def.Fields = {TFieldSpec{"K", fldString, subNone, shape.width}};
    TIndexSpec index;
    index.Name = "K";
    index.Fields = {"K"};
    index.Unique = shape.unique;
    index.Compression = shape.compression;
    index.Descending = shape.descending;
    def.Secondary = {index};
    path_ = dir_ / name;
    CreateTable(path_, def);
    TFileHandler data;
    data.SetFileName(DataFileName(path_));
    data.Open();
    fields_ = ReadTableImage(data, [](const std::string&) { return false; }).descriptors;
  }

  std::unique_ptr<TIndexFile> Open(bool exclusive = false) {
    auto index = std::make_unique<TIndexFile>();
    index->SetFileName(path_);
    index->SetExclusive(exclusive);
    index->OpenIndex(fields_, 0, 0, false);
    index->SelectSlot(1);
    return index;
  }

  // Writes every change back, as record storage does after each change.
  static void Commit(TIndexFile& index) {
    index.UnpinAll();
    index.FlushPages();
    index.WriteHeader(true);
  }

  uint16_t KeyLength() const { return static_cast<uint16_t>(shape_.width + 2 + (shape_.unique ? 0 : 4)); }
  const std::string& Path() const { return path_; }
  std::string IndexPath() const { return IndexFileName(path_); }

 private:
  IndexSpec shape_;
  TempDir dir_;
  std::string path_;
  std::vector<TFieldDescriptor> fields_;
};

}  // namespace ovrin::test
