// Whole-file reads and safe whole-file replacement, with errors that name
// the file and give the system's reason, and the lock that keeps a second
// instance of the program away from the same files.
//
// File names are UTF-8 strings on every system (Windows gets them through
// its wide API).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace storage {

class FileError : public std::runtime_error {
 public:
  enum class Kind { kRead, kWrite };

  // `reason` is the system's text for the failure, already in UTF-8.
  FileError(Kind kind, const std::string& fileName, const std::string& reason);

  Kind kind() const { return kind_; }
  const std::string& fileName() const { return fileName_; }

 private:
  Kind kind_;
  std::string fileName_;
};

// The largest file read whole. A table of a million columns is about 50 MB;
// anything beyond this is not one of our files (or not a file at all, like a
// link to an endless device), and reading it would only exhaust the memory.
inline constexpr std::size_t kMaxFileBytes = std::size_t{256} << 20;

// True when anything (file or folder) is there: a folder in the file's place
// must give an error, not be taken for a missing file and overwritten. A link
// counts as what it leads to.
bool fileExists(const std::string& name);

// The file's bytes, at most `maxBytes` of them. Only a regular file is read:
// a folder, FIFO or device at the name is an error, never a wait or an endless
// read; and a file longer than kMaxFileBytes is refused when it is to be read
// whole. Throws FileError (kRead).
std::string readFile(const std::string& name,
                     std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

// The whole file as readFile reads it (the same checks, the same limit and
// errors), handed to `piece` a piece at a time in order, so that a big file
// is never held whole. Throws FileError (kRead).
void readFileInPieces(const std::string& name, const std::function<void(std::string_view)>& piece);

// The system's side of a save: the calls that write a file's new content and
// put it in place, and the random part of the temporary names. Each call that
// fails returns false (or kNoFile) and leaves the reason as the system's last
// error (errno; GetLastError() on Windows). A save goes through the calls it
// is given: the system's own, or in the tests ones that fail on demand.
class SaveCalls {
 public:
  // A file descriptor, or a HANDLE on Windows.
  using File = std::intptr_t;
  static constexpr File kNoFile = -1;

  virtual ~SaveCalls() = default;
  // A new file under a name nothing stands at, never through a link planted
  // there. `privately`: readable by its owner alone until its permissions
  // are set.
  virtual File createNew(const std::string& name, bool privately) = 0;
  // An existing file, to be rewritten in place.
  virtual File openToRewrite(const std::string& name) = 0;
  // Space on the disk for `size` bytes, taken before the first byte changes.
  virtual bool reserve(File file, std::size_t size) = 0;
  // All of the bytes, at the file's position.
  virtual bool write(File file, const char* data, std::size_t size) = 0;
  // The file's content on the disk.
  virtual bool flush(File file) = 0;
  // `from` takes the place of `to`.
  virtual bool rename(const std::string& from, const std::string& to) = 0;
  // 12 hexadecimal digits for the next temporary name.
  virtual std::string temporarySuffix() = 0;
};

// The system's own calls.
SaveCalls& systemSaveCalls();

// What a link standing at the name of a file to write means.
enum class LinkAtName {
  kFollow,   // the user's link (to a synced folder, say): its target is written
  kReplace,  // a name of our own choosing: whatever stands there is replaced
};

// Saves `bytes` as the file `name`, through `calls`. The bytes go to a new
// temporary file in the folder of the file itself (the link's target, when a
// link is followed), made under a fresh name that nothing else can stand at,
// flushed to the disk and renamed over the file, which keeps its permissions.
// On any failure the temporary file is removed, the file is left exactly as
// it was, and FileError (kWrite) naming `name` is thrown; a file the user may
// not write, or something other than a regular file at the name, is not
// replaced.
//
// A file with more than one name (a hard link) is rewritten in place instead,
// so that every name sees the new content: its space is reserved first, so a
// full disk fails before the first byte changes.
void writeFileAtomically(SaveCalls& calls, const std::string& name, std::string_view bytes,
                         LinkAtName link = LinkAtName::kFollow);

// Removes the temporary files that saves of `name` (or of its link's target)
// cut short by a crash have left; one still being written by another running
// process is left alone. Nothing is reported: they are only clutter.
void removeStaleTemporaries(const std::string& name);

// Held from start-up to the end of the process: a lock on each folder that
// holds the given files (the folder of a link's target for a link), so that
// a second instance never works on the same files. The system drops it with
// the process, so a crash never leaves a folder locked. A folder that cannot
// be locked at all (a file system without locks) is not refused.
class FolderLock {
 public:
  explicit FolderLock(const std::vector<std::string>& fileNames);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  // The folder another running instance holds, for the user (UTF-8, full
  // path); empty when this one holds them all.
  const std::string& busyFolder() const { return busyFolder_; }

 private:
  void release();

  std::vector<std::intptr_t> held_;
  std::string busyFolder_;
};

}  // namespace storage
