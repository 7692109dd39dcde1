// The Linux backend's modem lines, on a pty whose lines and interrupt counters
// are a model of a 16550 driver's (tests/support/tty_model.c answers the
// TIOCM* requests of this program for that pty). What the model cannot show
// (a real UART, a USB adapter's own TIOCMIWAIT) the QEMU rig does.
#include <chrono>
#include <future>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include "comport/serial_port.h"
#include "comport/sys/linux_platform.h"
#include "posix_test_support.h"
#include "support/gui_queue.h"
#include "support/recording_platform.h"
#include "support/tty_model.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using comport::TSerialPort;
using posix_testing::eventually;
using posix_testing::Pty;
using ::testing::Each;
using testing_support::Op;
using testing_support::TempFolder;

constexpr std::uint32_t kLines = sys::kEvCts | sys::kEvDsr | sys::kEvRlsd | sys::kEvRing;

// A pty in a device folder of its own, with the model's lines; with or
// without TIOCMIWAIT.
class LinuxLinesTest : public ::testing::TestWithParam<bool> {
 protected:
  LinuxLinesTest() {
    fs::create_directory(temp.path("dev"));
    fs::create_directory(temp.path("sys"));
    fs::create_symlink(pty.slave(), temp.path("dev/ttyS9"));
    EXPECT_EQ(ttyModelAttach(pty.slave().c_str(), GetParam() ? 1 : 0), 0);
  }
  ~LinuxLinesTest() override {
    platform.reset();
    ttyModelDetach();
  }

  sys::Handle open() {
    const sys::Handle h = platform->CreateFileA("\\\\.\\ttyS9", 0, 0, 0, 0);
    EXPECT_NE(h, sys::kInvalidHandle);
    return h;
  }
  // Watches `mask`; with TIOCMIWAIT, until the watcher waits (a 16550 counts
  // nothing before that).
  void watch(sys::Handle h, std::uint32_t mask) {
    ASSERT_TRUE(platform->SetCommMask(h, mask));
    ASSERT_TRUE(eventually([] { return !GetParam() || ttyModelWaiting() == 1; }));
  }
  // Starts a status wait and waits for its end; the events, or ~0 for none
  // within `limit` (the wait is then ended by a new mask).
  std::uint32_t nextEvents(sys::Handle h, std::uint32_t mask,
                           const std::function<void()>& meanwhile = {},
                           std::chrono::milliseconds limit = 5s) {
    const sys::Handle event = platform->CreateEventA(true, false);
    sys::Overlapped overlapped{};
    overlapped.hEvent = event;
    std::uint32_t got = 0;
    std::uint32_t result = ~0u;
    if (platform->WaitCommEvent(h, &got, &overlapped)) {
      result = got;
    } else if (platform->GetLastError() == sys::kErrorIoPending) {
      if (meanwhile) meanwhile();
      if (platform->WaitForSingleObject(event, static_cast<std::uint32_t>(limit.count())) ==
          sys::kWaitObject0) {
        std::uint32_t transferred = 0;
        result = platform->GetOverlappedResult(h, &overlapped, &transferred, false) ? got : ~1u;
      } else {
        platform->SetCommMask(h, mask);
        platform->WaitForSingleObject(event, sys::kInfinite);
      }
    }
    platform->CloseHandle(event);
    return result;
  }
  // The events of every wait that ends within a moment, together.
  std::uint32_t drain(sys::Handle h, std::uint32_t mask) {
    std::uint32_t all = 0;
    for (std::uint32_t events; (events = nextEvents(h, mask, {}, 100ms)) != ~0u;) all |= events;
    return all;
  }

  TempFolder temp;
  Pty pty;
  std::unique_ptr<sys::Platform> platform =
      sys::makeLinuxPlatform(temp.path("dev"), temp.path("sys"), temp.path("lock"));
};

INSTANTIATE_TEST_SUITE_P(Driver, LinuxLinesTest, ::testing::Values(true, false),
                         [](const auto& info) {
                           return info.param ? std::string("WithTiocmiwait")
                                             : std::string("WithoutTiocmiwait");
                         });

TEST_P(LinuxLinesTest, EveryInputChangeIsItsEventAndAPulseThatIsOverStillCounts) {
  const sys::Handle h = open();
  watch(h, kLines);
  const std::pair<int, std::uint32_t> inputs[] = {
      {TIOCM_CTS, sys::kEvCts}, {TIOCM_DSR, sys::kEvDsr}, {TIOCM_CD, sys::kEvRlsd}};
  for (const auto& [bit, event] : inputs) {
    SCOPED_TRACE(event);
    EXPECT_EQ(nextEvents(h, kLines, [bit = bit] { ttyModelSetInput(bit, 1); }), event);
    EXPECT_EQ(nextEvents(h, kLines, [bit = bit] { ttyModelSetInput(bit, 0); }), event);
    // On and off at once: one event for both edges, or a second one for the
    // edge that came while the first was being looked at; the level is low.
    EXPECT_EQ(nextEvents(h, kLines,
                         [bit = bit] {
                           ttyModelSetInput(bit, 1);
                           ttyModelSetInput(bit, 0);
                         }),
              event);
    EXPECT_EQ(drain(h, kLines) & ~event, 0u);
    std::uint32_t status = 0xFF;
    ASSERT_TRUE(platform->GetCommModemStatus(h, &status));
    EXPECT_EQ(status, 0u);
  }
  // A ring counts when it ends.
  EXPECT_EQ(nextEvents(h, kLines,
                       [] {
                         ttyModelSetInput(TIOCM_RI, 1);
                         ttyModelSetInput(TIOCM_RI, 0);
                       }),
            sys::kEvRing);
  EXPECT_EQ(drain(h, kLines), 0u);
  EXPECT_TRUE(platform->CloseHandle(h));
}

TEST_P(LinuxLinesTest, AChangeBetweenTwoWaitsIsKeptForTheNext) {
  const sys::Handle h = open();
  watch(h, kLines | sys::kEvRxChar);
  ttyModelResetCalls();
  ttyModelSetInput(TIOCM_DSR, 1);
  // Once the watcher has looked (and, with TIOCMIWAIT, waits again), the
  // change is the port's; the next wait ends at once with it.
  const bool canWait = GetParam();
  ASSERT_TRUE(eventually([&] {
    return canWait ? ttyModelCallsOf(TIOCGICOUNT) >= 1 && ttyModelWaiting() == 1
                   : ttyModelCallsOf(TIOCGICOUNT) >= 2;
  }));
  const sys::Handle event = platform->CreateEventA(true, false);
  sys::Overlapped overlapped{};
  overlapped.hEvent = event;
  std::uint32_t events = 0;
  EXPECT_TRUE(platform->WaitCommEvent(h, &events, &overlapped));
  EXPECT_EQ(events, sys::kEvDsr);
  EXPECT_EQ(platform->WaitForSingleObject(event, 0), sys::kWaitObject0);
  platform->CloseHandle(event);
  EXPECT_TRUE(platform->CloseHandle(h));
}

TEST_P(LinuxLinesTest, LinesOutsideTheMaskAreNoEvents) {
  const sys::Handle h = open();
  watch(h, sys::kEvDsr);
  EXPECT_EQ(nextEvents(h, sys::kEvDsr,
                       [] {
                         ttyModelSetInput(TIOCM_CTS, 1);
                         ttyModelSetInput(TIOCM_DSR, 1);
                       }),
            sys::kEvDsr);
  EXPECT_EQ(nextEvents(
                h, sys::kEvDsr, [] { ttyModelSetInput(TIOCM_CTS, 0); }, 100ms),
            ~0u);
  EXPECT_TRUE(platform->CloseHandle(h));
}

TEST_P(LinuxLinesTest, AtRestAPortWithTiocmiwaitMakesNoCallsAndTheCloseEndsItsWatcher) {
  const sys::Handle h = open();
  watch(h, kLines);
  ttyModelResetCalls();
  std::this_thread::sleep_for(200ms);
  if (GetParam()) {
    EXPECT_EQ(ttyModelCalls(), 0u);
  } else {
    EXPECT_GT(ttyModelCallsOf(TIOCMGET), 0u);  // a driver without it is looked at
  }
  EXPECT_TRUE(platform->CloseHandle(h));
  EXPECT_EQ(ttyModelWaiting(), 0);
}

TEST_P(LinuxLinesTest, AMaskWithoutLinesEndsTheWatcherAndANewOneStartsIt) {
  const sys::Handle h = open();
  watch(h, kLines);
  ASSERT_TRUE(platform->SetCommMask(h, sys::kEvRxChar));
  EXPECT_EQ(ttyModelWaiting(), 0);
  ttyModelResetCalls();
  EXPECT_EQ(nextEvents(
                h, sys::kEvRxChar, [] { ttyModelSetInput(TIOCM_CTS, 1); }, 50ms),
            ~0u);
  // Only the look of the mask that ended the wait.
  EXPECT_EQ(ttyModelCallsOf(TIOCMGET) + ttyModelCallsOf(TIOCGICOUNT), 1u);
  watch(h, kLines);
  EXPECT_EQ(nextEvents(h, kLines, [] { ttyModelSetInput(TIOCM_CTS, 0); }), sys::kEvCts);
  EXPECT_TRUE(platform->CloseHandle(h));
}

TEST_P(LinuxLinesTest, AnUnpluggedDeviceEndsTheWaitWithAnError) {
  const sys::Handle h = open();
  watch(h, kLines);
  EXPECT_EQ(nextEvents(h, kLines, [] { ttyModelUnplug(); }), ~1u);
  EXPECT_EQ(ttyModelWaiting(), 0);
  EXPECT_FALSE(platform->EscapeCommFunction(h, sys::kClrDtr));
  EXPECT_EQ(platform->GetLastError(), sys::kErrorBadCommand);
  EXPECT_TRUE(platform->CloseHandle(h));
}

// Through the component, as the program has it: a pulse on CTS that is over
// before the GUI thread runs the delivery still reaches OnCTSChange, with the
// level at delivery.
TEST_P(LinuxLinesTest, APulseReachesTheHandlerWithTheLevelAtDelivery) {
  testing_support::GuiQueue gui;
  testing_support::RecordingPlatform recorder(*platform);
  recorder.setLogging(true);
  TSerialPort port(recorder, &gui);
  port.setPort("ttyS9");
  std::vector<bool> states;
  port.OnCTSChange = [&](TSerialPort&, bool state) { states.push_back(state); };
  port.OpenPort();
  ASSERT_TRUE(eventually([] { return !GetParam() || ttyModelWaiting() == 1; }));
  ttyModelSetInput(TIOCM_CTS, 1);
  ttyModelSetInput(TIOCM_CTS, 0);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (states.empty() && std::chrono::steady_clock::now() < deadline) {
    gui.waitForWork(5);
    gui.checkSynchronize();
  }
  // One call, or two when the watcher saw the edges apart; the level is low
  // at each delivery.
  ASSERT_FALSE(states.empty());
  EXPECT_LE(states.size(), 2u);
  EXPECT_THAT(states, Each(false));
  port.ClosePort();
  EXPECT_EQ(recorder.openDevices() + recorder.openEvents(), 0);
  EXPECT_EQ(ttyModelWaiting(), 0);
}

// A line setting turns a 16550's modem-status interrupt off under a watcher
// already asleep in TIOCMIWAIT; the inputs must still come through.
TEST_P(LinuxLinesTest, InputsStillComeAfterALineSettingChangesWhileOpen) {
  testing_support::GuiQueue gui;
  TSerialPort port(*platform, &gui);
  port.setPort("ttyS9");
  std::vector<bool> states;
  port.OnCTSChange = [&](TSerialPort&, bool state) { states.push_back(state); };
  port.OpenPort();
  ASSERT_TRUE(eventually([] { return !GetParam() || ttyModelWaiting() == 1; }));
  port.setBaudRate(comport::TBaudRate::br19200);
  ttyModelSetInput(TIOCM_CTS, 1);
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (states.empty() && std::chrono::steady_clock::now() < deadline) {
    gui.waitForWork(5);
    gui.checkSynchronize();
  }
  EXPECT_EQ(states, std::vector<bool>{true});
  port.ClosePort();
}

// The latch byte's wait: until the transmitter is empty by TIOCSERGETLSR (no
// tcdrain, which sleeps a jiffy at a time); a transmitter that never empties
// ends the write at its timeout (1000 ms + 100 ms a byte) with no byte
// written, as a Win32 write cut short, and the byte does not go later.
TEST_P(LinuxLinesTest, TheLatchWaitsForTheTransmitterNoLongerThanTheWriteTimeout) {
  TSerialPort port(*platform);
  port.setPort("ttyS9");
  port.OpenPort();
  const int fd = static_cast<int>(port.PortHandle());
  const auto transmitterEmpty = [fd] {
    unsigned int status = 0;
    return ioctl(fd, TIOCSERGETLSR, &status) == 0 && (status & TIOCSER_TEMT) != 0;
  };
  ttyModelSetTransmitter(1'041'667);  // 10 bits at 9600 bit/s
  ttyModelResetCalls();
  EXPECT_EQ(port.WriteText("\x01"), 1);
  EXPECT_TRUE(transmitterEmpty()) << "the write ended before its byte was out";
  EXPECT_EQ(ttyModelCallsOf(TCSBRK), 0u);

  ttyModelSetTransmitter(-1);
  const auto start = std::chrono::steady_clock::now();
  auto write = std::async(std::launch::async, [&] { return port.WriteText("\x01"); });
  if (write.wait_for(10s) != std::future_status::ready) {
    ADD_FAILURE() << "the write still waits for a transmitter that never empties";
    ttyModelUnplug();  // lets it go
  }
  EXPECT_EQ(write.get(), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1100ms);
  int queued = -1;
  EXPECT_EQ(ioctl(fd, TIOCOUTQ, &queued), 0);
  EXPECT_EQ(queued, 0) << "the byte that did not go was not dropped";
  ttyModelSetTransmitter(0);
  port.ClosePort();
  EXPECT_FALSE(port.IsOpen());
}

}  // namespace
