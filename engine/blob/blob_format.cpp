#include "engine/blob/blob_format.h"

#include "engine/base/file_handler.h"
#include "engine/format/table_format.h"

namespace ovrin {

TBlobHeader TBlobHeader::NewImage() {
  TBlobHeader h;
  h.bytes[blobfmt::hVersion] = blobfmt::kVersion;
  StoreLE32(&h.bytes[blobfmt::hEndOfFile], blobfmt::kHeaderSize);
  h.SetModified(true);
  return h;
}

void WriteBlobHeader(TFileHandler& file, TBlobHeader& header, bool encrypted) {
  header.SetChangeCounter(header.ChangeCounter() + 1);
  std::array<uint8_t, blobfmt::kHeaderSize> out = header.bytes;
  if (encrypted) ApplyCipher(out.data(), out.size(), kTableKey);
  file.Seek(0, 0);
  file.Write(out.data(), static_cast<uint32_t>(out.size()));
  header.SetModified(false);
}

}  // namespace ovrin
