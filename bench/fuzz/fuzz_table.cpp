// A table opened and walked from fuzzed data, index and blob file bytes, held as memory
// files. The input is three parts, each preceded by its length in four bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/base/file_session.h"
#include "engine/data/data_file.h"

namespace {

void PutMemoryFile(const std::string& name, const std::string& bytes) {
  ovrin::TFileHandler h;
  h.SetInMemory(true);
  h.SetExclusive(true);
  h.SetFileName(name);
  h.Create();
  if (!bytes.empty()) h.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  h.Close();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = [] {
    ovrin::engine::StartEngine();
    return true;
  }();
  (void)started;
  std::string dat, idx, blb;
  if (!TakePart(data, size, &dat) || !TakePart(data, size, &idx)) return 0;
  bool hasBlob = TakePart(data, size, &blb);
  try {
    PutMemoryFile("fuzz.DAT", dat);
    PutMemoryFile("fuzz.IDX", idx);
    if (hasBlob) PutMemoryFile("fuzz.BLB", blb);
    ovrin::TDataFile file;
    file.SetInMemory(true);
    file.SetFileName("fuzz.DAT");
    file.Open();
    std::vector<uint8_t> record(file.LogicalRecordSize());
    std::vector<uint8_t> value(512);
    file.First();
    for (int steps = 0; steps < 10000 && file.GetNextRecord(record.data()) == 0; ++steps) {
      for (int f = 1; f <= static_cast<int>(file.Fields().size()); ++f) {
        const ovrin::TFieldDescriptor& d = file.FieldByNumber(f);
        if (d.IsBlob()) {
          uint32_t blobSize = 0;
          if (file.BlobSize(f, record.data(), &blobSize) == 0 && blobSize > 0) {
            std::vector<uint8_t> bytes(std::min<uint32_t>(blobSize, 1 << 20));
            uint32_t got = 0;
            file.ReadBlob(f, record.data(), 0, static_cast<uint32_t>(bytes.size()), bytes.data(), &got);
          }
          file.FreeBlob(f, record.data());
        } else {
          value.assign(std::max<size_t>(d.StoredSize(), 8), 0);
          file.GetFieldValue(f, value.data(), record.data());
        }
      }
    }
  } catch (const ovrin::Exception&) {
  }
  for (const char* name : {"fuzz.DAT", "fuzz.IDX", "fuzz.BLB"}) ovrin::engine::CurrentFileSession()->MemoryFiles.Delete(name);
  return 0;
}
