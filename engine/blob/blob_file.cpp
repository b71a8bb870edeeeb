#include "engine/blob/blob_file.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "engine/base/conversions.h"
#include "engine/base/errors.h"
#include "engine/format/table_format.h"

namespace ovrin {

using namespace blobfmt;

namespace {
constexpr uint16_t kMaxPins = 64;
constexpr int kMaxRestarts = 1000;
}  // namespace

void TBlock::Clear() {
  offset = 0;
  modified = false;
  pinCount = 0;
  readAhead = false;
  previous = next = 0;
  used = 0;
  owner = length = 0;
  // The data is left as it is: a block object is taken either for a block read from the
  // file, which fills all of it, or for a block a blob is written into, which sets all
  // of it (its used bytes, then zeros).
}

TBlobFile::~TBlobFile() {
  try {
    Close();
  } catch (...) {
  }
}

std::string TBlobFile::MapFileName(const std::string& name) const {
  return RemoveExtension(TrimChar(name, ' ')) + ".BLB";
}

void TBlobFile::OpenBlobFile(int32_t blockSize, bool encrypted) {
  int32_t size = blockSize == 0 ? 512 : blockSize;
  if (!IsValidBlockSize(size)) Raise(errBlobFieldsOrBlockSize);
  TFileHandler::Open();
  try {
    blockSize_ = size;
    encrypted_ = encrypted;
    locks_.Forget();
    ReadHeader();
    int64_t eof = header_.EndOfFile();
    if (eof < kHeaderSize || (eof - kHeaderSize) % blockSize_ != 0 || eof > Size() || eof > kMaxEndOfFile + blockSize_)
      Raise(errHeaderCorrupt);
    if (header_.FreeList() != 0 && !LinkOk(header_.FreeList())) Raise(errHeaderCorrupt);
    capacity_ = static_cast<size_t>(std::min(262140 / blockSize_, 4096));
    readAheadLimit_ = std::max(1, 65535 / blockSize_);
    stats_ = TStats{};
  } catch (...) {
    Close();
    throw;
  }
}

void TBlobFile::Close() {
  ++generation_;
  open_.clear();
  touched_.clear();
  blocks_.clear();
  byOffset_.clear();
  stats_ = TStats{};
  if (IsOpen()) {
    ReleaseWriteLock();
    ReleaseReadLock();
  }
  locks_.Forget();
  TFileHandler::Close();
}

// ---------------------------------------------------------------- header

void TBlobFile::WriteHeader(bool force) {
  if (!force && !header_.Modified()) return;
  WriteBlobHeader(*this, header_, encrypted_);
}

void TBlobFile::ReadHeader() {
  Seek(0, 0);
  Read(header_.bytes.data(), kHeaderSize);
  if (encrypted_) ApplyCipher(header_.bytes.data(), kHeaderSize, kTableKey);
  header_.SetModified(false);
  if (header_.Version() != kVersion) Raise(errVersion);
}

bool TBlobFile::CounterUnchanged() { return ReadChangeCounter(*this, encrypted_) == header_.ChangeCounter(); }

bool TBlobFile::HeaderChanged() {
  if (ReadChangeCounter(*this, encrypted_) == header_.ChangeCounter()) return false;
  ReadHeader();
  return true;
}

// ---------------------------------------------------------------- cache

bool TBlobFile::LinkOk(int32_t offset) const {
  return offset >= int32_t(kHeaderSize) && (offset - int32_t(kHeaderSize)) % blockSize_ == 0 &&
         offset < header_.EndOfFile();
}

TBlock* TBlobFile::ObtainBlockObject() {
  auto fresh = [&]() {
    auto block = std::make_unique<TBlock>();
    block->data.assign(static_cast<size_t>(BlockData()), 0);
    blocks_.push_front(std::move(block));
    return blocks_.front().get();
  };
  if (blocks_.size() < capacity_) return fresh();
  for (int attempt = 0; attempt < 2; ++attempt) {
    for (auto it = blocks_.end(); it != blocks_.begin();) {
      --it;
      TBlock* b = it->get();
      if (!b->modified && b->pinCount == 0 && !b->readAhead) {
        if (b->offset != 0) byOffset_.erase(b->offset);
        b->Clear();
        blocks_.splice(blocks_.begin(), blocks_, it);
        return b;
      }
    }
    if (held_ || attempt == 1) break;
    FlushBlocks();
  }
  if (!held_) Corrupt();
  capacity_ += 256;
  return fresh();
}

void TBlobFile::LoadBlock(TBlock* block, const uint8_t* bytes) {
  uint8_t head[kBlockHeaderSize];
  std::memcpy(head, bytes, kBlockHeaderSize);
  std::memcpy(block->data.data(), bytes + kBlockHeaderSize, block->data.size());
  if (encrypted_) {
    ApplyCipher(head, kBlockHeaderSize, kTableKey);
    ApplyCipher(block->data.data(), block->data.size(), kTableKey);
  }
  block->previous = LoadLEI32(head + bPrevious);
  block->next = LoadLEI32(head + bNext);
  block->used = LoadLE16(head + bUsed);
  block->owner = LoadLEI32(head + bOwner);
  block->length = LoadLEI32(head + bLength);
  block->modified = false;
}

namespace {

void StoreBlockHeader(const TBlock* block, uint8_t* bytes) {
  StoreLE32(bytes + bPrevious, static_cast<uint32_t>(block->previous));
  StoreLE32(bytes + bNext, static_cast<uint32_t>(block->next));
  StoreLE16(bytes + bUsed, block->used);
  StoreLE32(bytes + bOwner, static_cast<uint32_t>(block->owner));
  StoreLE32(bytes + bLength, static_cast<uint32_t>(block->length));
}

}  // namespace

void TBlobFile::StoreBlock(const TBlock* block, uint8_t* bytes) const {
  StoreBlockHeader(block, bytes);
  std::memcpy(bytes + kBlockHeaderSize, block->data.data(), block->data.size());
  if (encrypted_) {
    ApplyCipher(bytes, kBlockHeaderSize, kTableKey);
    ApplyCipher(bytes + kBlockHeaderSize, block->data.size(), kTableKey);
  }
}

TBlock* TBlobFile::GetBlock(int32_t offset, int64_t readAhead) {
  ++stats_.requested;
  auto found = byOffset_.find(offset);
  if (found != byOffset_.end()) {
    TBlock* b = found->second->get();
    if (b->pinCount >= kMaxPins) Corrupt();
    ++b->pinCount;
    Touch(b);
    Capture(b, false);
    blocks_.splice(blocks_.begin(), blocks_, found->second);
    return b;
  }
  if (!strict_ && !noRestart_) {
    bool changed = owner_ ? owner_->ReadLockStep(*this) : (!Exclusive() && HeaderChanged());
    if (changed) {
      ForgetBlocks();
      throw TRestart{};
    }
  }
  if (!LinkOk(offset)) Corrupt();
  int64_t k = std::max<int64_t>(1, std::min<int64_t>({readAheadLimit_, readAhead, (header_.EndOfFile() - offset) / blockSize_}));
  std::vector<uint8_t> buffer(static_cast<size_t>(k * blockSize_));
  Seek(offset, 0);
  uint32_t got = TFileHandler::Read(buffer.data(), static_cast<uint32_t>(buffer.size()), true);
  ++stats_.reads;
  // Blocks the file does not hold yet read as zeros (owner 0), which no chain accepts.
  std::fill(buffer.begin() + got, buffer.end(), 0);
  TBlock* result = nullptr;
  std::vector<TBlock*> filled;
  const long writesAtRead = stats_.writes;
  for (int64_t i = k; i-- > 0;) {
    int32_t at = offset + static_cast<int32_t>(i * blockSize_);
    uint8_t* bytes = buffer.data() + i * blockSize_;
    auto cached = byOffset_.find(at);
    TBlock* b;
    if (cached != byOffset_.end()) {
      b = cached->second->get();
      // A cached block is as new as the file; the buffer may be older if a write-back
      // ran since it was read.
      if (b->pinCount == 0 && !b->modified && stats_.writes == writesAtRead) LoadBlock(b, bytes);
    } else {
      b = ObtainBlockObject();
      if (stats_.writes != writesAtRead) {
        // Making room wrote modified blocks back, and one of them may lie in this range
        // and have left the cache since: the buffer is older than the file there.
        std::fill(bytes, bytes + blockSize_, 0);
        Seek(at, 0);
        TFileHandler::Read(bytes, static_cast<uint32_t>(blockSize_), true);
      }
      b->offset = at;
      byOffset_[at] = blocks_.begin();
      LoadBlock(b, bytes);
      b->readAhead = true;
      filled.push_back(b);
      ++stats_.blocksRead;
    }
    if (i == 0) result = b;
  }
  for (TBlock* b : filled) b->readAhead = false;
  // The block asked for goes to the front.
  blocks_.splice(blocks_.begin(), blocks_, byOffset_[offset]);
  ++result->pinCount;
  Touch(result);
  Capture(result, false);
  return result;
}

void TBlobFile::ReleaseBlock(TBlock* block) {
  if (block && block->pinCount > 0) --block->pinCount;
}

TBlock* TBlobFile::AllocateBlock() {
  int32_t head = header_.FreeList();
  TBlock* block;
  if (head != 0) {
    if (!LinkOk(head)) Corrupt();
    block = GetBlock(head);
    if (block->next == head || (block->next != 0 && !LinkOk(block->next))) {
      ReleaseBlock(block);
      Corrupt();
    }
    header_.SetFreeList(block->next);
    int32_t offset = block->offset;
    uint16_t pins = block->pinCount;
    block->Clear();
    block->offset = offset;
    block->pinCount = pins;
  } else {
    int32_t eof = header_.EndOfFile();
    if (int64_t(eof) + blockSize_ > kMaxEndOfFile) Raise(errTableFull);
    block = ObtainBlockObject();
    block->offset = eof;
    byOffset_[eof] = blocks_.begin();
    block->pinCount = 1;
    Touch(block);
    header_.SetEndOfFile(eof + blockSize_);
    Capture(block, true);
  }
  block->modified = true;
  return block;
}

void TBlobFile::FreeBlock(TBlock* block) {
  block->next = header_.FreeList();
  // A freed block belongs to nobody, so that no chain can free it a second time.
  block->owner = 0;
  block->modified = true;
  header_.SetFreeList(block->offset);
}

void TBlobFile::WriteRun(const std::vector<TBlock*>& run) {
  const size_t size = run.size() * static_cast<size_t>(blockSize_);
  // From the moment a write is tried the file may hold part of it: an undo must then
  // write these blocks again, whether or not the write went through.
  auto tried = [&] {
    if (undoActive_)
      for (TBlock* b : run)
        if (auto it = undoBlocks_.find(b->offset); it != undoBlocks_.end()) it->second.written = true;
    Seek(run.front()->offset, 0);
  };
  if (encrypted_) {
    // StoreBlock writes every byte of a block (the 18 header bytes and the data), so the
    // buffer needs no clearing first.
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size]);
    for (size_t i = 0; i < run.size(); ++i) StoreBlock(run[i], buffer.get() + i * blockSize_);
    tried();
    TFileHandler::Write(buffer.get(), static_cast<uint32_t>(size));
  } else {
    // The blocks' data go to the file from where they lie, each after its header: one
    // system call for the run, and no copy of the data into a buffer of its own.
    runHeads_.resize(run.size() * kBlockHeaderSize);
    runPieces_.resize(run.size() * 2);
    for (size_t i = 0; i < run.size(); ++i) {
      const TBlock* b = run[i];
      uint8_t* head = runHeads_.data() + i * kBlockHeaderSize;
      StoreBlockHeader(b, head);
      runPieces_[2 * i] = {head, kBlockHeaderSize};
      runPieces_[2 * i + 1] = {b->data.data(), b->data.size()};
    }
    tried();
    TFileHandler::WriteGather(runPieces_.data(), runPieces_.size());
  }
  for (TBlock* b : run) b->modified = false;
  ++stats_.writes;
  stats_.blocksWritten += static_cast<long>(run.size());
}

void TBlobFile::Touch(TBlock* block) {
  if (touched_.size() >= 2 * capacity_ + 64) CompactTouched();
  touched_.push_back(block);
}

void TBlobFile::Untouch(TBlock* block) { std::erase(touched_, block); }

void TBlobFile::CompactTouched() {
  std::sort(touched_.begin(), touched_.end());
  touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
  std::erase_if(touched_, [](TBlock* b) { return !b->modified && b->pinCount == 0; });
}

void TBlobFile::FlushBlocks() {
  CompactTouched();
  std::vector<TBlock*> dirty;
  for (TBlock* b : touched_)
    if (b->modified && b->pinCount == 0 && !b->readAhead && b->offset != 0) dirty.push_back(b);
  std::sort(dirty.begin(), dirty.end(), [](TBlock* a, TBlock* b) { return a->offset < b->offset; });
  // Runs of adjacent blocks go out in one write, of at most about a megabyte each.
  size_t maxRun = std::max<size_t>(1, (1u << 20) / static_cast<size_t>(blockSize_));
  std::vector<TBlock*> run;
  for (TBlock* b : dirty) {
    if (!run.empty() && (b->offset != run.back()->offset + blockSize_ || run.size() >= maxRun)) {
      WriteRun(run);
      run.clear();
    }
    run.push_back(b);
  }
  if (!run.empty()) WriteRun(run);
}

void TBlobFile::ForgetBlocks() {
  ++generation_;
  touched_.clear();
  blocks_.clear();
  byOffset_.clear();
}

void TBlobFile::UnpinAll() {
  for (TBlock* b : touched_) b->pinCount = 0;
  std::erase_if(touched_, [](TBlock* b) { return !b->modified; });
}

void TBlobFile::TrimCache() {
  capacity_ = static_cast<size_t>(std::min(262140 / blockSize_, 4096));
  for (auto it = blocks_.end(); it != blocks_.begin() && blocks_.size() > capacity_;) {
    --it;
    if ((*it)->modified || (*it)->pinCount) continue;
    Untouch(it->get());
    byOffset_.erase((*it)->offset);
    it = blocks_.erase(it);
  }
}

// ---------------------------------------------------------------- undo

void TBlobFile::BeginUndo() {
  undoActive_ = true;
  undoHeader_ = header_;
  undoBlocks_.clear();
  undoOpen_.clear();
  for (auto& b : open_) undoOpen_[b->handle] = TOpenImage{b->firstBlock, b->modified, b->recordNumber};
}

void TBlobFile::CommitUndo() {
  undoActive_ = false;
  undoBlocks_.clear();
  undoOpen_.clear();
}

void TBlobFile::Capture(TBlock* block, bool fresh) {
  if (!undoActive_ || undoBlocks_.count(block->offset)) return;
  TBlockImage image;
  // A block taken from the end of the file is undone by dropping it: its image needs no
  // copy of its bytes.
  if (!fresh) image.block = *block;
  image.fresh = fresh;
  undoBlocks_.emplace(block->offset, std::move(image));
}

void TBlobFile::RollbackUndo() {
  if (!undoActive_) return;
  undoActive_ = false;
  header_ = undoHeader_;
  for (auto& [offset, image] : undoBlocks_) {
    auto found = byOffset_.find(offset);
    if (image.fresh) {
      if (found != byOffset_.end()) {
        Untouch(found->second->get());
        blocks_.erase(found->second);
        byOffset_.erase(found);
      }
      continue;
    }
    bool mustWrite = image.block.modified || image.written;
    TBlock* b;
    if (found != byOffset_.end()) {
      b = found->second->get();
    } else {
      if (!mustWrite) continue;
      auto restored = std::make_unique<TBlock>();
      blocks_.push_front(std::move(restored));
      byOffset_[offset] = blocks_.begin();
      b = blocks_.front().get();
      ++capacity_;
    }
    *b = image.block;
    b->modified = mustWrite;
    b->pinCount = 0;
    b->readAhead = false;
    Touch(b);
  }
  for (auto& blob : open_) {
    auto it = undoOpen_.find(blob->handle);
    if (it == undoOpen_.end()) continue;
    blob->firstBlock = it->second.firstBlock;
    blob->modified = it->second.modified;
    blob->recordNumber = it->second.record;
  }
  undoBlocks_.clear();
  undoOpen_.clear();
  UnpinAll();
}

// ---------------------------------------------------------------- blobs

TBlobBuffer* TBlobFile::FindBlob(int32_t handle) {
  for (auto& b : open_)
    if (b->handle == handle) return b.get();
  return nullptr;
}

uint16_t TBlobFile::OpenBlob(int32_t firstBlock, uint16_t field, int32_t record, bool lenient, int32_t* handle) {
  if (static_cast<int>(open_.size()) >= kMaxOpenBlobs) return errTooManyBlobs;
  auto blob = std::make_unique<TBlobBuffer>();
  blob->handle = nextHandle_++;
  if (nextHandle_ <= 0) nextHandle_ = 1;
  blob->fieldNumber = field;
  blob->recordNumber = record;
  blob->firstBlock = firstBlock;
  blob->lenient = lenient;
  if (firstBlock != 0) {
    for (int attempt = 0;; ++attempt) {
      try {
        Load(*blob);
        break;
      } catch (const TRestart&) {
        if (attempt >= kMaxRestarts) Raise(errLockFailure);
        UnpinAll();
      }
    }
  }
  *handle = blob->handle;
  open_.push_back(std::move(blob));
  return 0;
}

void TBlobFile::Load(TBlobBuffer& blob) {
  blob.data.clear();
  blob.modified = false;
  TBlock* block = GetBlock(blob.firstBlock);
  TReleaseGuard release{this, &block, generation_};
  if (block->owner != blob.recordNumber) {
    if (blob.lenient) return;
    Corrupt();
  }
  // A length the file could not hold is damage, not an allocation to attempt.
  int64_t capacity = int64_t(header_.EndOfFile() - kHeaderSize) / blockSize_ * BlockData();
  if (block->length < 0 || block->length > capacity) Corrupt();
  uint32_t length = static_cast<uint32_t>(block->length);
  blob.data.resize(length);
  uint32_t copied = 0;
  int64_t blocks = 1, limit = BlocksFor(length);
  std::unordered_set<int32_t> visited{block->offset};
  while (copied < length) {
    uint32_t want = std::min<uint32_t>(static_cast<uint32_t>(BlockData()), length - copied);
    uint32_t take = std::min<uint32_t>(want, block->used);
    std::memcpy(blob.data.data() + copied, block->data.data(), take);
    copied += take;
    if (take < want || copied == length || block->next == 0) break;
    int32_t next = block->next;
    if (!LinkOk(next) || !visited.insert(next).second || ++blocks > limit) Corrupt();
    TBlock* nextBlock = GetBlock(next, BlocksFor(length - copied));
    ReleaseBlock(block);
    block = nextBlock;
    if (block->pinCount > 1 || block->owner != blob.recordNumber) Corrupt();
  }
  if (copied < length) {
    blob.data.resize(copied);
    Raise(errEndOfBlob);
  }
}

uint16_t TBlobFile::CloseBlob(int32_t handle, int32_t* firstBlock) {
  for (size_t i = 0; i < open_.size(); ++i) {
    if (open_[i]->handle == handle) {
      if (firstBlock) *firstBlock = open_[i]->firstBlock;
      open_.erase(open_.begin() + ptrdiff_t(i));
      return 0;
    }
  }
  return errBlobHandle;
}

uint16_t TBlobFile::ReadBlob(int32_t handle, uint32_t offset, uint32_t count, void* destination, uint32_t* read) {
  *read = 0;
  TBlobBuffer* blob = FindBlob(handle);
  if (!blob) return errBlobHandle;
  uint64_t length = blob->data.size();
  if (uint64_t(offset) + count <= length) {
    std::memcpy(destination, blob->data.data() + offset, count);
    *read = count;
    return 0;
  }
  if (offset < length) {
    *read = static_cast<uint32_t>(length - offset);
    std::memcpy(destination, blob->data.data() + offset, *read);
  }
  return errEndOfBlob;
}

uint16_t TBlobFile::WriteBlob(int32_t handle, uint32_t offset, uint32_t count, const void* source) {
  TBlobBuffer* blob = FindBlob(handle);
  if (!blob) return errBlobHandle;
  uint64_t end = uint64_t(offset) + count;
  if (end > 0x7FFFFFFF) return errBlobLength;
  const uint8_t* bytes = static_cast<const uint8_t*>(source);
  if (offset == blob->data.size()) {
    // Bytes added at the end are copied once, without first filling the room with zeros.
    blob->data.insert(blob->data.end(), bytes, bytes + count);
  } else {
    if (end > blob->data.size()) blob->data.resize(static_cast<size_t>(end));
    if (count) std::memcpy(blob->data.data() + offset, source, count);
  }
  // A change in place is saved too.
  blob->modified = true;
  return 0;
}

uint16_t TBlobFile::SetBlobSize(int32_t handle, uint32_t size) {
  TBlobBuffer* blob = FindBlob(handle);
  if (!blob) return errBlobHandle;
  if (size > 0x7FFFFFFF) return errBlobLength;
  if (size != blob->data.size()) {
    blob->data.resize(size);
    blob->modified = true;
  }
  return 0;
}

uint16_t TBlobFile::BlobSize(int32_t handle, uint32_t* size) {
  TBlobBuffer* blob = FindBlob(handle);
  if (!blob) return errBlobHandle;
  *size = static_cast<uint32_t>(blob->data.size());
  return 0;
}

void TBlobFile::SetRecordNumber(int32_t record) {
  for (auto& b : open_) b->recordNumber = record;
}

void TBlobFile::SaveOpenBlobs() {
  int32_t record = 0;
  for (auto& b : open_) {
    if (!b->modified) continue;
    if (record != 0 && b->recordNumber != record) Corrupt();
    record = b->recordNumber;
  }
  noRestart_ = true;
  struct TReset {
    bool& flag;
    ~TReset() { flag = false; }
  } reset{noRestart_};
  for (auto& b : open_)
    if (b->modified) Save(*b);
}

void TBlobFile::Save(TBlobBuffer& blob) {
  uint32_t n = static_cast<uint32_t>(blob.data.size());
  int32_t r = blob.recordNumber;
  if (n == 0) {
    if (blob.firstBlock != 0) {
      FreeChain(blob.firstBlock, r, 1);
      blob.firstBlock = 0;
    }
    blob.modified = false;
    return;
  }
  TBlock* block;
  int64_t oldLength = 0;
  if (blob.firstBlock != 0) {
    block = GetBlock(blob.firstBlock);
    if (block->owner != r) {
      ReleaseBlock(block);
      Corrupt();
    }
    oldLength = block->length;
  } else {
    block = AllocateBlock();
    block->owner = r;
  }
  TReleaseGuard release{this, &block, generation_};
  blob.firstBlock = block->offset;
  block->previous = 0;
  block->length = static_cast<int32_t>(n);
  uint32_t written = 0;
  std::unordered_set<int32_t> visited{block->offset};
  for (;;) {
    uint32_t take = std::min<uint32_t>(static_cast<uint32_t>(BlockData()), n - written);
    std::memcpy(block->data.data(), blob.data.data() + written, take);
    std::fill(block->data.begin() + take, block->data.end(), 0);
    block->used = static_cast<uint16_t>(take);
    block->owner = r;
    block->modified = true;
    written += take;
    if (written == n) break;
    TBlock* next;
    if (block->next != 0) {
      int32_t at = block->next;
      if (!LinkOk(at) || !visited.insert(at).second) Corrupt();
      next = GetBlock(at, std::max<int64_t>(1, BlocksFor(oldLength - written)));
      if (next->owner != r || next->pinCount > 1) {
        ReleaseBlock(next);
        Corrupt();
      }
    } else {
      next = AllocateBlock();
      block->next = next->offset;
    }
    next->previous = block->offset;
    next->owner = r;
    next->length = 0;
    next->modified = true;
    ReleaseBlock(block);
    block = next;
  }
  if (block->next != 0) {
    // The old value was longer: its tail goes back to the free list.
    int32_t tail = block->next;
    block->next = 0;
    FreeChain(tail, r, std::max<int64_t>(1, BlocksFor(oldLength - written)));
  }
  blob.modified = false;
}

void TBlobFile::StoreReferences(const std::function<void(uint16_t, int32_t)>& set) {
  for (auto& b : open_) set(b->fieldNumber, b->firstBlock);
}

void TBlobFile::CloseAllBlobs() { open_.clear(); }

void TBlobFile::BrokenChain(int32_t record, bool recursive, TBlock* current) {
  if (!repairing_) Raise(errInvalidBlobOffset);
  std::string message = std::string(recursive ? "Recursive" : "Invalid") +
                        " intra-block pointer in BLOB file for physical record # " + std::to_string(record) +
                        ", error fixed";
  if (repairLog_) repairLog_(message.substr(0, 255));
  current->next = 0;
  current->modified = true;
}

void TBlobFile::FreeChain(int32_t first, int32_t record, int64_t blocks) {
  if (!LinkOk(first)) {
    if (!repairing_) Raise(errInvalidBlobOffset);
    return;
  }
  TBlock* current = GetBlock(first, blocks);
  TReleaseGuard release{this, &current, generation_};
  if (current->owner != record) {
    // The chain is not this record's: leave it alone.
    if (!repairing_) Raise(errInvalidBlobOffset);
    return;
  }
  // A chain from a first block is as long as its length needs; a tail is as long as the
  // caller says.
  int64_t limit = std::max<int64_t>({1, blocks, BlocksFor(std::max(current->length, 0))});
  int64_t walked = 1;
  std::unordered_set<int32_t> visited{first};
  while (current->next != 0) {
    int32_t at = current->next;
    bool loops = visited.count(at) > 0;
    if (loops || !LinkOk(at) || ++walked > limit) {
      BrokenChain(record, loops, current);
      break;
    }
    visited.insert(at);
    TBlock* next = GetBlock(at, std::max<int64_t>(1, blocks - walked + 1));
    if (next->pinCount > 1 || next->owner != record) {
      bool recursive = next->pinCount > 1;
      ReleaseBlock(next);
      BrokenChain(record, recursive, current);
      break;
    }
    FreeBlock(current);
    ReleaseBlock(current);
    current = next;
  }
  FreeBlock(current);
}

// ---------------------------------------------------------------- verification

int64_t TBlobFile::VerifyChain(int32_t first, int32_t record, std::vector<std::string>* problems,
                               std::unordered_map<int32_t, int32_t>* seen) {
  std::string where = "blob of record " + std::to_string(record) + ": ";
  auto problem = [&](const std::string& text) { problems->push_back(where + text); };
  if (!LinkOk(first)) {
    problem("first block " + std::to_string(first) + " is not a block of the file");
    return -1;
  }
  int64_t length = -1, total = 0, blocks = 0;
  int32_t at = first, previous = 0;
  std::unordered_set<int32_t> visited;
  while (at != 0) {
    if (!LinkOk(at)) {
      problem("link to " + std::to_string(at) + " leaves the file");
      break;
    }
    if (!visited.insert(at).second) {
      problem("the chain returns to block " + std::to_string(at));
      break;
    }
    auto [it, inserted] = seen->emplace(at, record);
    if (!inserted) problem("block " + std::to_string(at) + " also belongs to record " + std::to_string(it->second));
    TBlock* b = GetBlock(at);
    if (b->owner != record) problem("block " + std::to_string(at) + " names record " + std::to_string(b->owner));
    if (b->previous != previous) problem("block " + std::to_string(at) + " links back to " + std::to_string(b->previous));
    if (at == first) {
      length = b->length;
    } else if (b->length != 0) {
      problem("block " + std::to_string(at) + " carries a length");
    }
    total += b->used;
    ++blocks;
    int32_t next = b->next;
    if (next != 0 && b->used != BlockData()) problem("block " + std::to_string(at) + " is not full but has a successor");
    ReleaseBlock(b);
    previous = at;
    at = next;
    if (length >= 0 && blocks > BlocksFor(length) + 1) {
      problem("the chain is longer than its length needs");
      break;
    }
  }
  if (length >= 0 && total != length)
    problem("holds " + std::to_string(total) + " bytes, its length says " + std::to_string(length));
  return length;
}

void TBlobFile::VerifyFreeList(std::vector<std::string>* problems, std::unordered_map<int32_t, int32_t>* seen) {
  int32_t at = header_.FreeList();
  int64_t limit = (header_.EndOfFile() - int32_t(kHeaderSize)) / blockSize_ + 1;
  int64_t walked = 0;
  while (at != 0) {
    if (!LinkOk(at) || ++walked > limit) {
      problems->push_back("free block list: link to " + std::to_string(at) + " leaves the file or loops");
      return;
    }
    auto [it, inserted] = seen->emplace(at, 0);
    if (!inserted) {
      problems->push_back("free block list: block " + std::to_string(at) +
                          (it->second ? " belongs to record " + std::to_string(it->second) : " is listed twice"));
      return;
    }
    TBlock* b = GetBlock(at);
    int32_t next = b->next;
    ReleaseBlock(b);
    at = next;
  }
}

// ---------------------------------------------------------------- repair

bool TBlobFile::RepairChain(int32_t first, int32_t record, std::unordered_map<int32_t, int32_t>* seen) {
  const std::string who = "physical record # " + std::to_string(record);
  if (!LinkOk(first) || seen->count(first)) {
    RepairLog("Invalid BLOB offset for " + who + ", reference cut");
    return false;
  }
  TBlock* head = GetBlock(first);
  if (head->owner != record) {
    ReleaseBlock(head);
    RepairLog("BLOB of " + who + " starts in a block of record # " + std::to_string(head->owner) + ", reference cut");
    return false;
  }
  // Only the first block and the current one stay pinned: a chain may be longer than
  // the cache.
  std::vector<int32_t> kept{first};
  std::unordered_set<int32_t> visited{first};
  int64_t total = 0;
  const int64_t limit = BlocksFor(std::max(head->length, 0)) + 1;
  int32_t previous = 0;
  for (TBlock* current = head;;) {
    if (current->previous != previous) {
      current->previous = previous;
      current->modified = true;
    }
    if (current != head && current->length != 0) {
      current->length = 0;
      current->modified = true;
    }
    total += current->used;
    int32_t at = current->next;
    if (at == 0) {
      if (current != head) ReleaseBlock(current);
      break;
    }
    bool loops = visited.count(at) > 0;
    bool broken = loops || !LinkOk(at) || seen->count(at) > 0 || current->used != BlockData() ||
                  static_cast<int64_t>(kept.size()) >= limit;
    TBlock* next = broken ? nullptr : GetBlock(at);
    if (next && next->owner != record) {
      ReleaseBlock(next);
      next = nullptr;
      broken = true;
    }
    if (broken) {
      RepairLog(std::string(loops ? "Recursive" : "Invalid") + " intra-block pointer in BLOB file for " + who +
                ", error fixed");
      current->next = 0;
      current->modified = true;
      if (current != head) ReleaseBlock(current);
      break;
    }
    visited.insert(at);
    kept.push_back(at);
    previous = current->offset;
    if (current != head) ReleaseBlock(current);
    current = next;
  }
  if (head->length != total) {
    RepairLog("BLOB of " + who + " holds " + std::to_string(total) + " bytes, its length said " +
              std::to_string(head->length) + ", length set");
    head->length = static_cast<int32_t>(total);
    head->modified = true;
  }
  ReleaseBlock(head);
  for (int32_t at : kept) seen->emplace(at, record);
  return true;
}

int64_t TBlobFile::RebuildFreeList(const std::unordered_map<int32_t, int32_t>& seen) {
  header_.SetFreeList(0);
  int64_t freed = 0;
  // From the end down, so that the list runs from the file's first free block upwards.
  for (int32_t at = header_.EndOfFile() - blockSize_; at >= int32_t(kHeaderSize); at -= blockSize_) {
    if (seen.count(at)) continue;
    TBlock* b = GetBlock(at);
    b->previous = 0;
    b->used = 0;
    b->length = 0;
    FreeBlock(b);
    ReleaseBlock(b);
    ++freed;
  }
  return freed;
}

}  // namespace ovrin
