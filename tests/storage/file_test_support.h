// Raw byte access to the files of a test's folder (independent of the code
// under test) and a check of file error messages.
#pragma once

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <functional>
#include <optional>

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "storage/file_io.h"
#include "support/temp_folder.h"

namespace testing_support {

// A name as the file functions take it (UTF-8), for std::filesystem and the
// streams, which would read a narrow name in the ANSI code page on Windows.
inline std::filesystem::path fsPath(const std::string& name) {
  return std::filesystem::path(std::u8string(name.begin(), name.end()));
}

inline void writeBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(fsPath(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readBytes(const std::string& path) {
  std::ifstream in(fsPath(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool exists(const std::string& path) {
  return std::filesystem::exists(fsPath(path));
}

// Checks a file error's message: the verb for its kind, the file's name and,
// on POSIX hosts, strerror's text for `posixCode` as the reason (on Windows
// it is whatever FormatMessage says).
inline void expectFileError(const storage::FileError& error, storage::FileError::Kind kind,
                            const std::string& name, [[maybe_unused]] int posixCode) {
  const std::string message = error.what();
  EXPECT_EQ(error.kind(), kind) << message;
  const std::string verb = kind == storage::FileError::Kind::kRead ? "открыть" : "записать";
  const std::string& shown = name;
  const std::string head = "Не удаётся " + verb + " файл \"" + shown + "\": ";
  ASSERT_EQ(message.substr(0, head.size()), head);
  EXPECT_GT(message.size(), head.size()) << "no reason given";
  EXPECT_EQ(error.fileName(), shown);
#ifndef _WIN32
  EXPECT_EQ(message.substr(head.size()), std::strerror(posixCode));
#endif
}

#ifndef _WIN32
// Runs `body` in a child process and returns what it returned, or
// std::nullopt when the child had not ended after `seconds` (it is then
// killed): a test of something that must not hang fails instead of hanging.
// The child's memory is capped (but under the sanitizers, whose shadow
// memory a cap would break), so a runaway read fails fast instead of
// exhausting the machine. With `asNobody`, a child of root becomes the user
// nobody first, because root may write any file whatever its permissions.
// An exception leaving `body` is returned as "exception: " and its message.
inline std::optional<std::string> inChildProcess(const std::function<std::string()>& body,
                                                 int seconds = 10, bool asNobody = false) {
  int fds[2];
  if (::pipe(fds) != 0) return std::string("pipe: ") + std::strerror(errno);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string out;
    try {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
      const rlimit cap{rlim_t{2} << 30, rlim_t{2} << 30};
      ::setrlimit(RLIMIT_AS, &cap);
#endif
      if (asNobody && ::geteuid() == 0) {
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr || ::setgroups(0, nullptr) != 0 || ::setgid(nobody->pw_gid) != 0 ||
            ::setuid(nobody->pw_uid) != 0) {
          out = "cannot become the user nobody";
        }
      }
      if (out.empty()) out = body();
    } catch (const std::exception& e) {
      out = std::string("exception: ") + e.what();
    }
    for (std::size_t done = 0; done < out.size();) {
      const ssize_t n = ::write(fds[1], out.data() + done, out.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string out;
  bool ended = false;
  pollfd wait{fds[0], POLLIN, 0};
  while (::poll(&wait, 1, seconds * 1000) > 0) {
    char buffer[4096];
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n <= 0) {
      ended = true;
      break;
    }
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  if (!ended) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!ended || !WIFEXITED(status)) return std::nullopt;
  return out;
}

// Gives `path` to the user nobody, for a child of inChildProcess that runs as
// nobody (nothing to do when the tests do not run as root).
inline void giveToNobody(const std::string& path) {
  if (::geteuid() != 0) return;
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_NE(nobody, nullptr);
  ASSERT_EQ(::lchown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0) << std::strerror(errno);
}
#endif

}  // namespace testing_support
