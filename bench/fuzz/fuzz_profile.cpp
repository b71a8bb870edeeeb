// The label key file parser over fuzzed text, and lookups of the keys the migration reads.
#include <cstdint>
#include <string>

#include "main/profile_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  hollard::TProfileFile keys = hollard::TProfileFile::FromText(std::string(reinterpret_cast<const char*>(data), size));
  for (int n = 1; n <= 20; ++n) {
    keys.ReadString("Keys", std::to_string(n), "_empty_");
    keys.ReadString("Comments", std::to_string(n), "");
  }
  return 0;
}
