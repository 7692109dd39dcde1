#include "storage/file_io.h"

#include <algorithm>
#include <optional>
#include <utility>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace storage {

namespace {

// The few file operations the two functions below need, one short block per
// platform. Each returns false / kNoFile on failure and leaves the reason to
// lastError().
#ifdef _WIN32

using NativeFile = HANDLE;
using ErrorCode = DWORD;
const NativeFile kNoFile = INVALID_HANDLE_VALUE;
constexpr ErrorCode kDiskFull = ERROR_DISK_FULL;

ErrorCode lastError() {
  return GetLastError();
}

std::string ansiToUtf8(const std::string& text) {
  if (text.empty()) return text;
  const int size = static_cast<int>(text.size());
  const int wide = MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  if (wide <= 0) return text;
  std::wstring w(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), size, w.data(), wide);
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return text;
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), wide, out.data(), bytes, nullptr, nullptr);
  return out;
}

std::string reasonText(ErrorCode code) {
  char* buffer = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  std::string text = length > 0 ? std::string(buffer, length) : "error " + std::to_string(code);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  return ansiToUtf8(text);
}

std::string displayName(const std::string& name) {
  return ansiToUtf8(name);
}

bool exists(const std::string& name) {
  return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

NativeFile openForReading(const std::string& name) {
  return CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

NativeFile createForWriting(const std::string& name) {
  return CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
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

bool replaceFile(const std::string& from, const std::string& to) {
  return MoveFileExA(from.c_str(), to.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void removeFile(const std::string& name) {
  DeleteFileA(name.c_str());
}

// MOVEFILE_WRITE_THROUGH has already made the replacement durable.
void syncFolderOf(const std::string&) {}

#else

using NativeFile = int;
using ErrorCode = int;
constexpr NativeFile kNoFile = -1;
constexpr ErrorCode kDiskFull = ENOSPC;

ErrorCode lastError() {
  return errno;
}

// strerror_r underneath, so safe on any thread.
std::string reasonText(ErrorCode code) {
  return std::generic_category().message(code);
}

std::string displayName(const std::string& name) {
  return name;
}

bool exists(const std::string& name) {
  struct stat info {};
  return ::stat(name.c_str(), &info) == 0;
}

NativeFile openForReading(const std::string& name) {
  return ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
}

NativeFile createForWriting(const std::string& name) {
  return ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
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

bool replaceFile(const std::string& from, const std::string& to) {
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

#endif

std::optional<WriteStep> injectedFailure;

[[noreturn]] void throwError(FileError::Kind kind, const std::string& name, ErrorCode code) {
  throw FileError(kind, displayName(name), reasonText(code));
}

}  // namespace

FileError::FileError(Kind kind, const std::string& fileName, const std::string& reason)
    : std::runtime_error(
          (kind == Kind::kRead ? "Не удаётся открыть файл \"" : "Не удаётся записать файл \"") +
          fileName + "\": " + reason),
      kind_(kind),
      fileName_(fileName) {}

bool fileExists(const std::string& name) {
  return exists(name);
}

std::string readFile(const std::string& name, std::size_t maxBytes) {
  const NativeFile file = openForReading(name);
  if (file == kNoFile) throwError(FileError::Kind::kRead, name, lastError());
  std::string bytes;
  char buffer[64 * 1024];
  while (bytes.size() < maxBytes) {
    const long long got = readSome(file, buffer, std::min(sizeof buffer, maxBytes - bytes.size()));
    if (got < 0) {
      const ErrorCode code = lastError();
      closeFile(file);
      throwError(FileError::Kind::kRead, name, code);
    }
    if (got == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(got));
  }
  closeFile(file);
  return bytes;
}

void writeFileAtomically(const std::string& name, std::string_view bytes) {
  const std::optional<WriteStep> injected = std::exchange(injectedFailure, std::nullopt);
  const std::string temp = name + ".tmp";

  if (injected == WriteStep::kCreate) throwError(FileError::Kind::kWrite, name, kDiskFull);
  NativeFile file = createForWriting(temp);
  if (file == kNoFile) throwError(FileError::Kind::kWrite, name, lastError());

  // From here on the temporary file exists and must not outlive a failure.
  const auto abandon = [&](ErrorCode code) {
    if (file != kNoFile) closeFile(file);
    removeFile(temp);
    throwError(FileError::Kind::kWrite, name, code);
  };
  if (injected == WriteStep::kWrite) {
    // A full disk typically takes part of the data first.
    writeAll(file, bytes.data(), bytes.size() / 2);
    abandon(kDiskFull);
  }
  if (!writeAll(file, bytes.data(), bytes.size())) abandon(lastError());
  if (injected == WriteStep::kFlush) abandon(kDiskFull);
  if (!flushToDisk(file)) abandon(lastError());
  const bool closed = closeFile(file);
  file = kNoFile;
  if (!closed) abandon(lastError());
  if (injected == WriteStep::kRename) abandon(kDiskFull);
  if (!replaceFile(temp, name)) abandon(lastError());
  syncFolderOf(name);
}

void failNextWriteAt(WriteStep step) {
  injectedFailure = step;
}

}  // namespace storage
