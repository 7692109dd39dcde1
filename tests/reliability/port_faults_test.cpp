// A board that goes away: before a frame, at every line operation of a step
// frame, at the latch byte, during Stop, during exit and while the event
// thread hands an input change over. Whatever the moment, the user sees the
// error once, the board keeps a whole frame latched, Stop gets the program
// back to Stopped, and exit saves both files and leaves nothing open.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "rig.h"

namespace reliability {
namespace {

using comport::msg::kEscapeCommFunction;
using comport::msg::kGetCommModemStatus;
using comport::msg::kWriteError;

// A step frame is 48 × (RTS, DTR on, DTR off) and the latch byte; the all-off
// frame is RTS off, DTR off, 48 × (DTR on, DTR off) and the latch byte; the
// port's close lowers DTR and RTS.
constexpr int kFrameOperations = 145;
constexpr int kAllOffOperations = 99;
constexpr int kStopOperations = kAllOffOperations + 2;

const std::string& messageAt(int position, int latchPosition) {
  static const std::string escape = kEscapeCommFunction;
  static const std::string write = kWriteError;
  return position == latchPosition ? write : escape;
}

// Starts the run and plays a few whole frames.
void startRunning(Rig& rig) {
  rig.start();
  ASSERT_TRUE(rig.player().SerialPort1().IsOpen());
  rig.tick(3);
  ASSERT_EQ(rig.board->outputBits(), rig.currentFrame());
  ASSERT_TRUE(rig.errors.messages.empty());
}

// Exit by the window's close, then the checks every exit must pass.
void exitAndCheck(Rig& rig) {
  rig.editSomething();
  rig.program->FormClose();
  rig.expectNothingOpen();
  rig.expectFilesSaved();
  rig.expectOnlyWholeFramesLatched();
}

// A stop that reaches the board (all outputs off), then the exit; the run
// has shown `messages` errors in all.
void stopThenExit(Rig& rig, std::size_t messages) {
  rig.stop();
  rig.expectStopped();
  EXPECT_EQ(rig.board->outputBits(), 0u);
  EXPECT_EQ(rig.errors.messages.size(), messages);
  exitAndCheck(rig);
}

// ---------------------------------------------------------------- step frames

TEST(PortFaults, ABoardUnpluggedBeforeAFrameIsReportedOnceAndStopRecoversAfterReplug) {
  Rig rig;
  startRunning(rig);
  const std::uint64_t shown = rig.board->outputBits();
  unplug(rig.platform);
  rig.tick(50);
  EXPECT_EQ(rig.errors.messages, std::vector<std::string>{kEscapeCommFunction});
  EXPECT_EQ(rig.board->outputBits(), shown);
  EXPECT_TRUE(rig.form().timer1Enabled()) << "the step timer keeps running";

  rig.platform.replug();
  rig.tick(7);
  EXPECT_EQ(rig.board->outputBits(), rig.currentFrame());
  stopThenExit(rig, 1);
}

TEST(PortFaults, AFrameCutAtAnyOperationLeavesTheLastWholeFrameAndTheNextReplacesIt) {
  for (int position = 1; position <= kFrameOperations; ++position) {
    SCOPED_TRACE("board gone at operation " + std::to_string(position) + " of the frame");
    Rig rig;
    startRunning(rig);
    const std::uint64_t before = rig.board->outputBits();
    const auto latched = rig.board->state().framesLatched;

    unplugAt(rig.platform, position);
    rig.tick(40);
    ASSERT_EQ(rig.errors.messages, std::vector<std::string>{messageAt(position, kFrameOperations)});
    EXPECT_EQ(rig.board->state().framesLatched, latched) << "a cut frame is never latched";
    EXPECT_EQ(rig.board->outputBits(), before);

    // Plugged back while running: the very next frame is whole and right.
    rig.platform.replug();
    for (int i = 0; i < 7; ++i) {
      rig.tick();
      ASSERT_EQ(rig.board->outputBits(), rig.currentFrame()) << "tick " << i << " after replug";
    }
    stopThenExit(rig, 1);
    if (HasFatalFailure() || HasNonfatalFailure()) return;
  }
}

TEST(PortFaults, AnOperationThatFailsOnceAnywhereInAFrameIsRepairedByTheNextFrame) {
  for (int position = 1; position <= kFrameOperations; ++position) {
    SCOPED_TRACE("operation " + std::to_string(position) + " of the frame fails once");
    Rig rig;
    startRunning(rig);
    if (position == kFrameOperations) {
      failCall(rig.platform, testing_support::Op::WriteFile, 1);
    } else {
      failCall(rig.platform, testing_support::Op::EscapeCommFunction, position);
    }
    rig.tick();
    ASSERT_EQ(rig.errors.messages, std::vector<std::string>{messageAt(position, kFrameOperations)});
    for (int i = 0; i < 6; ++i) {
      rig.tick();
      ASSERT_EQ(rig.board->outputBits(), rig.currentFrame()) << "tick " << i << " after the fault";
    }
    EXPECT_EQ(rig.errors.messages.size(), 1u);
    exitAndCheck(rig);
    if (HasFatalFailure() || HasNonfatalFailure()) return;
  }
}

TEST(PortFaults, ABoardGoneForGoodAtAnyOperationIsReleasedByTheSecondStop) {
  for (int position = 1; position <= kFrameOperations; ++position) {
    SCOPED_TRACE("board gone at operation " + std::to_string(position) + " of the frame");
    Rig rig;
    startRunning(rig);
    const std::uint64_t before = rig.board->outputBits();
    unplugAt(rig.platform, position);
    rig.tick(20);
    ASSERT_EQ(rig.errors.messages.size(), 1u);

    // The first stop cannot switch the outputs off and keeps the port for a
    // second try; the second lets it go.
    rig.stop();
    EXPECT_EQ(rig.errors.messages.size(), 2u);
    EXPECT_EQ(rig.errors.messages.back(), kEscapeCommFunction);
    EXPECT_TRUE(rig.player().SerialPort1().IsOpen());
    EXPECT_FALSE(rig.form().timer1Enabled());
    EXPECT_EQ(rig.player().StepRunning(), 0);
    rig.stop();
    EXPECT_EQ(rig.errors.messages.size(), 3u);
    EXPECT_EQ(rig.errors.messages.back(), sequencer::text::kReleased)
        << "the release says that the outputs may still be on";
    rig.expectStopped();
    EXPECT_EQ(rig.board->outputBits(), before);

    // Plugged in again, the board can be started anew.
    rig.platform.replug();
    rig.start();
    rig.tick(3);
    EXPECT_EQ(rig.board->outputBits(), rig.currentFrame());
    exitAndCheck(rig);
    EXPECT_EQ(rig.board->outputBits(), 0u) << "exit switches every output off";
    EXPECT_EQ(rig.errors.messages.size(), 3u);
    if (HasFatalFailure() || HasNonfatalFailure()) return;
  }
}

TEST(PortFaults, ALatchByteThatCannotBeWrittenIsReportedOnceAndTheOutputsKeepTheirFrame) {
  Rig rig;
  startRunning(rig);
  const std::uint64_t before = rig.board->outputBits();
  countFault();
  rig.platform.failAlways(testing_support::Op::WriteFile, sys::kErrorBadCommand);
  rig.tick(30);
  EXPECT_EQ(rig.errors.messages, std::vector<std::string>{kWriteError});
  EXPECT_EQ(rig.board->outputBits(), before);
  rig.platform.failAlways(testing_support::Op::WriteFile, 0);
  rig.tick(2);
  EXPECT_EQ(rig.board->outputBits(), rig.currentFrame());

  // A new failure after a good tick is a new episode, reported again.
  countFault();
  rig.platform.failAlways(testing_support::Op::WriteFile, sys::kErrorBadCommand);
  rig.tick(10);
  EXPECT_EQ(rig.errors.messages, (std::vector<std::string>{kWriteError, kWriteError}));
  rig.platform.failAlways(testing_support::Op::WriteFile, 0);
  rig.stop();
  rig.expectStopped();
  EXPECT_EQ(rig.board->outputBits(), 0u);
  exitAndCheck(rig);
}

TEST(PortFaults, PauseKeepsSendingWholeFramesThroughAFault) {
  Rig rig;
  startRunning(rig);
  rig.guarded([&] { rig.player().startOrPause(); });  // pause
  ASSERT_EQ(rig.player().StepRunning(), 0);
  const int column = rig.player().StepColumn();
  unplugAt(rig.platform, 77);
  rig.tick(10);
  EXPECT_EQ(rig.errors.messages, std::vector<std::string>{kEscapeCommFunction});
  rig.platform.replug();
  rig.tick(3);
  EXPECT_EQ(rig.player().StepColumn(), column);
  EXPECT_EQ(rig.board->outputBits(), rig.currentFrame());
  exitAndCheck(rig);
}

// ---------------------------------------------------------------- stop

TEST(PortFaults, ABoardGoneAtAnyOperationOfStopIsStoppedOnceItAnswersAgain) {
  for (int position = 1; position <= kStopOperations; ++position) {
    SCOPED_TRACE("board gone at operation " + std::to_string(position) + " of the stop");
    Rig rig;
    startRunning(rig);
    const std::uint64_t before = rig.board->outputBits();
    unplugAt(rig.platform, position);
    rig.stop();
    ASSERT_EQ(rig.errors.messages,
              std::vector<std::string>{messageAt(position, kAllOffOperations)});
    EXPECT_TRUE(rig.player().SerialPort1().IsOpen()) << "kept for the next stop";
    EXPECT_FALSE(rig.form().timer1Enabled());
    EXPECT_EQ(rig.player().StepRunning(), 0);
    // Only a whole all-off frame changes the outputs.
    EXPECT_EQ(rig.board->outputBits(), position <= kAllOffOperations ? before : 0u);
    rig.tick(5);  // the step timer is off: nothing

    rig.platform.replug();
    stopThenExit(rig, 1);
    if (HasFatalFailure() || HasNonfatalFailure()) return;
  }
}

TEST(PortFaults, ABoardGoneForGoodAtAnyOperationOfStopIsReleasedByTheSecondStop) {
  for (int position = 1; position <= kStopOperations; ++position) {
    SCOPED_TRACE("board gone at operation " + std::to_string(position) + " of the stop");
    Rig rig;
    startRunning(rig);
    unplugAt(rig.platform, position);
    rig.stop();
    ASSERT_EQ(rig.errors.messages.size(), 1u);
    rig.stop();
    rig.expectStopped();
    EXPECT_EQ(rig.errors.messages.back(), sequencer::text::kReleased);
    exitAndCheck(rig);
    EXPECT_EQ(rig.errors.messages.size(), 2u);
    if (HasFatalFailure() || HasNonfatalFailure()) return;
  }
}

// ---------------------------------------------------------------- exit

TEST(PortFaults, ABoardGoneAtAnyOperationOfTheExitStillEndsWithBothFilesSaved) {
  for (int position = 1; position <= kStopOperations; ++position) {
    for (const bool exitButton : {false, true}) {
      SCOPED_TRACE("board gone at operation " + std::to_string(position) + " of the exit by " +
                   (exitButton ? "the exit button" : "the window's close"));
      Rig rig;
      startRunning(rig);
      unplugAt(rig.platform, position);
      rig.editSomething();
      if (exitButton) rig.program->BitBtn6Click();
      rig.program->FormClose();
      // One message however many of the exit's steps met the missing board.
      EXPECT_EQ(rig.errors.messages,
                std::vector<std::string>{messageAt(position, kAllOffOperations)});
      rig.expectNothingOpen();
      rig.expectFilesSaved();
      rig.expectOnlyWholeFramesLatched();
      if (HasFatalFailure() || HasNonfatalFailure()) return;
    }
  }
}

TEST(PortFaults, ExitWithTheBoardGoneAndTheDiskFullSavesWhatItCanAndEnds) {
  Rig rig;
  startRunning(rig);
  const std::string tableBefore = testing_support::readBytes(rig.tablePath());
  unplug(rig.platform);
  rig.tick(10);
  rig.editSomething();
  failNextWrite(rig.disk, testing_support::WriteStep::kWrite);
  rig.program->FormClose();
  // The run's failure, then the exit's: the board, once, and the table.
  ASSERT_EQ(rig.errors.messages.size(), 3u);
  EXPECT_EQ(rig.errors.messages[0], kEscapeCommFunction);
  EXPECT_EQ(rig.errors.messages[1], kEscapeCommFunction);
  const std::string head = "Не удаётся записать файл \"" + rig.tablePath() + "\": ";
  EXPECT_EQ(rig.errors.messages[2].substr(0, head.size()), head);
#ifndef _WIN32
  EXPECT_EQ(rig.errors.messages[2], head + std::strerror(ENOSPC));
#endif
  EXPECT_EQ(testing_support::readBytes(rig.tablePath()), tableBefore);
  EXPECT_EQ(testing_support::readBytes(rig.settingsPath()), rig.expectedSettings());
  rig.expectNothingOpen();
}

TEST(PortFaults, ExitWhileStoppedAfterAFailedStopSendsNothingMoreAndSaves) {
  Rig rig;
  startRunning(rig);
  unplug(rig.platform);
  rig.stop();
  ASSERT_EQ(rig.errors.messages.size(), 1u);
  rig.platform.replug();
  // The port is still open: exit sends the all-off frame itself.
  exitAndCheck(rig);
  EXPECT_EQ(rig.board->outputBits(), 0u);
  EXPECT_EQ(rig.errors.messages.size(), 1u);
}

// ---------------------------------------------------------------- event thread

TEST(EventThreadFaults, AModemStatusThatCannotBeReadInADeliveryEndsTheThreadOnce) {
  Rig rig;
  startRunning(rig);
  failCall(rig.platform, testing_support::Op::GetCommModemStatus, 1);
  rig.board->setCts(true);
  ASSERT_TRUE(rig.pumpUntil([&] { return !rig.threadErrors().empty(); }));
  EXPECT_EQ(rig.threadErrors(), std::vector<std::string>{kGetCommModemStatus});
  EXPECT_EQ(rig.player().ChannelEnabled()[2], 1)
      << "an input whose state was not read changes nothing";

  // No more deliveries, and no more errors, until the port is opened again;
  // the steps go on.
  const int queued = rig.queued();
  for (int i = 0; i < 5; ++i) {
    rig.board->setCts(i % 2 == 0 ? false : true);
    rig.board->setDsr(i % 2 == 0);
  }
  rig.pumpUntil([] { return false; }, 100);
  EXPECT_EQ(rig.queued(), queued);
  EXPECT_EQ(rig.threadErrors().size(), 1u);
  rig.tick(3);
  EXPECT_EQ(rig.board->outputBits(), rig.currentFrame());
  EXPECT_TRUE(rig.errors.messages.empty());

  rig.stop();
  rig.expectStopped();
  EXPECT_TRUE(rig.errors.messages.empty());

  // A new start watches the inputs again.
  rig.board->setCts(false);
  rig.start();
  rig.board->setCts(true);
  ASSERT_TRUE(rig.pumpUntil([&] { return rig.player().ChannelEnabled()[2] == 0; }));
  rig.tick(3);
  EXPECT_EQ(rig.board->outputBits(), rig.currentFrame());
  EXPECT_EQ(rig.board->outputBits() & frameBits({3}), 0u);
  exitAndCheck(rig);
  EXPECT_EQ(rig.threadErrors().size(), 1u);
}

TEST(EventThreadFaults, TheBoardUnpluggedWhileACtsChangeIsHandedOver) {
  Rig rig;
  startRunning(rig);
  const int queued = rig.queued();
  rig.board->setCts(true);
  ASSERT_TRUE(rig.waitQueued(queued));
  unplug(rig.platform);
  // The handler now runs and finds the board gone.
  ASSERT_TRUE(rig.pumpUntil([&] { return !rig.threadErrors().empty(); }));
  EXPECT_EQ(rig.threadErrors(), std::vector<std::string>{kGetCommModemStatus});
  EXPECT_EQ(rig.player().ChannelEnabled()[2], 1);

  rig.tick(20);
  EXPECT_EQ(rig.errors.messages, std::vector<std::string>{kEscapeCommFunction});
  rig.expectOnlyWholeFramesLatched();
  rig.stop();
  rig.stop();
  rig.expectStopped();
  EXPECT_EQ(rig.errors.messages, (std::vector<std::string>{kEscapeCommFunction, kEscapeCommFunction,
                                                           sequencer::text::kReleased}));
  exitAndCheck(rig);
  EXPECT_EQ(rig.threadErrors().size(), 1u);
}

TEST(EventThreadFaults, TheBoardUnpluggedAndPluggedBackWhileTheThreadWaits) {
  Rig rig;
  startRunning(rig);
  unplug(rig.platform);
  rig.board->setCts(true);  // while the board is away
  rig.pumpUntil([] { return false; }, 50);
  rig.platform.replug();
  // The thread keeps trying and sees the change once the board answers.
  ASSERT_TRUE(rig.pumpUntil([&] { return rig.player().ChannelEnabled()[2] == 0; }));
  EXPECT_TRUE(rig.threadErrors().empty());
  rig.tick(3);
  EXPECT_EQ(rig.board->outputBits(), rig.currentFrame());
  exitAndCheck(rig);
}

TEST(EventThreadFaults, ExitWhileADeliveryWaitsRunsItAndEnds) {
  Rig rig;
  startRunning(rig);
  const int queued = rig.queued();
  rig.board->setCts(true);
  ASSERT_TRUE(rig.waitQueued(queued));
  // The close waits for the thread, and the thread for this side.
  exitAndCheck(rig);
  EXPECT_EQ(rig.player().ChannelEnabled()[2], 0) << "the waiting delivery ran during the close";
  EXPECT_EQ(rig.board->outputBits(), 0u);
  EXPECT_TRUE(rig.errors.messages.empty());
}

TEST(EventThreadFaults, ExitWithTheBoardGoneWhileADeliveryWaits) {
  Rig rig;
  startRunning(rig);
  const int queued = rig.queued();
  rig.board->setCts(true);
  ASSERT_TRUE(rig.waitQueued(queued));
  unplug(rig.platform);
  exitAndCheck(rig);
  EXPECT_EQ(rig.errors.messages, std::vector<std::string>{kEscapeCommFunction});
  EXPECT_EQ(rig.threadErrors(), std::vector<std::string>{kGetCommModemStatus});
}

TEST(EventThreadFaults, ErrorEventsOfAGoneBoardEndTheThreadAndStopStillWorks) {
  Rig rig;
  startRunning(rig);
  failCall(rig.platform, testing_support::Op::ClearCommError, 1);
  rig.board->raiseErrors(sys::kCeFrame);
  ASSERT_TRUE(rig.pumpUntil([&] { return !rig.threadErrors().empty(); }));
  EXPECT_EQ(rig.threadErrors(), std::vector<std::string>{comport::msg::kClearCommError});
  rig.tick(3);
  EXPECT_EQ(rig.board->outputBits(), rig.currentFrame());
  rig.stop();
  rig.expectStopped();
  exitAndCheck(rig);
}

// Thousands of small saves, each flushed to the disk: where the machine has
// a memory file system, the test folders go there. Printed at the end: how
// many faults were injected.
class FaultTestEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
#ifndef _WIN32
    std::error_code ec;
    if (std::getenv("TMPDIR") == nullptr && std::filesystem::is_directory("/dev/shm", ec) &&
        ::access("/dev/shm", W_OK) == 0) {
      ::setenv("TMPDIR", "/dev/shm", 0);
    }
#endif
  }
  void TearDown() override {
    std::printf("reliability: %d faults injected\n", faultsInjected().load());
  }
};
const auto* const kReport = ::testing::AddGlobalTestEnvironment(new FaultTestEnvironment);

}  // namespace
}  // namespace reliability
