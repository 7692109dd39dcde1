// A disk that fails on demand, for the saves given it in place of the
// system's own calls: a save that fails at a chosen step as a full disk makes
// it fail, and temporary names chosen in advance. Until told otherwise it is
// the system's own calls.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "storage/file_io.h"

namespace testing_support {

// The steps of a save, in order.
enum class WriteStep {
  kCreate,  // the temporary file made, or the file opened to be rewritten in place
  kWrite,   // its bytes written (a full disk takes part of them first)
  kFlush,   // the bytes on the disk
  kRename,  // the temporary file put in the file's place
};

class SaveFaults final : public storage::SaveCalls {
 public:
  // The next save that gets as far as `step` fails there, as if the disk were
  // full; it leaves nothing behind but what a real full disk would.
  void failNextWriteAt(WriteStep step);

  // The random parts (12 hexadecimal digits) of the next temporary names,
  // taken in order before random ones, to plant something at one.
  void useTemporarySuffixesNext(std::vector<std::string> suffixes);

  File createNew(const std::string& name, bool privately) override;
  File openToRewrite(const std::string& name) override;
  bool reserve(File file, std::size_t size) override;
  bool write(File file, const char* data, std::size_t size) override;
  bool flush(File file) override;
  bool rename(const std::string& from, const std::string& to) override;
  std::string temporarySuffix() override;

 private:
  static constexpr int kNone = -1;

  bool isArmed(WriteStep step) const { return armed_.load() == static_cast<int>(step); }
  // True, with the disk's error set, when `step` is the one to fail; the fault
  // is then spent.
  bool fails(WriteStep step);

  storage::SaveCalls& system_ = storage::systemSaveCalls();
  std::atomic<int> armed_{kNone};
  std::mutex mutex_;
  std::vector<std::string> planned_;
};

}  // namespace testing_support
