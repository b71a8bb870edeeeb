#include "engine/data/repair.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/base/file_session.h"
#include "engine/data/data_file.h"
#include "engine/data/table_create.h"
#include "engine/format/table_format.h"
#include "engine/index/index_format.h"
#include "engine/index/keys.h"

namespace ovrin {

using namespace datafmt;

namespace {

// The data file cut to whole records, the header's record count made to agree with the
// file: bytes after the last counted record are what a failed change left; a file that
// ends early loses the records it no longer holds.
void MendDataFileLength(const std::string& name, const std::function<void(const std::string&)>& log) {
  TFileHandler file;
  file.SetFileName(name);
  file.SetExclusive(true);
  file.Open();
  TTableHeader header;
  file.Seek(0, 0);
  file.Read(header.bytes.data(), kHeaderSize);
  if (header.RecordSize() == 0) RaiseEngineError(errHeaderCorrupt, name);
  const int64_t size = file.Size();
  const int64_t start = header.RecordsStart();
  if (size < start) RaiseEngineError(errHeaderCorrupt, name);
  const int64_t whole = (size - start) / header.RecordSize();
  const int64_t counted = int64_t(header.NextRecordNumber()) - 1;
  const int64_t keep = std::min(whole, std::max<int64_t>(counted, 0));
  if (keep < counted) {
    log("Data file holds " + std::to_string(whole) + " of the " + std::to_string(counted) +
        " records its header counts; the count is set to " + std::to_string(keep));
    header.SetNextRecordNumber(static_cast<int32_t>(keep + 1));
    WriteTableHeader(file, header);
  }
  const int64_t end = start + keep * header.RecordSize();
  if (size > end) {
    log("Data file: " + std::to_string(size - end) + " bytes after the last record cut");
    file.Seek(end, 0);
    file.Write(nullptr, 0);
  }
  file.Close();
}

// The index file emptied: its index descriptions kept, every tree and free list gone.
void EmptyIndexFile(const std::string& name, bool encrypted) {
  TFileHandler file;
  file.SetFileName(name);
  file.SetExclusive(true);
  file.Open();
  TIndexHeader old;
  ReadIndexHeader(file, old, encrypted);
  TIndexHeader fresh = old;
  for (int slot = 0; slot < idxfmt::kSlots; ++slot) {
    fresh.Slot(slot).SetRoot(0);
    fresh.Slot(slot).SetFreeList(0);
  }
  fresh.SetRecordCount(0);
  fresh.SetEndOfFile(static_cast<int32_t>(idxfmt::kHeaderSize));
  fresh.SetModified(true);
  WriteIndexHeader(file, fresh, encrypted);
  file.Seek(idxfmt::kHeaderSize, 0);
  file.Write(nullptr, 0);
  file.Close();
}

}  // namespace

TDataFile::TRepairCounts TDataFile::RepairRecords(const std::function<void(const std::string&)>& log) {
  TRepairCounts counts;
  const int32_t count = header_.NextRecordNumber() - 1;
  const bool noPrimary = index_->NoPrimary();
  const std::string where = "physical record # ";
  // Each pass visits the records in file order; a record is changed in the cache and
  // written back at the end.
  auto forEach = [&](const std::function<bool(int32_t n, uint8_t* b)>& visit) {
    for (int32_t n = 1; n <= count; ++n) {
      TRecord* r = nullptr;
      for (int attempt = 0; attempt < 3 && !r; ++attempt) r = Fetch(n, true, readAheadLimit_);
      if (!r) Corrupt();
      if (visit(n, r->buffer.data())) MarkModified(r);
      ReleaseRecord(r);
    }
  };
  auto live = [](const uint8_t* b) { return b[rDeleted] == 0; };

  // Flags, links and identifiers.
  std::set<int32_t> identifiers;
  int32_t highest = 0;
  forEach([&](int32_t n, uint8_t* b) {
    bool changed = false;
    if (b[rDeleted] > 1) {
      log("Deleted flag " + std::to_string(b[rDeleted]) + " of " + where + std::to_string(n) + " set: the record is deleted");
      b[rDeleted] = 1;
      changed = true;
    }
    if (!live(b)) return changed;
    if (LoadLEI32(b + rLink) != n) {
      StoreLE32(b + rLink, static_cast<uint32_t>(n));
      changed = true;
    }
    int32_t id = LoadLEI32(b + rIdentifier);
    if (!identifiers.insert(id).second) {
      int32_t fresh = std::max(header_.LastAutoInc(), *identifiers.rbegin()) + 1;
      log("Identifier " + std::to_string(id) + " of " + where + std::to_string(n) + " was another record's; it is now " +
          std::to_string(fresh));
      StoreLE32(b + rIdentifier, static_cast<uint32_t>(fresh));
      identifiers.insert(fresh);
      id = fresh;
      ++counts.identifiersChanged;
      changed = true;
    }
    highest = std::max(highest, id);
    return changed;
  });
  if (highest > header_.LastAutoInc()) {
    log("Last identifier " + std::to_string(header_.LastAutoInc()) + " raised to " + std::to_string(highest));
    header_.SetLastAutoInc(highest);
  }

  // Two live records with one key of a unique index: only damage makes them, and the
  // later one cannot be in the index. It stays in the file, deleted.
  for (int slot : MaintainedSlots()) {
    if (!(slot == 0 ? !noPrimary : index_->Header().Slot(slot).Unique())) continue;
    const TKeyBuilder& keys = index_->Keys(slot);
    std::set<std::vector<uint8_t>> taken;
    std::vector<uint8_t> key(keys.KeyLength());
    forEach([&](int32_t n, uint8_t* b) {
      if (!live(b)) return false;
      keys.Build(b, key.data());
      if (taken.insert(key).second) return false;
      log("Key of index " + index_->IndexName(slot) + " of " + where + std::to_string(n) +
          " is another record's: the record is deleted");
      b[rDeleted] = 1;
      return true;
    });
  }

  // The blob chains of the live records.
  std::unordered_map<int32_t, int32_t> seen;
  if (blob_) {
    blob_->SetRepairing(true, log);
    forEach([&](int32_t n, uint8_t* b) {
      if (!live(b)) return false;
      bool changed = false;
      for (const TFieldDescriptor& f : fields_) {
        if (!f.IsBlob()) continue;
        int32_t reference = LoadLEI32(b + f.Offset() + 1);
        bool cut = false;
        if (reference < 0) {
          log("BLOB reference " + std::to_string(reference) + " of " + where + std::to_string(n) + " cut");
          cut = true;
        } else if (reference > 0) {
          cut = !blob_->RepairChain(reference, n, &seen);
        }
        if (cut) {
          StoreLE32(b + f.Offset() + 1, 0);
          reference = 0;
          ++counts.referencesCut;
          changed = true;
        }
        uint8_t indicator = reference != 0 ? 1 : 0;
        if (b[f.Offset()] != indicator) {
          b[f.Offset()] = indicator;
          changed = true;
        }
      }
      return changed;
    });
    counts.freeBlocks = blob_->RebuildFreeList(seen);
    blob_->SetRepairing(false);
  }

  // The free chain: every deleted place, lowest first; a table without a primary index
  // never reuses places and names only the last one.
  std::vector<int32_t> deleted;
  forEach([&](int32_t n, uint8_t* b) {
    if (!live(b)) deleted.push_back(n);
    return false;
  });
  int32_t head = 0;
  for (size_t i = deleted.size(); i-- > 0;) {
    int32_t n = deleted[i];
    int32_t link = noPrimary ? 0 : head;
    TRecord* r = Fetch(n, true, 1);
    if (!r) Corrupt();
    if (LoadLEI32(&r->buffer[rLink]) != link) {
      StoreLE32(&r->buffer[rLink], static_cast<uint32_t>(link));
      MarkModified(r);
    }
    ReleaseRecord(r);
    head = n;
  }
  if (noPrimary && !deleted.empty()) head = deleted.back();
  header_.SetFreeChainHead(head);

  // Every index from the records (the file was emptied before the table was opened).
  for (int slot : index_->UsedSlots()) {
    const TKeyBuilder& keys = index_->Keys(slot);
    std::vector<uint8_t> key(keys.KeyLength());
    forEach([&](int32_t n, uint8_t* b) {
      if (live(b) || slot == idxfmt::kDeletedSlot) {
        keys.Build(b, key.data());
        index_->InsertKey(slot, key.data(), n);
        index_->UnpinAll();
      }
      return false;
    });
  }
  counts.deleted = static_cast<int32_t>(deleted.size());
  counts.live = count - counts.deleted;
  index_->Header().SetRecordCount(counts.live);
  header_.SetModified(true);
  WriteBack(true);
  return counts;
}

TRepairReport RepairTable(const std::string& path) {
  TRepairReport report;
  auto log = [&](const std::string& line) { report.log.push_back(line); };
  const std::string dataName = DataFileName(path);
  MendDataFileLength(dataName, log);
  bool encrypted = false;
  {
    TFileHandler probe;
    probe.SetFileName(dataName);
    probe.SetExclusive(true);
    probe.Open();
    TTableHeader header;
    probe.Read(header.bytes.data(), kHeaderSize);
    encrypted = header.Encrypted();
  }
  EmptyIndexFile(IndexFileName(path), encrypted);

  TDataFile file;
  file.SetFileName(dataName);
  file.SetExclusive(true);
  file.Open();
  TDataFile::TRepairCounts counts = file.RepairRecords(log);
  file.Close();
  report.liveRecords = counts.live;
  report.deletedRecords = counts.deleted;
  report.freeBlocks = counts.freeBlocks;
  return report;
}

}  // namespace ovrin
