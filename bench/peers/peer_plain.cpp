// The yardstick for the blob workload: the same blob bytes written to one file with one
// plain write() each, no index, no header, no flush. Only the blobs workload runs.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "common.h"

namespace bench {
namespace {

class PlainPeer : public Peer {
 public:
  ~PlainPeer() override { close(); }

  void open(const std::string& dir, unsigned) override {
    ensure_dir(dir);
    fd_ = ::open((dir + "/blobs.bin").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd_ < 0) throw std::runtime_error(dir + "/blobs.bin: " + std::strerror(errno));
  }
  void close() override {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int64_t append_revision(const Revision&) override { throw std::runtime_error("plain: blobs only"); }
  void append_blob(const Blob& b) override {
    const uint8_t* at = b.data;
    size_t left = b.size;
    while (left > 0) {
      ssize_t n = ::write(fd_, at, left);
      if (n < 0) throw std::runtime_error(std::string("write: ") + std::strerror(errno));
      at += n;
      left -= static_cast<size_t>(n);
    }
  }
  uint64_t scan_revisions(RevisionVisitor&) override { throw std::runtime_error("plain: blobs only"); }
  bool seek_first_by_module(int32_t, Revision&) override { throw std::runtime_error("plain: blobs only"); }
  uint64_t scan_blobs(BlobVisitor&) override { throw std::runtime_error("plain: blobs only"); }
  bool is_data_file(const std::string& name) const override { return name.size() > 4 && name.substr(name.size() - 4) == ".bin"; }

 private:
  int fd_ = -1;
};

}  // namespace

const char* peer_name() { return "plain"; }
const char* peer_version() { return "write()"; }
std::vector<std::string> peer_modes() { return {"write"}; }
std::unique_ptr<Peer> make_peer(const std::string& mode) {
  if (mode == "write") return std::make_unique<PlainPeer>();
  return nullptr;
}

}  // namespace bench
