// The tests' way round a sequencer's own rules: a table and run state put in
// place directly, without the edits, ticks and notices that would make them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "sequencer/sequencer.h"

namespace sequencer {

struct SequencerTestAccess {
  // The cells as the file loader fills them: no history, no notice.
  static table::CellStore& cells(Sequencer& s) { return s.cells_; }
  static void setColCount(Sequencer& s, int count) { s.colCount_ = count; }
  static void setStepColumn(Sequencer& s, int col) { s.stepColumn_ = col; }
  static void setLastColumn(Sequencer& s, int col) { s.lastColumn_ = col; }
  static void setComboEnabled(Sequencer& s, bool enabled) { s.comboEnabled_ = enabled; }
  static void setIndicators(Sequencer& s, bool on) { s.indicatorOn_.fill(on); }
};

}  // namespace sequencer

namespace testing_support {

inline table::CellStore& tableCells(sequencer::Sequencer& s) {
  return sequencer::SequencerTestAccess::cells(s);
}
inline void setColCount(sequencer::Sequencer& s, int count) {
  sequencer::SequencerTestAccess::setColCount(s, count);
}
inline void setStepColumn(sequencer::Sequencer& s, int col) {
  sequencer::SequencerTestAccess::setStepColumn(s, col);
}
inline void setLastColumn(sequencer::Sequencer& s, int col) {
  sequencer::SequencerTestAccess::setLastColumn(s, col);
}
inline void setComboEnabled(sequencer::Sequencer& s, bool enabled) {
  sequencer::SequencerTestAccess::setComboEnabled(s, enabled);
}
inline void setIndicators(sequencer::Sequencer& s, bool on) {
  sequencer::SequencerTestAccess::setIndicators(s, on);
}

// Through the public setter: channel k's flag (1 follows the table, 0 held
// off), or every channel's.
inline void setChannelEnabled(sequencer::Sequencer& s, int channel, std::int32_t flag) {
  auto flags = s.ChannelEnabled();
  flags[static_cast<std::size_t>(channel - 1)] = flag;
  s.setChannelEnabled(flags);
}
inline void enableAllChannels(sequencer::Sequencer& s) {
  std::array<std::int32_t, table::kChannels> flags;
  flags.fill(1);
  s.setChannelEnabled(flags);
}

// A step tick's failure message as the program would show it, or nothing
// when the tick went through.
inline std::optional<std::string> stepTickMessage(sequencer::Sequencer& s) {
  try {
    s.stepTick();
    return std::nullopt;
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

}  // namespace testing_support
