// Blob benchmark: writes about 500 MB of blobs of 1 KB to 1 MB through the blob file and
// reads them back, beside a plain sequential write and read of the same bytes in the same
// run. Prints MB/s. Usage: blob_bench [megabytes] [block size] [folder]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/blob/blob_file.h"
#include "engine/data/table_create.h"
#include "engine/base/platform.h"

using namespace ovrin;

namespace {
double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}
}  // namespace

int main(int argc, char** argv) {
  ovrin::EnsureStandardDescriptors();
  int64_t megabytes = argc > 1 ? std::atol(argv[1]) : 500;
  int32_t blockSize = argc > 2 ? std::atoi(argv[2]) : 4096;
  std::string folder = argc > 3 ? argv[3] : std::filesystem::temp_directory_path().string();
  std::string path = folder + "/blob_bench";

  std::mt19937 rng(7);
  std::vector<uint32_t> sizes;
  int64_t total = 0;
  while (total < megabytes * 1048576) {
    // Sizes spread evenly over the orders of magnitude from 1 KB to 1 MB.
    uint32_t size = static_cast<uint32_t>(1024.0 * std::pow(1024.0, std::uniform_real_distribution<double>(0, 1)(rng)));
    sizes.push_back(size);
    total += size;
  }
  std::vector<uint8_t> source(1 << 20);
  for (auto& b : source) b = static_cast<uint8_t>(rng());
  double mb = total / 1048576.0;

  // Plain sequential write and read of the same bytes.
  std::string plain = folder + "/blob_bench.plain";
  auto start = std::chrono::steady_clock::now();
  {
    std::ofstream out(plain, std::ios::binary | std::ios::trunc);
    for (uint32_t size : sizes) out.write(reinterpret_cast<const char*>(source.data()), size);
  }
  double plainWrite = Seconds(start);
  start = std::chrono::steady_clock::now();
  {
    std::ifstream in(plain, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    for (uint32_t size : sizes) in.read(buffer.data(), size);
  }
  double plainRead = Seconds(start);
  std::filesystem::remove(plain);

  TTableSpec def;
  def.Fields = {TFieldSpec{"DATA", fldBlob, subBinary}};
  def.BlobBlockSize = blockSize;
  CreateTable(path, def, TCreateOptions{true, false});
  TBlobFile file;
  file.SetFileName(path);
  file.SetExclusive(true);
  file.OpenBlobFile(blockSize, false);
  std::vector<int32_t> refs;
  start = std::chrono::steady_clock::now();
  int32_t record = 1;
  for (uint32_t size : sizes) {
    int32_t handle;
    file.OpenBlob(0, 1, record++, false, &handle);
    file.WriteBlob(handle, 0, size, source.data());
    file.SaveOpenBlobs();
    file.StoreReferences([&](uint16_t, int32_t first) { refs.push_back(first); });
    file.CloseAllBlobs();
    file.UnpinAll();
  }
  file.FlushBlocks();
  file.WriteHeader(true);
  double blobWrite = Seconds(start);
  long blocksWritten = file.Stats().blocksWritten, writes = file.Stats().writes;
  file.Close();
  file.OpenBlobFile(blockSize, false);
  start = std::chrono::steady_clock::now();
  std::vector<uint8_t> buffer(1 << 20);
  record = 1;
  for (size_t i = 0; i < sizes.size(); ++i) {
    int32_t handle;
    file.OpenBlob(refs[i], 1, record++, false, &handle);
    uint32_t read = 0;
    file.ReadBlob(handle, 0, sizes[i], buffer.data(), &read);
    file.CloseAllBlobs();
    file.UnpinAll();
  }
  double blobRead = Seconds(start);
  long reads = file.Stats().reads;
  int64_t fileSize = static_cast<int64_t>(std::filesystem::file_size(BlobFileName(path)));
  file.Close();
  for (const std::string& f : {DataFileName(path), IndexFileName(path), BlobFileName(path)}) std::filesystem::remove(f);

  std::printf("%zu blobs, %.0f MB, block size %d\n", sizes.size(), mb, blockSize);
  std::printf("  plain file   write %8.1f MB/s   read %8.1f MB/s\n", mb / plainWrite, mb / plainRead);
  std::printf("  blob file    write %8.1f MB/s   read %8.1f MB/s   (%ld blocks in %ld writes, %ld reads, file %.0f MB)\n",
              mb / blobWrite, mb / blobRead, blocksWritten, writes, reads, fileSize / 1048576.0);
  return 0;
}
