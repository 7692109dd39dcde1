#include "inputs/matching.h"

namespace inputs {

void applyInput(int input, const MatchingIndices& boxes,
                std::array<std::int32_t, table::kChannels>& enabled) {
  for (int k = 1; k <= kOutputs; ++k) {
    const std::int32_t on = boxes[2 * k - 2];
    const std::int32_t off = boxes[2 * k - 1];
    std::int32_t& flag = enabled[k - 1];
    // The switch-on test comes first, so an output whose two boxes name the
    // same input changes state at every activation.
    if (on == input && flag == 0) {
      flag = 1;
    } else if (off == input && flag == 1) {
      flag = 0;
    }
  }
}

Matching::Matching(const std::array<std::int32_t, table::kChannels>& channelEnabled)
    : channelEnabled_(channelEnabled) {
  // As designed: alternating until the first real paint.
  for (int k = 1; k <= kOutputs; ++k) {
    labels_[k - 1] =
        k % 2 == 1 ? StateLabel{kActive, table::clFuchsia} : StateLabel{kPassive, table::clAqua};
  }
}

void Matching::setBox(int box, std::int32_t index) {
  if (boxes_[box - 1] == index) return;
  boxes_[box - 1] = index;
  if (observer_) observer_->boxesChanged();
}

void Matching::setBoxes(const MatchingIndices& boxes) {
  boxes_ = boxes;
  if (observer_) observer_->boxesChanged();
}

void Matching::setLabel(int output, const char* text, table::Rgb color) {
  StateLabel& label = labels_[output - 1];
  if (label.text == text && label.color == color) return;
  label = {text, color};
  if (observer_) observer_->labelChanged(output);
}

void Matching::indikator() {
  for (int k = 1; k <= kOutputs; ++k) {
    if (channelEnabled_[k - 1] == 1) {
      setLabel(k, kActive, table::clFuchsia);
    } else {
      setLabel(k, kPassive, table::clAqua);
    }
  }
}

void Matching::showNoLink() {
  for (int k = 1; k <= kOutputs; ++k) setLabel(k, kNoLink, table::clGray);
}

void Matching::Zagr(const std::string& fileName) {
  if (auto loaded = loadSettings(fileName)) setBoxes(*loaded);
}

void Matching::Sohr(storage::SaveCalls& saves, const std::string& fileName) const {
  saveSettings(saves, fileName, boxes_);
}

}  // namespace inputs
