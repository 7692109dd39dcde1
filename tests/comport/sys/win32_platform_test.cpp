// The serial port component on the real Win32 API. In the cross build these
// run under wine (scripts/wine-run.sh): its registry, its events, and a COM
// port that wine_pty_fixture.sh backs with a looped-back pseudo-terminal.
#include "comport/sys/native_platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include "comport/list_serial_ports.h"
#include "comport/serial_port.h"
#include "support/expect_com_port.h"
#include "support/recording_platform.h"

using namespace comport;
using ::testing::Contains;
using ::testing::ElementsAre;
using testing_support::expectThrows;

namespace {

constexpr const char* kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// No dosdevices entry and no registry entry in the test prefix has this name.
constexpr const char* kMissingPort = "COM250";

// The port names of SERIALCOMM in registry order, read without the component.
std::vector<std::string> readSerialCommDirectly() {
  std::vector<std::string> names;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    ADD_FAILURE() << "cannot open HKLM\\" << kSerialComm;
    return names;
  }
  for (DWORD index = 0;; ++index) {
    char name[256];
    BYTE data[256];
    DWORD nameLength = sizeof name;
    DWORD dataLength = sizeof data;
    const LONG result =
        ::RegEnumValueA(key, index, name, &nameLength, nullptr, nullptr, data, &dataLength);
    if (result != ERROR_SUCCESS) {
      EXPECT_EQ(result, ERROR_NO_MORE_ITEMS);
      break;
    }
    names.emplace_back(reinterpret_cast<const char*>(data),
                       strnlen(reinterpret_cast<const char*>(data), dataLength));
  }
  ::RegCloseKey(key);
  return names;
}

std::vector<std::string> words(const char* text) {
  std::vector<std::string> result;
  std::istringstream in(text ? text : "");
  for (std::string word; in >> word;) result.push_back(word);
  return result;
}

class Win32PlatformTest : public ::testing::Test {
 protected:
  sys::Platform& platform = sys::nativePlatform();
};

TEST_F(Win32PlatformTest, OpeningAMissingPortRaisesNoSuchPort) {
  const sys::Handle h = platform.CreateFileA(std::string("\\\\.\\") + kMissingPort,
                                             sys::kGenericRead | sys::kGenericWrite, 0,
                                             sys::kOpenExisting, sys::kFileFlagOverlapped);
  EXPECT_EQ(h, sys::kInvalidHandle);
  EXPECT_EQ(platform.GetLastError(), sys::kErrorFileNotFound);

  TSerialPort port(platform);
  port.setPort(kMissingPort);
  expectThrows([&] { port.OpenPort(); }, msg::kNoSuchPort);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.PortHandle(), sys::kInvalidHandle);
}

TEST_F(Win32PlatformTest, LineCallsOnAClosedPortRaise) {
  TSerialPort port(platform);
  expectThrows([&] { port.SetDTR(true); }, msg::kEscapeCommFunction);
  expectThrows([&] { port.SetDTR(false); }, msg::kEscapeCommFunction);
  expectThrows([&] { port.SetRTS(false); }, msg::kEscapeCommFunction);
  EXPECT_FALSE(port.IsOpen());
}

TEST_F(Win32PlatformTest, ListSerialPortsGivesTheRegistrysPortsSortedIgnoringCase) {
  const std::vector<std::string> extra = words(std::getenv("RILVET_WINE_EXTRA_PORTS"));
  if (extra.empty()) GTEST_SKIP() << "needs the extra ports of scripts/wine-run.sh's prefix";

  const std::vector<std::string> inRegistryOrder = readSerialCommDirectly();
  std::vector<std::string> expected = inRegistryOrder;
  std::stable_sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
    return ::lstrcmpiA(a.c_str(), b.c_str()) < 0;
  });

  std::vector<std::string> ports = {"left over"};
  ListSerialPorts(platform, ports);
  EXPECT_EQ(ports, expected);

  // The prefix registers COM99, COM100 and COM230; wine keeps values ordered by
  // their names (\Device\Serial98, …99, …229), so the registry gives COM230,
  // COM99, COM100. Sorted as text: COM100, COM230, COM99.
  for (const std::string& name : extra) EXPECT_THAT(ports, Contains(name));
  std::vector<std::string> ours;
  std::copy_if(ports.begin(), ports.end(), std::back_inserter(ours), [&](const std::string& p) {
    return std::find(extra.begin(), extra.end(), p) != extra.end();
  });
  EXPECT_THAT(ours, ElementsAre("COM100", "COM230", "COM99"));
  EXPECT_NE(ports, inRegistryOrder);
}

TEST_F(Win32PlatformTest, ThePortListIsTheRegistrysInItsOwnOrder) {
  const std::vector<std::string> direct = readSerialCommDirectly();
  ASSERT_FALSE(direct.empty());
  std::vector<std::string> listed = {"left over"};
  ASSERT_TRUE(platform.listPorts(listed));
  EXPECT_EQ(listed, direct);
}

TEST_F(Win32PlatformTest, EventsAndWaits) {
  const sys::Handle manual = platform.CreateEventA(true, false);
  const sys::Handle automatic = platform.CreateEventA(false, true);
  ASSERT_NE(manual, 0u);
  ASSERT_NE(automatic, 0u);

  EXPECT_EQ(platform.WaitForSingleObject(manual, 0), sys::kWaitTimeout);
  EXPECT_TRUE(platform.SetEvent(manual));
  EXPECT_EQ(platform.WaitForSingleObject(manual, 0), sys::kWaitObject0);
  EXPECT_EQ(platform.WaitForSingleObject(manual, 0), sys::kWaitObject0);  // stays set

  const sys::Handle both[2] = {automatic, manual};
  // An automatic event is reset by the wait that sees it.
  EXPECT_EQ(platform.WaitForMultipleObjects(2, both, false, 0), sys::kWaitObject0);
  EXPECT_EQ(platform.WaitForMultipleObjects(2, both, false, 0), sys::kWaitObject0 + 1);
  EXPECT_EQ(platform.WaitForMultipleObjects(2, both, true, 0), sys::kWaitTimeout);
  EXPECT_TRUE(platform.SetEvent(automatic));
  EXPECT_EQ(platform.WaitForMultipleObjects(2, both, true, 0), sys::kWaitObject0);
  EXPECT_TRUE(platform.ResetEvent(automatic));
  EXPECT_EQ(platform.WaitForSingleObject(automatic, 0), sys::kWaitTimeout);

  EXPECT_TRUE(platform.CloseHandle(manual));
  EXPECT_TRUE(platform.CloseHandle(automatic));
  EXPECT_FALSE(platform.CloseHandle(manual));
  EXPECT_EQ(platform.WaitForSingleObject(manual, 0), sys::kWaitFailed);
}

// The fixture wires the port's TXD back to its RXD: what the component writes
// arrives in its own input queue.
TEST_F(Win32PlatformTest, PortOnAPseudoTerminalOpensWritesAndCloses) {
  const char* pty = std::getenv("RILVET_TEST_PTY_PORT");
  if (!pty) GTEST_SKIP() << "RILVET_TEST_PTY_PORT is set by the wine_pty CTest fixture";

  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    TSerialPort port(platform);
    port.setPort(pty);
    ASSERT_NO_THROW(port.OpenPort());
    ASSERT_TRUE(port.IsOpen());
    const sys::Handle handle = port.PortHandle();
    ASSERT_NE(handle, sys::kInvalidHandle);

    // The event thread purged the queue when the last round closed.
    EXPECT_EQ(port.InQueueCount(), 0);
    EXPECT_EQ(port.WriteText(""), 0);
    EXPECT_EQ(port.WriteText("\x01"), 1);
    int waiting = 0;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         waiting == 0 && std::chrono::steady_clock::now() < end;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      waiting = port.InQueueCount();
    }
    EXPECT_EQ(waiting, 1) << "the latch byte did not come back";

    // A Linux pty has no modem lines: wine fails every call that sets or reads
    // them with ERROR_NOT_SUPPORTED, and WaitCommEvent too, so the event thread
    // sits in its wait until it is stopped.
    EXPECT_FALSE(platform.EscapeCommFunction(handle, sys::kSetRts));
    EXPECT_EQ(platform.GetLastError(), static_cast<std::uint32_t>(ERROR_NOT_SUPPORTED));
    expectThrows([&] { port.SetDTR(true); }, msg::kEscapeCommFunction);
    expectThrows([&] { port.ReadModemStatus(); }, msg::kGetCommModemStatus);

    // Closing begins by lowering DTR, so it stops there and the port stays
    // open with its thread running; releasePort then ends the thread and
    // closes the handle. The destructor does the same in the last round.
    expectThrows([&] { port.ClosePort(); }, msg::kEscapeCommFunction);
    EXPECT_TRUE(port.IsOpen());
    if (round < 3) {
      port.releasePort();
      EXPECT_FALSE(port.IsOpen());
      EXPECT_EQ(port.PortHandle(), sys::kInvalidHandle);
      EXPECT_FALSE(platform.CloseHandle(handle)) << "the port's handle is still open";
    }
  }
}

// The recording decorator works over the real API as over the board: here it
// shows the component's calls on a real (wine) COM port, and a fault it
// injects makes the open fail and release the port.
TEST_F(Win32PlatformTest, TheRecordingPlatformSeesAndFailsCallsOfTheRealApi) {
  const char* pty = std::getenv("RILVET_TEST_PTY_PORT");
  if (!pty) GTEST_SKIP() << "RILVET_TEST_PTY_PORT is set by the wine_pty CTest fixture";
  testing_support::RecordingPlatform recorder(platform);
  recorder.setLogging(true);
  TSerialPort port(recorder);
  port.setPort(pty);
  recorder.failCall(testing_support::Op::SetCommTimeouts, 1, sys::kErrorInvalidParameter);
  expectThrows([&] { port.OpenPort(); }, msg::kSetCommTimeouts);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(recorder.openDevices(), 0);
  const auto calls = recorder.callTexts();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0], std::string("CreateFileA \\\\.\\") + pty +
                          " access=0xc0000000 share=0 disposition=3 flags=0x40000000");
  EXPECT_EQ(calls[1], "SetupComm 2048 2048");
  EXPECT_EQ(calls[2].rfind("SetCommState DCBlength=28 BaudRate=9600 Flags=0x1011 ", 0), 0u);
  EXPECT_EQ(calls[3].rfind("SetCommTimeouts 0xffffffff ", 0), 0u);
  EXPECT_EQ(calls[4], "CloseHandle");

  // The real port was let go: it opens again, and writes.
  port.OpenPort();
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(port.WriteText("\x01"), 1);
  EXPECT_THAT(recorder.calls({testing_support::Op::WriteFile}),
              ElementsAre(testing_support::latch()));
  port.releasePort();
  EXPECT_EQ(recorder.openDevices() + recorder.openEvents(), 0);
}

}  // namespace
