#include "app/files_claim.h"

namespace app {

FilesClaim::FilesClaim(const std::string& tableFile, const std::string& settingsFile)
    : lock_({tableFile, settingsFile}) {
  if (!lock_.busyFolder().empty()) {
    // Two instances on one folder would each save over the other's edits.
    refusal_ = "Программа уже запущена с файлами папки \"" + lock_.busyFolder() +
               "\". Второй экземпляр закрывается, файлы не изменены.";
    return;
  }
  storage::removeStaleTemporaries(tableFile);
  storage::removeStaleTemporaries(settingsFile);
}

}  // namespace app
