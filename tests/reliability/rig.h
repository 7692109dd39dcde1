// The whole program without its windows, started in a folder of its own with
// a saved table and saved matching, playing on the virtual board. Faults are
// injected through the board, the platform and the file layer; every one of
// them is counted, and the count is printed when the program ends.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comport/sys/virtual_board.h"
#include "program/program.h"
#include "storage/file_io.h"
#include "storage/file_test_support.h"
#include "storage/table_file.h"
#include "support/gated_platform.h"
#include "support/gui_queue.h"
#include "support/recording_platform.h"
#include "support/save_faults.h"
#include "support/table_bytes.h"

namespace reliability {

// ---------------------------------------------------------------- fault count

inline std::atomic<int>& faultsInjected() {
  static std::atomic<int> count{0};
  return count;
}

inline void unplug(testing_support::RecordingPlatform& platform) {
  ++faultsInjected();
  platform.unplug();
}
// The board goes away at line operation `position` (1 = the next escape or
// write) and stays away until replugged.
inline void unplugAt(testing_support::RecordingPlatform& platform, int position) {
  ++faultsInjected();
  platform.unplugAfter(position - 1);
}
inline void failCall(testing_support::RecordingPlatform& platform, testing_support::Op op, int nth,
                     std::uint32_t error = sys::kErrorBadCommand) {
  ++faultsInjected();
  platform.failCall(op, nth, error);
}
inline void failNextWrite(testing_support::SaveFaults& disk, testing_support::WriteStep step) {
  ++faultsInjected();
  disk.failNextWriteAt(step);
}
inline void countFault() {
  ++faultsInjected();
}

// ---------------------------------------------------------------- the table

// The channels that are on in each stored step; the third is an all-off step.
inline const std::vector<std::vector<int>>& storedColumns() {
  static const std::vector<std::vector<int>> columns = {
      {1, 3, 9}, {2, 3, 48}, {}, {1, 48}, {3, 5, 6, 7, 8, 24, 25}};
  return columns;
}

// The outputs a frame leaves latched: channel k ends on stage 49 − k, which is
// bit 48 − k of VirtualBoard::outputBits(). A channel in `off` is held off.
inline std::uint64_t frameBits(const std::vector<int>& channels, const std::set<int>& off = {}) {
  std::uint64_t bits = 0;
  for (int k : channels) {
    if (off.count(k) == 0) bits |= std::uint64_t{1} << (48 - k);
  }
  return bits;
}

// The table file's bytes for the stored columns and `interval`, with `eol`
// after each line.
inline std::string tableFileBytes(const std::string& interval, const std::string& eol = "\r\n") {
  return testing_support::tableFileBytes(testing_support::columnBytes(storedColumns()), interval,
                                         eol);
}

// 16 little-endian 32-bit box indices.
inline std::string settingsFileBytes(const std::vector<std::int32_t>& boxes) {
  std::string out(64, '\0');
  for (std::size_t i = 0; i < boxes.size() && i < 16; ++i) {
    const auto raw = static_cast<std::uint32_t>(boxes[i]);
    for (std::size_t b = 0; b < 4; ++b) out[4 * i + b] = static_cast<char>(raw >> (8 * b));
  }
  return out;
}

// Output 1: on by input 1 (RLSD), off by input 3 (DSR); output 3: off by
// input 2 (CTS).
inline const std::vector<std::int32_t>& storedBoxes() {
  static const std::vector<std::int32_t> boxes = {1, 3, 0, 0, 0, 2};
  return boxes;
}

// ---------------------------------------------------------------- the program

struct RecordedErrors : program::ErrorSink {
  std::vector<std::string> messages;
  void showError(const std::string& message) override { messages.push_back(message); }
  int count(const std::string& message) const {
    int n = 0;
    for (const auto& m : messages) n += m == message ? 1 : 0;
    return n;
  }
};

class Rig {
 public:
  // The saved table has LF line ends and the interval 7; the program saves
  // CR LF, and the tests change the interval and a box, so a file that was
  // really written at exit differs from the one found at start-up.
  // `threaded`: the frames go out on the output thread, as in the windows;
  // the handlers below then let each frame go out before they return.
  explicit Rig(bool withInvoker = true, bool threaded = false) {
    testing_support::writeBytes(tablePath(), tableFileBytes("7", "\n"));
    testing_support::writeBytes(settingsPath(), settingsFileBytes(storedBoxes()));
    program = std::make_unique<program::Program>(gate, withInvoker ? &invoker : nullptr, errors,
                                                 tablePath(), settingsPath(), disk);
    if (threaded) {
      program->startOutputThread([this] {
        {
          std::lock_guard lock(frameMutex_);
          ++frameWakes_;
        }
        frameWoken_.notify_all();
      });
    }
    program->player().SerialPort1().onThreadError = [this](const std::string& message) {
      std::lock_guard lock(threadErrorsMutex_);
      threadErrors_.push_back(message);
    };
    program->FormCreate();
    program->loadMatching();
    for (std::size_t i = 0; i < storedColumns().size(); ++i) player().housekeepingTick();
    board->keepHistory(1u << 20);
  }

  ~Rig() {
    // Whatever a test left open is closed before the board and the platform go.
    program.reset();
  }

  std::string tablePath() const { return folder.path(storage::kTableFileName); }
  std::string settingsPath() const { return folder.path("Rilvet.dat"); }
  sequencer::SequenceTable& table() { return program->table(); }
  sequencer::MainFormState& form() { return program->form(); }
  sequencer::Player& player() { return program->player(); }

  // The handlers as the windows run them: every error goes the program's one
  // way to the user, which lets a failing run of ticks through once.
  void start() {
    form().setComboText("VIRTUAL");
    program->BitBtn1Click();
    framesSent();
  }
  void stop() {
    program->BitBtn2Click();
    framesSent();
  }
  // Step ticks, as many as the step timer would run: none while it is off.
  void tick(int n = 1) {
    for (int i = 0; i < n && form().timer1Enabled(); ++i) {
      program->Posilka();
      framesSent();
    }
  }
  // With the output thread: the GUI side's turns until no frame is on its
  // way, the event thread's calls run meanwhile.
  bool framesSent(int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      int wakes = 0;
      {
        std::lock_guard lock(frameMutex_);
        wakes = frameWakes_;
      }
      invoker.checkSynchronize();
      program->deliverFrames();
      if (!program->sending()) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::unique_lock lock(frameMutex_);
      frameWoken_.wait_for(lock, std::chrono::milliseconds(2), [&] { return frameWakes_ > wakes; });
    }
  }
  void guarded(const std::function<void()>& handler) {
    try {
      handler();
    } catch (const std::exception& e) {
      program->errors().showError(e.what());
    }
  }

  // The user's changes during the run, which the files must hold at exit.
  void editSomething() {
    form().setEdit1Text("9");
    program->matching().setBox(16, 3);
  }
  std::string expectedTable() const { return tableFileBytes("9"); }
  std::string expectedSettings() const {
    auto boxes = storedBoxes();
    boxes.resize(16, 0);
    boxes[15] = 3;
    return settingsFileBytes(boxes);
  }

  // Runs the GUI side of the event thread's calls until `done` or `ms`.
  bool pumpUntil(const std::function<bool()>& done, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      invoker.checkSynchronize();
      if (done()) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      invoker.waitForWork(2);
    }
  }
  // Deliveries the event thread has queued for the GUI side so far.
  int queued() const { return invoker.queued(); }
  // Waits, without running anything, until more than `than` were queued.
  bool waitQueued(int than, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (invoker.queued() <= than) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      invoker.waitForWork(2);
    }
    return true;
  }

  std::vector<std::string> threadErrors() {
    std::lock_guard lock(threadErrorsMutex_);
    return threadErrors_;
  }

  // The frame the current step column sends, with the channels whose flags
  // are not 1 held off.
  std::uint64_t currentFrame() {
    const auto& columns = storedColumns();
    std::set<int> off;
    for (int k = 1; k <= 48; ++k) {
      if (player().ChannelEnabled()[static_cast<std::size_t>(k - 1)] != 1) off.insert(k);
    }
    return frameBits(columns.at(static_cast<std::size_t>(player().StepColumn())), off);
  }

  // Every frame the program may send: each stored column with any of the
  // switchable outputs held off, and the all-off frame.
  static bool isWholeFrame(std::uint64_t bits) {
    if (bits == 0) return true;
    for (const auto& column : storedColumns()) {
      const std::uint64_t full = frameBits(column);
      // The inputs only hold channels 1 … 8 off.
      const std::uint64_t switchable = frameBits({1, 2, 3, 4, 5, 6, 7, 8});
      if ((bits & ~full) == 0 && ((full ^ bits) & ~switchable) == 0) return true;
    }
    return false;
  }

  // Every latch the board has seen, and what it shows now, is a whole frame.
  void expectOnlyWholeFramesLatched() {
    const auto frames = board->history();
    for (std::size_t i = 0; i < frames.size(); ++i) {
      ASSERT_TRUE(isWholeFrame(frames[i])) << "latch " << i << " left 0x" << std::hex << frames[i];
    }
    EXPECT_TRUE(isWholeFrame(board->outputBits()));
  }

  void expectStopped() {
    EXPECT_FALSE(player().SerialPort1().IsOpen());
    EXPECT_FALSE(form().timer1Enabled());
    EXPECT_EQ(player().StepRunning(), 0);
    EXPECT_EQ(player().StepColumn(), -1);
    EXPECT_TRUE(form().comboEnabled());
    for (bool on : form().indicatorOn()) EXPECT_FALSE(on);
    expectNothingOpen();
  }

  void expectNothingOpen() {
    EXPECT_FALSE(player().SerialPort1().IsOpen());
    EXPECT_FALSE(board->state().open);
    EXPECT_EQ(platform.openDevices(), 0);
    EXPECT_EQ(platform.openEvents(), 0);
  }

  void expectFilesSaved() {
    EXPECT_EQ(testing_support::readBytes(tablePath()), expectedTable());
    EXPECT_EQ(testing_support::readBytes(settingsPath()), expectedSettings());
    const auto names = folder.entries();
    EXPECT_EQ(names, (std::set<std::string>{storage::kTableFileName, "Rilvet.dat"}));
  }

  testing_support::TempFolder folder;
  std::unique_ptr<sys::VirtualBoard> board = std::make_unique<sys::VirtualBoard>();
  testing_support::RecordingPlatform platform{*board};
  // Every call goes through it; closed, it holds the line operations.
  testing_support::GatedPlatform gate{platform};
  testing_support::GuiQueue invoker;
  RecordedErrors errors;
  testing_support::SaveFaults disk;
  std::unique_ptr<program::Program> program;

 private:
  std::mutex frameMutex_;
  std::condition_variable frameWoken_;
  int frameWakes_ = 0;
  std::mutex threadErrorsMutex_;
  std::vector<std::string> threadErrors_;
};

}  // namespace reliability
