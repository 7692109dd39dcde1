// The program without its windows: the main window's state and the matching
// dialog's, with the start-up and close sequences and the input handlers that
// tie them to the files and the port.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "comport/sys/native_platform.h"
#include "inputs/matching.h"
#include "program/error_path.h"
#include "sequencer/main_form_state.h"
#include "sequencer/player.h"
#include "sequencer/sequence_table.h"
#include "storage/file_io.h"

namespace program {

class Program {
 public:
  // The files are written through `saves`: the system's own calls unless
  // others are given.
  Program(sys::Backends backends, comport::SyncInvoker* invoker, ErrorSink& errors,
          std::string tableFile, std::string settingsFile,
          storage::SaveCalls& saves = storage::systemSaveCalls());

  // The main window's parts: the sequence table, what the window shows besides
  // it, and the player with the port; then the matching dialog's state.
  sequencer::SequenceTable& table() { return table_; }
  const sequencer::SequenceTable& table() const { return table_; }
  sequencer::MainFormState& form() { return form_; }
  const sequencer::MainFormState& form() const { return form_; }
  sequencer::Player& player() { return player_; }
  const sequencer::Player& player() const { return player_; }
  // Whoever shows the table and the main window's state.
  void setObserver(sequencer::Observer* observer);
  inputs::Matching& matching() { return matching_; }
  const inputs::Matching& matching() const { return matching_; }

  // Every error goes this way to the user (`errors`, the display, shows what
  // it passes).
  ErrorPath& errors() { return errorPath_; }

  // From now on the frames go out on an output thread of their own. `wake` is
  // called on that thread when a frame is done: the GUI thread is then to
  // call deliverFrames() soon. Without it every frame is sent at once, on the
  // thread that builds it.
  void startOutputThread(std::function<void()> wake);
  void deliverFrames();
  // Waits for the frames on their way without showing what they did, and
  // sends every later frame at once again (the windows are going).
  void endOutputThread();
  // A frame is on its way.
  bool sending();
  // A stop waits for its all-off frame; buttons pressed meanwhile wait for it.
  bool stopping() const { return run_ == Run::Stopping; }

  // Start-up: the main window's creation, then the matching dialog's (its
  // settings file).
  void FormCreate();
  void loadMatching();

  // The step timer's tick, and the start/pause and stop buttons. While a
  // frame is on its way a due tick is not queued behind it: it runs once the
  // frame is done (one step per frame when frames are slower than the
  // interval).
  void Posilka();
  void BitBtn1Click();
  void BitBtn2Click();
  // The housekeeping timer's tick.
  void Narahiv();
  // A click on the table and a key pressed in it. True when Enter moved the
  // current cell.
  void StringGrid1Click();
  bool StringGrid1KeyPress(char key);
  // "Да" of the clear-table confirmation: the table up to `LastColumn`
  // emptied, the next step from column 0.
  void clearTable();

  // Exit: the exit button (the window then closes and runs FormClose) and
  // the close of the main window by any means. From the first step on no
  // step tick runs; a frame on its way is waited for, then the all-off frame
  // goes out.
  void BitBtn6Click();
  void FormClose();

  // Inputs 1 … 3 from the port and from the manual buttons.
  void SerialPort1RLSDChange(comport::TSerialPort& sender, bool state);
  void SerialPort1CTSChange(comport::TSerialPort& sender, bool state);
  void SerialPort1DSRChange(comport::TSerialPort& sender, bool state);
  void BitBtn7Click();
  void BitBtn8Click();
  void BitBtn9Click();

  // The main window's table save and the matching dialog's settings save.
  void saveTable();
  void saveSettings();

 private:
  void applyInput(int input, bool active);
  // Runs a handler of the main window; an error that leaves it is shown.
  template <typename Handler>
  void guarded(Handler&& handler);
  void tickDone(const std::optional<std::string>& error);
  // The run was started, paused, resumed or stopped: a failing run begins anew.
  void runChanged();
  // A run-control click goes on now (true), waits for the stop on its way,
  // or is dropped while closing.
  bool clickNow(void (Program::*click)());
  void stopDone(const std::optional<std::string>& message);
  // The exit button's and the window's close: the all-off frame when the
  // port is open, the table saved, the settings too when asked, the port
  // closed. Each step's error is shown once, and the sequence goes on.
  void closeSequence(bool saveSettingsToo);
  template <typename Step>
  void closeStep(Step&& step);
  void exitError(const std::string& message);

  // The housekeeping tick keeps the matching dialog's state labels current.
  struct MatchingLabels : sequencer::StateLabels {
    explicit MatchingLabels(inputs::Matching& form) : dialog(form) {}
    void indikator() override { dialog.indikator(); }
    void showNoLink() override { dialog.showNoLink(); }
    inputs::Matching& dialog;
  };

  sequencer::SequenceTable table_;
  sequencer::MainFormState form_;
  sequencer::Player player_;
  inputs::Matching matching_;
  MatchingLabels stateLabels_{matching_};
  ErrorPath errorPath_;
  std::string tableFile_;
  std::string settingsFile_;
  storage::SaveCalls& saves_;
  bool tableLoadFailed_ = false;
  // Where the table was saved beside the file it could not be loaded from.
  std::string savedBeside_;
  std::vector<std::string> exitErrors_;
  // What a tick or a run-control click meets: nothing in its way, a stop
  // waiting for its all-off frame (clicks wait for it too), or the close
  // (ticks and clicks are dropped).
  enum class Run { Ready, Stopping, Closing };
  Run run_ = Run::Ready;
  // Waiting for the frame on its way: a tick that came due meanwhile (it
  // runs once, not queued behind the frame), and the run's change that a
  // click made (the frame's failure still belongs to the run before it).
  bool tickDue_ = false;
  bool runChangePending_ = false;
  std::vector<std::function<void()>> afterStop_;
};

}  // namespace program
