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
                 std::string tableFile, std::string settingsFile, storage::SaveCalls& saves)
    : player_(backends, invoker, table_, form_),
      matching_(player_.ChannelEnabled()),
      errorPath_(errors),
      tableFile_(std::move(tableFile)),
      settingsFile_(std::move(settingsFile)),
      saves_(saves) {
  player_.setStateLabels(&stateLabels_);
  auto& port = player_.SerialPort1();
  port.OnRLSDChange = [this](comport::TSerialPort& s, bool on) { SerialPort1RLSDChange(s, on); };
  port.OnCTSChange = [this](comport::TSerialPort& s, bool on) { SerialPort1CTSChange(s, on); };
  port.OnDSRChange = [this](comport::TSerialPort& s, bool on) { SerialPort1DSRChange(s, on); };
}

void Program::setObserver(sequencer::Observer* observer) {
  table_.setObserver(observer);
  form_.setObserver(observer);
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
  step([&] { comport::ListSerialPorts(player_.SerialPort1().backends(), ports); });
  ports.push_back(sys::kVirtualPort);
  form_.setComboItems(ports);
  form_.setComboText(ports.front());
  player_.resetRun();
  step([&] {
    tableLoadFailed_ = true;
    std::string interval = form_.edit1Text();
    table_.load([&](auto& lines, auto& cells) {
      return storage::LoadTable(saves_, tableFile_, lines, cells, interval).columns;
    });
    form_.setEdit1Text(interval);
    tableLoadFailed_ = false;
  });
  std::array<std::int32_t, table::kChannels> enabled;
  enabled.fill(1);
  player_.setChannelEnabled(enabled);
}

void Program::loadMatching() {
  try {
    matching_.Zagr(settingsFile_);
  } catch (const std::exception& e) {
    errorPath_.showError(e.what());
  }
}

void Program::startOutputThread(std::function<void()> wake) {
  player_.sendOnThread(std::move(wake));
}

void Program::deliverFrames() {
  player_.sender().deliver();
}

void Program::endOutputThread() {
  player_.sendAtOnce();
}

bool Program::sending() {
  return player_.sender().busy();
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
  if (run_ == Run::Closing) return;
  if (sending()) {
    tickDue_ = true;
    return;
  }
  player_.stepTick([this](const std::optional<std::string>& error) {
    tickDone(error);
    if (std::exchange(runChangePending_, false)) errorPath_.runChanged();
    if (std::exchange(tickDue_, false) && run_ != Run::Closing && form_.timer1Enabled()) Posilka();
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
  if (run_ == Run::Closing) return false;
  if (run_ == Run::Stopping) {
    afterStop_.push_back([this, click] { (this->*click)(); });
    return false;
  }
  runChanged();
  return true;
}

void Program::BitBtn1Click() {
  if (!clickNow(&Program::BitBtn1Click)) return;
  guarded([this] { player_.startOrPause(); });
}

void Program::BitBtn2Click() {
  if (!clickNow(&Program::BitBtn2Click)) return;
  // What the stop shows changes now; the rest follows its all-off frame,
  // which goes out after the frame on its way.
  run_ = Run::Stopping;
  guarded([this] {
    player_.stop([this](const std::optional<std::string>& message) {
      if (run_ == Run::Stopping) run_ = Run::Ready;
      stopDone(message);
    });
  });
  // A stop that failed before its frame was handed over has nothing to wait for.
  if (run_ == Run::Stopping && !sending()) run_ = Run::Ready;
}

void Program::stopDone(const std::optional<std::string>& message) {
  if (std::exchange(runChangePending_, false)) errorPath_.runChanged();
  if (message) errorPath_.showError(*message);
  // The clicks that came while the stop was on its way, in their order.
  for (auto& click : std::exchange(afterStop_, {})) {
    if (run_ != Run::Closing) click();
  }
}

// ---------------------------------------------------------------- housekeeping, table

void Program::Narahiv() {
  guarded([this] { player_.housekeepingTick(); });
}

void Program::StringGrid1Click() {
  guarded([this] {
    form_.setStatus(0, sequencer::text::kPosition + std::to_string(table_.currentCol() + 1));
    table_.toggleCurrentCell();
  });
}

bool Program::StringGrid1KeyPress(char key) {
  // Enter moves one step right and toggles there.
  if (key != '\r' || table_.currentCol() >= table_.colCount() - 1) return false;
  table_.setCurrentCell(table_.currentCol() + 1, table_.currentRow());
  StringGrid1Click();
  return true;
}

void Program::clearTable() {
  table_.clearChannels(player_.LastColumn());
  player_.rewind();
}

// ---------------------------------------------------------------- files

void Program::saveTable() {
  // A table that could not be loaded must not be written over the file that
  // still holds it; the table as edited since goes beside it, and the user is
  // told where both are.
  if (tableLoadFailed_ && storage::fileExists(tableFile_)) {
    table_.save([this](auto&, const auto& cells, int columns) {
      const std::string beside =
          storage::SaveBeside(saves_, tableFile_, cells, columns, form_.edit1Text());
      // The exit button and the close both save: one message is enough.
      if (std::exchange(savedBeside_, beside) == beside) return;
      errorPath_.showError("Таблица не была загружена из файла \"" + tableFile_ +
                           "\", поэтому он оставлен без изменений. Таблица, какой она была при "
                           "выходе, сохранена в файл \"" +
                           beside + "\".");
    });
    return;
  }
  table_.save([this](auto& lines, const auto& cells, int columns) {
    storage::Sohr(saves_, tableFile_, lines, cells, columns, form_.edit1Text());
  });
}

void Program::saveSettings() {
  matching_.Sohr(saves_, settingsFile_);
}

void Program::exitError(const std::string& message) {
  if (std::find(exitErrors_.begin(), exitErrors_.end(), message) != exitErrors_.end()) return;
  exitErrors_.push_back(message);
  errorPath_.showError(message);
}

template <typename Step>
void Program::closeStep(Step&& step) {
  try {
    step();
  } catch (const std::exception& e) {
    exitError(e.what());
  }
}

void Program::closeSequence(bool saveSettingsToo) {
  // From here on no tick and no click runs; the frames on their way go out
  // first, then the all-off frame.
  run_ = Run::Closing;
  tickDue_ = false;
  afterStop_.clear();
  player_.sender().finish();
  auto& port = player_.SerialPort1();
  // A port that no longer answers must not keep the program from ending:
  // report the failure, then let the handle go anyway. One that has just
  // failed the all-off frame is not asked again: the user has been told, and
  // a second message about the same pulled plug would say nothing new.
  bool answered = true;
  if (port.IsOpen()) {
    player_.sendAllOff([&](const std::optional<std::string>& error) {
      if (!error) return;
      answered = false;
      exitError(*error);
    });
    player_.sender().finish();
  }
  closeStep([&] { saveTable(); });
  if (saveSettingsToo) closeStep([&] { saveSettings(); });
  if (answered) closeStep([&] { port.ClosePort(); });
  port.releasePort();
}

void Program::BitBtn6Click() {
  // The window's close follows, and saves the settings.
  closeSequence(false);
}

void Program::FormClose() {
  closeSequence(true);
}

void Program::applyInput(int input, bool active) {
  if (active) {
    auto enabled = player_.ChannelEnabled();
    inputs::applyInput(input, matching_.boxes(), enabled);
    player_.setChannelEnabled(enabled);
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
