#include "main/text_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <sys/stat.h>

namespace hollard {

namespace {
constexpr size_t kChunk = 1 << 16;
}

const char* NotRegularKind(unsigned mode) {
  if (S_ISREG(mode)) return nullptr;
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISSOCK(mode)) return "a socket";
  return "of another kind";
}

void CheckSideFile(const std::string& path, int64_t maxBytes) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("Cannot open " + path + ": " + std::strerror(errno));
  if (const char* kind = NotRegularKind(st.st_mode))
    throw std::runtime_error("Cannot read " + path + ": it is " + std::string(kind) + ", not a regular file");
  if (maxBytes > 0 && st.st_size > maxBytes)
    throw std::runtime_error("Cannot read " + path + ": it holds " + std::to_string(st.st_size) +
                             " bytes, more than the " + std::to_string(maxBytes) + " a side file may hold");
}

int64_t ZeroFilledAt(const std::string& path, int64_t* zeros) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Cannot open " + path + ": " + std::strerror(errno));
  std::string buffer(kChunk, '\0');
  int64_t found = -1, total = 0, offset = 0, runStart = 0, run = 0;
  for (;;) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const size_t got = static_cast<size_t>(in.gcount());
    if (in.bad()) throw std::runtime_error("Cannot read " + path + ": " + std::strerror(errno));
    if (got == 0) break;
    const char* begin = buffer.data();
    const char* end = begin + got;
    const char* at = begin;
    // A run may go on from the chunk before: it ends at this chunk's first other byte.
    while (at < end) {
      if (*at != '\0') {
        run = 0;
        const void* zero = std::memchr(at, 0, static_cast<size_t>(end - at));
        if (!zero) break;
        at = static_cast<const char*>(zero);
      }
      if (run == 0) runStart = offset + (at - begin);
      const char* other = std::find_if(at, end, [](char c) { return c != '\0'; });
      run += other - at;
      total += other - at;
      if (found < 0 && run >= kZeroRun) found = runStart;
      at = other;
    }
    offset += static_cast<int64_t>(got);
  }
  if (found < 0 && offset > 0 && total == offset) found = 0;
  *zeros = total;
  return found;
}

TTextLineReader::TTextLineReader(const std::string& path) : path_(path) {
  CheckSideFile(path);
  in_.open(path, std::ios::binary);
  if (!in_) throw std::runtime_error("Cannot open " + path + ": " + std::strerror(errno));
  // A file saved by an editor that marks UTF-8 may begin with the byte order mark, which
  // would otherwise become part of its first line (a module's folder, a ToDo priority).
  Fill();
  if (buffer_.compare(0, 3, kUtf8Bom) == 0) at_ = 3;
}

bool TTextLineReader::Fill() {
  if (eof_) return false;
  buffer_.erase(0, at_);
  at_ = 0;
  size_t had = buffer_.size();
  buffer_.resize(had + kChunk);
  in_.read(buffer_.data() + had, static_cast<std::streamsize>(kChunk));
  size_t got = static_cast<size_t>(in_.gcount());
  buffer_.resize(had + got);
  if (in_.bad()) throw std::runtime_error("Cannot read " + path_ + ": " + std::strerror(errno));
  if (got == 0) eof_ = true;
  return got > 0;
}

bool TTextLineReader::Next(std::string* line) {
  size_t scanned = at_;
  for (;;) {
    size_t end = buffer_.find_first_of("\r\n", scanned);
    if (end != std::string::npos) {
      // A CR at the end of the buffer may be the first half of CR LF: read on first.
      if (buffer_[end] == '\r' && end + 1 == buffer_.size() && !eof_) {
        size_t offset = end - at_;
        Fill();
        scanned = at_ + offset;
        end = scanned;
      }
      line->assign(buffer_, at_, end - at_);
      size_t next = end + 1;
      if (buffer_[end] == '\r' && next < buffer_.size() && buffer_[next] == '\n') ++next;
      at_ = next;
      return true;
    }
    size_t offset = buffer_.size() - at_;
    if (!Fill()) {
      if (at_ >= buffer_.size()) return false;
      line->assign(buffer_, at_, std::string::npos);
      at_ = buffer_.size();
      return true;
    }
    scanned = at_ + offset;
  }
}

}  // namespace hollard
