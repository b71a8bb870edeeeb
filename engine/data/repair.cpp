#include "engine/data/repair.h"

#include <algorithm>
#include <memory>
#include <map>
#include <set>
#include <unordered_map>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/base/file_handler.h"
#include "engine/base/file_session.h"
#include "engine/base/platform.h"
#include "engine/data/checker.h"
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

  // The record links as the file holds them: the cache puts a live record's own number
  // into its buffer when it loads it, so a wrong link on disk is only seen here.
  std::vector<int32_t> links(size_t(std::max(count, 0)) + 1, 0);
  {
    const int32_t run = std::max<int32_t>(1, (1 << 20) / recordSize_);
    std::vector<uint8_t> bytes;
    for (int32_t first = 1; first <= count; first += run) {
      const int32_t k = std::min(run, count - first + 1);
      bytes.resize(size_t(k) * recordSize_);
      Seek(RecordOffset(first), 0);
      Read(bytes.data(), static_cast<uint32_t>(bytes.size()));
      for (int32_t i = 0; i < k; ++i) {
        uint8_t* prefix = bytes.data() + size_t(i) * recordSize_;
        if (Encrypted()) ApplyCipher(prefix, rIdentifier + 4, kTableKey);
        links[size_t(first + i)] = LoadLEI32(prefix + rLink);
      }
    }
  }

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
    if (LoadLEI32(b + rLink) != n || links[size_t(n)] != n) {
      log("Record link " + std::to_string(links[size_t(n)]) + " of live " + where + std::to_string(n) +
          " set to its own number");
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
  // Blocks an unfinished change wrote after the blob file's end-of-file offset.
  if (blob_) {
    const int64_t end = blob_->Header().EndOfFile();
    const int64_t size = blob_->Size();
    if (size > end) {
      log("Blob file: " + std::to_string(size - end) + " bytes after its end-of-file offset cut");
      blob_->Seek(end, 0);
      blob_->Write(nullptr, 0);
    }
  }
  return counts;
}

namespace {

// Whether the session knows a password (the data file's open asks the same).
bool PasswordKnown(const std::string& password) {
  TFileSession* session = engine::CurrentFileSessionOrNull();
  return session && session->Passwords.Contains(password);
}

// The data file's header, descriptors and records (deciphered), as its open reads them.
struct TDataImage {
  TTableImage image;
  std::vector<uint8_t> records;
  int32_t count = 0;
  const uint8_t* Record(int32_t n) const { return records.data() + size_t(n - 1) * image.header.RecordSize(); }
};

TDataImage ReadDataImage(const std::string& name) {
  TDataImage d;
  TFileHandler file;
  file.SetFileName(name);
  file.SetExclusive(true);
  file.SetReadOnly(true);
  file.Open();
  d.image = ReadTableImage(file, PasswordKnown);
  const TTableHeader& h = d.image.header;
  d.count = h.NextRecordNumber() - 1;
  d.records.resize(size_t(std::max(d.count, 0)) * h.RecordSize());
  if (!d.records.empty()) {
    file.Seek(h.RecordsStart(), 0);
    file.Read(d.records.data(), static_cast<uint32_t>(d.records.size()));
  }
  if (h.Encrypted())
    for (int32_t n = 1; n <= d.count; ++n)
      ApplyCipher(d.records.data() + size_t(n - 1) * h.RecordSize(), h.RecordSize(), kTableKey);
  file.Close();
  return d;
}

// Whether the data file's fields are exactly those a structure defines.
bool FieldsAre(const TDataImage& d, const TTableSpec& structure, const std::string& name) {
  uint16_t recordSize = 0, calcSize = 0;
  std::vector<TFieldDescriptor> expected;
  try {
    expected = DefineFields(structure.Fields, d.image.header.LocaleLanguage(), d.image.header.LocaleSort(), name,
                            &recordSize, &calcSize);
  } catch (const EOvrinEngineError&) {
    return false;
  }
  const std::vector<TFieldDescriptor>& actual = d.image.descriptors;
  if (expected.size() != actual.size() || recordSize != d.image.header.RecordSize()) return false;
  for (size_t i = 0; i < expected.size(); ++i) {
    const TFieldDescriptor &e = expected[i], &a = actual[i];
    if (AsciiUpper(e.Name()) != AsciiUpper(a.Name()) || e.Type() != a.Type() || e.SubType() != a.SubType() ||
        e.DeclaredSize() != a.DeclaredSize() || e.DeclaredDecimals() != a.DeclaredDecimals() || e.Offset() != a.Offset())
      return false;
  }
  return true;
}

// The index file header that the engine's table creation writes for a structure: the
// table is created beside the damaged one under a name of its own, its index header
// read, and its files removed.
TIndexHeader StructureIndexHeader(const std::string& path, const TTableSpec& structure) {
  const std::string scratch = PathFolder(path) + PathFileName(RemoveExtension(path)) + "~repair";
  TTableSpec plain = structure;
  plain.Password.clear();
  TCreateOptions options;
  options.Replace = true;
  TIndexHeader header;
  auto removeScratch = [&] {
    for (const std::string& name : {DataFileName(scratch), IndexFileName(scratch), BlobFileName(scratch)}) {
      std::string found = Platform().ResolveExisting(name);
      if (!found.empty()) Platform().Remove(found);
    }
  };
  try {
    CreateTable(scratch, plain, options);
    TFileHandler file;
    file.SetFileName(IndexFileName(scratch));
    file.SetExclusive(true);
    file.Open();
    ReadIndexHeader(file, header, false);
    file.Close();
  } catch (...) {
    removeScratch();
    throw;
  }
  removeScratch();
  return header;
}

std::string SlotName(const TIndexHeader& h, int slot) {
  return slot == 0 ? std::string(idxfmt::kPrimaryName) : h.Slot(slot).Name();
}

// How an index file's descriptions differ from those of the table's structure; empty
// when they are the same (names without regard to case, every option and key field).
std::string DescriptionDifference(const TIndexHeader& actual, const TIndexHeader& expected) {
  if (actual.NoPrimary() != expected.NoPrimary())
    return actual.NoPrimary() ? "it gives the table no primary index, the table has one"
                              : "it gives the table a primary index, the table has none";
  if (actual.SecondaryCount() != expected.SecondaryCount())
    return "it describes " + std::to_string(actual.SecondaryCount()) + " secondary index(es), the table has " +
           std::to_string(expected.SecondaryCount());
  for (int slot = 0; slot <= expected.SecondaryCount(); ++slot) {
    if (slot == 0 && expected.NoPrimary()) continue;
    const size_t at = idxfmt::hDescriptors + idxfmt::kDescriptorSize * size_t(slot);
    bool same = AsciiUpper(actual.Slot(slot).Name()) == AsciiUpper(expected.Slot(slot).Name()) &&
                std::equal(actual.bytes.begin() + at + 31, actual.bytes.begin() + at + idxfmt::dRoot,
                           expected.bytes.begin() + at + 31);
    if (!same)
      return "its index " + SlotName(actual, slot) + " is not the table's index " + SlotName(expected, slot) +
             " (its name, options or key fields differ)";
  }
  return {};
}

// Why the index file does not fit the table, empty when it does (see the header).
std::string IndexFileMisfit(const std::string& dataName, const TDataImage& d, const TIndexHeader* expected) {
  const TTableHeader& h = d.image.header;
  TIndexFile index;
  index.SetFileName(dataName);
  index.SetExclusive(true);
  index.SetReadOnly(true);
  try {
    index.OpenIndex(d.image.descriptors, h.LocaleLanguage(), h.LocaleSort(), h.Encrypted());
  } catch (const EOvrinEngineError& e) {
    return "it cannot be used with the table's fields: " + e.Message();
  }
  std::string why;
  if (expected) {
    why = DescriptionDifference(index.Header(), *expected);
  } else {
    for (int slot : index.UsedSlots()) {
      std::vector<std::pair<std::vector<uint8_t>, int32_t>> entries;
      try {
        entries = index.AllEntries(slot);
      } catch (const EOvrinEngineError&) {
        continue;  // a tree that cannot be read tells nothing either way
      }
      if (entries.empty()) continue;
      // Entries that name a record the data file does not hold, or a deleted one, are
      // what a failed change leaves: they count neither way.
      const TKeyBuilder& keys = index.Keys(slot);
      std::vector<uint8_t> key(keys.KeyLength());
      size_t named = 0, agree = 0;
      for (const auto& [k, n] : entries) {
        if (n < 1 || n > d.count) continue;
        const uint8_t* r = d.Record(n);
        if (slot != idxfmt::kDeletedSlot && r[rDeleted] != 0) continue;
        keys.Build(r, key.data());
        ++named;
        agree += key == k;
      }
      if (named >= 2 && agree * 2 < named) {
        why = "only " + std::to_string(agree) + " of the " + std::to_string(named) + " entries of its index " +
              index.IndexName(slot) + " that name live records agree with the keys of those records";
        break;
      }
    }
  }
  index.Close();
  return why;
}

// A name beside the index file that no file has yet: NAME.IDX.damaged, .damaged2, ...
std::string AsideName(const std::string& found) {
  for (int k = 1;; ++k) {
    std::string name = found + ".damaged" + (k == 1 ? std::string() : std::to_string(k));
    if (Platform().ResolveExisting(name).empty()) return name;
  }
}

}  // namespace

TRepairReport RepairTable(const std::string& path, const TRepairOptions& options) {
  TRepairReport report;
  auto log = [&](const std::string& line) { report.log.push_back(line); };
  const std::string dataName = DataFileName(path);
  const std::string table = PathFileName(RemoveExtension(path));
  if (TableInUse(path, true)) {
    report.inUse = true;
    report.refused = table + " is in use by another program; nothing was changed";
    return report;
  }
  TCheckReport before = CheckTable(path, SIZE_MAX);
  report.problemsBefore = before.problems;

  MendDataFileLength(dataName, log);
  TDataImage image = ReadDataImage(dataName);

  // The index file must fit the table before any record is deleted on its word.
  const bool structureFits = options.structure && FieldsAre(image, *options.structure, dataName);
  std::unique_ptr<TIndexHeader> expected;
  if (structureFits) expected = std::make_unique<TIndexHeader>(StructureIndexHeader(path, *options.structure));
  const std::string indexName = IndexFileName(path);
  std::string misfit = IndexFileMisfit(dataName, image, expected.get());
  if (!misfit.empty()) {
    const std::string shown = PathFileName(indexName);
    if (!expected) {
      report.refused = table + " was not repaired: its index file " + shown + " does not fit the table (" + misfit +
                       "), and the data file alone cannot tell the table's indexes" +
                       (options.structure ? " (its fields are not those of the known table " + table + ")" : "") +
                       "; no record was deleted and the index file was left as it is";
      return report;
    }
    std::string found = Platform().ResolveExisting(indexName);
    if (!found.empty()) {
      report.indexKeptAs = AsideName(found);
      if (int err = Platform().Rename(found, report.indexKeptAs)) {
        TFileHandler named;
        named.SetFileName(found);
        named.RaiseOsError(err);
      }
    }
    TFileHandler fresh;
    fresh.SetFileName(indexName);
    fresh.SetExclusive(true);
    fresh.Create();
    TIndexHeader header = *expected;
    header.SetModified(true);
    WriteIndexHeader(fresh, header, image.image.header.Encrypted());
    fresh.Close();
    log("Index file " + shown + " does not fit the table: " + misfit + "; " +
        (found.empty() ? std::string("it was missing") : "it is kept as " + PathFileName(report.indexKeptAs)) +
        ", and a new one is made from the table's structure");
  }
  EmptyIndexFile(indexName, image.image.header.Encrypted());

  TDataFile file;
  file.SetFileName(dataName);
  file.SetExclusive(true);
  file.Open();
  TDataFile::TRepairCounts counts = file.RepairRecords(log);
  file.Close();
  report.liveRecords = counts.live;
  report.deletedRecords = counts.deleted;
  report.freeBlocks = counts.freeBlocks;

  // What the checker found before and what it finds now: each problem gone is a fix
  // (most are the indexes, free chain and free block list rebuilt whole), each that is
  // left is beyond the repair.
  TCheckReport after = CheckTable(path, SIZE_MAX);
  report.remaining = after.problems;
  for (const std::string& p : report.problemsBefore)
    if (std::find(after.problems.begin(), after.problems.end(), p) == after.problems.end()) log("Mended: " + p);
  return report;
}

}  // namespace ovrin
