// What file_io.cpp asks of the system, one file per OS behind it
// (file_io_posix.cpp, file_io_win32.cpp): what stands at a name, the calls
// that read, write and replace a file, and a folder's names and lock. Each
// call is a flat translation; what a read or a save does with them is shared.
// A call that fails returns false (or kNoFile, kNoLock) and leaves the
// reason to lastError().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "storage/file_io.h"

namespace storage::os {

// A file descriptor, or a HANDLE on Windows.
using File = SaveCalls::File;
inline constexpr File kNoFile = SaveCalls::kNoFile;
// errno, or GetLastError() on Windows.
using ErrorCode = std::uint32_t;
// A held folder lock.
using Lock = std::intptr_t;
inline constexpr Lock kNoLock = -1;

// The system's reasons for a folder where a file was expected and for a new
// name that is taken.
extern const ErrorCode kIsFolder;
extern const ErrorCode kFileExists;
// The characters that end a name's folder part.
extern const char* const kSeparators;
// Whether the temporary file is closed before it takes the file's name.
extern const bool kCloseBeforeRename;

ErrorCode lastError();
// The system's text for `code`, in UTF-8, without a closing full stop.
std::string reasonText(ErrorCode code);
// Nothing stands at the name (or at a folder on its way).
bool isMissing(ErrorCode code);

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

// What stands at the name, a link counting as what it leads to; and what an
// open file is.
bool lookUp(const std::string& name, Facts& facts);
bool lookUpOpen(File file, Facts& facts);
// The name a save of `name` writes: where the links at it lead. Empty, with
// `error` set, when they cannot be followed.
std::string followLinks(const std::string& name, ErrorCode& error);
// The user may write the file at the name.
bool mayWrite(const std::string& name);

// Never waits, whatever stands at the name.
File openForReading(const std::string& name);
// Bytes read (0 at the end), or -1.
long long readSome(File file, char* buffer, std::size_t size);
bool closeFile(File file);

// The save's own calls, behind SaveCalls.
// A temporary file under a fresh name, held as in use while it is written.
File createTemporary(const std::string& name, bool privately);
File openForRewrite(const std::string& name);
bool reserveSpace(File file, std::size_t size);
bool writeAll(File file, const char* data, std::size_t size);
bool flushToDisk(File file);
bool renameOver(const std::string& from, const std::string& to);

// The rest of a save.
// The new file gets the old one's permissions (and owner, where it may).
bool matchPermissions(File file, const Facts& old);
bool seekToStart(File file);
bool cutAt(File file, std::size_t size);
void removeFile(const std::string& name);
// The new name survives a crash of the machine.
void syncFolderOf(const std::string& name);

// Names in `folder` (empty for the current one, else ending in a separator)
// that begin with `prefix`.
std::vector<std::string> namesIn(const std::string& folder, const std::string& prefix);
// Removes a temporary file no running process is writing any more.
void removeIfStale(const std::string& name);
// The folder's full path, or `folder` itself when there is none.
std::string absoluteFolder(const std::string& folder);
// `busy`: another process holds the folder.
Lock lockFolder(const std::string& folder, bool& busy);
void unlockFolder(Lock lock);

}  // namespace storage::os
