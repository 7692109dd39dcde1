// The file calls on Windows, through the wide API.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <iterator>

#include <windows.h>

#include "storage/file_io_os.h"

namespace storage::os {

namespace {

HANDLE handle(File file) {
  return reinterpret_cast<HANDLE>(file);
}
File asFile(HANDLE opened) {
  return reinterpret_cast<File>(opened);
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

}  // namespace

const ErrorCode kIsFolder = ERROR_ACCESS_DENIED;
const ErrorCode kFileExists = ERROR_FILE_EXISTS;
const char* const kSeparators = "/\\";
// MoveFileEx cannot move a file that is still open without sharing.
const bool kCloseBeforeRename = true;

ErrorCode lastError() {
  return GetLastError();
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

bool lookUp(const std::string& name, Facts& facts) {
  // No access asked for: only the facts are read, and folders open too.
  const HANDLE opened =
      CreateFileW(wide(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return false;
  const bool known = lookUpOpen(asFile(opened), facts);
  const ErrorCode code = GetLastError();
  CloseHandle(opened);
  SetLastError(code);
  return known;
}

bool lookUpOpen(File file, Facts& facts) {
  facts = Facts{};
  if (GetFileType(handle(file)) != FILE_TYPE_DISK) {
    facts.kind = Kind::kDevice;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle(file), &info)) return false;
  facts.kind =
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? Kind::kFolder : Kind::kRegular;
  facts.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
  facts.links = info.nNumberOfLinks;
  return true;
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

File openForReading(const std::string& name) {
  return asFile(CreateFileW(wide(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

long long readSome(File file, char* buffer, std::size_t size) {
  DWORD got = 0;
  if (!ReadFile(handle(file), buffer, static_cast<DWORD>(size), &got, nullptr)) return -1;
  return got;
}

bool closeFile(File file) {
  return CloseHandle(handle(file)) != 0;
}

// Without sharing, so no other process opens it, or deletes it as stale,
// while it is written.
File createTemporary(const std::string& name, bool) {
  return asFile(CreateFileW(wide(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
}

File openForRewrite(const std::string& name) {
  return asFile(CreateFileW(wide(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// NTFS allocates as it writes; there is no reservation to make first.
bool reserveSpace(File, std::size_t) {
  return true;
}

bool writeAll(File file, const char* data, std::size_t size) {
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handle(file), data, chunk, &written, nullptr)) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool flushToDisk(File file) {
  return FlushFileBuffers(handle(file)) != 0;
}

bool renameOver(const std::string& from, const std::string& to) {
  return MoveFileExW(wide(from).c_str(), wide(to).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// A read-only file is never replaced; nothing else is carried over.
bool matchPermissions(File, const Facts&) {
  return true;
}

bool seekToStart(File file) {
  return SetFilePointerEx(handle(file), LARGE_INTEGER{}, nullptr, FILE_BEGIN) != 0;
}

bool cutAt(File file, std::size_t size) {
  LARGE_INTEGER at{};
  at.QuadPart = static_cast<LONGLONG>(size);
  return SetFilePointerEx(handle(file), at, nullptr, FILE_BEGIN) != 0 &&
         SetEndOfFile(handle(file)) != 0;
}

void removeFile(const std::string& name) {
  DeleteFileW(wide(name).c_str());
}

// MOVEFILE_WRITE_THROUGH has already made the replacement durable.
void syncFolderOf(const std::string&) {}

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
Lock lockFolder(const std::string& folder, bool& busy) {
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
  return reinterpret_cast<Lock>(mutex);
}

void unlockFolder(Lock lock) {
  CloseHandle(reinterpret_cast<HANDLE>(lock));
}

}  // namespace storage::os
