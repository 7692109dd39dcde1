#include "program/error_path.h"

#include <algorithm>

namespace program {

void ErrorPath::pass(const std::string& message, bool tick) {
  // The first entry is the box on the screen; the others wait behind it.
  if (unseen_.size() > 1) {
    const auto same = std::find_if(unseen_.begin() + 1, unseen_.end(),
                                   [&](const Entry& e) { return e.text == message; });
    if (same != unseen_.end()) {
      // It will say it for this one too.
      same->tick = same->tick || tick;
      return;
    }
  }
  unseen_.push_back(Entry{message, tick});
  display_.showError(message);
}

void ErrorPath::showError(const std::string& message) {
  pass(message, false);
}

void ErrorPath::tickFailed(const std::string& message) {
  if (tickReported_) return;
  pass(message, true);
  tickReported_ = true;
}

void ErrorPath::closed() {
  if (unseen_.empty()) return;
  const bool tick = unseen_.front().tick;
  unseen_.pop_front();
  // Closed while the run goes on failing: the next failing tick says so again.
  if (tick) tickReported_ = false;
}

}  // namespace program
