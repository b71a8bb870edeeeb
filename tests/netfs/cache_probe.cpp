// Measures whether a client keeps stale pages across a lock hand-over: two processes,
// one through each of two paths to the same file server folder, take turns raising a
// counter under a byte-range write lock (read, add one, write back, unlock), and the
// probe prints how many raises the counter kept. Every raise is kept on a coherent
// mount. Each way of reading is tried in turn:
//   plain           read and write as the engine does
//   dontneed        drop the file's cached page before each read
//   dontneed-sync   the same, and fdatasync before each unlock
//   cache_probe PATH1 PATH2 [RAISES]
// PATH1 and PATH2 name the same file; the probe writes it.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int64_t kCounterAt = 50000;

bool Lock(int fd, short type) {
  struct flock fl = {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = 0x7FFFFFFF;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

int Raise(const std::string& path, int raises, const std::string& mode) {
  int fd = ::open(path.c_str(), O_RDWR);
  if (fd < 0) return 1;
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  for (int i = 0; i < raises; ++i) {
    while (!Lock(fd, F_WRLCK)) std::this_thread::sleep_for(std::chrono::microseconds(500));
    // Only whole pages are dropped: the one that holds the counter.
    if (mode != "plain") ::posix_fadvise(fd, kCounterAt / 4096 * 4096, 4096, POSIX_FADV_DONTNEED);
    int64_t value = 0;
    if (::pread(fd, &value, sizeof value, kCounterAt) != sizeof value) return 1;
    ++value;
    if (::pwrite(fd, &value, sizeof value, kCounterAt) != sizeof value) return 1;
    if (mode == "dontneed-sync") ::fdatasync(fd);
    Lock(fd, F_UNLCK);
  }
  ::close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: cache_probe PATH1 PATH2 [RAISES]\n");
    return 2;
  }
  const std::string first = argv[1], second = argv[2];
  const int raises = argc > 3 ? std::atoi(argv[3]) : 1000;
  for (const std::string mode : {"plain", "dontneed", "dontneed-sync"}) {
    {
      std::vector<char> zeros(100000, 0);
      int fd = ::open(first.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || ::write(fd, zeros.data(), zeros.size()) != static_cast<ssize_t>(zeros.size())) {
        std::perror(first.c_str());
        return 1;
      }
      ::close(fd);
    }
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) ::_exit(Raise(second, raises, mode));
    int mine = Raise(first, raises, mode);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (mine != 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::fprintf(stderr, "%s: a raising process failed\n", mode.c_str());
      return 1;
    }
    int fd = ::open(first.c_str(), O_RDONLY);
    int64_t value = -1;
    if (fd < 0 || ::pread(fd, &value, sizeof value, kCounterAt) != sizeof value) return 1;
    ::close(fd);
    std::printf("%-14s kept %lld of %d raises\n", mode.c_str(), static_cast<long long>(value), 2 * raises);
  }
  ::unlink(first.c_str());
  return 0;
}
