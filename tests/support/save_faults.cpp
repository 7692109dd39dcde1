#include "support/save_faults.h"

#include <utility>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cerrno>
#endif

namespace testing_support {

namespace {

// Fails as the system does when the disk is full.
void diskFull() {
#ifdef _WIN32
  SetLastError(ERROR_DISK_FULL);
#else
  errno = ENOSPC;
#endif
}

}  // namespace

void SaveFaults::failNextWriteAt(WriteStep step) {
  armed_.store(static_cast<int>(step));
}

void SaveFaults::useTemporarySuffixesNext(std::vector<std::string> suffixes) {
  const std::lock_guard<std::mutex> lock(mutex_);
  planned_ = std::move(suffixes);
}

SaveFaults::File SaveFaults::createNew(const std::string& name, bool privately) {
  if (fails(WriteStep::kCreate)) return kNoFile;
  return system_.createNew(name, privately);
}

SaveFaults::File SaveFaults::openToRewrite(const std::string& name) {
  if (fails(WriteStep::kCreate)) return kNoFile;
  return system_.openToRewrite(name);
}

// A rewrite in place reserves its space first: there the full disk shows.
bool SaveFaults::reserve(File file, std::size_t size) {
  if (fails(WriteStep::kWrite)) return false;
  return system_.reserve(file, size);
}

bool SaveFaults::write(File file, const char* data, std::size_t size) {
  if (!isArmed(WriteStep::kWrite)) return system_.write(file, data, size);
  // A full disk typically takes part of the data first.
  system_.write(file, data, size / 2);
  return !fails(WriteStep::kWrite);
}

bool SaveFaults::flush(File file) {
  if (fails(WriteStep::kFlush)) return false;
  return system_.flush(file);
}

bool SaveFaults::rename(const std::string& from, const std::string& to) {
  if (fails(WriteStep::kRename)) return false;
  return system_.rename(from, to);
}

std::string SaveFaults::temporarySuffix() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!planned_.empty()) {
      std::string suffix = std::move(planned_.front());
      planned_.erase(planned_.begin());
      return suffix;
    }
  }
  return system_.temporarySuffix();
}

bool SaveFaults::fails(WriteStep step) {
  int expected = static_cast<int>(step);
  if (!armed_.compare_exchange_strong(expected, kNone)) return false;
  diskFull();
  return true;
}

}  // namespace testing_support
