#include "program/program.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "comport/list_serial_ports.h"
#include "storage/file_io.h"
#include "storage/table_file.h"

namespace program {

Program::Program(sys::Backends backends, comport::TSyncInvoker* invoker, ErrorSink& errors,
                 std::string tableFile, std::string settingsFile)
    : Form1(backends, invoker),
      Form2(Form1.ChannelEnabled),
      errorPath_(errors),
      tableFile_(std::move(tableFile)),
      settingsFile_(std::move(settingsFile)) {
  Form1.setStateLabels(&stateLabels_);
  auto& port = Form1.SerialPort1;
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
  step([&] { comport::ListSerialPorts(Form1.SerialPort1.Backends().machine(), ports); });
  ports.push_back(sys::kVirtualPort);
  Form1.setComboItems(ports);
  Form1.setComboText(ports.front());
  Form1.StepColumn = -1;
  Form1.StepRunning = 0;
  Form1.LoadPercent = 0.0;
  step([&] {
    tableLoadFailed_ = true;
    std::string interval = Form1.Edit1Text;
    const storage::LoadResult loaded =
        storage::LoadTable(tableFile_, Form1.TableLines, Form1.Cells, interval);
    Form1.setEdit1Text(interval);
    Form1.setLoadedColumns(loaded.columns);
    tableLoadFailed_ = false;
  });
  Form1.ChannelEnabled.fill(1);
}

void Program::Form2Create() {
  try {
    Form2.Zagr(settingsFile_);
  } catch (const std::exception& e) {
    errorPath_.showError(e.what());
  }
}

void Program::startOutputThread(std::function<void()> wake) {
  output_ = std::make_unique<sequencer::OutputThread>(Form1.SerialPort1, std::move(wake));
}

void Program::deliverFrames() {
  if (output_) output_->deliver();
}

// ---------------------------------------------------------------- run control

void Program::Timer1Tick() {
  if (closing_) return;
  if (!output_) {
    tickDone(Form1.Timer1Tick());
    return;
  }
  if (output_->busy()) {
    tickDue_ = true;
    return;
  }
  const std::optional<sequencer::TickPlan> plan = Form1.beginTick();
  if (!plan) return;
  output_->send(Form1.outgoing(plan->frame), [this, plan = *plan](const auto& result) {
    Form1.sent(result);
    Form1.finishTick(plan, result);
    tickDone(result.error);
    if (std::exchange(runChangePending_, false)) errorPath_.runChanged();
    if (std::exchange(tickDue_, false) && !closing_ && Form1.Timer1Enabled) Timer1Tick();
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

void Program::BitBtn1Click() {
  if (closing_) return;
  if (stopping_) {
    afterStop_.push_back([this] { BitBtn1Click(); });
    return;
  }
  runChanged();
  try {
    Form1.BitBtn1Click();
  } catch (const std::exception& e) {
    errorPath_.showError(e.what());
  }
}

void Program::BitBtn2Click() {
  if (closing_) return;
  if (stopping_) {
    afterStop_.push_back([this] { BitBtn2Click(); });
    return;
  }
  runChanged();
  if (!output_) {
    try {
      Form1.BitBtn2Click();
    } catch (const std::exception& e) {
      errorPath_.showError(e.what());
    }
    return;
  }
  // What the stop shows changes now; the rest follows its all-off frame,
  // which goes out after the frame on its way.
  if (!Form1.beginStop()) {
    stopDone(Form1.finishStop(std::nullopt));
    return;
  }
  stopping_ = true;
  output_->send(Form1.outgoing(sequencer::Frame::allOff()), [this](const auto& result) {
    Form1.sent(result);
    stopping_ = false;
    stopDone(Form1.finishStop(result));
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

// ---------------------------------------------------------------- files

void Program::SohrTable() {
  // A table that could not be loaded must not be written over the file that
  // still holds it.
  if (tableLoadFailed_ && storage::fileExists(tableFile_)) return;
  storage::Sohr(tableFile_, Form1.TableLines, Form1.Cells, Form1.columnsToSave(), Form1.Edit1Text);
}

void Program::SohrSettings() {
  Form2.Sohr(settingsFile_);
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
  if (answered) closeStep([&] { Form1.SerialPort1.ClosePort(); });
  Form1.SerialPort1.ReleasePort();
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
  if (Form1.SerialPort1.IsOpen()) answered = closeStep([&] { Form1.SendAllOffFrame(); });
  closeStep([&] { SohrTable(); });
  releasePort(answered);
}

void Program::FormClose() {
  beginClose();
  bool answered = true;
  if (Form1.SerialPort1.IsOpen()) answered = closeStep([&] { Form1.SendAllOffFrame(); });
  closeStep([&] { SohrTable(); });
  closeStep([&] { SohrSettings(); });
  releasePort(answered);
}

void Program::applyInput(int input, bool active) {
  if (active) inputs::ApplyInput(input, Form2.Boxes(), Form1.ChannelEnabled);
  Form2.indikator();
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
  applyInput(1, true);
}
void Program::BitBtn8Click() {
  applyInput(2, true);
}
void Program::BitBtn9Click() {
  applyInput(3, true);
}

}  // namespace program
