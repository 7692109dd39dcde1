// Whole-file reads and safe whole-file replacement, with errors that name
// the file and give the system's reason, and the lock that keeps a second
// instance of the program away from the same files.
//
// File names are native strings: UTF-8 on Linux, the ANSI code page's bytes
// (Windows-1251 for our names) on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
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

// What a link standing at the name of a file to write means.
enum class LinkAtName {
  kFollow,   // the user's link (to a synced folder, say): its target is written
  kReplace,  // a name of our own choosing: whatever stands there is replaced
};

// Saves `bytes` as the file `name`. The bytes go to a new temporary file in
// the folder of the file itself (the link's target, when a link is followed),
// made under a fresh name that nothing else can stand at, flushed to the disk
// and renamed over the file, which keeps its permissions. On any failure the
// temporary file is removed, the file is left exactly as it was, and
// FileError (kWrite) naming `name` is thrown; a file the user may not write,
// or something other than a regular file at the name, is not replaced.
//
// A file with more than one name (a hard link) is rewritten in place instead,
// so that every name sees the new content: its space is reserved first, so a
// full disk fails before the first byte changes.
void writeFileAtomically(const std::string& name, std::string_view bytes,
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

// The steps of writeFileAtomically, for failure injection.
enum class WriteStep { kCreate, kWrite, kFlush, kRename };

// For tests: makes the next writeFileAtomically fail at `step` as if the disk
// were full. The injection is used up by that call whether or not it reaches
// the step.
void failNextWriteAt(WriteStep step);

// For tests: the random parts (12 hexadecimal digits) of the next temporary
// names, taken in order before random ones, to plant something at one.
void useTemporarySuffixesNext(std::vector<std::string> suffixes);

}  // namespace storage
