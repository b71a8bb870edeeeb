// Work that must meet this user's permissions, which root passes through: as root it is
// done by an unprivileged user (nobody) in a child process, else here.
#pragma once

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <functional>
#include <string>

namespace ovrin::test {

// Makes every folder and file under root (root too) open to every user, so that an
// unprivileged user can do the work there; a test then shuts out what it means to.
inline void OpenToEveryone(const std::string& root) {
  ::chmod(root.c_str(), 0777);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
    ::chmod(entry.path().c_str(), entry.is_directory() ? 0777 : 0666);
}

// Does `work`, which answers what is not so (empty when all is well), in a child process
// after `enter` has made the child's conditions (false: it could not, said as `cannot`).
// Answers what the work answered, or why it could not be done.
inline std::string InChild(const std::function<bool()>& enter, const std::string& cannot,
                           const std::function<std::string()>& work) {
  auto guarded = [&]() -> std::string {
    try {
      return work();
    } catch (const std::exception& e) {
      return std::string("raised: ") + e.what();
    }
  };
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  pid_t pid = ::fork();
  if (pid < 0) return "no child";
  if (pid == 0) {
    ::close(fds[0]);
    if (!enter()) ::_exit(100);
    const std::string wrong = guarded();
    const bool told = ::write(fds[1], wrong.data(), wrong.size()) == static_cast<ssize_t>(wrong.size());
    ::_exit(told && wrong.empty() ? 0 : 1);
  }
  ::close(fds[1]);
  std::string wrong;
  char buffer[1024];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) wrong.append(buffer, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return "the child did not end: " + wrong;
  if (WEXITSTATUS(status) == 100) return cannot;
  if (WEXITSTATUS(status) != 0 && wrong.empty()) return "the child failed";
  return wrong;
}

// Does `work`, which answers what is not so (empty when all is well), with this user's
// permissions: as root in a child as nobody. Answers what the work answered, or why it
// could not be done.
inline std::string AsUnprivileged(const std::function<std::string()>& work) {
  if (::geteuid() != 0) {
    try {
      return work();
    } catch (const std::exception& e) {
      return std::string("raised: ") + e.what();
    }
  }
  return InChild([] { return ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0; },
                 "could not become an unprivileged user", work);
}

}  // namespace ovrin::test
