// The program without its windows: the main window's state and the matching
// dialog's, with the start-up and close sequences and the input handlers that
// tie them to the files and the port.
#pragma once

#include <string>
#include <vector>

#include "comport/sys/native_platform.h"
#include "inputs/matching.h"
#include "sequencer/sequencer.h"

namespace app {

// Shows an error message to the user and returns when it has been seen or
// handed on; the program goes on either way.
class ErrorSink {
 public:
  virtual ~ErrorSink() = default;
  virtual void showError(const std::string& message) = 0;
};

class Program {
 public:
  Program(sys::Backends backends, comport::TSyncInvoker* invoker, ErrorSink& errors,
          std::string tableFile, std::string settingsFile);

  sequencer::Sequencer Form1;
  inputs::MatchingDialog Form2;

  // Start-up: the main window's creation, then the matching dialog's.
  void FormCreate();
  void Form2Create();

  // Exit: the exit button (the window then closes and runs FormClose) and
  // the close of the main window by any means.
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
  void SohrTable();
  void SohrSettings();

  const std::string& tableFile() const { return tableFile_; }
  const std::string& settingsFile() const { return settingsFile_; }

 private:
  void applyInput(int input, bool active);
  // Runs one step of the close sequence: its error is shown once, and the
  // sequence goes on. False when the step failed.
  template <typename Step>
  bool closeStep(Step&& step);
  // `answered`: the port took the exit's all-off frame (or was not asked to).
  void releasePort(bool answered);

  ErrorSink& errors_;
  std::string tableFile_;
  std::string settingsFile_;
  bool tableLoadFailed_ = false;
  std::vector<std::string> exitErrors_;
};

}  // namespace app
