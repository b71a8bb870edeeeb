#include "engine/data/checker.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <set>
#include <unordered_map>

#include "engine/base/errors.h"
#include "engine/base/platform.h"
#include "engine/data/data_file.h"
#include "engine/data/table_create.h"
#include "engine/index/keys.h"

namespace ovrin {

using namespace datafmt;

namespace {

using Entries = std::map<std::vector<uint8_t>, std::vector<int32_t>>;

void CompareEntries(const std::string& name, const Entries& expected, const Entries& actual,
                    std::vector<std::string>& problems) {
  for (const auto& [key, records] : expected) {
    auto it = actual.find(key);
    for (int32_t r : records) {
      if (it == actual.end() || std::find(it->second.begin(), it->second.end(), r) == it->second.end())
        problems.push_back("index " + name + ": record " + std::to_string(r) + " has no key or a wrong one");
    }
  }
  for (const auto& [key, records] : actual) {
    auto it = expected.find(key);
    for (int32_t r : records) {
      if (it == expected.end() || std::find(it->second.begin(), it->second.end(), r) == it->second.end())
        problems.push_back("index " + name + ": a key names record " + std::to_string(r) +
                           ", which is not a live record with that key");
    }
  }
}

// The folder entry a table file name resolves to (exact name first, then without regard
// to letter case), empty when there is none.
std::string Resolve(const std::string& name) { return Platform().ResolveExisting(name); }

// Whether this user's permissions shut it out of the table: its folder cannot be listed
// or entered, or one of its files cannot be read.
bool PermissionsShutOut(const std::string& path) {
  if (PermissionDenied(PathFolder(DataFileName(path)), R_OK | X_OK)) return true;
  for (const std::string& name : {DataFileName(path), IndexFileName(path), BlobFileName(path)}) {
    const std::string found = Resolve(name);
    if (!found.empty() && PermissionDenied(found, R_OK)) return true;
  }
  return false;
}

// The table's files are all there and regular: a data file that is missing while its
// index or blob file is there, or a table file that is a folder or a device, is reported
// by name (the engine's open would only say that a path is invalid, or fail to read).
bool FilesPresent(const std::string& path, std::vector<std::string>& problems) {
  const std::string dataName = DataFileName(path);
  std::vector<std::string> others;
  for (const std::string& name : {IndexFileName(path), BlobFileName(path)})
    if (!Resolve(name).empty()) others.push_back(PathFileName(Resolve(name)));
  const std::string data = Resolve(dataName);
  if (data.empty()) {
    if (others.empty()) return true;  // no table at all: the open says so
    std::string list;
    for (const std::string& o : others) list += (list.empty() ? "" : " and ") + o;
    problems.push_back("data file " + PathFileName(dataName) + " is missing (" + list +
                       (others.size() > 1 ? " are" : " is") + " there)");
    return false;
  }
  bool ok = true;
  for (const std::string& name : {dataName, IndexFileName(path), BlobFileName(path)}) {
    std::string found = Resolve(name);
    std::error_code ec;
    if (!found.empty() && !std::filesystem::is_regular_file(found, ec)) {
      problems.push_back(PathFileName(found) + " is not a regular file");
      ok = false;
    }
  }
  return ok;
}

}  // namespace

bool TableInUse(const std::string& path, bool exclusive) {
  for (const std::string& name : {DataFileName(path), IndexFileName(path), BlobFileName(path)}) {
    std::string found = Resolve(name);
    if (found.empty()) continue;
    TOpenOptions options;
    options.exclusive = exclusive;
    std::unique_ptr<TOsFile> file;
    if (Platform().Open(found, options, &file) == EWOULDBLOCK) return true;
  }
  return false;
}

namespace {

// Why a data file's length disagrees with its header's record count, when it does: the
// open-time check calls it header damage alone, and the repair's cure depends on which
// way it disagrees. Empty when the header does not read or the length agrees.
std::string LengthAgainstCount(const std::string& dataName) {
  try {
    TFileHandler file;
    file.SetFileName(dataName);
    file.SetReadOnly(true);
    file.Open();
    TTableHeader header;
    int64_t whole = 0;
    if (!WholeRecords(file, &header, &whole)) return {};
    const int64_t counted = int64_t(header.NextRecordNumber()) - 1;
    if (counted < 0) return {};
    auto records = [](int64_t n) { return std::to_string(n) + (n == 1 ? " record" : " records"); };
    if (whole > counted)
      return "the data file holds " + records(whole - counted) + " after the " + std::to_string(counted) +
             " its header counts (a repair counts again those that were posted and keeps the rest aside)";
    if (whole < counted)
      return "the data file ends after " + std::to_string(whole) + " of the " + records(counted) + " its header counts";
  } catch (const EOvrinEngineError&) {
  }
  return {};
}

}  // namespace

bool WholeRecords(TFileHandler& file, TTableHeader* header, int64_t* whole) {
  file.Seek(0, 0);
  file.Read(header->bytes.data(), static_cast<uint32_t>(header->bytes.size()));
  const int64_t size = file.Size(), start = header->RecordsStart();
  if (header->RecordSize() == 0 || size < start) return false;
  *whole = (size - start) / header->RecordSize();
  return true;
}

TCheckReport CheckTable(const std::string& path, size_t maxProblems) {
  TCheckReport report;
  TDataFile data;
  data.SetFileName(path);
  data.SetReadOnly(true);
  report.table = data.FileName();
  std::vector<std::string>& problems = report.problems;
  if (!FilesPresent(path, problems)) return report;
  try {
    data.Open();
  } catch (const EOvrinEngineError& e) {
    if (e.ErrorCode() == errAccessDenied && TableInUse(path, false)) {
      report.inUse = true;
      problems.push_back("in use by another program, which holds it open exclusively (" + e.Message() + ")");
    } else if (PermissionsShutOut(path)) {
      report.refused = true;
      problems.push_back(e.Message());
    } else {
      problems.push_back(e.Message());
      if (e.ErrorCode() == errHeaderCorrupt)
        if (std::string why = LengthAgainstCount(DataFileName(path)); !why.empty()) problems.push_back(why);
    }
    return report;
  }
  report.opened = true;
  try {
    data.BeginRead();
    const TTableHeader& header = data.Header();
    // The header's count of blob fields decides whether the blob file is opened at all.
    int blobFields = 0;
    for (const TFieldDescriptor& f : data.Fields()) blobFields += f.IsBlob() ? 1 : 0;
    if (header.BlobFieldCount() != blobFields)
      problems.push_back("data header: counts " + std::to_string(header.BlobFieldCount()) +
                         " blob fields, the table's fields hold " + std::to_string(blobFields));
    int32_t count = data.RecordCount();
    uint16_t size = data.RecordSize();
    report.physicalRecords = count;
    std::vector<uint8_t> records(size_t(count) * size);
    if (count > 0) {
      data.Seek(header.RecordsStart(), 0);
      data.Read(records.data(), static_cast<uint32_t>(records.size()));
    }
    auto record = [&](int32_t n) { return records.data() + size_t(n - 1) * size; };
    if (data.Encrypted())
      for (int32_t n = 1; n <= count; ++n) ApplyCipher(record(n), size, kTableKey);

    // Records and the free chain.
    std::set<int32_t> deleted;
    std::map<int32_t, int32_t> identifiers;  // identifier -> live record
    for (int32_t n = 1; n <= count; ++n) {
      const uint8_t* r = record(n);
      if (r[rDeleted] > 1) problems.push_back("record " + std::to_string(n) + ": deleted flag " + std::to_string(r[rDeleted]));
      if (r[rDeleted]) {
        deleted.insert(n);
        continue;
      }
      ++report.liveRecords;
      if (LoadLEI32(r + rLink) != n)
        problems.push_back("record " + std::to_string(n) + ": live record links to " + std::to_string(LoadLEI32(r + rLink)));
      int32_t id = LoadLEI32(r + rIdentifier);
      auto [it, inserted] = identifiers.emplace(id, n);
      if (!inserted)
        problems.push_back("record " + std::to_string(n) + ": identifier " + std::to_string(id) + " also used by record " +
                           std::to_string(it->second));
    }
    report.deletedRecords = static_cast<int32_t>(deleted.size());
    // New records draw the identifier after the header's last one: below a live record's
    // identifier, a later append repeats it.
    if (!identifiers.empty() && identifiers.rbegin()->first > header.LastAutoInc())
      problems.push_back("data header: last autoincrement value " + std::to_string(header.LastAutoInc()) +
                         " is below identifier " + std::to_string(identifiers.rbegin()->first) + " of record " +
                         std::to_string(identifiers.rbegin()->second));
    TIndexFile& index = data.Index();
    bool noPrimary = index.NoPrimary();
    std::set<int32_t> chained;
    for (int32_t at = header.FreeChainHead(); at != 0;) {
      if (at < 0 || at > count) {
        problems.push_back("free chain: link to record " + std::to_string(at) + " outside the table");
        break;
      }
      if (!chained.insert(at).second) {
        problems.push_back("free chain: returns to record " + std::to_string(at));
        break;
      }
      if (!deleted.count(at)) problems.push_back("free chain: record " + std::to_string(at) + " is not deleted");
      at = LoadLEI32(record(at) + rLink);
      if (noPrimary) break;  // such tables never reuse deleted places
    }
    if (!noPrimary && chained.size() != deleted.size())
      problems.push_back("free chain: holds " + std::to_string(chained.size()) + " of " + std::to_string(deleted.size()) +
                         " deleted records");

    // Every index against the live records.
    if (index.Header().RecordCount() != report.liveRecords)
      problems.push_back("index file: record count " + std::to_string(index.Header().RecordCount()) + ", live records " +
                         std::to_string(report.liveRecords));
    for (int slot : index.UsedSlots()) {
      std::string name = slot == idxfmt::kDeletedSlot ? std::string(idxfmt::kDeletedName) : index.IndexName(slot);
      std::vector<std::string> treeProblems;
      index.VerifyTree(slot, &treeProblems);
      problems.insert(problems.end(), treeProblems.begin(), treeProblems.end());
      const TKeyBuilder& keys = index.Keys(slot);
      Entries expected, actual;
      std::vector<uint8_t> key(keys.KeyLength());
      for (int32_t n = 1; n <= count; ++n) {
        if (slot != idxfmt::kDeletedSlot && deleted.count(n)) continue;
        keys.Build(record(n), key.data());
        expected[key].push_back(n);
      }
      for (auto& [k, r] : index.AllEntries(slot)) actual[k].push_back(r);
      CompareEntries(name, expected, actual, problems);
    }

    // Blob chains of live records, and the blocks nobody holds.
    if (TBlobFile* blob = data.Blob()) {
      std::unordered_map<int32_t, int32_t> seen;
      for (int32_t n = 1; n <= count; ++n) {
        if (deleted.count(n)) continue;
        for (const TFieldDescriptor& f : data.Fields()) {
          if (!f.IsBlob()) continue;
          const uint8_t* r = record(n);
          int32_t reference = LoadLEI32(r + f.Offset() + 1);
          bool indicator = r[f.Offset()] != 0;
          if (indicator != (reference != 0))
            problems.push_back("record " + std::to_string(n) + ": field " + f.Name() + " has indicator " +
                               std::to_string(indicator) + " with blob reference " + std::to_string(reference));
          if (reference != 0) blob->VerifyChain(reference, n, &problems, &seen);
        }
      }
      blob->VerifyFreeList(&problems, &seen);
      int64_t blocks = (blob->Header().EndOfFile() - int32_t(blobfmt::kHeaderSize)) / blob->BlockSize();
      report.blobBlocks = blocks;
      const int64_t size = blob->Size();
      if (size > blob->Header().EndOfFile())
        report.notes.push_back("blob file: " + std::to_string(size - blob->Header().EndOfFile()) +
                               " bytes after its end-of-file offset, left by an unfinished change (unused)");
      if (static_cast<int64_t>(seen.size()) < blocks)
        problems.push_back("blob file: " + std::to_string(blocks - static_cast<int64_t>(seen.size())) +
                           " blocks belong to no blob and are not free");
    }
    data.EndRead();
  } catch (const EOvrinEngineError& e) {
    problems.push_back(e.Message());
  }
  if (problems.size() > maxProblems) {
    size_t rest = problems.size() - maxProblems;
    problems.resize(maxProblems);
    problems.push_back("... and " + std::to_string(rest) + " more");
  }
  return report;
}

}  // namespace ovrin
