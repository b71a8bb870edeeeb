// Creating a table: the one place where tables come into being. Writes the data file
// (header and field descriptors), the index file (header with the index descriptors)
// and, when the table has blob fields, the blob file, exactly as new files of their
// formats look.
#pragma once

#include <string>
#include <vector>

#include "engine/format/table_format.h"

namespace ovrin {

struct TIndexSpec {
  std::string Name;                 // empty for the primary index
  std::vector<std::string> Fields;  // field names, in key order
  std::vector<bool> FieldDescending;  // per key field; missing entries are ascending
  bool Unique = false;              // the primary index is always unique
  bool Descending = false;
  bool CaseInsensitive = false;
  uint8_t Compression = 0;          // 0 none, 1 duplicate, 2 trailing, 3 full
};

struct TTableSpec {
  std::vector<TFieldSpec> Fields;
  // Without primary fields the table has no primary index and is kept in physical
  // record order.
  TIndexSpec Primary;
  std::vector<TIndexSpec> Secondary;
  int32_t BlobBlockSize = 0;  // 0: 512 bytes
  uint16_t LocaleLanguage = 0;
  uint16_t LocaleSort = 0;
  std::string Password;       // not empty: the table is enciphered
};

struct TCreateOptions {
  bool Replace = false;   // an existing table is overwritten instead of refused
  bool InMemory = false;  // the files are memory files of the current file session
};

// Creates the table whose files are named by path (any extension is replaced). Raises
// the engine error of a broken rule naming the data file (10038, 10000, 10006 fields;
// 9492 field count; 9477 record size; 10010, 10022, 10027 index names; 10023 unknown
// key field; 12292 blob key field; 9487 index or key field count; 10026 key too long;
// 9498 block size; 15878 locale; 10015 password), or EDatabaseError when the table
// exists and Replace is not set. A failure leaves no new file behind.
void CreateTable(const std::string& path, const TTableSpec& def, const TCreateOptions& options = {});

// The path of the first of a table's three files that exists, as it is spelt there (a
// name differing in letter case only is the same file); empty when none does. And
// removing those that do.
std::string ExistingTableFile(const std::string& path);
void DeleteTableFiles(const std::string& path, bool inMemory = false);

// The three file names of a table.
std::string DataFileName(const std::string& path);
std::string IndexFileName(const std::string& path);
std::string BlobFileName(const std::string& path);

}  // namespace ovrin
