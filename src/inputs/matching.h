// The matching of inputs to outputs 1 … 8 and the dialog state that holds it:
// sixteen boxes (switch-on and switch-off input of each output) and eight
// output-state labels.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "inputs/settings_file.h"
#include "table/channels.h"
#include "table/colors.h"

namespace inputs {

inline constexpr int kOutputs = 8;
inline constexpr const char* kActive = "активн";
inline constexpr const char* kPassive = "пассив";
inline constexpr const char* kNoLink = "нет св";

// Applies input `input` (1, 2 or 3): for outputs 1 … 8 in order, the
// switch-on box (ComboBox 2k−1) naming the input enables a disabled output,
// otherwise the switch-off box (ComboBox 2k) naming it disables an enabled one.
void applyInput(int input, const MatchingIndices& boxes,
                std::array<std::int32_t, table::kChannels>& enabled);

struct StateLabel {
  std::string text;
  table::Rgb color;
};

class MatchingObserver {
 public:
  virtual ~MatchingObserver() = default;
  virtual void boxesChanged() = 0;
  virtual void labelChanged(int output) = 0;  // 1 … 8
};

// The dialog's state without widgets.
class Matching {
 public:
  explicit Matching(const std::array<std::int32_t, table::kChannels>& channelEnabled);

  void setObserver(MatchingObserver* observer) { observer_ = observer; }

  // ComboBox1 … ComboBox16: index 0 "нет", 1 … 3 "вх1" … "вх3", −1 none.
  const MatchingIndices& boxes() const { return boxes_; }
  void setBox(int box, std::int32_t index);  // box 1 … 16
  void setBoxes(const MatchingIndices& boxes);
  // Label21 … Label28.
  const StateLabel& label(int output) const { return labels_[output - 1]; }

  // Labels from the enabled flags of outputs 1 … 8 ("активн" on fuchsia,
  // "пассив" on aqua), or "нет св" on grey on all of them.
  void indikator();
  void showNoLink();

  // The settings file: load into the boxes (a missing file changes nothing),
  // save from them through `saves`.
  void Zagr(const std::string& fileName);
  void Sohr(storage::SaveCalls& saves, const std::string& fileName) const;

 private:
  void setLabel(int output, const char* text, table::Rgb color);

  const std::array<std::int32_t, table::kChannels>& channelEnabled_;
  MatchingIndices boxes_{};
  std::array<StateLabel, kOutputs> labels_;
  MatchingObserver* observer_ = nullptr;
};

}  // namespace inputs
