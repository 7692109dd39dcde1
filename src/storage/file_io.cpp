#include "storage/file_io.h"

#include <algorithm>
#include <random>
#include <utility>

#include "storage/file_io_os.h"

namespace storage {

namespace {

using os::ErrorCode;
using os::Facts;
using os::Kind;

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
    return os::createTemporary(name, privately);
  }
  File openToRewrite(const std::string& name) override { return os::openForRewrite(name); }
  bool reserve(File file, std::size_t size) override { return os::reserveSpace(file, size); }
  bool write(File file, const char* data, std::size_t size) override {
    return os::writeAll(file, data, size);
  }
  bool flush(File file) override { return os::flushToDisk(file); }
  bool rename(const std::string& from, const std::string& to) override {
    return os::renameOver(from, to);
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

// The folder part of a name, with its separator ("" for a bare name), and
// the rest.
std::pair<std::string, std::string> splitFolder(const std::string& name) {
  const std::size_t cut = name.find_last_of(os::kSeparators);
  if (cut == std::string::npos) return {std::string(), name};
  return {name.substr(0, cut + 1), name.substr(cut + 1)};
}

[[noreturn]] void throwError(FileError::Kind kind, const std::string& name, ErrorCode code) {
  throw FileError(kind, name, os::reasonText(code));
}

[[noreturn]] void throwNotAFile(FileError::Kind kind, const std::string& name, const Facts& facts) {
  if (facts.kind == Kind::kFolder) throwError(kind, name, os::kIsFolder);
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
  const SaveCalls::File file = calls.openToRewrite(target);
  if (file == SaveCalls::kNoFile) throwError(FileError::Kind::kWrite, name, os::lastError());
  const auto abandon = [&](ErrorCode code) {
    os::closeFile(file);
    throwError(FileError::Kind::kWrite, name, code);
  };
  Facts opened;
  if (!os::lookUpOpen(file, opened)) abandon(os::lastError());
  if (opened.kind != Kind::kRegular) {
    os::closeFile(file);
    throwNotAFile(FileError::Kind::kWrite, name, opened);
  }
  // Nothing could bring the old content back once a byte has changed, so a
  // full disk has to fail here.
  if (!calls.reserve(file, bytes.size())) abandon(os::lastError());
  if (!os::seekToStart(file) || !calls.write(file, bytes.data(), bytes.size()) ||
      !os::cutAt(file, bytes.size())) {
    abandon(os::lastError());
  }
  if (!calls.flush(file)) abandon(os::lastError());
  if (!os::closeFile(file)) throwError(FileError::Kind::kWrite, name, os::lastError());
}

// Where a save of `name` writes, and what it replaces there.
struct SaveTarget {
  std::string name;
  bool replacing = false;
  Facts old;  // the file replaced
};

// Follows the links at the name, as `link` says, to the file a save
// replaces; only a regular file the user may write is replaced.
SaveTarget targetOf(const std::string& name, LinkAtName link) {
  const auto fail = [&](ErrorCode code) { throwError(FileError::Kind::kWrite, name, code); };
  SaveTarget target;
  target.name = name;
  if (link == LinkAtName::kFollow) {
    ErrorCode code = 0;
    target.name = os::followLinks(name, code);
    if (target.name.empty()) fail(code);
    if (os::lookUp(target.name, target.old)) {
      target.replacing = true;
    } else if (!os::isMissing(os::lastError())) {
      fail(os::lastError());
    }
  }
  if (target.replacing) {
    if (target.old.kind != Kind::kRegular) throwNotAFile(FileError::Kind::kWrite, name, target.old);
    // A file the user may not write is not replaced behind their back, even
    // where the folder would allow it.
    if (!os::mayWrite(target.name)) fail(os::lastError());
  }
  return target;
}

// The usual save: a temporary file of its own, renamed over the target.
void replaceThroughTemporary(SaveCalls& calls, const std::string& name, const SaveTarget& target,
                             std::string_view bytes) {
  const auto fail = [&](ErrorCode code) { throwError(FileError::Kind::kWrite, name, code); };
  std::string temp;
  SaveCalls::File file = SaveCalls::kNoFile;
  for (int attempt = 1; file == SaveCalls::kNoFile; ++attempt) {
    temp = target.name + kTemporaryInfix + calls.temporarySuffix() + kTemporaryEnd;
    file = calls.createNew(temp, target.replacing);
    if (file == SaveCalls::kNoFile && (os::lastError() != os::kFileExists || attempt == 100)) {
      fail(os::lastError());
    }
  }

  // From here on the temporary file exists and must not outlive a failure.
  const auto abandon = [&](ErrorCode code) {
    if (file != os::kNoFile) os::closeFile(file);
    os::removeFile(temp);
    fail(code);
  };
  if (target.replacing && !os::matchPermissions(file, target.old)) abandon(os::lastError());
  if (!calls.write(file, bytes.data(), bytes.size())) abandon(os::lastError());
  if (!calls.flush(file)) abandon(os::lastError());
  if (os::kCloseBeforeRename) {
    const bool closed = os::closeFile(file);
    file = os::kNoFile;
    if (!closed) abandon(os::lastError());
  }
  if (!calls.rename(temp, target.name)) abandon(os::lastError());
  if (file != os::kNoFile) os::closeFile(file);
  os::syncFolderOf(target.name);
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
  return os::lookUp(name, facts);
}

namespace {

// Opens the file as readFile describes: a regular file only, looked at
// before it is opened and again once it is; `whole`: not beyond
// kMaxFileBytes. `facts` are the open file's.
os::File openToRead(const std::string& name, bool whole, Facts& facts) {
  // Looked at before it is opened: opening a device can have effects of its
  // own, and a FIFO would wait for a writer.
  if (!os::lookUp(name, facts)) throwError(FileError::Kind::kRead, name, os::lastError());
  if (facts.kind != Kind::kRegular) throwNotAFile(FileError::Kind::kRead, name, facts);
  if (whole && facts.size > kMaxFileBytes) throwTooBig(name);

  const os::File file = os::openForReading(name);
  if (file == os::kNoFile) throwError(FileError::Kind::kRead, name, os::lastError());
  // What was opened is what counts: the name may have changed hands since.
  if (!os::lookUpOpen(file, facts)) {
    const ErrorCode code = os::lastError();
    os::closeFile(file);
    throwError(FileError::Kind::kRead, name, code);
  }
  if (facts.kind != Kind::kRegular) {
    os::closeFile(file);
    throwNotAFile(FileError::Kind::kRead, name, facts);
  }
  return file;
}

// Tells `sized` the size the system gives for the file, then hands its bytes
// to `piece` in order.
void readInPieces(const std::string& name, std::size_t maxBytes,
                  const std::function<void(std::uint64_t)>& sized,
                  const std::function<void(std::string_view)>& piece) {
  const bool whole = maxBytes > kMaxFileBytes;
  Facts facts;
  const os::File file = openToRead(name, whole, facts);
  // One byte more than allowed tells a file that has grown past the limit.
  const std::size_t limit = whole ? kMaxFileBytes + 1 : maxBytes;
  std::size_t total = 0;
  try {
    sized(facts.size);
    std::vector<char> buffer(std::size_t{1} << 20);
    while (total < limit) {
      const long long got =
          os::readSome(file, buffer.data(), std::min(buffer.size(), limit - total));
      if (got < 0) throwError(FileError::Kind::kRead, name, os::lastError());
      if (got == 0) break;
      total += static_cast<std::size_t>(got);
      if (whole && total > kMaxFileBytes) throwTooBig(name);
      piece(std::string_view(buffer.data(), static_cast<std::size_t>(got)));
    }
  } catch (...) {
    os::closeFile(file);
    throw;
  }
  os::closeFile(file);
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

void writeFileAtomically(SaveCalls& calls, const std::string& name, std::string_view bytes,
                         LinkAtName link) {
  const SaveTarget target = targetOf(name, link);
  if (target.replacing && target.old.links > 1) {
    rewriteInPlace(calls, name, target.name, bytes);
  } else {
    replaceThroughTemporary(calls, name, target, bytes);
  }
}

void removeStaleTemporaries(const std::string& name) {
  ErrorCode ignored = 0;
  const std::string target = os::followLinks(name, ignored);
  if (target.empty()) return;
  const auto [folder, base] = splitFolder(target);
  for (const std::string& entry : os::namesIn(folder, base + kTemporaryInfix)) {
    if (isTemporaryOf(entry, base)) os::removeIfStale(folder + entry);
  }
}

FolderLock::FolderLock(const std::vector<std::string>& fileNames) {
  std::vector<std::string> folders;
  for (const std::string& name : fileNames) {
    ErrorCode ignored = 0;
    std::string target = os::followLinks(name, ignored);
    if (target.empty()) target = name;
    const std::string folder = os::absoluteFolder(splitFolder(target).first + ".");
    if (std::find(folders.begin(), folders.end(), folder) == folders.end()) {
      folders.push_back(folder);
    }
  }
  for (const std::string& folder : folders) {
    bool busy = false;
    const os::Lock lock = os::lockFolder(folder, busy);
    if (busy) {
      busyFolder_ = folder;
      release();
      return;
    }
    if (lock != os::kNoLock) held_.push_back(lock);
  }
}

FolderLock::~FolderLock() {
  release();
}

void FolderLock::release() {
  for (const os::Lock lock : held_) os::unlockFolder(lock);
  held_.clear();
}

SaveCalls& systemSaveCalls() {
  static SystemSaveCalls calls;
  return calls;
}

}  // namespace storage
