// The file calls on a POSIX system.
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "storage/file_io_os.h"

namespace storage::os {

namespace {

int fd(File file) {
  return static_cast<int>(file);
}

void describe(const struct stat& info, Facts& facts) {
  facts = Facts{};
  if (S_ISREG(info.st_mode)) {
    facts.kind = Kind::kRegular;
  } else if (S_ISDIR(info.st_mode)) {
    facts.kind = Kind::kFolder;
  } else if (S_ISFIFO(info.st_mode)) {
    facts.kind = Kind::kFifo;
  } else if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) {
    facts.kind = Kind::kDevice;
  } else if (S_ISSOCK(info.st_mode)) {
    facts.kind = Kind::kSocket;
  }
  facts.size = static_cast<std::uint64_t>(info.st_size);
  facts.links = info.st_nlink;
  facts.mode = info.st_mode & 0777;
  facts.owner = info.st_uid;
  facts.group = info.st_gid;
}

}  // namespace

const ErrorCode kIsFolder = EISDIR;
const ErrorCode kFileExists = EEXIST;
const char* const kSeparators = "/";
// The temporary file stays open, and so locked, until it has its new name.
const bool kCloseBeforeRename = false;

ErrorCode lastError() {
  return static_cast<ErrorCode>(errno);
}

// strerror_r underneath, so safe on any thread.
std::string reasonText(ErrorCode code) {
  return std::generic_category().message(static_cast<int>(code));
}

bool isMissing(ErrorCode code) {
  return code == ENOENT;
}

// Follows a link to its end.
bool lookUp(const std::string& name, Facts& facts) {
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0) return false;
  describe(info, facts);
  return true;
}

bool lookUpOpen(File file, Facts& facts) {
  struct stat info {};
  if (::fstat(fd(file), &info) != 0) return false;
  describe(info, facts);
  return true;
}

// The links are followed one by one (the target need not exist yet: a new
// file is made there). Only the last part of the name is followed: a linked
// folder on the way is still the same folder.
std::string followLinks(const std::string& name, ErrorCode& error) {
  std::string path = name;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::string target(static_cast<std::size_t>(info.st_size) + 256, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0) {
      error = lastError();
      return {};
    }
    target.resize(static_cast<std::size_t>(length));
    const std::size_t slash = path.find_last_of('/');
    if (target.empty() || target[0] == '/' || slash == std::string::npos) {
      path = target;
    } else {
      path = path.substr(0, slash + 1) + target;
    }
  }
  // The links go round in circles.
  error = ELOOP;
  return {};
}

// The system's own answer for this user, ACLs and read-only mounts included.
bool mayWrite(const std::string& name) {
  return ::faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) == 0;
}

// Without waiting: a FIFO put in the file's place after it was looked at
// opens at once, and is then refused.
File openForReading(const std::string& name) {
  return ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

long long readSome(File file, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(fd(file), buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool closeFile(File file) {
  return ::close(fd(file)) == 0;
}

// A fresh name only, never through a link planted there. `privately`: made
// readable by its owner alone until the old file's permissions are set. The
// lock tells removeStaleTemporaries of another process that this one is
// alive.
File createTemporary(const std::string& name, bool privately) {
  const int made = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          privately ? 0600 : 0666);
  if (made >= 0) ::flock(made, LOCK_EX | LOCK_NB);
  return made;
}

File openForRewrite(const std::string& name) {
  return ::open(name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

bool reserveSpace(File file, std::size_t size) {
  if (size == 0) return true;
  const int error = ::posix_fallocate(fd(file), 0, static_cast<off_t>(size));
  // A file system that cannot reserve space has nothing to reserve.
  if (error == 0 || error == EOPNOTSUPP || error == EINVAL) return true;
  errno = error;
  return false;
}

bool writeAll(File file, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd(file), data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool flushToDisk(File file) {
  return ::fsync(fd(file)) == 0;
}

bool renameOver(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool matchPermissions(File file, const Facts& old) {
  // Only root may give a file away; anyone else may still keep its group.
  if (::fchown(fd(file), old.owner, old.group) != 0) {
    [[maybe_unused]] const int ignored = ::fchown(fd(file), static_cast<uid_t>(-1), old.group);
  }
  return ::fchmod(fd(file), old.mode) == 0;
}

bool seekToStart(File file) {
  return ::lseek(fd(file), 0, SEEK_SET) == 0;
}

bool cutAt(File file, std::size_t size) {
  return ::ftruncate(fd(file), static_cast<off_t>(size)) == 0;
}

void removeFile(const std::string& name) {
  ::unlink(name.c_str());
}

// A rename is durable only once the folder holding it is flushed. The file is
// already replaced by then, so a failure here is not reported.
void syncFolderOf(const std::string& name) {
  const std::size_t slash = name.find_last_of('/');
  const std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : name.substr(0, slash));
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return;
  ::fsync(dir);
  ::close(dir);
}

std::vector<std::string> namesIn(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, prefix.size(), prefix) == 0) names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

// Stale when no process holds its lock any more. Only a regular file is
// removed, and only the one that was checked: never what a link leads to.
void removeIfStale(const std::string& name) {
  const int file = ::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (file < 0) return;
  struct stat opened {};
  struct stat now {};
  if (::fstat(file, &opened) == 0 && S_ISREG(opened.st_mode) &&
      ::flock(file, LOCK_EX | LOCK_NB) == 0 && ::lstat(name.c_str(), &now) == 0 &&
      now.st_dev == opened.st_dev && now.st_ino == opened.st_ino) {
    ::unlink(name.c_str());
  }
  ::close(file);
}

std::string absoluteFolder(const std::string& folder) {
  char* resolved = ::realpath(folder.c_str(), nullptr);
  if (resolved == nullptr) return folder;
  std::string out = resolved;
  std::free(resolved);
  return out;
}

// flock on the folder itself: no file of ours is added to it, and the lock
// goes with the last descriptor, that is with the process.
Lock lockFolder(const std::string& folder, bool& busy) {
  busy = false;
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return kNoLock;
  if (::flock(dir, LOCK_EX | LOCK_NB) != 0) {
    busy = errno == EWOULDBLOCK;
    ::close(dir);
    return kNoLock;
  }
  return dir;
}

void unlockFolder(Lock lock) {
  ::close(static_cast<int>(lock));
}

}  // namespace storage::os
