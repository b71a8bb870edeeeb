#include "main/paradox.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <unordered_set>

#include "engine/base/coding.h"
#include "engine/base/conversions.h"
#include "engine/base/datetime.h"
#include "engine/base/platform.h"
#include "main/text_file.h"

// pxlib's block deciphering (exported by libpx, not declared in its headers).
extern "C" {
void px_decrypt_db_block(unsigned char* src, unsigned char* dest, unsigned long encryption, unsigned long blocksize,
                         unsigned long blockno);
void px_decrypt_mb_block(unsigned char* src, unsigned char* dest, unsigned long encryption, unsigned long blocksize);
}

namespace hollard {

using namespace ovrin;

namespace {

constexpr size_t kMinHeader = 88;
constexpr uint32_t kMbBlock = 4096;

uint16_t BE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t BE32(const uint8_t* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }
uint64_t BE64(const uint8_t* p) { return (uint64_t(BE32(p)) << 32) | BE32(p + 4); }

double SortableDouble(const uint8_t* p) {
  uint64_t bits = BE64(p);
  bits = (bits & (1ull << 63)) ? bits & ~(1ull << 63) : ~bits;
  double v;
  std::memcpy(&v, &bits, 8);
  return v;
}

// A BCD field left blank holds its decimals in the first byte and nothing else: without
// the sign bit it would read as the most negative value of its size.
bool BlankBcd(const uint8_t* p) {
  if (p[0] & 0x80) return false;
  for (size_t i = 1; i < 17; ++i)
    if (p[i]) return false;
  return true;
}

bool AllZero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

// Reads count bytes at offset; false with the reason on a read error or an early end.
bool ReadAt(int fd, uint64_t offset, uint8_t* out, size_t count, std::string* error) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::pread(fd, out + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? std::strerror(errno) : "the file ended early";
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

size_t ExpectedSize(uint8_t type, uint8_t size) {
  switch (type) {
    case pxDate: case pxLong: case pxTime: case pxAutoInc: return 4;
    case pxShort: return 2;
    case pxCurrency: case pxNumber: case pxTimestamp: return 8;
    case pxLogical: return 1;
    case pxBcd: return 17;
    default: return size;
  }
}

bool KnownType(uint8_t type) {
  switch (type) {
    case pxAlpha: case pxDate: case pxShort: case pxLong: case pxCurrency: case pxNumber: case pxLogical:
    case pxMemo: case pxBlob: case pxFmtMemo: case pxOle: case pxGraphic: case pxTime: case pxTimestamp:
    case pxAutoInc: case pxBcd: case pxBytes:
      return true;
    default:
      return false;
  }
}

}  // namespace

void TParadoxFile::Damaged(const std::string& what) const {
  throw EParadoxError("The Paradox table " + path_ + " is damaged: " + what);
}

void TParadoxFile::Open(const std::string& dbPath, const std::string& blobPath) {
  Close();
  path_ = dbPath;
  blobPath_ = blobPath;
  // The table is read a block at a time: only the header, one data block and the list of
  // where each record lies are held, however many records the table has.
  auto cannot = [&](const std::string& error) {
    Close();
    throw EParadoxError("Cannot open the Paradox table " + dbPath + ": " + error);
  };
  // Opened without blocking: a FIFO in the table's place would wait for a writer for ever.
  dbFd_ = ::open(dbPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (dbFd_ < 0) cannot(std::strerror(errno));
  struct stat st;
  if (::fstat(dbFd_, &st) != 0) cannot(std::strerror(errno));
  if (const char* kind = NotRegularKind(st.st_mode)) cannot("it is " + std::string(kind) + ", not a regular file");
  if (st.st_size == 0) cannot("the file is empty");
  if (static_cast<uint64_t>(st.st_size) > (1ull << 31)) cannot("the file is larger than a table can be");
  dbSize_ = static_cast<uint64_t>(st.st_size);
  std::vector<uint8_t> file(static_cast<size_t>(std::min<uint64_t>(dbSize_, 0x10000)));
  std::string error;
  if (!ReadAt(dbFd_, 0, file.data(), file.size(), &error)) cannot(error);
  try {
    const uint8_t* h = file.data();
    if (file.size() < kMinHeader) Damaged("the header is cut short");
    recordSize_ = LoadLE16(h + 0);
    headerSize_ = LoadLE16(h + 2);
    uint8_t fileType = h[4];
    uint8_t blockKb = h[5];
    uint16_t fileBlocks = LoadLE16(h + 0x0C);
    uint16_t firstBlock = LoadLE16(h + 0x0E);
    uint16_t numFields = LoadLE16(h + 0x21);
    encryption_ = LoadLE32(h + 0x25);
    headerRecords_ = LoadLE32(h + 6);
    headerBlocks_ = fileBlocks;
    version_ = h[0x39];
    if (fileType != 0 && fileType != 2) Damaged("it is not a data table (file type " + std::to_string(fileType) + ")");
    if (version_ < 3 || version_ > 12) Damaged("unknown version " + std::to_string(version_));
    if (blockKb < 1 || blockKb > 32) Damaged("block size of " + std::to_string(blockKb) + " KB");
    blockSize_ = blockKb * 1024u;
    if (headerSize_ < kMinHeader) Damaged("header size " + std::to_string(headerSize_));
    if (headerSize_ > file.size())
      Damaged("its header of " + std::to_string(headerSize_) + " bytes is cut short: the file holds " +
              std::to_string(dbSize_) + " bytes");
    file.resize(headerSize_);
    if (numFields < 1 || numFields > 255) Damaged(std::to_string(numFields) + " fields");
    if (recordSize_ == 0 || recordSize_ > blockSize_ - 6) Damaged("record size " + std::to_string(recordSize_));
    bool dataHeader = version_ >= 5;
    size_t at = dataHeader ? 0x78 : 0x58;
    if (dataHeader && encryption_ == 0xFF00FF00) encryption_ = LoadLE32(h + 0x5C);
    codePage_ = dataHeader ? LoadLE16(h + 0x6A) : 0;
    // Field types and sizes, the pointers, the table name, then the field names.
    auto need = [&](size_t bytes) {
      if (at + bytes > headerSize_) Damaged("the field descriptions run past the header");
    };
    need(size_t(numFields) * 2);
    uint32_t offset = 0;
    for (uint16_t i = 0; i < numFields; ++i) {
      TParadoxField f;
      f.type = h[at + 2 * i];
      f.size = h[at + 2 * i + 1];
      if (!KnownType(f.type)) Damaged("field " + std::to_string(i + 1) + " has unknown type " + std::to_string(f.type));
      if (f.type == pxBcd) f.size = 17;
      if (f.size == 0 || f.size != ExpectedSize(f.type, f.size) ||
          (f.IsBlob() && (f.size < 10 || f.size > 250)))
        Damaged("field " + std::to_string(i + 1) + " has size " + std::to_string(f.size));
      f.offset = static_cast<uint16_t>(offset);
      offset += f.size;
      fields_.push_back(f);
    }
    if (offset != recordSize_) Damaged("the fields do not fill the record");
    at += size_t(numFields) * 2 + 4 + size_t(numFields) * 4 + (version_ >= 12 ? 261 : 79);
    for (TParadoxField& f : fields_) {
      size_t end = at;
      while (end < headerSize_ && h[end] != 0) ++end;
      if (end >= headerSize_) Damaged("the field names run past the header");
      f.name.assign(reinterpret_cast<const char*>(h + at), end - at);
      at = end + 1;
    }
    // The data blocks: walked along their chain, each once, all inside the file.
    uint64_t blocksInFile = (dbSize_ - headerSize_) / blockSize_;
    std::unordered_set<uint32_t> visited;
    for (uint32_t block = firstBlock; block != 0 && fileBlocks != 0;) {
      if (block > blocksInFile) Damaged("block " + std::to_string(block) + " lies beyond the end of the file");
      if (!visited.insert(block).second) Damaged("the block chain returns to block " + std::to_string(block));
      const uint8_t* b = LoadBlock(block);
      uint32_t next = LoadLE16(b);
      int16_t add = LoadLEI16(b + 4);
      if (add >= 0) {  // else an empty block
        if (add % recordSize_ != 0) Damaged("block " + std::to_string(block) + " holds a part of a record");
        uint32_t count = static_cast<uint32_t>(add / recordSize_) + 1;
        if (6 + size_t(count) * recordSize_ > blockSize_) Damaged("block " + std::to_string(block) + " holds too many records");
        for (uint32_t r = 0; r < count; ++r) records_.push_back(TRecordPlace{block, static_cast<uint16_t>(r)});
      }
      block = next;
    }
  } catch (...) {
    Close();
    throw;
  }
}

void TParadoxFile::Close() {
  if (dbFd_ >= 0) ::close(dbFd_);
  dbFd_ = -1;
  dbSize_ = 0;
  // Released, not just emptied: the next table opened may be as large.
  std::vector<uint8_t>().swap(block_);
  blockNumber_ = 0;
  std::vector<TRecordPlace>().swap(records_);
  if (blobFd_ >= 0) ::close(blobFd_);
  blobFd_ = -1;
  blobSize_ = 0;
  fields_.clear();
  encryption_ = 0;
}

const uint8_t* TParadoxFile::LoadBlock(uint32_t block) const {
  if (block == blockNumber_) return block_.data();
  block_.resize(blockSize_);
  blockNumber_ = 0;
  std::string error;
  if (!ReadAt(dbFd_, headerSize_ + uint64_t(block - 1) * blockSize_, block_.data(), blockSize_, &error))
    throw EParadoxError("Cannot read block " + std::to_string(block) + " of the Paradox table " + path_ + ": " + error);
  if (encryption_) px_decrypt_db_block(block_.data(), block_.data(), encryption_, blockSize_, block);
  blockNumber_ = block;
  return block_.data();
}

int TParadoxFile::FieldIndex(const std::string& name) const {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (AsciiEqualNoCase(fields_[i].name, name)) return static_cast<int>(i);
  return -1;
}

const uint8_t* TParadoxFile::Record(int32_t i) const {
  if (i < 0 || i >= RecordCount()) throw EParadoxError("No record " + std::to_string(i + 1) + " in " + path_);
  const TRecordPlace& place = records_[static_cast<size_t>(i)];
  return LoadBlock(place.block) + 6 + size_t(place.slot) * recordSize_;
}

const uint8_t* TParadoxFile::FieldBytes(int32_t record, int field) const {
  if (field < 0 || field >= static_cast<int>(fields_.size())) throw EParadoxError("No such field in " + path_);
  return Record(record) + fields_[static_cast<size_t>(field)].offset;
}

bool TParadoxFile::IsNull(int32_t record, int field) const {
  const TParadoxField& f = fields_[static_cast<size_t>(field)];
  const uint8_t* p = FieldBytes(record, field);
  return AllZero(p, f.size) || (f.type == pxBcd && BlankBcd(p));
}

namespace {
[[noreturn]] void NoConversion(const TParadoxField& f, const char* to) {
  throw EParadoxError("Cannot read field '" + f.name + "' as " + to);
}

std::string FormatNumber(double v) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", v);
  return buffer;
}

std::string BcdText(const uint8_t* p) {
  // Sign and decimals in the first byte; 32 digits in the nibbles that follow, all
  // inverted for negative values.
  bool positive = (p[0] & 0x80) != 0;
  int decimals = p[0] & 0x3F;
  std::string digits;
  for (int i = 0; i < 32; ++i) {
    uint8_t b = p[1 + i / 2];
    uint8_t nibble = i % 2 == 0 ? b >> 4 : b & 0x0F;
    if (!positive) nibble = static_cast<uint8_t>(0x0F - nibble);
    digits += static_cast<char>('0' + std::min<int>(nibble, 9));
  }
  decimals = std::min(decimals, 32);
  std::string whole = digits.substr(0, 32 - static_cast<size_t>(decimals));
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
  if (whole.empty()) whole = "0";
  std::string text = whole;
  if (decimals > 0) text += "." + digits.substr(32 - static_cast<size_t>(decimals));
  return positive ? text : "-" + text;
}
}  // namespace

std::string TParadoxFile::Text(int32_t record, int field) const {
  const TParadoxField& f = fields_.at(static_cast<size_t>(field));
  const uint8_t* p = FieldBytes(record, field);
  if (f.IsBlob()) return Blob(record, field);
  if (AllZero(p, f.size)) return "";
  switch (f.type) {
    case pxAlpha: {
      size_t n = 0;
      while (n < f.size && p[n]) ++n;
      return std::string(reinterpret_cast<const char*>(p), n);
    }
    case pxBytes: return std::string(reinterpret_cast<const char*>(p), f.size);
    case pxShort:
    case pxLong:
    case pxAutoInc: return std::to_string(Integer(record, field));
    case pxNumber:
    case pxCurrency: return FormatNumber(Number(record, field));
    case pxLogical: return Logical(record, field) ? "True" : "False";
    case pxBcd: return BlankBcd(p) ? std::string() : BcdText(p);
    case pxDate:
    case pxTime:
    case pxTimestamp: {
      TFormatSettings s = SaveSettings();
      TDateTime v = DateTime(record, field);
      if (f.type == pxDate) return FormatDateTime(s.ShortDateFormat, v, s);
      if (f.type == pxTime) return FormatDateTime(s.LongTimeFormat, v, s);
      return DateTimeToText(v, s);
    }
    default: NoConversion(f, "text");
  }
}

int64_t TParadoxFile::Integer(int32_t record, int field) const {
  const TParadoxField& f = fields_.at(static_cast<size_t>(field));
  const uint8_t* p = FieldBytes(record, field);
  if (AllZero(p, f.size)) return 0;
  switch (f.type) {
    case pxShort: return static_cast<int16_t>(BE16(p) ^ 0x8000u);
    case pxLong:
    case pxAutoInc: return static_cast<int32_t>(BE32(p) ^ 0x80000000u);
    case pxLogical: return p[0] == 0x81 ? 1 : 0;
    case pxNumber:
    case pxCurrency: return static_cast<int64_t>(std::llround(Number(record, field)));
    case pxAlpha: {
      std::string t = TrimChar(Text(record, field), ' ');
      try {
        size_t used = 0;
        int64_t v = std::stoll(t, &used);
        if (used == t.size()) return v;
      } catch (const std::exception&) {
      }
      throw EConvertError("'" + t + "' is not a valid integer value");
    }
    default: NoConversion(f, "an integer");
  }
}

double TParadoxFile::Number(int32_t record, int field) const {
  const TParadoxField& f = fields_.at(static_cast<size_t>(field));
  const uint8_t* p = FieldBytes(record, field);
  if (AllZero(p, f.size)) return 0;
  switch (f.type) {
    case pxNumber:
    case pxCurrency: return SortableDouble(p);
    case pxShort:
    case pxLong:
    case pxAutoInc: return static_cast<double>(Integer(record, field));
    default: NoConversion(f, "a number");
  }
}

bool TParadoxFile::Logical(int32_t record, int field) const {
  const TParadoxField& f = fields_.at(static_cast<size_t>(field));
  const uint8_t* p = FieldBytes(record, field);
  if (AllZero(p, f.size)) return false;
  switch (f.type) {
    case pxLogical: return p[0] == 0x81;
    case pxShort:
    case pxLong: return Integer(record, field) != 0;
    default: NoConversion(f, "a logical value");
  }
}

double TParadoxFile::DateTime(int32_t record, int field) const {
  const TParadoxField& f = fields_.at(static_cast<size_t>(field));
  const uint8_t* p = FieldBytes(record, field);
  if (AllZero(p, f.size)) return 0;
  switch (f.type) {
    case pxDate: return static_cast<int32_t>(BE32(p) ^ 0x80000000u) - static_cast<double>(kDateDelta);
    case pxTime: return static_cast<int32_t>(BE32(p) ^ 0x80000000u) / static_cast<double>(kMsPerDay);
    case pxTimestamp: return TimeStampToDateTime(SortableDouble(p));
    case pxAlpha: return TextToDateTime(Text(record, field), SaveSettings());
    default: NoConversion(f, "a date and time");
  }
}

void TParadoxFile::OpenBlobFile() const {
  if (blobFd_ >= 0) return;
  if (blobPath_.empty()) throw EParadoxError("The blob file of the Paradox table " + path_ + " is missing");
  int fd = ::open(blobPath_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    std::string error = std::strerror(errno);
    if (fd >= 0) ::close(fd);
    throw EParadoxError("Cannot open the blob file " + blobPath_ + ": " + error);
  }
  if (const char* kind = NotRegularKind(st.st_mode)) {
    ::close(fd);
    throw EParadoxError("Cannot open the blob file " + blobPath_ + ": it is " + std::string(kind) +
                        ", not a regular file");
  }
  blobFd_ = fd;
  blobSize_ = static_cast<uint64_t>(st.st_size);
}

std::string TParadoxFile::ReadBlobBytes(uint64_t offset, size_t count) const {
  std::string buffer;
  return std::string(ReadBlobBytes(offset, count, buffer));
}

std::string_view TParadoxFile::ReadBlobBytes(uint64_t offset, size_t count, std::string& buffer) const {
  OpenBlobFile();
  if (offset > blobSize_ || count > blobSize_ - offset) Damaged("a blob runs past the end of the blob file " + blobPath_);
  // Enciphered blob files are deciphered in 256-byte chunks counted from the file's start.
  uint64_t first = encryption_ ? offset / 256 * 256 : offset;
  uint64_t last = encryption_ ? std::min<uint64_t>((offset + count + 255) / 256 * 256, blobSize_ / 256 * 256) : offset + count;
  if (last < offset + count) last = offset + count;
  // A plain blob file is read straight into the buffer; an enciphered one whole chunks
  // at a time, deciphered, and the bytes asked for cut out of them.
  const size_t size = static_cast<size_t>(last - first);
  if (buffer.size() < size) buffer.resize(size);
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(blobFd_, buffer.data() + done, size - done, static_cast<off_t>(first + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Damaged("the blob file " + blobPath_ + " cannot be read");
    done += static_cast<size_t>(n);
  }
  if (encryption_) {
    size_t whole = size / 256 * 256;
    if (whole) px_decrypt_mb_block(reinterpret_cast<unsigned char*>(buffer.data()),
                                   reinterpret_cast<unsigned char*>(buffer.data()), encryption_, whole);
  }
  return std::string_view(buffer).substr(static_cast<size_t>(offset - first), count);
}

uint32_t TParadoxFile::BlobLength(int32_t record, int field) const {
  const TParadoxField& f = fields_.at(static_cast<size_t>(field));
  if (!f.IsBlob()) NoConversion(f, "a blob");
  return LoadLE32(FieldBytes(record, field) + f.size - 10u + 4);
}

std::string_view TParadoxFile::BlobInto(int32_t record, int field, std::string& buffer) const {
  const TParadoxField& f = fields_.at(static_cast<size_t>(field));
  if (!f.IsBlob()) NoConversion(f, "a blob");
  const uint8_t* p = FieldBytes(record, field);
  size_t leader = f.size - 10u;
  uint32_t length = LoadLE32(p + leader + 4);
  if (length == 0) return {};
  if (length <= leader) return std::string_view(reinterpret_cast<const char*>(p), length);
  uint64_t start = BlobPlace(record, field, buffer, &length);
  return ReadBlobBytes(start, length, buffer);
}

uint64_t TParadoxFile::BlobPlace(int32_t record, int field, std::string& buffer, uint32_t* valueLength) const {
  const TParadoxField& f = fields_.at(static_cast<size_t>(field));
  const uint8_t* tail = FieldBytes(record, field) + f.size - 10u;
  uint32_t pointer = LoadLE32(tail);
  uint32_t length = LoadLE32(tail + 4);
  // The value's modification number, which its block (or slot) keeps too: a pointer at
  // another value's place, of the same size in paragraphs, otherwise reads that value.
  const uint16_t modification = LoadLE16(tail + 8);
  OpenBlobFile();
  std::string where = "record " + std::to_string(record + 1) + ", field " + f.name + ": ";
  const std::string another = where + "the blob's place in the blob file " + blobPath_ +
                              " holds another value (its modification number is not the record's)";
  uint32_t index = pointer & 0xFF;
  uint64_t block = pointer & 0xFFFFFF00u;
  if (block == 0 || block % kMbBlock != 0 || block + 12 + 64 * 5 > blobSize_)
    Damaged(where + "blob offset " + std::to_string(block) + " lies outside the blob file");
  uint8_t head[kMbBlock] = {};
  {
    std::string_view bytes = ReadBlobBytes(block, std::min<uint64_t>(kMbBlock, blobSize_ - block), buffer);
    std::memcpy(head, bytes.data(), bytes.size());
  }
  const uint8_t* b = head;
  uint64_t start, end;
  if (index == 0xFF) {
    if (b[0] != 2) Damaged(where + "the blob block has type " + std::to_string(b[0]));
    uint64_t blocks = LoadLE16(b + 1);
    uint32_t stored = LoadLE32(b + 3);
    // A Graphic's block holds an 8-byte picture header after the block's own 9 bytes,
    // and the lengths count it; the value is what follows.
    uint32_t header = f.type == pxGraphic ? 17 : 9;
    uint32_t expected = f.type == pxGraphic ? length + 8 : length;
    if (stored != expected && stored != length) Damaged(where + "the blob's lengths in the record and in the blob file " + blobPath_ + " disagree");
    if (LoadLE16(b + 7) != modification) Damaged(another);
    if (f.type == pxGraphic) {
      if (length < 8) Damaged(where + "a picture shorter than its header");
      length -= 8;
    }
    start = block + header;
    end = start + length;
    if (end > block + blocks * kMbBlock) Damaged(where + "the blob runs past its blocks");
  } else {
    if (b[0] != 3) Damaged(where + "the blob block has type " + std::to_string(b[0]));
    if (index >= 64) Damaged(where + "slot " + std::to_string(index));
    const uint8_t* e = b + 12 + index * 5;
    uint32_t paragraphs = e[1];
    // The slot keeps the length as its paragraphs and the bytes used of the last one.
    if ((length + 15) / 16 != paragraphs || (paragraphs - 1) * 16 + e[4] != length)
      Damaged(where + "the blob's lengths in the record and in the blob file " + blobPath_ + " disagree");
    if (LoadLE16(e + 2) != modification) Damaged(another);
    start = block + uint64_t(e[0]) * 16;
    end = start + length;
    if (e[0] == 0 || end > block + kMbBlock) Damaged(where + "the blob lies outside its block");
  }
  if (end > blobSize_) Damaged(where + "the blob file " + blobPath_ + " ends before the blob");
  *valueLength = length;
  return start;
}

std::string TParadoxFile::Blob(int32_t record, int field) const {
  std::string buffer;
  return std::string(BlobInto(record, field, buffer));
}

bool TParadoxFile::HasBlobFields() const {
  for (const TParadoxField& f : fields_)
    if (f.IsBlob()) return true;
  return false;
}

void TParadoxFile::CheckBlobFile() const {
  if (!HasBlobFields()) return;
  OpenBlobFile();
  // The header block: a whole 4 KB block of type 0 at the start of the file.
  if (blobSize_ < kMbBlock) Damaged("its blob file " + blobPath_ + " is shorter than its header block");
  // (Its type byte is looked at in a plain file only: an enciphered one may hold it
  // enciphered.)
  if (!encryption_ && ReadBlobBytes(0, 1)[0] != 0) Damaged("its blob file " + blobPath_ + " does not start with a header block");
  // Every blob stored outside its record lies inside the file: its block, and for a
  // blob of a block of its own also its value (9 bytes of block header before it).
  std::unordered_set<uint64_t> checked;
  std::string buffer;
  for (int32_t r = 0; r < RecordCount(); ++r)
    for (size_t i = 0; i < fields_.size(); ++i) {
      const TParadoxField& f = fields_[i];
      if (!f.IsBlob()) continue;
      const uint8_t* tail = FieldBytes(r, static_cast<int>(i)) + f.size - 10u;
      uint32_t pointer = LoadLE32(tail);
      uint64_t length = LoadLE32(tail + 4);
      if (length <= f.size - 10u) continue;
      uint64_t block = pointer & 0xFFFFFF00u;
      uint64_t end = (pointer & 0xFF) == 0xFF ? block + 9 + length : block + 12 + 64 * 5;
      // A blob that shares its block with others lies inside that one block: a length
      // beyond it is damage (counted as it stands, it would claim gigabytes of room).
      if ((pointer & 0xFF) != 0xFF && length > kMbBlock)
        Damaged("record " + std::to_string(r + 1) + ", field " + f.name + ": the blob's length " +
                std::to_string(length) + " is more than its block of the blob file " + blobPath_ + " holds");
      if (block == 0 || block % kMbBlock != 0)
        Damaged("record " + std::to_string(r + 1) + ", field " + f.name + ": the blob offset " + std::to_string(block) +
                " is no block of the blob file " + blobPath_);
      if (end > blobSize_)
        Damaged("record " + std::to_string(r + 1) + ", field " + f.name + ": the blob at offset " +
                std::to_string(block) + " lies beyond the end of the blob file " + blobPath_ + " (" +
                std::to_string(blobSize_) + " bytes)");
      // The block must be a blob block of the kind the pointer names, as reading the blob
      // demands: a zero-filled blob file passed the checks above and stopped the run half
      // way. Each block is looked at once.
      const uint8_t kind = (pointer & 0xFF) == 0xFF ? 2 : 3;
      if (checked.insert(block).second) {
        const std::string_view head = ReadBlobBytes(block, kind == 2 ? 3 : 1, buffer);
        const auto type = static_cast<uint8_t>(head[0]);
        if (type != kind)
          Damaged("record " + std::to_string(r + 1) + ", field " + f.name + ": the block at offset " +
                  std::to_string(block) + " of the blob file " + blobPath_ + " has type " + std::to_string(type) +
                  ", not " + std::to_string(kind) + " (a blob's block)");
        // A blob of blocks of its own must end within the blocks its first one counts, as
        // reading it demands (step 10 stopped at it after the earlier steps had written).
        if (kind == 2 && end > block + uint64_t(LoadLE16(reinterpret_cast<const uint8_t*>(head.data()) + 1)) * kMbBlock)
          Damaged("record " + std::to_string(r + 1) + ", field " + f.name + ": the blob runs past its blocks");
      }
      // Every other check reading the blob makes (its slot in a shared block, the lengths
      // its block keeps), without reading the value: a zeroed slot, or a pointer at
      // another blob's block, stopped step 10 after the earlier steps had written.
      uint32_t valueLength = 0;
      BlobPlace(r, static_cast<int>(i), buffer, &valueLength);
    }
}

}  // namespace hollard
