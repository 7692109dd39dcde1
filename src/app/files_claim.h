// Start-up's hold on the program's two files: one running instance per
// folder, and the leftovers of a save that a crash cut short cleared away.
#pragma once

#include <string>

#include "storage/file_io.h"

namespace app {

class FilesClaim {
 public:
  // Locks the folders of the two files for as long as this object lives and,
  // once they are this instance's, removes the temporary files that earlier
  // saves left behind. Nothing else is read or written.
  FilesClaim(const std::string& tableFile, const std::string& settingsFile);

  // Empty when this instance may go on; otherwise the message to show before
  // it ends, having touched nothing.
  const std::string& refusal() const { return refusal_; }

 private:
  storage::FolderLock lock_;
  std::string refusal_;
};

}  // namespace app
