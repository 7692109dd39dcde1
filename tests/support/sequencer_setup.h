// A table, run state and form state put in place for a test through their
// own interfaces: cells as the table file puts them in (no edit, no undo
// step), channel flags; and the frames' handlers run to their end, a
// failure thrown as the program would show it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

#include "comport/serial_port.h"
#include "sequencer/main_form_state.h"
#include "sequencer/player.h"
#include "sequencer/sequence_table.h"

namespace testing_support {

// Cells filled the way the table file fills them; no steps are counted as
// loaded.
template <typename Fill>
void putCells(sequencer::SequenceTable& table, Fill&& fill) {
  table.load([&](storage::KeptLines&, table::CellStore& cells) {
    fill(cells);
    return 0;
  });
}
inline void putCell(sequencer::SequenceTable& table, int col, int row, const std::string& text) {
  putCells(table, [&](table::CellStore& cells) { cells.setText(col, row, text); });
}

inline void setIndicators(sequencer::MainFormState& form, bool on) {
  for (int k = 1; k <= table::kChannels; ++k) form.setIndicator(k, on);
}

// Channel k's flag (1 follows the table, 0 held off), or every channel's.
inline void setChannelEnabled(sequencer::Player& player, int channel, std::int32_t flag) {
  auto flags = player.ChannelEnabled();
  flags[static_cast<std::size_t>(channel - 1)] = flag;
  player.setChannelEnabled(flags);
}
inline void enableAllChannels(sequencer::Player& player) {
  std::array<std::int32_t, table::kChannels> flags;
  flags.fill(1);
  player.setChannelEnabled(flags);
}

// A step tick, a stop and the exit's all-off frame with the frame sent at
// once, their message thrown as the port's error.
inline void throwIf(const std::optional<std::string>& message) {
  if (message) throw comport::EComPort(*message);
}
inline void stepTick(sequencer::Player& player) {
  std::optional<std::string> message;
  player.stepTick([&](const auto& m) { message = m; });
  player.sender().finish();
  throwIf(message);
}
inline void stop(sequencer::Player& player) {
  std::optional<std::string> message;
  player.stop([&](const auto& m) { message = m; });
  player.sender().finish();
  throwIf(message);
}
inline void sendAllOff(sequencer::Player& player) {
  std::optional<std::string> message;
  player.sendAllOff([&](const auto& m) { message = m; });
  player.sender().finish();
  throwIf(message);
}

// A step tick's failure message as the program would show it, or nothing
// when the tick went through.
inline std::optional<std::string> stepTickMessage(sequencer::Player& player) {
  try {
    stepTick(player);
    return std::nullopt;
  } catch (const std::exception& e) {
    return std::string(e.what());
  }
}

}  // namespace testing_support
