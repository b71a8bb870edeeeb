#include "engine/data/repair.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <map>
#include <set>
#include <thread>
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

// The data file held exclusively for the whole repair. Every other open of it, by
// another process or by another handler of this one, meets the sharing violation
// (11013), so no other user can open the table while it is judged, cut, emptied and
// rebuilt, and no reader ever sees a table half repaired. The repair's own handlers
// must still open the data file: while the hold lasts it stands in as the platform and
// answers the repairing thread's opens of that file (whatever name they give it) with
// the held file itself; every other call, and every open by another thread, goes to
// the platform it replaced. It also notes every sharing violation the repairing
// thread's opens meet meanwhile: one is another user, never damage.
class TTableHold final : public TPlatform {
 public:
  TTableHold() : base_(Platform()) {}
  ~TTableHold() override { Release(); }

  // Opens the data file exclusively: 0, or the errno of the failure (EWOULDBLOCK when
  // another open holds it).
  int Take(const std::string& found) {
    bool readOnly = false;
    if (int err = base_.IsReadOnly(found, &readOnly)) return err;
    TOpenOptions options;
    options.write = !readOnly;
    options.exclusive = true;
    if (int err = base_.Open(found, options, &held_)) return err;
    struct stat st;
    if (::stat(found.c_str(), &st) != 0) {
      int err = errno;
      held_.reset();
      return err;
    }
    device_ = st.st_dev;
    inode_ = st.st_ino;
    owner_ = std::this_thread::get_id();
    previous_ = SetPlatform(this);
    installed_ = true;
    return 0;
  }
  void Release() {
    if (installed_) SetPlatform(previous_ == &PosixPlatform() ? nullptr : previous_);
    installed_ = false;
    held_.reset();
  }
  bool SharingViolation() const { return violation_.load(); }

  std::string ResolveExisting(const std::string& path) override { return base_.ResolveExisting(path); }
  int IsReadOnly(const std::string& path, bool* readOnly) override { return base_.IsReadOnly(path, readOnly); }
  int Open(const std::string& path, const TOpenOptions& options, std::unique_ptr<TOsFile>* file) override {
    if (IsHeld(path)) {
      *file = std::make_unique<TShared>(*held_);
      return 0;
    }
    return Note(base_.Open(path, options, file));
  }
  int Create(const std::string& path, const TOpenOptions& options, std::unique_ptr<TOsFile>* file) override {
    if (IsHeld(path)) return EWOULDBLOCK;  // the repair never makes its data file anew
    return Note(base_.Create(path, options, file));
  }
  int Remove(const std::string& path) override { return base_.Remove(path); }
  int Rename(const std::string& from, const std::string& to) override { return base_.Rename(from, to); }
  uint64_t TickMs() override { return base_.TickMs(); }
  void SleepMs(uint32_t ms) override { base_.SleepMs(ms); }

 private:
  // One more handle on the held file; closing it leaves the file held.
  class TShared final : public TOsFile {
   public:
    explicit TShared(TOsFile& file) : file_(file) {}
    int Read(int64_t offset, void* buffer, size_t count, size_t* done) override {
      return file_.Read(offset, buffer, count, done);
    }
    int Write(int64_t offset, const void* buffer, size_t count, size_t* done) override {
      return file_.Write(offset, buffer, count, done);
    }
    int Truncate(int64_t size) override { return file_.Truncate(size); }
    int GetSize(int64_t* size) override { return file_.GetSize(size); }
    int Sync() override { return file_.Sync(); }
    int Lock(int64_t offset, int64_t length, bool shared, bool* acquired) override {
      return file_.Lock(offset, length, shared, acquired);
    }
    int Unlock(int64_t offset, int64_t length) override { return file_.Unlock(offset, length); }

   private:
    TOsFile& file_;
  };

  bool IsHeld(const std::string& path) const {
    struct stat st;
    return held_ && std::this_thread::get_id() == owner_ && ::stat(path.c_str(), &st) == 0 &&
           st.st_dev == device_ && st.st_ino == inode_;
  }
  int Note(int err) {
    if (err == EWOULDBLOCK && std::this_thread::get_id() == owner_) violation_ = true;
    return err;
  }

  TPlatform& base_;
  TPlatform* previous_ = nullptr;
  bool installed_ = false;
  std::unique_ptr<TOsFile> held_;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::thread::id owner_;
  std::atomic<bool> violation_{false};
};

// A name beside a file that no file has yet: NAME.suffix, NAME.suffix2, ...
std::string FreeNameBeside(const std::string& file, const std::string& suffix) {
  for (int k = 1;; ++k) {
    std::string name = file + suffix + (k == 1 ? std::string() : std::to_string(k));
    if (Platform().ResolveExisting(name).empty()) return name;
  }
}

// The data file cut to whole records, the header's record count made to agree with the
// file: bytes after the last counted record are what a failed change left; a file that
// ends early loses the records it no longer holds. Nothing is changed unless the header's
// structure (its fields) reads: the repair cannot mend that. A record count that is no
// count (below 1) is set to the records the file holds, and a free chain head outside
// the table to an empty chain (the repair builds the chain anew). Records after the count
// that were posted are counted again, up to the last of them; the records after that are
// what a failed change (or a killed exclusive session) left and are cut. Two signs tell a
// posted record: a post draws its record's identifier from the header's last
// autoincrement value and raises that value in the same header write as the count, and
// records appended at the end draw rising identifiers, so a record after the count whose
// identifier lies within that value, above the identifiers of the posted records before
// it and apart from those of the records within the count was posted; and the index file's header, written before the data file's in
// every post, counts the table's live records, so as many live records after the count
// as it counts beyond those within the count were posted. A damaged record among them
// (a link, a deleted flag, an identifier overwritten) is counted with them and mended
// as any other. Whole records cut are kept in a file beside the data file (NAME.DAT.cut);
// blob blocks that only they name are freed.
void MendDataFileLength(const std::string& name, const std::string& indexName,
                        const std::function<void(const std::string&)>& log) {
  TFileHandler file;
  file.SetFileName(name);
  file.SetExclusive(true);
  file.Open();
  TTableHeader header;
  int64_t whole = 0;
  if (!WholeRecords(file, &header, &whole)) RaiseEngineError(errHeaderCorrupt, name);
  const TTableHeader original = header;
  const int64_t size = file.Size();
  const int64_t start = header.RecordsStart();
  const TTableImage image = ReadTableImage(file, [](const std::string&) { return true; }, false);
  int blobFields = 0;
  for (const TFieldDescriptor& f : image.descriptors) blobFields += f.IsBlob() ? 1 : 0;
  if (header.BlobFieldCount() != blobFields) {
    // Without it the blob file is not opened, and every blob of the table is out of reach.
    log("Data file header counts " + std::to_string(header.BlobFieldCount()) + " blob fields; set to the " +
        std::to_string(blobFields) + " its fields hold");
    header.SetBlobFieldCount(static_cast<int16_t>(blobFields));
  }
  if (header.NextRecordNumber() < 1 || whole >= kMaxRecordNumber) {
    if (whole >= kMaxRecordNumber) RaiseEngineError(errHeaderCorrupt, name);
    log("Data file header's record count (" + std::to_string(int64_t(header.NextRecordNumber()) - 1) +
        ") is no count; it is set to the " + std::to_string(whole) + " records the file holds");
    header.SetNextRecordNumber(static_cast<int32_t>(whole + 1));
  }
  int64_t counted = int64_t(header.NextRecordNumber()) - 1;
  if (whole > counted) {
    // Each record's deleted flag and identifier, deciphered, read a run at a time.
    const size_t recordSize = header.RecordSize();
    std::vector<uint8_t> run;
    auto eachRecord = [&](int64_t from, int64_t to, const std::function<void(int64_t, const uint8_t*)>& visit) {
      const int64_t perRun = std::max<int64_t>(1, (1 << 20) / int64_t(recordSize));
      for (int64_t n = from; n <= to; n += perRun) {
        const int64_t count = std::min(perRun, to - n + 1);
        run.resize(size_t(count) * recordSize);
        file.Seek(start + (n - 1) * int64_t(recordSize), 0);
        if (file.Read(run.data(), static_cast<uint32_t>(run.size()), true) < run.size()) RaiseEngineError(errRead, name);
        for (int64_t k = 0; k < count; ++k) {
          uint8_t* r = run.data() + size_t(k) * recordSize;
          if (header.Encrypted()) ApplyCipher(r, recordSize, kTableKey);
          visit(n + k, r);
        }
      }
    };
    std::vector<std::pair<bool, int32_t>> tail;  // live, identifier
    eachRecord(counted + 1, whole, [&](int64_t, const uint8_t* r) {
      tail.emplace_back(r[rDeleted] == 0, LoadLEI32(r + rIdentifier));
    });
    // The live records within the count, and the identifiers of all records there
    // (sorted; deleted ones keep theirs), which a posted record after the count does not
    // repeat: every post draws a new one.
    int64_t liveCounted = 0;
    std::vector<int32_t> countedIds;
    eachRecord(1, counted, [&](int64_t, const uint8_t* r) {
      liveCounted += r[rDeleted] == 0;
      countedIds.push_back(LoadLEI32(r + rIdentifier));
    });
    std::sort(countedIds.begin(), countedIds.end());
    int64_t byIdentifier = 0;
    for (int32_t k = 0, lastId = 0; k < int32_t(tail.size()); ++k) {
      const int32_t id = tail[k].second;
      if (id >= 1 && id <= header.LastAutoInc() && id > lastId &&
          !std::binary_search(countedIds.begin(), countedIds.end(), id)) {
        byIdentifier = k + 1;
        lastId = id;
      }
    }
    int64_t byIndex = 0, liveBeyond = 0;
    try {
      TFileHandler index;
      index.SetFileName(indexName);
      index.SetReadOnly(true);
      index.Open();
      TIndexHeader indexHeader;
      ReadIndexHeader(index, indexHeader, header.Encrypted());
      liveBeyond = int64_t(indexHeader.RecordCount()) - liveCounted;
      int64_t liveInTail = 0;
      for (const auto& t : tail) liveInTail += t.first;
      if (liveBeyond > 0 && liveBeyond <= liveInTail) {
        for (int64_t k = 0, live = 0; k < int64_t(tail.size()) && live < liveBeyond; ++k)
          if (tail[k].first && ++live == liveBeyond) byIndex = k + 1;
      } else if (liveBeyond > liveInTail && liveBeyond <= int64_t(tail.size())) {
        // More than the tail's live records: deleted flags among them were damaged, and
        // the whole tail was posted.
        byIndex = int64_t(tail.size());
      }
    } catch (const EOvrinEngineError&) {
      // No index file to ask, or one that does not read: the identifiers alone tell.
    }
    if (const int64_t posted = std::max(byIdentifier, byIndex); posted > 0) {
      std::string why;
      if (byIdentifier > 0)
        why = "identifiers within the header's last autoincrement value " + std::to_string(header.LastAutoInc());
      if (byIndex > 0)
        why += (why.empty() ? "" : "; ") + std::string("the index file counts ") + std::to_string(liveBeyond) +
               " live record" + (liveBeyond == 1 ? "" : "s") + " beyond the count";
      log("Data file header counts " + std::to_string(counted) + " record" + (counted == 1 ? "" : "s") + ", but " +
          (posted == 1 ? std::string("the record after them was") : "the " + std::to_string(posted) + " after them were") +
          " posted (" + why + "); the count is set to " + std::to_string(counted + posted));
      counted += posted;
      header.SetNextRecordNumber(static_cast<int32_t>(counted + 1));
    }
  }
  const int64_t keep = std::min(whole, counted);
  if (keep < counted) {
    log("Data file holds " + std::to_string(whole) + " of the " + std::to_string(counted) +
        " records its header counts; the count is set to " + std::to_string(keep));
    header.SetNextRecordNumber(static_cast<int32_t>(keep + 1));
  }
  if (header.FreeChainHead() < 0 || header.FreeChainHead() >= header.NextRecordNumber()) {
    log("Data file header's free chain starts at " + std::to_string(header.FreeChainHead()) +
        ", outside the table; the chain is made anew");
    header.SetFreeChainHead(0);
  }
  // The header's mends in one write, before any record is cut.
  if (header.bytes != original.bytes) WriteTableHeader(file, header);
  const int64_t end = start + keep * header.RecordSize();
  if (size > end) {
    std::string kept;
    if (whole > keep) {
      // The uncounted records, copied aside before they are cut.
      std::vector<uint8_t> bytes(static_cast<size_t>(size - end));
      file.Seek(end, 0);
      if (file.Read(bytes.data(), static_cast<uint32_t>(bytes.size()), true) < bytes.size()) RaiseEngineError(errRead, name);
      kept = FreeNameBeside(name, ".cut");
      TFileHandler aside;
      aside.SetFileName(kept);
      aside.SetExclusive(true);
      aside.Create();
      try {
        aside.Seek(0, 0);
        aside.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
        aside.Close();
      } catch (...) {
        // Not kept whole (a full disk): nothing is cut, and no part of a copy is left to
        // be taken for one.
        if (aside.IsOpen()) aside.Close();
        Platform().Remove(kept);
        throw;
      }
    }
    const int64_t aside = whole - keep;
    log("Data file: " + std::to_string(size - end) + " bytes after the last record cut" +
        (kept.empty() ? std::string()
                      : " (" + std::to_string(aside) + (aside == 1 ? " whole record" : " whole records") +
                            " its header does not count, kept in " + PathFileName(kept) +
                            (blobFields > 0 ? "; blob blocks that only they name are freed" : "") + ")"));
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

// Engine errors that tell of the system rather than of a file's bytes: a sharing
// violation or denied access, too many open files, no memory, a failing device. Met
// while the index file is judged, they say nothing about whether it fits the table.
bool SystemError(const EOvrinEngineError& e) {
  switch (e.ErrorCode()) {
    case errAccessDenied:
    case errTooManyFiles:
    case errInvalidHandle:
    case errNoMemory:
    case errMoved:
    case errOsUnknown:
      return true;
    default:
      return false;
  }
}

// Why the index file does not fit the table, empty when it does (see the header). An
// error of the system met on the way is raised, never taken for a misfit.
std::string IndexFileMisfit(const std::string& dataName, const TDataImage& d, const TIndexHeader* expected) {
  const TTableHeader& h = d.image.header;
  TIndexFile index;
  index.SetFileName(dataName);
  index.SetExclusive(true);
  index.SetReadOnly(true);
  try {
    index.OpenIndex(d.image.descriptors, h.LocaleLanguage(), h.LocaleSort(), h.Encrypted());
  } catch (const EOvrinEngineError& e) {
    if (SystemError(e)) throw;
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
      } catch (const EOvrinEngineError& e) {
        if (SystemError(e)) throw;
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
std::string AsideName(const std::string& found) { return FreeNameBeside(found, ".damaged"); }

// A name beside the index file for its replacement while it is made; no file has it.
std::string BuildingName(const std::string& indexName) { return FreeNameBeside(indexName, ".new"); }

// The blob block size in the data file's header decides where each block of the blob
// file starts, and the repair cuts or shortens every blob whose links lead to no block
// start. Overwritten, it would make sound blobs look broken. The links are the records'
// blob references and the next-block links of the blocks they lead to (a block's header
// lies at its start, whatever the size): when many of them lead to no block start under
// the header's size, while all of them do under another block size, the header is
// judged damaged and the reason is answered (empty: it fits).
std::string BlobBlockSizeMisfit(const std::string& path) {
  TFileHandler data;
  data.SetFileName(DataFileName(path));
  data.SetReadOnly(true);
  data.Open();
  const TTableImage image = ReadTableImage(data, [](const std::string&) { return true; }, false);
  const TTableHeader& h = image.header;
  std::vector<size_t> at;
  for (const TFieldDescriptor& f : image.descriptors)
    if (f.IsBlob()) at.push_back(f.Offset() + 1u);
  const std::string blobName = Platform().ResolveExisting(BlobFileName(path));
  if (at.empty() || blobName.empty() || h.RecordSize() == 0) return {};
  TFileHandler blob;
  blob.SetFileName(blobName);
  blob.SetReadOnly(true);
  blob.Open();
  const int64_t blobSize = blob.Size();
  // Enough links to judge by, read without regard to any block size.
  constexpr size_t kLinks = 20000;
  constexpr int kChainBlocks = 16;
  std::vector<int64_t> links;
  const int64_t records = (data.Size() - h.RecordsStart()) / h.RecordSize();
  std::vector<uint8_t> record(h.RecordSize());
  for (int64_t n = 0; n < records && links.size() < kLinks; ++n) {
    data.Seek(h.RecordsStart() + n * h.RecordSize(), 0);
    data.Read(record.data(), h.RecordSize());
    if (h.Encrypted()) ApplyCipher(record.data(), record.size(), kTableKey);
    if (record[rDeleted]) continue;
    for (size_t offset : at) {
      int64_t link = LoadLEI32(record.data() + offset);
      for (int k = 0; link > 0 && k < kChainBlocks; ++k) {
        links.push_back(link);
        if (link + int64_t(blobfmt::kBlockHeaderSize) > blobSize) break;
        uint8_t head[blobfmt::kBlockHeaderSize];
        blob.Seek(link, 0);
        blob.Read(head, blobfmt::kBlockHeaderSize);
        if (h.Encrypted()) ApplyCipher(head, blobfmt::kBlockHeaderSize, kTableKey);
        link = LoadLEI32(head + blobfmt::bNext);
      }
    }
  }
  blob.Close();
  data.Close();
  auto leadingNowhere = [&](int64_t size) {
    int64_t count = 0;
    for (int64_t r : links)
      if (r < int64_t(blobfmt::kHeaderSize) || (r - int64_t(blobfmt::kHeaderSize)) % size != 0 || r >= blobSize) ++count;
    return count;
  };
  const int64_t size = h.BlobBlockSize();
  const int64_t nowhere = leadingNowhere(size);
  if (nowhere == 0 || nowhere * 4 < int64_t(links.size())) return {};
  for (int64_t other = blobfmt::kMaxBlockSize; other >= blobfmt::kMinBlockSize; other /= 2) {
    if (other == size || leadingNowhere(other) != 0) continue;
    return "its data file's header gives a blob block size of " + std::to_string(size) + ", under which " +
           std::to_string(nowhere) + " of " + std::to_string(links.size()) +
           " blob links (the records' references and the blocks' next links) lead to no block of the blob file, "
           "while under a block size of " + std::to_string(other) +
           " all of them do: the header is likelier damaged than the blobs";
  }
  return {};
}

// The repair proper, with the data file held (see RepairTable). Raises what stops it;
// report.log holds every change made before that.
void RepairHeld(const std::string& path, const TRepairOptions& options, TRepairReport& report) {
  auto log = [&](const std::string& line) { report.log.push_back(line); };
  const std::string dataName = DataFileName(path);
  const std::string table = PathFileName(RemoveExtension(path));
  TCheckReport before = CheckTable(path, SIZE_MAX);
  if (before.inUse) {
    report.inUse = true;
    return;
  }
  report.problemsBefore = before.problems;
  if (std::string misfit = BlobBlockSizeMisfit(path); !misfit.empty()) {
    report.refused = table + " was not repaired: " + misfit + ". Nothing was changed: put the table's files back from "
                     "a backup, or have the header's block size set right";
    return;
  }
  MendDataFileLength(dataName, IndexFileName(path), log);
  TDataImage image = ReadDataImage(dataName);
  const bool structureFits = options.structure && FieldsAre(image, *options.structure, dataName);
  std::unique_ptr<TIndexHeader> expected;
  if (structureFits) expected = std::make_unique<TIndexHeader>(StructureIndexHeader(path, *options.structure));
  const std::string indexName = IndexFileName(path);
  // The index file must fit the table before any record is deleted on its word.
  std::string misfit = IndexFileMisfit(dataName, image, expected.get());
  if (!misfit.empty() && !expected) {
    report.refused = table + " was not repaired: its index file " + PathFileName(indexName) +
                     " does not fit the table (" + misfit + "), and the data file alone cannot tell the table's indexes" +
                     (options.structure ? " (its fields are not those of the known table " + table + ")" : "") +
                     "; no record was deleted and the index file was left as it is";
    return;
  }

  if (!misfit.empty()) {
    // The new index file is made under a name of its own and then renamed into place,
    // the old one first renamed aside; every step is logged as it is done.
    const std::string shown = PathFileName(indexName);
    const std::string building = BuildingName(indexName);
    {
      TFileHandler fresh;
      fresh.SetFileName(building);
      fresh.SetExclusive(true);
      fresh.Create();
      TIndexHeader header = *expected;
      header.SetModified(true);
      WriteIndexHeader(fresh, header, image.image.header.Encrypted());
      fresh.Close();
    }
    std::string found = Platform().ResolveExisting(indexName);
    if (!found.empty()) {
      const std::string aside = AsideName(found);
      if (int err = Platform().Rename(found, aside)) {
        Platform().Remove(building);
        TFileHandler named;
        named.SetFileName(found);
        named.RaiseOsError(err);
      }
      report.indexKeptAs = aside;
    }
    log("Index file " + shown + " does not fit the table: " + misfit + "; " +
        (found.empty() ? std::string("it was missing") : "it is kept as " + PathFileName(report.indexKeptAs)) +
        ", and a new one is made from the table's structure");
    if (int err = Platform().Rename(building, indexName)) {
      TFileHandler named;
      named.SetFileName(building);
      named.RaiseOsError(err);
    }
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
}

}  // namespace

bool DataHeaderReadable(const std::string& path) {
  TFileHandler file;
  file.SetFileName(DataFileName(path));
  file.SetReadOnly(true);
  file.SetExclusive(false);
  try {
    file.Open();
  } catch (const EOvrinEngineError&) {
    return true;  // not there or not to be opened: no header damage to speak of
  }
  bool readable = true;
  try {
    ReadTableImage(file, [](const std::string&) { return true; }, false);
  } catch (const EOvrinEngineError& e) {
    readable = !IsDamageError(e.ErrorCode()) && e.ErrorCode() != errRead;
  }
  file.Close();
  return readable;
}

namespace {

// The first of the table's files, or its folder, that this user may not write, described;
// empty when every one may be written.
std::string UnwritablePart(const std::string& path) {
  for (const std::string& name : {DataFileName(path), IndexFileName(path), BlobFileName(path)}) {
    const std::string found = Platform().ResolveExisting(name);
    struct stat st;
    if (found.empty() || ::stat(found.c_str(), &st) != 0) continue;
    // The owner's write bit is the read-only attribute (root may write such a file, the
    // engine does not); else the system's own answer: permissions, a read-only mount.
    if ((st.st_mode & S_IWUSR) == 0) return PathFileName(found) + " is read-only";
    if (::access(found.c_str(), W_OK) != 0) return PathFileName(found) + " cannot be written (" + std::strerror(errno) + ")";
  }
  std::string folder = PathFolder(DataFileName(path));
  if (folder.empty()) folder = ".";
  if (::access(folder.c_str(), W_OK | X_OK) != 0)
    return "its folder " + folder + " cannot be written (" + std::strerror(errno) + ")";
  return {};
}

}  // namespace

TRepairReport RepairTable(const std::string& path, const TRepairOptions& options) {
  TRepairReport report;
  const std::string dataName = DataFileName(path);
  const std::string table = PathFileName(RemoveExtension(path));
  auto inUse = [&] {
    report.inUse = true;
    report.refused = table + " is in use by another program; " +
                     (report.log.empty() ? std::string("nothing was changed") : "the changes listed were made");
  };
  // The data file is taken exclusively before anything is judged or touched, and held
  // until the repair has finished: every other user opens the data file first, so none
  // can open the table meanwhile, and one that has it open already makes the take fail.
  TTableHold hold;
  const std::string found = Platform().ResolveExisting(dataName);
  if (!found.empty()) {
    if (int err = hold.Take(found)) {
      if (err == EWOULDBLOCK) {
        inUse();
        return report;
      }
      TFileHandler named;
      named.SetFileName(found);
      named.RaiseOsError(err);
    }
  }
  // The index and blob files, which others open only after the data file, are free now
  // and stay so.
  if (TableInUse(path, true)) {
    inUse();
    return report;
  }
  // The repair writes the table's files and makes files beside them (the scratch table,
  // an index file set aside, the records it cuts): a file or folder this user may not
  // write is refused before anything changes, not found out half way.
  if (std::string unwritable = UnwritablePart(path); !unwritable.empty()) {
    report.refused = table + " was not repaired: " + unwritable + "; nothing was changed";
    return report;
  }
  try {
    RepairHeld(path, options, report);
  } catch (const EOvrinEngineError& e) {
    if (hold.SharingViolation()) {
      inUse();
      return report;
    }
    // Once something has changed, what was done is reported with what stopped the rest.
    if (report.log.empty() && report.indexKeptAs.empty()) throw;
    report.refused = table + " was not repaired completely: " + e.Message();
    return report;
  }
  if (report.inUse || hold.SharingViolation()) inUse();
  return report;
}

}  // namespace ovrin
