#include "storage/file_io.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <utility>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <cwchar>
#include <iterator>

#include <windows.h>
#else
#include <cerrno>
#include <cstdlib>
#include <system_error>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace storage {

namespace {

// What stands at a name.
enum class Kind { kRegular, kFolder, kFifo, kDevice, kSocket, kOther };

struct Facts {
  Kind kind = Kind::kOther;
  std::uint64_t size = 0;
  std::uint64_t links = 1;
  // Permissions and owner, where the system has them.
  unsigned mode = 0;
  unsigned owner = 0;
  unsigned group = 0;
};

// A lock handle that holds nothing.
constexpr std::intptr_t kNoLock = -1;

// The file operations the functions below need, one short block per
// platform. Each returns false / kNoFile on failure and leaves the reason to
// lastError().
#ifdef _WIN32

using NativeFile = HANDLE;
using ErrorCode = DWORD;
const NativeFile kNoFile = INVALID_HANDLE_VALUE;
constexpr ErrorCode kIsFolder = ERROR_ACCESS_DENIED;
constexpr ErrorCode kFileExists = ERROR_FILE_EXISTS;
constexpr ErrorCode kTooManyLinks = ERROR_CANT_RESOLVE_FILENAME;
constexpr const char* kSeparators = "/\\";
// MoveFileEx cannot move a file that is still open without sharing.
constexpr bool kCloseBeforeRename = true;

ErrorCode lastError() {
  return GetLastError();
}

// Our names are UTF-8 on every system; Windows gets them through its wide
// API, so "Rilvet_код.txt" is the same file whatever the code page for
// non-Unicode programs is.
std::wstring wide(const std::string& name) {
  if (name.empty()) return {};
  const int size = static_cast<int>(name.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, name.data(), size, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, name.data(), size, out.data(), length);
  return out;
}

std::string utf8(const wchar_t* text, int length) {
  if (length <= 0) return {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::string reasonText(ErrorCode code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
  std::string text =
      length > 0 ? utf8(buffer, static_cast<int>(length)) : "error " + std::to_string(code);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return text;
}

bool isMissing(ErrorCode code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

bool lookUpOpen(NativeFile file, Facts& facts) {
  facts = Facts{};
  if (GetFileType(file) != FILE_TYPE_DISK) {
    facts.kind = Kind::kDevice;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  facts.kind =
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::kFolder : Kind::kRegular;
  facts.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  facts.links = info.nNumberOfLinks;
  return true;
}

bool lookUp(const std::string& name, Facts& facts) {
  // No access asked for: only the facts are read, and folders open too.
  const HANDLE file =
      CreateFileW(wide(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = lookUpOpen(file, facts);
  const ErrorCode code = GetLastError();
  CloseHandle(file);
  SetLastError(code);
  return known;
}

// Links at the name are left to MoveFileEx, which replaces the link itself.
std::string followLinks(const std::string& name, ErrorCode&) {
  return name;
}

bool mayWrite(const std::string& name) {
  const DWORD attributes = GetFileAttributesW(wide(name).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return true;
  SetLastError(ERROR_ACCESS_DENIED);
  return false;
}

NativeFile openForReading(const std::string& name) {
  return CreateFileW(wide(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Without sharing, so no other process opens it, or deletes it as stale,
// while it is written.
NativeFile createExclusively(const std::string& name, bool) {
  return CreateFileW(wide(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

NativeFile openForRewrite(const std::string& name) {
  return CreateFileW(wide(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The sharing mode of createExclusively already keeps others out.
void holdTemporary(NativeFile) {}

// A read-only file is never replaced; nothing else is carried over.
bool matchPermissions(NativeFile, const Facts&) {
  return true;
}

// NTFS allocates as it writes; there is no reservation to make first.
bool reserveSpace(NativeFile, std::size_t) {
  return true;
}

bool seekToStart(NativeFile file) {
  return SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) != 0;
}

bool cutAt(NativeFile file, std::size_t size) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(file) != 0;
}

// Bytes read (0 at the end), or -1.
long long readSome(NativeFile file, char* buffer, std::size_t size) {
  DWORD got = 0;
  if (!ReadFile(file, buffer, static_cast<DWORD>(size), &got, nullptr)) return -1;
  return got;
}

bool writeAll(NativeFile file, const char* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, data, chunk, &written, nullptr)) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool flushToDisk(NativeFile file) {
  return FlushFileBuffers(file) != 0;
}
bool closeFile(NativeFile file) {
  return CloseHandle(file) != 0;
}

SaveCalls::File portable(NativeFile file) {
  return reinterpret_cast<SaveCalls::File>(file);
}
NativeFile native(SaveCalls::File file) {
  return reinterpret_cast<NativeFile>(file);
}

bool renameOver(const std::string& from, const std::string& to) {
  return MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void removeFile(const std::string& name) {
  DeleteFileW(wide(name).c_str());
}

// MOVEFILE_WRITE_THROUGH has already made the replacement durable.
void syncFolderOf(const std::string&) {}

// Names in `folder` (empty for the current one, else ending in a separator)
// that begin with `prefix`.
std::vector<std::string> namesIn(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found{};
  const HANDLE search = FindFirstFileW(wide(folder + prefix + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      names.push_back(utf8(found.cFileName, static_cast<int>(std::wcslen(found.cFileName))));
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

// A temporary file still being written is open without sharing, so the
// delete fails for it.
void removeIfStale(const std::string& name) {
  DeleteFileW(wide(name).c_str());
}

std::string absoluteFolder(const std::string& folder) {
  wchar_t full[4 * MAX_PATH];
  const DWORD length = GetFullPathNameW(wide(folder).c_str(), std::size(full), full, nullptr);
  return length > 0 && length < std::size(full) ? utf8(full, static_cast<int>(length)) : folder;
}

// A named mutex per folder: the system closes it with the process. Folder
// names are case-blind here, and a mutex's name may not hold a backslash, so
// the name carries a hash of the upper-cased path.
std::intptr_t lockFolder(const std::string& folder, bool& busy) {
  std::uint64_t hash = 14695981039346656037ull;
  for (char c : folder) {
    if (c == '/') c = '\\';
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  char name[64];
  std::snprintf(name, sizeof name, "Local\\Rilvet-48-%016llx",
                static_cast<unsigned long long>(hash));
  const HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
  busy = mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS;
  if (mutex == nullptr || busy) {
    if (mutex != nullptr) CloseHandle(mutex);
    return kNoLock;
  }
  return reinterpret_cast<std::intptr_t>(mutex);
}

void unlockFolder(std::intptr_t lock) {
  CloseHandle(reinterpret_cast<HANDLE>(lock));
}

#else

using NativeFile = int;
using ErrorCode = int;
constexpr NativeFile kNoFile = -1;
constexpr ErrorCode kIsFolder = EISDIR;
constexpr ErrorCode kFileExists = EEXIST;
constexpr ErrorCode kTooManyLinks = ELOOP;
constexpr const char* kSeparators = "/";
// The temporary file stays open, and so locked, until it has its new name.
constexpr bool kCloseBeforeRename = false;

ErrorCode lastError() {
  return errno;
}

// strerror_r underneath, so safe on any thread.
std::string reasonText(ErrorCode code) {
  return std::generic_category().message(code);
}

bool isMissing(ErrorCode code) {
  return code == ENOENT;
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

bool lookUpOpen(NativeFile file, Facts& facts) {
  struct stat info {};
  if (::fstat(file, &info) != 0) return false;
  describe(info, facts);
  return true;
}

// Follows a link to its end.
bool lookUp(const std::string& name, Facts& facts) {
  struct stat info {};
  if (::stat(name.c_str(), &info) != 0) return false;
  describe(info, facts);
  return true;
}

// The name the links at `name` lead to, followed one by one (the target
// need not exist yet: a new file is made there). Only the last part of the
// name is followed: a linked folder on the way is still the same folder.
// Empty, with `error` set, when the links go round in circles.
std::string followLinks(const std::string& name, ErrorCode& error) {
  std::string path = name;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::string target(static_cast<std::size_t>(info.st_size) + 256, '\0');
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
    if (length < 0) {
      error = errno;
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
  error = ELOOP;
  return {};
}

// The system's own answer for this user, ACLs and read-only mounts included.
bool mayWrite(const std::string& name) {
  return ::faccessat(AT_FDCWD, name.c_str(), W_OK, AT_EACCESS) == 0;
}

// Without waiting: a FIFO put in the file's place after it was looked at
// opens at once, and is then refused.
NativeFile openForReading(const std::string& name) {
  return ::open(name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// A fresh name only, never through a link planted there. `privately`: made
// readable by its owner alone until the old file's permissions are set.
NativeFile createExclusively(const std::string& name, bool privately) {
  return ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                privately ? 0600 : 0666);
}

NativeFile openForRewrite(const std::string& name) {
  return ::open(name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// Tells removeStaleTemporaries of another process that this one is alive.
void holdTemporary(NativeFile file) {
  ::flock(file, LOCK_EX | LOCK_NB);
}

bool matchPermissions(NativeFile file, const Facts& old) {
  // Only root may give a file away; anyone else may still keep its group.
  if (::fchown(file, old.owner, old.group) != 0) {
    [[maybe_unused]] const int ignored = ::fchown(file, static_cast<uid_t>(-1), old.group);
  }
  return ::fchmod(file, old.mode) == 0;
}

bool reserveSpace(NativeFile file, std::size_t size) {
  if (size == 0) return true;
  const int error = ::posix_fallocate(file, 0, static_cast<off_t>(size));
  // A file system that cannot reserve space has nothing to reserve.
  if (error == 0 || error == EOPNOTSUPP || error == EINVAL) return true;
  errno = error;
  return false;
}

bool seekToStart(NativeFile file) {
  return ::lseek(file, 0, SEEK_SET) == 0;
}

bool cutAt(NativeFile file, std::size_t size) {
  return ::ftruncate(file, static_cast<off_t>(size)) == 0;
}

long long readSome(NativeFile file, char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t got = ::read(file, buffer, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

bool writeAll(NativeFile file, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(file, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool flushToDisk(NativeFile file) {
  return ::fsync(file) == 0;
}
bool closeFile(NativeFile file) {
  return ::close(file) == 0;
}

SaveCalls::File portable(NativeFile file) {
  return file;
}
NativeFile native(SaveCalls::File file) {
  return static_cast<NativeFile>(file);
}

bool renameOver(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
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
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Names in `folder` (empty for the current one, else ending in a separator)
// that begin with `prefix`.
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
  const int fd = ::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat opened {};
  struct stat now {};
  if (::fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
      ::lstat(name.c_str(), &now) == 0 && now.st_dev == opened.st_dev &&
      now.st_ino == opened.st_ino) {
    ::unlink(name.c_str());
  }
  ::close(fd);
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
std::intptr_t lockFolder(const std::string& folder, bool& busy) {
  busy = false;
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return kNoLock;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    busy = errno == EWOULDBLOCK;
    ::close(fd);
    return kNoLock;
  }
  return fd;
}

void unlockFolder(std::intptr_t lock) {
  ::close(static_cast<int>(lock));
}

#endif

// Temporary files are the file's own name with this and 12 hexadecimal
// digits after it, so a later start can tell them from anything else.
constexpr const char* kTemporaryInfix = ".rilvet-";
constexpr const char* kTemporaryEnd = ".tmp";
constexpr std::size_t kSuffixDigits = 12;

bool isTemporaryOf(const std::string& entry, const std::string& base) {
  const std::string head = base + kTemporaryInfix;
  const std::string tail = kTemporaryEnd;
  if (entry.size() != head.size() + kSuffixDigits + tail.size()) return false;
  if (entry.compare(0, head.size(), head) != 0) return false;
  if (entry.compare(entry.size() - tail.size(), tail.size(), tail) != 0) return false;
  return std::all_of(entry.begin() + static_cast<std::ptrdiff_t>(head.size()),
                     entry.end() - static_cast<std::ptrdiff_t>(tail.size()),
                     [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

class SystemSaveCalls final : public SaveCalls {
 public:
  File createNew(const std::string& name, bool privately) override {
    return portable(createExclusively(name, privately));
  }
  File openToRewrite(const std::string& name) override { return portable(openForRewrite(name)); }
  bool reserve(File file, std::size_t size) override { return reserveSpace(native(file), size); }
  bool write(File file, const char* data, std::size_t size) override {
    return writeAll(native(file), data, size);
  }
  bool flush(File file) override { return flushToDisk(native(file)); }
  bool rename(const std::string& from, const std::string& to) override {
    return renameOver(from, to);
  }
  std::string temporarySuffix() override {
    std::random_device random;
    std::uint64_t bits = (std::uint64_t{random()} << 32) ^ random();
    std::string suffix(kSuffixDigits, '0');
    for (char& digit : suffix) {
      digit = "0123456789abcdef"[bits & 15];
      bits >>= 4;
    }
    return suffix;
  }
};

std::atomic<SaveCalls*> saveCallsInUse{nullptr};

SaveCalls& saveCalls() {
  SaveCalls* calls = saveCallsInUse.load();
  return calls != nullptr ? *calls : systemSaveCalls();
}

// The folder part of a name, with its separator ("" for a bare name), and
// the rest.
std::pair<std::string, std::string> splitFolder(const std::string& name) {
  const std::size_t cut = name.find_last_of(kSeparators);
  if (cut == std::string::npos) return {std::string(), name};
  return {name.substr(0, cut + 1), name.substr(cut + 1)};
}

[[noreturn]] void throwError(FileError::Kind kind, const std::string& name, ErrorCode code) {
  throw FileError(kind, name, reasonText(code));
}

[[noreturn]] void throwNotAFile(FileError::Kind kind, const std::string& name, const Facts& facts) {
  if (facts.kind == Kind::kFolder) throwError(kind, name, kIsFolder);
  const char* what = facts.kind == Kind::kFifo     ? "канал (FIFO)"
                     : facts.kind == Kind::kDevice ? "устройство"
                     : facts.kind == Kind::kSocket ? "сокет"
                                                   : "особый файл";
  throw FileError(kind, name, std::string("это ") + what + ", а не обычный файл");
}

[[noreturn]] void throwTooBig(const std::string& name) {
  throw FileError(FileError::Kind::kRead, name,
                  "файл больше " + std::to_string(kMaxFileBytes >> 20) + " МБ");
}

// The save of a file with more than one name: into the file itself, so that
// all of its names keep seeing one content.
void rewriteInPlace(SaveCalls& calls, const std::string& name, const std::string& target,
                    std::string_view bytes) {
  const SaveCalls::File rewritten = calls.openToRewrite(target);
  if (rewritten == SaveCalls::kNoFile) throwError(FileError::Kind::kWrite, name, lastError());
  const NativeFile file = native(rewritten);
  const auto abandon = [&](ErrorCode code) {
    closeFile(file);
    throwError(FileError::Kind::kWrite, name, code);
  };
  Facts opened;
  if (!lookUpOpen(file, opened)) abandon(lastError());
  if (opened.kind != Kind::kRegular) {
    closeFile(file);
    throwNotAFile(FileError::Kind::kWrite, name, opened);
  }
  // Nothing could bring the old content back once a byte has changed, so a
  // full disk has to fail here.
  if (!calls.reserve(rewritten, bytes.size())) abandon(lastError());
  if (!seekToStart(file) || !calls.write(rewritten, bytes.data(), bytes.size()) ||
      !cutAt(file, bytes.size())) {
    abandon(lastError());
  }
  if (!calls.flush(rewritten)) abandon(lastError());
  if (!closeFile(file)) throwError(FileError::Kind::kWrite, name, lastError());
}

}  // namespace

FileError::FileError(Kind kind, const std::string& fileName, const std::string& reason)
    : std::runtime_error(
          (kind == Kind::kRead ? "Не удаётся открыть файл \"" : "Не удаётся записать файл \"") +
          fileName + "\": " + reason),
      kind_(kind),
      fileName_(fileName) {}

bool fileExists(const std::string& name) {
  Facts facts;
  return lookUp(name, facts);
}

namespace {

// Opens and checks the file as readFile describes, tells `sized` the size the
// system gives for it, then hands its bytes to `piece` in order.
void readInPieces(const std::string& name, std::size_t maxBytes,
                  const std::function<void(std::uint64_t)>& sized,
                  const std::function<void(std::string_view)>& piece) {
  const bool whole = maxBytes > kMaxFileBytes;
  // Looked at before it is opened: opening a device can have effects of its
  // own, and a FIFO would wait for a writer.
  Facts facts;
  if (!lookUp(name, facts)) throwError(FileError::Kind::kRead, name, lastError());
  if (facts.kind != Kind::kRegular) throwNotAFile(FileError::Kind::kRead, name, facts);
  if (whole && facts.size > kMaxFileBytes) throwTooBig(name);

  const NativeFile file = openForReading(name);
  if (file == kNoFile) throwError(FileError::Kind::kRead, name, lastError());
  // What was opened is what counts: the name may have changed hands since.
  if (!lookUpOpen(file, facts)) {
    const ErrorCode code = lastError();
    closeFile(file);
    throwError(FileError::Kind::kRead, name, code);
  }
  if (facts.kind != Kind::kRegular) {
    closeFile(file);
    throwNotAFile(FileError::Kind::kRead, name, facts);
  }
  // One byte more than allowed tells a file that has grown past the limit.
  const std::size_t limit = whole ? kMaxFileBytes + 1 : maxBytes;
  std::size_t total = 0;
  try {
    sized(facts.size);
    std::vector<char> buffer(std::size_t{1} << 20);
    while (total < limit) {
      const long long got = readSome(file, buffer.data(), std::min(buffer.size(), limit - total));
      if (got < 0) throwError(FileError::Kind::kRead, name, lastError());
      if (got == 0) break;
      total += static_cast<std::size_t>(got);
      if (whole && total > kMaxFileBytes) throwTooBig(name);
      piece(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
  } catch (...) {
    closeFile(file);
    throw;
  }
  closeFile(file);
}

}  // namespace

std::string readFile(const std::string& name, std::size_t maxBytes) {
  std::string bytes;
  readInPieces(
      name, maxBytes,
      [&](std::uint64_t size) {
        bytes.reserve(static_cast<std::size_t>(
            std::min<std::uint64_t>(size, std::min(maxBytes, kMaxFileBytes + 1))));
      },
      [&](std::string_view piece) { bytes.append(piece); });
  return bytes;
}

void readFileInPieces(const std::string& name, const std::function<void(std::string_view)>& piece) {
  readInPieces(
      name, std::numeric_limits<std::size_t>::max(), [](std::uint64_t) {}, piece);
}

void writeFileAtomically(const std::string& name, std::string_view bytes, LinkAtName link) {
  SaveCalls& calls = saveCalls();
  const auto fail = [&](ErrorCode code) { throwError(FileError::Kind::kWrite, name, code); };

  std::string target = name;
  Facts old;
  bool replacing = false;
  if (link == LinkAtName::kFollow) {
    ErrorCode code = kTooManyLinks;
    target = followLinks(name, code);
    if (target.empty()) fail(code);
    if (lookUp(target, old)) {
      replacing = true;
    } else if (!isMissing(lastError())) {
      fail(lastError());
    }
  }
  if (replacing) {
    if (old.kind != Kind::kRegular) throwNotAFile(FileError::Kind::kWrite, name, old);
    // A file the user may not write is not replaced behind their back, even
    // where the folder would allow it.
    if (!mayWrite(target)) fail(lastError());
    if (old.links > 1) {
      rewriteInPlace(calls, name, target, bytes);
      return;
    }
  }

  std::string temp;
  SaveCalls::File created = SaveCalls::kNoFile;
  for (int attempt = 1; created == SaveCalls::kNoFile; ++attempt) {
    temp = target + kTemporaryInfix + calls.temporarySuffix() + kTemporaryEnd;
    created = calls.createNew(temp, replacing);
    if (created == SaveCalls::kNoFile && (lastError() != kFileExists || attempt == 100)) {
      fail(lastError());
    }
  }
  NativeFile file = native(created);
  holdTemporary(file);

  // From here on the temporary file exists and must not outlive a failure.
  const auto abandon = [&](ErrorCode code) {
    if (file != kNoFile) closeFile(file);
    removeFile(temp);
    fail(code);
  };
  if (replacing && !matchPermissions(file, old)) abandon(lastError());
  if (!calls.write(created, bytes.data(), bytes.size())) abandon(lastError());
  if (!calls.flush(created)) abandon(lastError());
  if (kCloseBeforeRename) {
    const bool closed = closeFile(file);
    file = kNoFile;
    if (!closed) abandon(lastError());
  }
  if (!calls.rename(temp, target)) abandon(lastError());
  if (file != kNoFile) closeFile(file);
  syncFolderOf(target);
}

void removeStaleTemporaries(const std::string& name) {
  ErrorCode ignored = 0;
  const std::string target = followLinks(name, ignored);
  if (target.empty()) return;
  const auto [folder, base] = splitFolder(target);
  for (const std::string& entry : namesIn(folder, base + kTemporaryInfix)) {
    if (isTemporaryOf(entry, base)) removeIfStale(folder + entry);
  }
}

FolderLock::FolderLock(const std::vector<std::string>& fileNames) {
  std::vector<std::string> folders;
  for (const std::string& name : fileNames) {
    ErrorCode ignored = 0;
    std::string target = followLinks(name, ignored);
    if (target.empty()) target = name;
    const std::string folder = absoluteFolder(splitFolder(target).first + ".");
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
      folders.push_back(folder);
    }
  }
  for (const std::string& folder : folders) {
    bool busy = false;
    const std::intptr_t lock = lockFolder(folder, busy);
    if (busy) {
      busyFolder_ = folder;
      release();
      return;
    }
    if (lock != kNoLock) held_.push_back(lock);
  }
}

FolderLock::~FolderLock() {
  release();
}

void FolderLock::release() {
  for (const std::intptr_t lock : held_) unlockFolder(lock);
  held_.clear();
}

SaveCalls& systemSaveCalls() {
  static SystemSaveCalls calls;
  return calls;
}

void useSaveCalls(SaveCalls* calls) {
  saveCallsInUse.store(calls);
}

}  // namespace storage
