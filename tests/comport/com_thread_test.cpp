// The port's event thread against the virtual board: what each event delivers,
// in which order and on which thread, how a failure ends or spares the thread,
// and that closing never hangs on a delivery that waits for the GUI thread.
//
// The test's own thread plays the GUI thread: it pumps the invoker until what
// it waits for has happened, always with a deadline, so a hang fails instead
// of blocking the run.
#include "comport/com_thread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "comport/serial_port.h"
#include "comport/sys/virtual_board.h"
#include "support/gui_queue.h"
#include "support/recording_platform.h"

using namespace comport;
using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Ne;
using testing_support::Call;
using testing_support::clrDtr;
using testing_support::clrRts;
using testing_support::Op;

namespace {

using Clock = std::chrono::steady_clock;

// What the handlers saw, and on which thread, whichever thread they ran on.
class Journal {
 public:
  void add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
    threads_.push_back(std::this_thread::get_id());
  }
  std::vector<std::string> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  std::vector<std::thread::id> threads() const {
    std::lock_guard lock(mutex_);
    return threads_;
  }
  int count(const std::string& entry) const {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& e : entries_) n += e == entry ? 1 : 0;
    return n;
  }
  void clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    threads_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
  std::vector<std::thread::id> threads_;
};

// The invoker of the test's GUI thread, which can tell when the event thread
// is blocked in a call that the GUI thread has not run yet.
class TestQueue : public testing_support::GuiQueue {
 public:
  void synchronize(const std::function<void()>& call) override {
    {
      std::lock_guard lock(mutex_);
      ++entered_;
    }
    changed_.notify_all();
    GuiQueue::synchronize([this, &call] {
      {
        std::lock_guard lock(mutex_);
        ++ran_;
      }
      call();
    });
  }

  int calls() const {
    std::lock_guard lock(mutex_);
    return entered_;
  }

  // Sleeps, running nothing, until a call waits for the GUI thread.
  [[nodiscard]] bool waitUntilBlocked(Clock::duration limit = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return entered_ > ran_; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  int entered_ = 0;
  int ran_ = 0;
};

// Ends the test program when a test hangs where it cannot be interrupted (a
// close that deadlocks): a clear message beats the runner's time-out.
class Watchdog {
 public:
  Watchdog(std::chrono::seconds limit, const char* what)
      : thread_([this, limit, what] {
          std::unique_lock lock(mutex_);
          if (!done_changed_.wait_for(lock, limit, [this] { return done_; })) {
            std::fprintf(stderr, "still not done after %lld s: %s\n",
                         static_cast<long long>(limit.count()), what);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    done_changed_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable done_changed_;
  bool done_ = false;
  std::thread thread_;  // last: starts once the members above exist
};

std::string level(bool state) {
  return state ? "1" : "0";
}

class ComThreadTest : public ::testing::Test {
 protected:
  ComThreadTest() : port(platform, &queue) {
    platform.setLogging(true);
    queue.onException = [this](const std::exception& e) { shown.add(e.what()); };
    port.onThreadError = [this](const std::string& message) { threadErrors.add(message); };
    // The last event of the delivery order: see settle().
    port.OnRx80Full = [this](TSerialPort&) { journal.add("Rx80Full"); };
  }

  void watchLines() {
    port.OnCTSChange = [this](TSerialPort&, bool state) { journal.add("CTS " + level(state)); };
    port.OnDSRChange = [this](TSerialPort&, bool state) { journal.add("DSR " + level(state)); };
    port.OnRLSDChange = [this](TSerialPort&, bool state) { journal.add("RLSD " + level(state)); };
  }

  void watchErrors() {
    port.OnError = [this](TSerialPort&, TComErrors errors) {
      journal.add("Error " + std::to_string(errors.bits()));
    };
  }

  // The GUI thread's loop: runs what the event thread hands over until `done`
  // holds. False when the deadline passes first.
  bool pumpUntil(const std::function<bool()>& done, Clock::duration limit = 10s) {
    const auto deadline = Clock::now() + limit;
    for (;;) {
      queue.checkSynchronize();
      if (done()) return true;
      if (Clock::now() > deadline) return false;
      queue.waitForWork(5);
    }
  }

  void pumpFor(Clock::duration span) {
    const auto end = Clock::now() + span;
    pumpUntil([&] { return Clock::now() >= end; }, span + 1s);
  }

  // Raises EV_RX80FULL and pumps until it has been delivered. It comes last in
  // the delivery order, so everything the board did before has been delivered
  // when this returns true.
  [[nodiscard]] bool settle() {
    const int before = journal.count("Rx80Full");
    board->raiseEvents(sys::kEvRx80Full);
    return pumpUntil([&] { return journal.count("Rx80Full") > before; });
  }

  int callCount(Op op) const { return static_cast<int>(platform.calls({op}).size()); }

  bool threadCleanedUp() const {
    const auto purges = platform.calls({Op::PurgeComm});
    return std::find(purges.begin(), purges.end(), Call{Op::PurgeComm, {0x0c}}) != purges.end();
  }

  // After the thread has ended by `message`: no more events, and the port
  // still closes cleanly.
  void expectEndedBy(const std::string& message, const std::vector<std::string>& delivered) {
    ASSERT_TRUE(pumpUntil([&] { return threadErrors.count(message) == 1 && threadCleanedUp(); }));
    const int waits = callCount(Op::WaitCommEvent);
    board->setDsr(!board->dsr());
    board->setRlsd(!board->rlsd());
    board->setCts(!board->cts());
    board->raiseEvents(sys::kEvRx80Full | sys::kEvTxEmpty);
    pumpFor(100ms);
    EXPECT_THAT(journal.entries(), ::testing::ElementsAreArray(delivered));
    EXPECT_EQ(callCount(Op::WaitCommEvent), waits);
    EXPECT_THAT(threadErrors.entries(), ElementsAre(message));
    EXPECT_THAT(shown.entries(), IsEmpty());
    {
      Watchdog watchdog(30s, "ClosePort after the event thread ended");
      port.ClosePort();
    }
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(platform.openDevices(), 0);
    EXPECT_EQ(platform.openEvents(), 0);
    EXPECT_EQ(threadErrors.entries().size(), 1u);
  }

  std::shared_ptr<sys::VirtualBoard> board = std::make_shared<sys::VirtualBoard>("COM2");
  testing_support::RecordingPlatform platform{*board};
  TestQueue queue;
  Journal journal;       // handler calls
  Journal shown;         // exceptions handed to the invoker
  Journal threadErrors;  // onThreadError
  TSerialPort port;      // last: closed first, while the above still exist
};

// ---------------------------------------------------------------- lines

TEST_F(ComThreadTest, EachLineChangeIsOneCallWithTheNewLevelOnTheGuiThread) {
  watchLines();
  port.OpenPort();
  board->setCts(true);
  ASSERT_TRUE(settle());
  board->setCts(false);
  ASSERT_TRUE(settle());
  board->setDsr(true);
  ASSERT_TRUE(settle());
  board->setDsr(false);
  ASSERT_TRUE(settle());
  board->setRlsd(true);
  ASSERT_TRUE(settle());
  board->setRlsd(false);
  ASSERT_TRUE(settle());
  EXPECT_THAT(journal.entries(),
              ElementsAre("CTS 1", "Rx80Full", "CTS 0", "Rx80Full", "DSR 1", "Rx80Full", "DSR 0",
                          "Rx80Full", "RLSD 1", "Rx80Full", "RLSD 0", "Rx80Full"));
  EXPECT_THAT(journal.threads(), Each(std::this_thread::get_id()));
}

TEST_F(ComThreadTest, WithoutSynchronisationHandlersRunOnTheEventThread) {
  port.setSyncMethod(smNone);
  watchLines();
  port.OpenPort();
  board->setDsr(true);
  ASSERT_TRUE(settle());
  board->setRlsd(true);
  ASSERT_TRUE(settle());
  board->setCts(true);
  ASSERT_TRUE(settle());
  board->setCts(false);
  ASSERT_TRUE(settle());
  EXPECT_THAT(journal.entries(), ElementsAre("DSR 1", "Rx80Full", "RLSD 1", "Rx80Full", "CTS 1",
                                             "Rx80Full", "CTS 0", "Rx80Full"));
  const auto threads = journal.threads();
  EXPECT_THAT(threads, Each(Ne(std::this_thread::get_id())));
  EXPECT_THAT(threads, Each(threads.front()));
  // Nothing was ever handed to the GUI thread.
  EXPECT_EQ(queue.calls(), 0);
}

TEST_F(ComThreadTest, ALineWithoutAHandlerIsNotEvenRead) {
  port.OnDSRChange = [this](TSerialPort&, bool state) { journal.add("DSR " + level(state)); };
  port.OpenPort();
  platform.clearCalls();
  board->setCts(true);
  board->setRlsd(true);
  ASSERT_TRUE(settle());
  EXPECT_THAT(platform.calls({Op::GetCommModemStatus}), IsEmpty());
  // The same change of a line with a handler is read once.
  board->setDsr(true);
  ASSERT_TRUE(settle());
  EXPECT_THAT(platform.calls({Op::GetCommModemStatus}), ElementsAre(Call{Op::GetCommModemStatus}));
  EXPECT_THAT(journal.entries(), ElementsAre("Rx80Full", "DSR 1", "Rx80Full"));
}

TEST_F(ComThreadTest, StateIsTheLevelAtDeliveryNotAtTheChange) {
  watchLines();
  port.OnTxEmpty = [this](TSerialPort&) { journal.add("TxEmpty"); };
  port.OpenPort();

  // A pulse that is over while the thread still waits for the GUI thread.
  board->raiseEvents(sys::kEvTxEmpty);
  ASSERT_TRUE(queue.waitUntilBlocked());
  board->setCts(true);
  board->setCts(false);
  ASSERT_TRUE(settle());
  EXPECT_THAT(journal.entries(), ElementsAre("TxEmpty", "CTS 0", "Rx80Full"));

  // Two quick changes: two calls, both with the level at their delivery.
  journal.clear();
  board->setDsr(true);
  ASSERT_TRUE(queue.waitUntilBlocked());
  board->setDsr(false);
  ASSERT_TRUE(settle());
  EXPECT_THAT(journal.entries(), ElementsAre("DSR 0", "DSR 0", "Rx80Full"));
}

TEST_F(ComThreadTest, EventsWithoutAHandlerAreNotHandedToTheGuiThread) {
  port.OpenPort();
  // The latch's EV_TXEMPTY, a ring, a CTS change: no handler for any.
  for (const std::function<void()>& happen : std::vector<std::function<void()>>{
           [&] { board->raiseEvents(sys::kEvTxEmpty); }, [&] { board->setRing(true); },
           [&] { board->setCts(true); }, [&] { board->raiseErrors(sys::kCeFrame); }}) {
    const int waits = callCount(Op::WaitCommEvent);
    happen();
    // Delivered when the thread waits again.
    ASSERT_TRUE(pumpUntil([&] { return callCount(Op::WaitCommEvent) > waits; }));
  }
  EXPECT_EQ(queue.calls(), 0);
  // The error flags are still read and cleared, on the event thread.
  EXPECT_THAT(platform.calls({Op::ClearCommError}), ElementsAre(Call{Op::ClearCommError}));
  EXPECT_THAT(platform.calls({Op::GetCommModemStatus}), IsEmpty());

  // With a handler, the same event goes to the GUI thread.
  port.OnTxEmpty = [this](TSerialPort&) { journal.add("TxEmpty"); };
  board->raiseEvents(sys::kEvTxEmpty);
  ASSERT_TRUE(pumpUntil([&] { return journal.count("TxEmpty") == 1; }));
  EXPECT_EQ(queue.calls(), 1);
}

// ---------------------------------------------------------------- order

TEST_F(ComThreadTest, EventsOfOneWaitAreDeliveredInTheFixedOrder) {
  watchLines();
  port.OnTxEmpty = [this](TSerialPort&) { journal.add("TxEmpty"); };
  port.OnRing = [this](TSerialPort&) { journal.add("Ring"); };
  port.OpenPort();
  // Every bit of the watched mask at once: nothing queued and no error flags,
  // so only the notifications and the three line reads remain.
  board->raiseEvents(0x05BD);
  ASSERT_TRUE(pumpUntil([&] { return journal.count("Rx80Full") == 1; }));
  EXPECT_THAT(journal.entries(),
              ElementsAre("TxEmpty", "Ring", "CTS 0", "DSR 0", "RLSD 0", "Rx80Full"));
}

TEST_F(ComThreadTest, EventsThatPileUpDuringADeliveryComeInTheFixedOrder) {
  watchLines();
  watchErrors();
  port.OnRxChar = [this](TSerialPort&, int count) {
    journal.add("RxChar " + std::to_string(count));
  };
  port.OnTxEmpty = [this](TSerialPort&) { journal.add("TxEmpty"); };
  port.OnRing = [this](TSerialPort&) { journal.add("Ring"); };
  port.OpenPort();

  // Hold the thread in a delivery, then let everything happen, latest first.
  board->raiseEvents(sys::kEvTxEmpty);
  ASSERT_TRUE(queue.waitUntilBlocked());
  board->raiseEvents(sys::kEvRx80Full);
  board->setRlsd(true);
  board->setDsr(true);
  board->setCts(true);
  board->setRing(true);
  board->raiseEvents(sys::kEvTxEmpty);
  board->receive("xy");
  board->raiseErrors(sys::kCeFrame);
  ASSERT_TRUE(pumpUntil([&] { return journal.count("Rx80Full") == 1; }));
  EXPECT_THAT(journal.entries(),
              ElementsAre("TxEmpty", "Error " + std::to_string(TComErrors{ceFrame}.bits()),
                          "RxChar 2", "TxEmpty", "Ring", "CTS 1", "DSR 1", "RLSD 1", "Rx80Full"));
}

// ---------------------------------------------------------------- errors, data

TEST_F(ComThreadTest, AParityErrorWithoutParityCheckingIsClearedButNotReported) {
  watchErrors();
  port.OpenPort();
  platform.clearCalls();
  board->raiseErrors(sys::kCeRxParity);
  ASSERT_TRUE(settle());
  EXPECT_THAT(journal.entries(), ElementsAre("Rx80Full"));
  EXPECT_THAT(platform.calls({Op::ClearCommError}), ElementsAre(Call{Op::ClearCommError}));

  // The flag was cleared: with parity checked now, a framing error comes
  // alone, and a new parity error is reported.
  port.setParity(paEven);
  board->raiseErrors(sys::kCeFrame);
  ASSERT_TRUE(settle());
  board->raiseErrors(sys::kCeRxParity);
  ASSERT_TRUE(settle());
  EXPECT_THAT(
      journal.entries(),
      ElementsAre("Rx80Full", "Error " + std::to_string(TComErrors{ceFrame}.bits()), "Rx80Full",
                  "Error " + std::to_string(TComErrors{ceRxParity}.bits()), "Rx80Full"));
}

TEST_F(ComThreadTest, ErrorFlagsAreClearedEvenWithoutAHandler) {
  port.OpenPort();
  platform.clearCalls();
  board->raiseErrors(sys::kCeBreak | sys::kCeOverrun);
  ASSERT_TRUE(settle());
  EXPECT_THAT(platform.calls({Op::ClearCommError}), ElementsAre(Call{Op::ClearCommError}));
  // Assigned on the GUI thread, where the deliveries run.
  watchErrors();
  board->raiseErrors(sys::kCeFrame);
  ASSERT_TRUE(settle());
  EXPECT_THAT(
      journal.entries(),
      ElementsAre("Rx80Full", "Error " + std::to_string(TComErrors{ceFrame}.bits()), "Rx80Full"));
}

TEST_F(ComThreadTest, EachErrorFlagGivesItsOwnErrorValue) {
  port.setParity(paOdd);
  watchErrors();
  port.OpenPort();
  const std::pair<std::uint32_t, ComError> flags[] = {
      {sys::kCeFrame, ceFrame},     {sys::kCeRxParity, ceRxParity},
      {sys::kCeOverrun, ceOverrun}, {sys::kCeBreak, ceBreak},
      {sys::kCeIoe, ceIO},          {sys::kCeMode, ceMode},
      {sys::kCeRxOver, ceRxOver},   {sys::kCeTxFull, ceTxFull},
  };
  std::vector<std::string> expected;
  for (const auto& [flag, error] : flags) {
    board->raiseErrors(flag);
    ASSERT_TRUE(settle());
    expected.push_back("Error " + std::to_string(TComErrors{error}.bits()));
    expected.push_back("Rx80Full");
  }
  // Several at once; flags without an error value are dropped, and alone
  // they report nothing.
  board->raiseErrors(sys::kCeOverrun | sys::kCeTxFull | 0x0020);
  ASSERT_TRUE(settle());
  expected.push_back("Error " + std::to_string(TComErrors{ceOverrun, ceTxFull}.bits()));
  expected.push_back("Rx80Full");
  board->raiseErrors(0x0040 | 0x0200);
  ASSERT_TRUE(settle());
  expected.push_back("Rx80Full");
  EXPECT_THAT(journal.entries(), ::testing::ElementsAreArray(expected));
  EXPECT_EQ(TComErrors{ceFrame}.bits(), 0x01u);
  EXPECT_EQ(TComErrors{ceTxFull}.bits(), 0x80u);
}

TEST_F(ComThreadTest, ReceivedCharactersReportTheQueuedCountAndNothingWhenEmpty) {
  port.OnRxChar = [this](TSerialPort&, int count) {
    journal.add("RxChar " + std::to_string(count));
  };
  port.OpenPort();
  board->raiseEvents(sys::kEvRxChar);
  ASSERT_TRUE(settle());
  board->receive("abc");
  ASSERT_TRUE(settle());
  board->receive("de");
  ASSERT_TRUE(settle());
  EXPECT_THAT(journal.entries(),
              ElementsAre("Rx80Full", "RxChar 3", "Rx80Full", "RxChar 5", "Rx80Full"));
}

// ---------------------------------------------------------------- window mode

TEST_F(ComThreadTest, WindowModeDeliversARlsdChangeAndARingOnceEach) {
  port.setSyncMethod(smWindowSync);
  watchLines();
  port.OnRing = [this](TSerialPort&) { journal.add("Ring"); };
  port.OpenPort();
  board->setRlsd(true);
  ASSERT_TRUE(settle());
  board->setRing(true);
  ASSERT_TRUE(settle());
  board->setRing(false);  // only the ring going active is an event
  ASSERT_TRUE(settle());
  EXPECT_THAT(journal.entries(), ElementsAre("RLSD 1", "Rx80Full", "Ring", "Rx80Full", "Rx80Full"));
  EXPECT_THAT(journal.threads(), Each(std::this_thread::get_id()));
  EXPECT_THAT(shown.entries(), IsEmpty());
}

TEST_F(ComThreadTest, WindowModeLetsTheThreadWaitAgainWhileAHandlerRuns) {
  port.setSyncMethod(smWindowSync);
  int waits = 0;
  bool rearmed = false;
  bool ran = false;
  port.OnRing = [&](TSerialPort&) {
    // The message was replied to before this runs, so the thread goes on to
    // its next device wait while the handler is still busy.
    const auto deadline = Clock::now() + 5s;
    while (!rearmed && Clock::now() < deadline) {
      rearmed = callCount(Op::WaitCommEvent) > waits;
      std::this_thread::sleep_for(1ms);
    }
    ran = true;
  };
  port.OpenPort();
  ASSERT_TRUE(pumpUntil([&] { return callCount(Op::WaitCommEvent) == 1; }));
  waits = 1;  // the wait that the ring ends
  board->setRing(true);
  ASSERT_TRUE(pumpUntil([&] { return ran; }));
  EXPECT_TRUE(rearmed);
}

TEST_F(ComThreadTest, WindowMessagesAfterTheCloseAreIgnored) {
  port.setSyncMethod(smWindowSync);
  watchLines();
  port.OnRing = [this](TSerialPort&) { journal.add("Ring"); };
  port.OnRxChar = [this](TSerialPort&, int count) {
    journal.add("RxChar " + std::to_string(count));
  };
  watchErrors();
  port.OpenPort();
  board->setRlsd(true);
  port.windowProcedure(sys::kEvRlsd);  // open: dispatched
  port.ClosePort();
  journal.clear();
  platform.clearCalls();
  for (std::uint32_t message : {sys::kEvRlsd, sys::kEvCts, sys::kEvDsr, sys::kEvRing,
                                sys::kEvRxChar, sys::kEvErr, sys::kEvRx80Full}) {
    port.windowProcedure(message);
  }
  EXPECT_THAT(journal.entries(), IsEmpty());
  EXPECT_THAT(platform.calls(), IsEmpty());
  EXPECT_THAT(shown.entries(), IsEmpty());
}

TEST_F(ComThreadTest, WindowModeShowsAnExceptionAndGoesOn) {
  port.setSyncMethod(smWindowSync);
  port.OnRLSDChange = [this](TSerialPort&, bool state) {
    journal.add("RLSD " + level(state));
    throw std::runtime_error("handler failed");
  };
  port.OnDSRChange = [this](TSerialPort&, bool state) { journal.add("DSR " + level(state)); };
  port.OpenPort();
  board->setRlsd(true);
  ASSERT_TRUE(settle());
  platform.failCall(Op::GetCommModemStatus, 1, sys::kErrorGenFailure);
  board->setDsr(true);
  ASSERT_TRUE(settle());
  board->setDsr(false);
  ASSERT_TRUE(settle());
  EXPECT_THAT(shown.entries(), ElementsAre("handler failed", msg::kGetCommModemStatus));
  EXPECT_THAT(shown.threads(), Each(std::this_thread::get_id()));
  EXPECT_THAT(journal.entries(),
              ElementsAre("RLSD 1", "Rx80Full", "Rx80Full", "DSR 0", "Rx80Full"));
  EXPECT_THAT(threadErrors.entries(), IsEmpty());
}

// ---------------------------------------------------------------- failures

TEST_F(ComThreadTest, AHandlerExceptionEndsTheThread) {
  watchLines();
  bool failing = true;
  port.OnCTSChange = [&](TSerialPort&, bool state) {
    journal.add("CTS " + level(state));
    if (failing) throw EComPort("handler failed");
  };
  port.OpenPort();
  board->setCts(true);
  expectEndedBy("handler failed", {"CTS 1"});

  // A new open starts a new thread that delivers again.
  failing = false;
  journal.clear();
  port.OpenPort();
  board->setCts(true);
  ASSERT_TRUE(settle());
  EXPECT_THAT(journal.entries(), ElementsAre("CTS 1", "Rx80Full"));
}

TEST_F(ComThreadTest, AFailedStatusReadEndsTheThread) {
  watchLines();
  port.OpenPort();
  platform.failCall(Op::GetCommModemStatus, 1, sys::kErrorGenFailure);
  board->setRlsd(true);
  expectEndedBy(msg::kGetCommModemStatus, {});
}

TEST_F(ComThreadTest, AFailedErrorReadEndsTheThread) {
  watchErrors();
  port.OpenPort();
  platform.failCall(Op::ClearCommError, 1, sys::kErrorGenFailure);
  board->raiseErrors(sys::kCeFrame);
  expectEndedBy(msg::kClearCommError, {});
}

TEST_F(ComThreadTest, WithoutSynchronisationAHandlerExceptionEndsTheThreadDirectly) {
  port.setSyncMethod(smNone);
  watchLines();
  port.OnDSRChange = [this](TSerialPort&, bool) { throw std::runtime_error("handler failed"); };
  port.OpenPort();
  board->setDsr(true);
  expectEndedBy("handler failed", {});
  EXPECT_THAT(threadErrors.threads(), Each(Ne(std::this_thread::get_id())));
}

// ---------------------------------------------------------------- closing

TEST_F(ComThreadTest, ClosingWhileADeliveryWaitsForTheGuiThreadNeverDeadlocks) {
  platform.setLogging(false);
  int delivered = 0;
  bool lastState = false;
  port.OnCTSChange = [&](TSerialPort&, bool state) {
    ++delivered;
    lastState = state;
  };
  Watchdog watchdog(60s, "closing while a delivery waits for the GUI thread");
  for (int i = 0; i < 1000; ++i) {
    port.OpenPort();
    board->setCts(i % 2 == 0);
    ASSERT_TRUE(queue.waitUntilBlocked()) << "round " << i;
    // No pumping first: the close itself must run the waiting delivery.
    port.ClosePort();
    ASSERT_FALSE(port.IsOpen());
    ASSERT_EQ(delivered, i + 1) << "round " << i;
    ASSERT_EQ(lastState, i % 2 == 0) << "round " << i;
  }
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(platform.openEvents(), 0);
}

TEST_F(ComThreadTest, TheThreadWatchesAllEightEventsAndClearsMaskAndQueuesOnItsWayOut) {
  port.OpenPort();
  EXPECT_THAT(platform.calls({Op::SetCommMask}), ElementsAre(Call{Op::SetCommMask, {0x05bd}}));
  EXPECT_EQ(board->state().mask, 0x05BDu);
  platform.clearCalls();
  port.ClosePort();
  EXPECT_THAT(
      platform.calls({Op::EscapeCommFunction, Op::PurgeComm, Op::SetCommMask, Op::CloseHandle}),
      ElementsAre(clrDtr(), clrRts(), Call{Op::PurgeComm, {0x03}}, Call{Op::SetCommMask, {0}},
                  Call{Op::PurgeComm, {0x0c}}, Call{Op::CloseHandle}));
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(platform.openEvents(), 0);
}

// When the exit cannot clear the mask, only the port's close ends the
// thread's last device wait: the record that wait completes must outlive the
// close (under AddressSanitizer, a late completion into a freed record fails).
TEST_F(ComThreadTest, AWaitTheExitCannotEndIsEndedByTheCloseIntoALiveRecord) {
  watchLines();
  port.OpenPort();
  ASSERT_TRUE(pumpUntil([&] { return callCount(Op::WaitCommEvent) == 1; }));
  platform.failCall(Op::SetCommMask, 1, sys::kErrorBadCommand);
  platform.clearCalls();
  {
    Watchdog watchdog(30s, "ClosePort with a wait the exit cannot end");
    port.ClosePort();
  }
  EXPECT_FALSE(port.IsOpen());
  EXPECT_THAT(platform.calls({Op::SetCommMask, Op::PurgeComm, Op::CloseHandle}),
              ElementsAre(Call{Op::PurgeComm, {0x03}}, Call{Op::SetCommMask, {0}},
                          Call{Op::PurgeComm, {0x0c}}, Call{Op::CloseHandle}));
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(platform.openEvents(), 0);
  EXPECT_FALSE(board->state().open);

  // The port opens and delivers again.
  port.OpenPort();
  board->setCts(true);
  ASSERT_TRUE(settle());
  EXPECT_THAT(journal.entries(), ElementsAre("CTS 1", "Rx80Full"));
}

TEST_F(ComThreadTest, AnUnpluggedBoardDoesNotMakeTheThreadSpin) {
  watchLines();
  port.OpenPort();
  platform.unplug();
  const int before = callCount(Op::WaitCommEvent);
  pumpFor(200ms);
  EXPECT_LE(callCount(Op::WaitCommEvent) - before, 10);
  // The close fails at its first line operation; the release still lets go.
  EXPECT_THROW(port.ClosePort(), EComPort);
  EXPECT_TRUE(port.IsOpen());
  const auto start = Clock::now();
  {
    Watchdog watchdog(30s, "releasePort of an unplugged board");
    port.releasePort();
  }
  EXPECT_LT(Clock::now() - start, 500ms);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(platform.openEvents(), 0);
  EXPECT_THAT(journal.entries(), IsEmpty());
  EXPECT_THAT(threadErrors.entries(), IsEmpty());
}

TEST_F(ComThreadTest, ADeviceThatRefusesEveryWaitDoesNotMakeTheThreadSpin) {
  port.OpenPort();
  ASSERT_TRUE(settle());
  platform.failAlways(Op::WaitCommEvent, sys::kErrorBadCommand);
  // One more event, so that the thread goes back to a wait that is refused.
  const int before = callCount(Op::WaitCommEvent);
  board->raiseEvents(sys::kEvTxEmpty);
  pumpFor(200ms);
  EXPECT_LE(callCount(Op::WaitCommEvent) - before, 10);
  const auto start = Clock::now();
  {
    Watchdog watchdog(30s, "ClosePort of a device that refuses to wait");
    port.ClosePort();
  }
  EXPECT_LT(Clock::now() - start, 500ms);
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(platform.openEvents(), 0);
}

}  // namespace
