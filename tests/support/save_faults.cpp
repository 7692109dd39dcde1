#include "support/save_faults.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "storage/file_io.h"

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

using storage::SaveCalls;

// Fails as the system does when the disk is full.
void diskFull() {
#ifdef _WIN32
  SetLastError(ERROR_DISK_FULL);
#else
  errno = ENOSPC;
#endif
}

class FaultySaveCalls final : public SaveCalls {
 public:
  explicit FaultySaveCalls(SaveCalls& system) : system_(system) {}

  void failAt(WriteStep step) { armed_.store(static_cast<int>(step)); }
  void planSuffixes(std::vector<std::string> suffixes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    planned_ = std::move(suffixes);
  }

  File createNew(const std::string& name, bool privately) override {
    if (fails(WriteStep::kCreate)) return kNoFile;
    return system_.createNew(name, privately);
  }
  File openToRewrite(const std::string& name) override {
    if (fails(WriteStep::kCreate)) return kNoFile;
    return system_.openToRewrite(name);
  }
  // A rewrite in place reserves its space first: there the full disk shows.
  bool reserve(File file, std::size_t size) override {
    if (fails(WriteStep::kWrite)) return false;
    return system_.reserve(file, size);
  }
  bool write(File file, const char* data, std::size_t size) override {
    if (!isArmed(WriteStep::kWrite)) return system_.write(file, data, size);
    // A full disk typically takes part of the data first.
    system_.write(file, data, size / 2);
    return !fails(WriteStep::kWrite);
  }
  bool flush(File file) override {
    if (fails(WriteStep::kFlush)) return false;
    return system_.flush(file);
  }
  bool rename(const std::string& from, const std::string& to) override {
    if (fails(WriteStep::kRename)) return false;
    return system_.rename(from, to);
  }
  std::string temporarySuffix() override {
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

 private:
  static constexpr int kNone = -1;

  bool isArmed(WriteStep step) const { return armed_.load() == static_cast<int>(step); }
  // True, with the disk's error set, when `step` is the one to fail; the fault
  // is then spent.
  bool fails(WriteStep step) {
    int expected = static_cast<int>(step);
    if (!armed_.compare_exchange_strong(expected, kNone)) return false;
    diskFull();
    return true;
  }

  SaveCalls& system_;
  std::atomic<int> armed_{kNone};
  std::mutex mutex_;
  std::vector<std::string> planned_;
};

// In front of the system's calls from the first use to the end of the
// process.
FaultySaveCalls& faults() {
  struct Installed {
    Installed() { storage::useSaveCalls(&calls); }
    ~Installed() { storage::useSaveCalls(nullptr); }
    FaultySaveCalls calls{storage::systemSaveCalls()};
  };
  static Installed installed;
  return installed.calls;
}

}  // namespace

void failNextWriteAt(WriteStep step) {
  faults().failAt(step);
}

void useTemporarySuffixesNext(std::vector<std::string> suffixes) {
  faults().planSuffixes(std::move(suffixes));
}

}  // namespace testing_support
