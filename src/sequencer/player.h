// The player: the port `SerialPort1` and the run state, the step timer's
// tick that plays the table on the board, run control, the frames, and the
// housekeeping timer's tick that sizes the table and applies the interval.
// It reads the steps from the sequence table and shows what it does in the
// main window's state.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "comport/serial_port.h"
#include "sequencer/frame.h"
#include "sequencer/frame_sender.h"
#include "sequencer/main_form_state.h"
#include "sequencer/sequence_table.h"
#include "table/cell_store.h"

namespace sequencer {

// The matching dialog's output-state labels, which the housekeeping tick keeps
// current.
class StateLabels {
 public:
  virtual ~StateLabels() = default;
  virtual void indikator() = 0;   // paint the labels from ChannelEnabled
  virtual void showNoLink() = 0;  // "нет св" on grey: the step timer is off
};

// A step the tick has taken: the frame it sends, and what the window shows of
// it once the frame has gone out (or failed).
struct TickPlan {
  Frame frame;
  int column = 0;  // StepColumn of the step
  // The marker row's writes, in order.
  std::vector<std::pair<int, table::CellStore::Code>> markers;
};

class Player {
 public:
  Player(sys::Backends backends, comport::SyncInvoker* invoker, SequenceTable& table,
         MainFormState& form);

  void setStateLabels(StateLabels* labels) { labels_ = labels; }

  comport::TSerialPort& SerialPort1() { return serialPort1_; }
  const comport::TSerialPort& SerialPort1() const { return serialPort1_; }

  // Run state.
  std::int32_t StepRunning() const { return stepRunning_; }
  std::int32_t StepColumn() const { return stepColumn_; }
  // [k - 1] for channel k.
  const std::array<std::int32_t, table::kChannels>& ChannelEnabled() const {
    return channelEnabled_;
  }
  void setChannelEnabled(const std::array<std::int32_t, table::kChannels>& flags);
  // Start-up: not running, before the first step, nothing loaded yet.
  void resetRun();
  // The next step played is column 0 (the table has been cleared).
  void rewind() { stepColumn_ = 0; }

  // Housekeeping state.
  std::int32_t LastColumn() const { return lastColumn_; }
  double LoadPercent() const { return loadPercent_; }
  std::int32_t LastInterval() const { return lastInterval_; }

  // Every frame goes out through the sender: at once on the GUI thread
  // (the default), or on an output thread from sendOnThread() on until
  // sendAtOnce(), whose change waits for the frames on their way and drops
  // what they would show.
  FrameSender& sender() { return *sender_; }
  void sendOnThread(std::function<void()> wake);
  void sendAtOnce();

  // What a frame's step, stop or exit left for the user: the port's error,
  // or the stop's message; nothing when all went well.
  using Done = std::function<void(const std::optional<std::string>& message)>;

  // The step timer's tick: decides the step and builds its frame from one
  // consistent set of cells and flags, and shows what went out once it has;
  // `done` then. No tick (and no `done`) while the port is closed.
  void stepTick(Done done);
  // The housekeeping timer's tick and the load progress it shows.
  void housekeepingTick();
  void progress();
  // Run control: start (opening the port) or pause and resume; stop, whose
  // port closes after its all-off frame.
  void startOrPause();
  void stop(Done done);
  // The all-off frame of the exit.
  void sendAllOff(Done done);

 private:
  std::optional<TickPlan> beginTick();
  void finishTick(const TickPlan& plan, const FrameResult& result);
  // True when the port is open and the all-off frame must go out first.
  bool beginStop();
  // `allOff`: how the all-off frame went, when one was sent. Returns the
  // message for the user, if the stop has one.
  std::optional<std::string> finishStop(const std::optional<FrameResult>& allOff);

  SequenceTable& table_;
  MainFormState& form_;
  comport::TSerialPort serialPort1_;

  std::int32_t stepRunning_ = 0;
  std::int32_t stepColumn_ = -1;
  std::array<std::int32_t, table::kChannels> channelEnabled_{};

  std::int32_t lastColumn_ = 0;
  double loadPercent_ = 0.0;
  std::int32_t lastInterval_ = 0;

  StateLabels* labels_ = nullptr;
  bool stopFailed_ = false;
  int stopColumn_ = -1;  // the step whose marker the stop removes
  // Ticks whose frame is on its way, in the order the frames went: what
  // each shows once its frame is back. Kept here rather than in each
  // frame's `done`, which then costs no allocation.
  std::deque<std::pair<TickPlan, Done>> ticks_;
  // After the port: it ends (waiting for its frames) before the port goes.
  std::unique_ptr<FrameSender> sender_;
};

}  // namespace sequencer
