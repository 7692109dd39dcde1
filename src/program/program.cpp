#include "program/program.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <utility>

#include "comport/list_serial_ports.h"
#include "storage/file_io.h"
#include "storage/table_file.h"

namespace program {

Program::Program(sys::Backends backends, comport::SyncInvoker* invoker, ErrorSink& errors,
                 std::string tableFile, std::string settingsFile)
    : sequencer_(backends, invoker),
      matching_(sequencer_.ChannelEnabled()),
      errorPath_(errors),
      tableFile_(std::move(tableFile)),
      settingsFile_(std::move(settingsFile)) {
  sequencer_.setStateLabels(&stateLabels_);
  auto& port = sequencer_.SerialPort1();
  port.OnRLSDChange = [this](comport::TSerialPort& s, bool on) { SerialPort1RLSDChange(s, on); };
  port.OnCTSChange = [this](comport::TSerialPort& s, bool on) { SerialPort1CTSChange(s, on); };
  port.OnDSRChange = [this](comport::TSerialPort& s, bool on) { SerialPort1DSRChange(s, on); };
}

void Program::FormCreate() {
  // Every step runs even when one before it failed: a start-up that stopped
  // half-way would leave the table unloaded or the channels disabled, and the
  // save at exit would then write that over the stored table.
  auto step = [this](auto&& f) {
    try {
      f();
    } catch (const std::exception& e) {
      errorPath_.showError(e.what());
    }
  };
  std::vector<std::string> ports;
  step([&] { comport::ListSerialPorts(sequencer_.SerialPort1().backends(), ports); });
  ports.push_back(sys::kVirtualPort);
  sequencer_.setComboItems(ports);
  sequencer_.setComboText(ports.front());
  sequencer_.resetRun();
  step([&] {
    tableLoadFailed_ = true;
    sequencer_.loadTable([&](auto& lines, auto& cells, auto& interval) {
      return storage::LoadTable(tableFile_, lines, cells, interval).columns;
    });
    tableLoadFailed_ = false;
  });
  std::array<std::int32_t, table::kChannels> enabled;
  enabled.fill(1);
  sequencer_.setChannelEnabled(enabled);
}

void Program::loadMatching() {
  try {
    matching_.Zagr(settingsFile_);
  } catch (const std::exception& e) {
    errorPath_.showError(e.what());
  }
}

void Program::startOutputThread(std::function<void()> wake) {
  output_ = std::make_unique<sequencer::OutputThread>(sequencer_.SerialPort1(), std::move(wake));
}

void Program::deliverFrames() {
  if (output_) output_->deliver();
}

// ---------------------------------------------------------------- run control

template <typename Handler>
void Program::guarded(Handler&& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    errorPath_.showError(e.what());
  }
}

void Program::Posilka() {
  if (closing_) return;
  if (!output_) {
    try {
      sequencer_.stepTick();
      tickDone(std::nullopt);
    } catch (const std::exception& e) {
      tickDone(std::string(e.what()));
    }
    return;
  }
  if (output_->busy()) {
    tickDue_ = true;
    return;
  }
  const std::optional<sequencer::TickPlan> plan = sequencer_.beginTick();
  if (!plan) return;
  output_->send(sequencer_.outgoing(plan->frame), [this, plan = *plan](const auto& result) {
    sequencer_.sent(result);
    sequencer_.finishTick(plan, result);
    tickDone(result.error);
    if (std::exchange(runChangePending_, false)) errorPath_.runChanged();
    if (std::exchange(tickDue_, false) && !closing_ && sequencer_.timer1Enabled()) Posilka();
  });
}

void Program::runChanged() {
  // A frame on its way still belongs to the run before the click: its failure
  // is that run's.
  if (sending()) {
    runChangePending_ = true;
  } else {
    errorPath_.runChanged();
  }
}

void Program::tickDone(const std::optional<std::string>& error) {
  if (error) {
    errorPath_.tickFailed(*error);
  } else {
    errorPath_.tickSucceeded();
  }
}

bool Program::clickNow(void (Program::*click)()) {
  if (closing_) return false;
  if (stopping_) {
    afterStop_.push_back([this, click] { (this->*click)(); });
    return false;
  }
  runChanged();
  return true;
}

void Program::BitBtn1Click() {
  if (!clickNow(&Program::BitBtn1Click)) return;
  guarded([this] { sequencer_.startOrPause(); });
}

void Program::BitBtn2Click() {
  if (!clickNow(&Program::BitBtn2Click)) return;
  if (!output_) {
    guarded([this] { sequencer_.stop(); });
    return;
  }
  // What the stop shows changes now; the rest follows its all-off frame,
  // which goes out after the frame on its way.
  if (!sequencer_.beginStop()) {
    stopDone(sequencer_.finishStop(std::nullopt));
    return;
  }
  stopping_ = true;
  output_->send(sequencer_.outgoing(sequencer::Frame::allOff()), [this](const auto& result) {
    sequencer_.sent(result);
    stopping_ = false;
    stopDone(sequencer_.finishStop(result));
  });
}

void Program::stopDone(const std::optional<std::string>& message) {
  if (std::exchange(runChangePending_, false)) errorPath_.runChanged();
  if (message) errorPath_.showError(*message);
  // The clicks that came while the stop was on its way, in their order.
  for (auto& click : std::exchange(afterStop_, {})) {
    if (!closing_) click();
  }
}

// ---------------------------------------------------------------- housekeeping, table

void Program::Narahiv() {
  guarded([this] { sequencer_.housekeepingTick(); });
}

void Program::StringGrid1Click() {
  guarded([this] { sequencer_.gridClick(); });
}

bool Program::StringGrid1KeyPress(char key) {
  bool moved = false;
  guarded([&] { moved = sequencer_.gridKeyPress(key); });
  return moved;
}

// ---------------------------------------------------------------- files

void Program::saveTable() {
  // A table that could not be loaded must not be written over the file that
  // still holds it; the table as edited since goes beside it, and the user is
  // told where both are.
  if (tableLoadFailed_ && storage::fileExists(tableFile_)) {
    sequencer_.saveTable([this](auto&, const auto& cells, int columns, const auto& interval) {
      const std::string beside = storage::SaveBeside(tableFile_, cells, columns, interval);
      // The exit button and the close both save: one message is enough.
      if (std::exchange(savedBeside_, beside) == beside) return;
      errorPath_.showError("Таблица не была загружена из файла \"" + tableFile_ +
                           "\", поэтому он оставлен без изменений. Таблица, какой она была при "
                           "выходе, сохранена в файл \"" +
                           beside + "\".");
    });
    return;
  }
  sequencer_.saveTable([this](auto& lines, const auto& cells, int columns, const auto& interval) {
    storage::Sohr(tableFile_, lines, cells, columns, interval);
  });
}

void Program::saveSettings() {
  matching_.Sohr(settingsFile_);
}

template <typename Step>
bool Program::closeStep(Step&& step) {
  try {
    step();
    return true;
  } catch (const std::exception& e) {
    const std::string message = e.what();
    if (std::find(exitErrors_.begin(), exitErrors_.end(), message) == exitErrors_.end()) {
      exitErrors_.push_back(message);
      errorPath_.showError(message);
    }
    return false;
  }
}

void Program::releasePort(bool answered) {
  // A port that no longer answers must not keep the program from ending:
  // report the failure, then let the handle go anyway. One that has just
  // failed the all-off frame is not asked again: the user has been told, and
  // a second message about the same pulled plug would say nothing new.
  if (answered) closeStep([&] { sequencer_.SerialPort1().ClosePort(); });
  sequencer_.SerialPort1().releasePort();
}

void Program::beginClose() {
  closing_ = true;
  tickDue_ = false;
  afterStop_.clear();
  if (output_) output_->finish();
}

void Program::BitBtn6Click() {
  beginClose();
  bool answered = true;
  if (sequencer_.SerialPort1().IsOpen())
    answered = closeStep([&] { sequencer_.sendAllOffFrame(); });
  closeStep([&] { saveTable(); });
  releasePort(answered);
}

void Program::FormClose() {
  beginClose();
  bool answered = true;
  if (sequencer_.SerialPort1().IsOpen())
    answered = closeStep([&] { sequencer_.sendAllOffFrame(); });
  closeStep([&] { saveTable(); });
  closeStep([&] { saveSettings(); });
  releasePort(answered);
}

void Program::applyInput(int input, bool active) {
  if (active) {
    auto enabled = sequencer_.ChannelEnabled();
    inputs::applyInput(input, matching_.boxes(), enabled);
    sequencer_.setChannelEnabled(enabled);
  }
  matching_.indikator();
}

void Program::SerialPort1RLSDChange(comport::TSerialPort&, bool state) {
  applyInput(1, state);
}
void Program::SerialPort1CTSChange(comport::TSerialPort&, bool state) {
  applyInput(2, state);
}
void Program::SerialPort1DSRChange(comport::TSerialPort&, bool state) {
  applyInput(3, state);
}
void Program::BitBtn7Click() {
  guarded([this] { applyInput(1, true); });
}
void Program::BitBtn8Click() {
  guarded([this] { applyInput(2, true); });
}
void Program::BitBtn9Click() {
  guarded([this] { applyInput(3, true); });
}

}  // namespace program
