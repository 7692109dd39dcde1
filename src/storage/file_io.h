// Whole-file reads and atomic whole-file replacement, with errors that name
// the file and give the system's reason.
//
// File names are native strings: UTF-8 on Linux, the ANSI code page's bytes
// (Windows-1251 for our names) on Windows.
#pragma once

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

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

// True when anything (file or folder) is there: a folder in the file's place
// must give an error, not be taken for a missing file and overwritten.
bool fileExists(const std::string& name);

// The file's bytes, at most `maxBytes` of them. Throws FileError (kRead).
std::string readFile(const std::string& name,
                     std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

// Writes `bytes` to a temporary file beside `name`, flushes it to the disk and
// then puts it in the place of `name`. On any failure the temporary file is
// removed, `name` is left exactly as it was, and FileError (kWrite) naming
// `name` is thrown.
void writeFileAtomically(const std::string& name, std::string_view bytes);

// The steps of writeFileAtomically, for failure injection.
enum class WriteStep { kCreate, kWrite, kFlush, kRename };

// For tests: makes the next writeFileAtomically fail at `step` as if the disk
// were full. The injection is used up by that call whether or not it reaches
// the step.
void failNextWriteAt(WriteStep step);

}  // namespace storage
