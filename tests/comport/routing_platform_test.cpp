#include "comport/sys/routing_platform.h"

#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "comport/list_serial_ports.h"
#include "comport/serial_port.h"
#include "comport/sys/emulated_platform.h"
#include "comport/sys/virtual_board.h"

using namespace comport;

namespace {

// The machine's platform with a board on COM3 and the hosting one with the
// virtual board, joined.
class RoutingPlatformTest : public ::testing::Test {
 protected:
  RoutingPlatformTest()
      : machineBoard(sys::VirtualBoard::attach(machine, "COM3")),
        virtualBoard(sys::VirtualBoard::attach(hosting, "VIRTUAL")),
        router(machine, hosting, {"VIRTUAL"}) {
    machine.setSerialCommSource([](auto& values) {
      values = {{"\\Device\\Serial2", "COM3"}};
      return true;
    });
    machine.setLogging(true);
    hosting.setLogging(true);
  }

  sys::EmulatedPlatform machine;
  sys::EmulatedPlatform hosting;
  std::shared_ptr<sys::VirtualBoard> machineBoard;
  std::shared_ptr<sys::VirtualBoard> virtualBoard;
  sys::RoutingPlatform router;
};

void frame(TSerialPort& port, bool bit) {
  for (int i = 0; i < 48; ++i) {
    port.SetRTS(bit);
    port.SetDTR(true);
    port.SetDTR(false);
  }
  EXPECT_EQ(port.WriteText("\x01"), 1);
}

TEST_F(RoutingPlatformTest, EachPortNameReachesItsOwnPlatform) {
  TSerialPort port(router);
  port.SetPort("COM3");
  port.OpenPort();
  frame(port, true);
  EXPECT_EQ(machineBoard->outputBits(), (std::uint64_t{1} << 48) - 1);
  EXPECT_EQ(virtualBoard->stats().framesLatched, 0u);
  port.ClosePort();
  EXPECT_EQ(machine.openDevices() + machine.openEvents(), 0);

  port.SetPort("VIRTUAL");
  port.OpenPort();
  frame(port, true);
  EXPECT_EQ(virtualBoard->outputBits(), (std::uint64_t{1} << 48) - 1);
  EXPECT_EQ(machineBoard->stats().framesLatched, 1u);
  EXPECT_THAT(hosting.callTexts({sys::Op::CreateFile}),
              ::testing::ElementsAre(::testing::StartsWith("CreateFileA \\\\.\\VIRTUAL")));
  port.ClosePort();
  EXPECT_EQ(hosting.openDevices() + hosting.openEvents(), 0);
}

TEST_F(RoutingPlatformTest, OpenErrorsComeFromThePlatformThatFailed) {
  TSerialPort port(router);
  port.SetPort("COM9");
  try {
    port.OpenPort();
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), msg::kNoSuchPort);
  }
  virtualBoard->setBusy(true);
  port.SetPort("VIRTUAL");
  try {
    port.OpenPort();
    FAIL();
  } catch (const EComPort& e) {
    EXPECT_STREQ(e.what(), msg::kPortBusy);
  }
  // A line operation on a closed component fails on the unknown handle.
  EXPECT_THROW(port.SetDTR(true), EComPort);
}

TEST_F(RoutingPlatformTest, TheEventThreadWaitsOnTheHostedBoard) {
  TSerialPort port(router);
  port.SetSyncMethod(smNone);
  std::atomic<int> rises{0};
  port.OnCTSChange = [&](TSerialPort&, bool on) {
    if (on) ++rises;
  };
  port.SetPort("VIRTUAL");
  port.OpenPort();
  virtualBoard->setCts(true);
  for (int i = 0; i < 500 && rises.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(rises.load(), 1);
  port.ClosePort();
  EXPECT_EQ(hosting.openDevices() + hosting.openEvents(), 0);
}

TEST_F(RoutingPlatformTest, ThePortListIsTheMachines) {
  std::vector<std::string> ports;
  ListSerialPorts(router, ports);
  EXPECT_THAT(ports, ::testing::ElementsAre("COM3"));
}

TEST_F(RoutingPlatformTest, ObjectsOfBothPlatformsCannotBeWaitedOnTogether) {
  TSerialPort port(router);
  port.SetPort("COM3");
  port.OpenPort();
  const sys::Handle a = router.CreateEventA(true, true);
  port.ClosePort();
  port.SetPort("VIRTUAL");
  port.OpenPort();
  const sys::Handle b = router.CreateEventA(true, true);
  const sys::Handle both[2] = {a, b};
  EXPECT_EQ(router.WaitForMultipleObjects(2, both, false, 0), sys::kWaitFailed);
  EXPECT_EQ(router.WaitForSingleObject(a, 0), sys::kWaitObject0);
  EXPECT_EQ(router.WaitForSingleObject(b, 0), sys::kWaitObject0);
  EXPECT_TRUE(router.CloseHandle(a));
  EXPECT_TRUE(router.CloseHandle(b));
  EXPECT_FALSE(router.CloseHandle(a));
  EXPECT_EQ(router.GetLastError(), sys::kErrorInvalidHandle);
  port.ClosePort();
}

}  // namespace
