// The Paradox reader over a fuzzed table file and blob file (written to a scratch folder,
// as the reader reads files): open, then every field of every record read in every way.
// The input is two parts, each preceded by its length in four bytes.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "fuzz_input.h"
#include "main/paradox.h"

namespace {

const std::string& Folder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/fuzz-paradox-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string db, mb;
  if (!TakePart(data, size, &db)) return 0;
  bool hasBlob = TakePart(data, size, &mb);
  const std::string dbPath = Folder() + "/t.db", mbPath = Folder() + "/t.mb";
  std::ofstream(dbPath, std::ios::binary | std::ios::trunc) << db;
  if (hasBlob) std::ofstream(mbPath, std::ios::binary | std::ios::trunc) << mb;
  else unlink(mbPath.c_str());
  try {
    hollard::TParadoxFile file;
    file.Open(dbPath, hasBlob ? mbPath : std::string());
    for (int32_t r = 0; r < file.RecordCount() && r < 5000; ++r) {
      for (int f = 0; f < static_cast<int>(file.Fields().size()); ++f) {
        auto attempt = [&](auto read) {
          try {
            read();
          } catch (const std::exception&) {
          }
        };
        attempt([&] { file.IsNull(r, f); });
        attempt([&] { file.Text(r, f); });
        attempt([&] { file.Integer(r, f); });
        attempt([&] { file.Number(r, f); });
        attempt([&] { file.Logical(r, f); });
        attempt([&] { file.DateTime(r, f); });
        attempt([&] { file.BlobLength(r, f); });
        attempt([&] {
          if (file.Fields()[static_cast<size_t>(f)].IsBlob() && file.BlobLength(r, f) < (1u << 22)) file.Blob(r, f);
        });
      }
    }
  } catch (const std::exception&) {
  }
  return 0;
}
