#include "comport/serial_port.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "comport/list_serial_ports.h"
#include "comport/sys/virtual_board.h"
#include "support/expect_com_port.h"
#include "support/recording_platform.h"

using namespace comport;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing_support::Call;
using testing_support::clrDtr;
using testing_support::clrRts;
using testing_support::latch;
using testing_support::Op;
using testing_support::RecordingPlatform;
using testing_support::setDtr;
using testing_support::setRts;

using testing_support::expectThrows;

namespace {

class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest() { platform.setLogging(true); }

  std::vector<Call> lineCalls() const { return platform.wire(); }

  std::shared_ptr<sys::VirtualBoard> board = std::make_shared<sys::VirtualBoard>("COM2");
  RecordingPlatform platform{*board};
};

TEST_F(SerialPortTest, NewComponentHasItsDefaultsAndIsClosed) {
  TSerialPort port(platform);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.Port(), "COM2");
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(port.ByteSize(), bs8);
  EXPECT_EQ(port.Parity(), paNone);
  EXPECT_EQ(port.StopBits(), sb1);
  EXPECT_EQ(port.InBufSize(), 2048);
  EXPECT_EQ(port.OutBufSize(), 2048);
  EXPECT_EQ(port.SyncMethod(), smThreadSync);
  EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
  EXPECT_EQ(port.Timeouts().ReadTotalMultiplier(), 0);
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 0);
  EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
  EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
  EXPECT_EQ(port.Timeouts().OwnerPort, &port);
  EXPECT_EQ(port.PortHandle(), sys::kInvalidHandle);
  EXPECT_EQ(eventsToMask(port.WatchedEvents()), 0x05BDu);
  // Creating the component opens nothing.
  EXPECT_THAT(platform.calls(), IsEmpty());
}

TEST_F(SerialPortTest, OpenPortOpensConfiguresAndRaisesBothLines) {
  TSerialPort port(platform);
  port.OpenPort();
  ASSERT_TRUE(port.IsOpen());
  EXPECT_TRUE(board->state().dtr);
  EXPECT_TRUE(board->state().rts);
  const auto calls = platform.callTexts({Op::CreateFile, Op::SetupComm, Op::SetCommTimeouts});
  EXPECT_THAT(calls, ElementsAre("CreateFileA \\\\.\\COM2 access=0xc0000000 share=0 "
                                 "disposition=3 flags=0x40000000",
                                 "SetupComm 2048 2048",
                                 "SetCommTimeouts 0xffffffff 0x00000000 0x00000000 0x00000064 "
                                 "0x000003e8"));
  // Buffers, line, timeouts, then the event mask of the thread.
  const auto all =
      platform.callTexts({Op::SetupComm, Op::SetCommState, Op::SetCommTimeouts, Op::SetCommMask});
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0].rfind("SetupComm", 0), 0u);
  EXPECT_EQ(all[1].rfind("SetCommState", 0), 0u);
  EXPECT_EQ(all[2].rfind("SetCommTimeouts", 0), 0u);
  EXPECT_EQ(all[3], "SetCommMask 0x05bd");
  port.ClosePort();
}

TEST_F(SerialPortTest, LineSetUpIsTheExactDcb) {
  TSerialPort port(platform);
  port.OpenPort();
  sys::DCB dcb = board->state().dcb;
  unsigned char expected[28] = {};
  expected[0] = 28;                          // DCBlength
  expected[4] = 0x80, expected[5] = 0x25;    // 9600
  expected[8] = 0x11, expected[9] = 0x10;    // flags 0x1011
  expected[18] = 8;                          // ByteSize
  expected[21] = 0x11, expected[22] = 0x13;  // XonChar, XoffChar
  EXPECT_EQ(std::memcmp(&dcb, expected, sizeof expected), 0);

  port.setParity(paEven);
  dcb = board->state().dcb;
  EXPECT_EQ(dcb.Flags, 0x1013u);
  EXPECT_EQ(dcb.Parity, 2);
  port.setParity(paNone);
  EXPECT_EQ(board->state().dcb.Flags, 0x1011u);

  port.setByteSize(bs5);
  port.setStopBits(sb2);
  port.setBaudRate(br115200);
  dcb = board->state().dcb;
  EXPECT_EQ(dcb.ByteSize, 5);
  EXPECT_EQ(dcb.StopBits, 2);
  EXPECT_EQ(dcb.BaudRate, 115200u);
  port.ClosePort();
}

TEST_F(SerialPortTest, EveryBaudRateMapsToItsNumber) {
  const std::uint32_t rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                 19200, 38400, 56000, 57600, 115200, 128000, 256000};
  for (int i = 0; i < 15; ++i) EXPECT_EQ(baudRateValue(static_cast<TBaudRate>(i)), rates[i]);
}

TEST_F(SerialPortTest, ChangingALinePropertyWhileOpenRaisesTheLinesAgain) {
  TSerialPort port(platform);
  port.OpenPort();
  port.SetRTS(false);
  port.SetDTR(false);
  ASSERT_FALSE(board->state().dtr);
  port.setBaudRate(br19200);
  EXPECT_TRUE(board->state().dtr);
  EXPECT_TRUE(board->state().rts);
  // Setting the same value applies nothing.
  platform.clearCalls();
  port.setBaudRate(br19200);
  EXPECT_THAT(platform.calls({Op::SetCommState}), IsEmpty());
  port.ClosePort();
}

TEST_F(SerialPortTest, PropertiesWhileClosedAreOnlyStored) {
  TSerialPort port(platform);
  port.setBaudRate(br300);
  port.setInBufSize(100);
  port.Timeouts().setWriteTotalConstant(5);
  EXPECT_EQ(port.BaudRate(), br300);
  EXPECT_THAT(platform.calls(), IsEmpty());
}

TEST_F(SerialPortTest, BufferSizesAreMadeEvenWhenPositive) {
  TSerialPort port(platform);
  port.setInBufSize(2049);
  EXPECT_EQ(port.InBufSize(), 2048);
  port.setInBufSize(1);
  EXPECT_EQ(port.InBufSize(), 0);
  port.setInBufSize(0);
  EXPECT_EQ(port.InBufSize(), 0);
  port.setInBufSize(-3);
  EXPECT_EQ(port.InBufSize(), -3);
  port.setOutBufSize(4097);
  EXPECT_EQ(port.OutBufSize(), 4096);
  port.OpenPort();
  platform.clearCalls();
  port.setOutBufSize(1001);
  EXPECT_THAT(platform.calls({Op::SetupComm}),
              ElementsAre(Call{Op::SetupComm, {4294967293, 1000}}));
  port.ClosePort();
}

TEST_F(SerialPortTest, NegativeTimeoutsAreAppliedAsMaxDword) {
  TSerialPort port(platform);
  port.OpenPort();
  port.Timeouts().setWriteTotalConstant(-5);
  EXPECT_EQ(board->state().timeouts.WriteTotalTimeoutConstant, 0xFFFFFFFFu);
  EXPECT_EQ(board->state().timeouts.ReadIntervalTimeout, 0xFFFFFFFFu);
  // The same value again is not re-applied; setTimeouts always is.
  platform.clearCalls();
  port.Timeouts().setWriteTotalConstant(-5);
  EXPECT_THAT(platform.calls({Op::SetCommTimeouts}), IsEmpty());
  TComTimeouts other;
  other.setReadTotalConstant(7);
  port.setTimeouts(other);
  EXPECT_EQ(port.Timeouts().ReadTotalConstant(), 7);
  EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
  EXPECT_EQ(platform.calls({Op::SetCommTimeouts}).size(), 1u);
  port.setTimeouts(other);
  EXPECT_EQ(platform.calls({Op::SetCommTimeouts}).size(), 2u);
  port.ClosePort();
}

TEST_F(SerialPortTest, AssignCopiesValuesWithoutApplying) {
  TSerialPort port(platform);
  port.OpenPort();
  platform.clearCalls();
  TComTimeouts source;
  source.setReadInterval(3);
  port.Timeouts().assign(source);
  EXPECT_EQ(port.Timeouts().ReadInterval(), 3);
  EXPECT_EQ(port.Timeouts().OwnerPort, &port);
  EXPECT_THAT(platform.calls({Op::SetCommTimeouts}), IsEmpty());
  port.ClosePort();
}

TEST_F(SerialPortTest, PortAndSyncMethodAreLockedWhileOpen) {
  TSerialPort port(platform);
  port.setPort("COM2");
  port.OpenPort();
  expectThrows([&] { port.setPort("COM2"); }, msg::kPortOpen);
  expectThrows([&] { port.setPort("COM3"); }, msg::kPortOpen);
  EXPECT_EQ(port.Port(), "COM2");
  port.setSyncMethod(smThreadSync);  // same value: no error
  expectThrows([&] { port.setSyncMethod(smNone); }, msg::kPortOpen);
  EXPECT_EQ(port.SyncMethod(), smThreadSync);
  port.ClosePort();
  port.setPort("com2");
  EXPECT_EQ(port.Port(), "com2");
  port.setSyncMethod(smNone);
  EXPECT_EQ(port.SyncMethod(), smNone);
}

TEST_F(SerialPortTest, OpenErrorsGiveTheirMessagesAndLeaveThePortClosed) {
  TSerialPort port(platform);
  port.setPort("COM7");
  expectThrows([&] { port.OpenPort(); }, msg::kNoSuchPort);
  EXPECT_FALSE(port.IsOpen());

  port.setPort("COM2");
  platform.failCall(Op::CreateFile, 1, sys::kErrorAccessDenied);  // another program has it
  expectThrows([&] { port.OpenPort(); }, msg::kPortBusy);
  EXPECT_FALSE(port.IsOpen());

  // Not allowed to open it: a message of its own that says what to do.
  platform.failCall(Op::CreateFile, 1, sys::kErrorPrivilegeNotHeld);
  expectThrows([&] { port.OpenPort(); }, msg::kNoAccess);
  EXPECT_FALSE(port.IsOpen());

  // Any other error is not reported by the open itself: the set-up that
  // follows fails on the invalid handle.
  platform.failCall(Op::CreateFile, 1, sys::kErrorGenFailure);
  platform.clearCalls();
  expectThrows([&] { port.OpenPort(); }, msg::kSetupComm);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(port.PortHandle(), sys::kInvalidHandle);
  EXPECT_THAT(platform.calls({Op::CloseHandle}), IsEmpty());
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(platform.openEvents(), 0);
}

TEST_F(SerialPortTest, AFailingSetUpClosesTheHandle) {
  TSerialPort port(platform);
  platform.failCall(Op::SetCommState, 1, sys::kErrorInvalidParameter);
  expectThrows([&] { port.OpenPort(); }, msg::kSetCommState);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_FALSE(board->state().open);

  platform.failCall(Op::SetCommTimeouts, 1, sys::kErrorInvalidParameter);
  expectThrows([&] { port.OpenPort(); }, msg::kSetCommTimeouts);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(platform.openDevices(), 0);

  port.OpenPort();
  EXPECT_TRUE(port.IsOpen());
  port.ClosePort();
}

TEST_F(SerialPortTest, AFailingSetterKeepsTheValueAndThePortOpen) {
  TSerialPort port(platform);
  port.OpenPort();
  platform.failCall(Op::SetCommState, 1, sys::kErrorInvalidParameter);
  expectThrows([&] { port.setBaudRate(br57600); }, msg::kSetCommState);
  EXPECT_EQ(port.BaudRate(), br57600);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_EQ(board->state().dcb.BaudRate, 9600u);
  platform.failCall(Op::SetupComm, 1, sys::kErrorInvalidParameter);
  expectThrows([&] { port.setInBufSize(64); }, msg::kSetupComm);
  EXPECT_EQ(port.InBufSize(), 64);
  port.ClosePort();
}

TEST_F(SerialPortTest, OpenTwiceOpensOnceAndCloseWhenClosedDoesNothing) {
  TSerialPort port(platform);
  port.ClosePort();
  EXPECT_THAT(platform.calls(), IsEmpty());
  port.OpenPort();
  port.OpenPort();
  EXPECT_EQ(platform.calls({Op::CreateFile}).size(), 1u);
  EXPECT_EQ(board->state().openCount, 1);
  port.ClosePort();
  port.ClosePort();
  EXPECT_EQ(platform.calls({Op::CloseHandle}).size(), 1u);
}

TEST_F(SerialPortTest, ClosePortLowersDtrThenRtsPurgesAndCloses) {
  TSerialPort port(platform);
  port.OpenPort();
  platform.clearCalls();
  port.ClosePort();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(board->state().dtr);
  EXPECT_FALSE(board->state().rts);
  const auto calls =
      platform.calls({Op::EscapeCommFunction, Op::PurgeComm, Op::SetCommMask, Op::CloseHandle});
  EXPECT_THAT(calls, ElementsAre(clrDtr(), clrRts(), Call{Op::PurgeComm, {0x03}},
                                 Call{Op::SetCommMask, {0}}, Call{Op::PurgeComm, {0x0c}},
                                 Call{Op::CloseHandle}));
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(platform.openEvents(), 0);
  EXPECT_EQ(port.PortHandle(), sys::kInvalidHandle);
}

TEST_F(SerialPortTest, AFailingCloseStaysOpenAndCanBeRetried) {
  TSerialPort port(platform);
  port.OpenPort();
  platform.failCall(Op::EscapeCommFunction, 1, sys::kErrorBadCommand);
  expectThrows([&] { port.ClosePort(); }, msg::kEscapeCommFunction);
  EXPECT_TRUE(port.IsOpen());
  EXPECT_TRUE(board->state().open);
  platform.failCall(Op::PurgeComm, 1, sys::kErrorBadCommand);
  expectThrows([&] { port.ClosePort(); }, msg::kPurgeComm);
  EXPECT_TRUE(port.IsOpen());
  port.ClosePort();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(platform.openDevices(), 0);
}

TEST_F(SerialPortTest, ReleaseClosesAPortThatNoLongerAnswers) {
  TSerialPort port(platform);
  port.OpenPort();
  platform.unplug();
  expectThrows([&] { port.ClosePort(); }, msg::kEscapeCommFunction);
  ASSERT_TRUE(port.IsOpen());
  port.releasePort();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(platform.openEvents(), 0);
}

TEST_F(SerialPortTest, ReopeningReadsThePropertiesAgain) {
  TSerialPort port(platform);
  port.OpenPort();
  port.ClosePort();
  port.setBaudRate(br4800);
  port.OpenPort();
  EXPECT_EQ(board->state().dcb.BaudRate, 4800u);
  EXPECT_EQ(board->state().openCount, 2);
  port.ClosePort();
}

TEST_F(SerialPortTest, DestroyingAnOpenComponentClosesIt) {
  {
    TSerialPort port(platform);
    port.OpenPort();
  }
  EXPECT_FALSE(board->state().open);
  EXPECT_EQ(platform.openDevices(), 0);
  {
    TSerialPort port(platform);
    port.OpenPort();
    platform.unplug();
  }
  EXPECT_EQ(platform.openDevices(), 0);
  EXPECT_EQ(platform.openEvents(), 0);
}

// ---------------------------------------------------------------- lines

TEST_F(SerialPortTest, DtrAndRtsAreOneCallEachAndTouchOnlyTheirLine) {
  TSerialPort port(platform);
  port.OpenPort();
  port.SetRTS(false);
  port.SetDTR(false);
  platform.clearCalls();
  port.SetDTR(true);
  EXPECT_TRUE(board->state().dtr);
  EXPECT_FALSE(board->state().rts);
  port.SetDTR(false);
  port.SetRTS(true);
  EXPECT_FALSE(board->state().dtr);
  EXPECT_TRUE(board->state().rts);
  port.SetRTS(false);
  EXPECT_THAT(lineCalls(), ElementsAre(setDtr(), clrDtr(), setRts(), clrRts()));
  port.ClosePort();
}

TEST_F(SerialPortTest, LineOperationsOnAClosedComponentFail) {
  TSerialPort port(platform);
  expectThrows([&] { port.SetDTR(true); }, msg::kEscapeCommFunction);
  expectThrows([&] { port.SetRTS(false); }, msg::kEscapeCommFunction);
  expectThrows([&] { port.ReadModemStatus(); }, msg::kGetCommModemStatus);
  expectThrows([&] { port.InQueueCount(); }, msg::kClearCommError);
  expectThrows([&] { port.AbortIO(); }, msg::kPurgeComm);
  expectThrows([&] { port.WriteText("\x01"); }, msg::kWriteError);
  EXPECT_EQ(platform.openEvents(), 0);  // the failed write still freed its request
}

TEST_F(SerialPortTest, ModemStatusIsTheStatusByteShiftedRightByFour) {
  TSerialPort port(platform);
  port.OpenPort();
  board->setCts(true);
  board->setRlsd(true);
  EXPECT_EQ(port.ReadModemStatus(), (TLineStates{lsCTS, lsRLSD}));
  board->setCts(false);
  board->setDsr(true);
  board->setRing(true);
  EXPECT_EQ(port.ReadModemStatus(), (TLineStates{lsDSR, lsRing, lsRLSD}));
  port.ClosePort();
}

TEST_F(SerialPortTest, InQueueCountIsTheBytesWaiting) {
  TSerialPort port(platform);
  port.OpenPort();
  EXPECT_EQ(port.InQueueCount(), 0);
  board->receive("abc");
  EXPECT_EQ(port.InQueueCount(), 3);
  port.AbortIO();
  EXPECT_EQ(port.InQueueCount(), 0);
  port.ClosePort();
}

// ---------------------------------------------------------------- writes

TEST_F(SerialPortTest, WriteTextOfOneByteWritesItAndReturnsOne) {
  TSerialPort port(platform);
  port.OpenPort();
  platform.clearCalls();
  const int events = platform.openEvents();
  EXPECT_EQ(port.WriteText("\x01"), 1);
  EXPECT_THAT(platform.calls({Op::WriteFile}), ElementsAre(latch()));
  EXPECT_EQ(board->state().framesLatched, 1u);
  EXPECT_LE(platform.openEvents(), events + 1);  // the request's event is freed again
  port.ClosePort();
  EXPECT_EQ(platform.openEvents(), 0);
}

TEST_F(SerialPortTest, WriteTextOfNothingReturnsZeroWithoutAWrite) {
  TSerialPort port(platform);
  port.OpenPort();
  platform.clearCalls();
  EXPECT_EQ(port.WriteText(""), 0);
  EXPECT_THAT(platform.calls({Op::WriteFile}), IsEmpty());
  EXPECT_EQ(board->state().framesLatched, 0u);
  port.ClosePort();
}

TEST_F(SerialPortTest, MissingRequestIsRefused) {
  TSerialPort port(platform);
  port.OpenPort();
  expectThrows([&] { port.BeginWrite("x", 1, nullptr); }, msg::kBadAsync);
  expectThrows([&] { port.FinishRequest(nullptr); }, msg::kBadAsync);
  EXPECT_THAT(platform.calls({Op::WriteFile}), IsEmpty());
  port.ClosePort();
}

TEST_F(SerialPortTest, FailedWritesSayWriteOrReadAfterTheirKind) {
  TSerialPort port(platform);
  port.OpenPort();
  platform.failCall(Op::WriteFile, 1, sys::kErrorBadCommand);
  expectThrows([&] { port.WriteText("\x01"); }, msg::kWriteError);
  // A write that is refused with "pending" is not an error.
  TPortRequest* request = nullptr;
  port.NewRequest(request);
  platform.failCall(Op::WriteFile, 1, sys::kErrorIoPending);
  EXPECT_EQ(port.BeginWrite("ab", 2, request), 0);
  // The completion query names the request's kind.
  platform.failCall(Op::GetOverlappedResult, 1, sys::kErrorGenFailure);
  expectThrows([&] { port.FinishRequest(request); }, msg::kWriteError);
  request->kind = rkRead;
  platform.failCall(Op::GetOverlappedResult, 1, sys::kErrorGenFailure);
  expectThrows([&] { port.FinishRequest(request); }, msg::kReadError);
  port.FreeRequest(request);
  EXPECT_EQ(request, nullptr);
  port.ClosePort();
}

TEST_F(SerialPortTest, RequestsKeepTheirOwnCopyOfTheBytes) {
  TSerialPort port(platform);
  TPortRequest* request = nullptr;
  port.NewRequest(request);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->kind, rkWrite);
  EXPECT_EQ(request->size, 0);
  EXPECT_EQ(request->data, nullptr);
  char source[] = "hello";
  TSerialPort::FillRequest(rkRead, source, 5, request);
  source[0] = 'j';
  EXPECT_EQ(request->kind, rkRead);
  ASSERT_EQ(request->size, 5);
  EXPECT_EQ(std::memcmp(request->data.get(), "hello", 5), 0);
  TSerialPort::FillRequest(rkWrite, "xy", 2, request);
  EXPECT_EQ(request->size, 2);
  EXPECT_EQ(std::memcmp(request->data.get(), "xy", 2), 0);
  port.FreeRequest(request);
  EXPECT_EQ(request, nullptr);
  EXPECT_EQ(platform.openEvents(), 0);
}

// ---------------------------------------------------------------- the board

// Sends one frame: channel k's bit is bits[k-1].
void sendFrame(TSerialPort& port, const std::vector<bool>& bits) {
  for (bool bit : bits) {
    port.SetRTS(bit);
    port.SetDTR(true);
    port.SetDTR(false);
  }
  port.WriteText("\x01");
}

TEST_F(SerialPortTest, AFrameLightsExactlyTheOutputsItsBitsName) {
  TSerialPort port(platform);
  port.OpenPort();
  port.SetRTS(false);
  port.SetDTR(false);
  for (int k = 1; k <= 48; ++k) {
    std::vector<bool> bits(48, false);
    bits[k - 1] = true;
    sendFrame(port, bits);
    const int reg = (48 - k) / 8 + 1;
    const int q = (48 - k) % 8;
    for (int r = 1; r <= 6; ++r) {
      for (int o = 0; o < 8; ++o) {
        EXPECT_EQ(board->outputOf(r, o), r == reg && o == q) << "channel " << k;
      }
    }
    EXPECT_TRUE(board->channelOutput(k));
  }
  // A mixed pattern.
  std::vector<bool> bits(48);
  for (int k = 1; k <= 48; ++k) bits[k - 1] = k % 3 == 0;
  sendFrame(port, bits);
  for (int k = 1; k <= 48; ++k) EXPECT_EQ(board->channelOutput(k), k % 3 == 0);
  port.ClosePort();
}

TEST_F(SerialPortTest, OutputsHoldUntilTheNextLatch) {
  TSerialPort port(platform);
  port.OpenPort();
  std::vector<bool> bits(48, true);
  sendFrame(port, bits);
  EXPECT_EQ(board->outputBits(), (std::uint64_t{1} << 48) - 1);
  // Shifting without a latch changes no output.
  for (int i = 0; i < 48; ++i) {
    port.SetRTS(false);
    port.SetDTR(true);
    port.SetDTR(false);
  }
  EXPECT_EQ(board->outputBits(), (std::uint64_t{1} << 48) - 1);
  EXPECT_EQ(board->state().stages, 0u);
  port.WriteText("\x01");
  EXPECT_EQ(board->outputBits(), 0u);
  port.ClosePort();
}

// ---------------------------------------------------------------- backends

// The machine's ports and the virtual board, each behind its own recorder.
class BackendsTest : public ::testing::Test {
 protected:
  BackendsTest() {
    machine.setLogging(true);
    board.setLogging(true);
    machine.setPorts({"COM3"});
  }

  sys::VirtualBoard machinePort{"COM3"};
  sys::VirtualBoard virtualBoard;
  RecordingPlatform machine{machinePort};
  RecordingPlatform board{virtualBoard};
  sys::Backends backends{machine, &board};
};

TEST_F(BackendsTest, TheNameVirtualOpensTheBoardAndEveryOtherNameTheMachine) {
  TSerialPort port(backends);
  port.setPort("COM3");
  port.OpenPort();
  sendFrame(port, std::vector<bool>(48, true));
  EXPECT_EQ(machinePort.outputBits(), (std::uint64_t{1} << 48) - 1);
  port.ClosePort();
  EXPECT_EQ(machine.openDevices() + machine.openEvents(), 0);

  port.setPort(sys::kVirtualPort);
  port.OpenPort();
  sendFrame(port, std::vector<bool>(48, true));
  EXPECT_EQ(virtualBoard.outputBits(), (std::uint64_t{1} << 48) - 1);
  EXPECT_EQ(machinePort.state().framesLatched, 1u);
  EXPECT_THAT(board.callTexts({Op::CreateFile}),
              ElementsAre(::testing::StartsWith("CreateFileA \\\\.\\VIRTUAL ")));
  EXPECT_THAT(machine.callTexts({Op::CreateFile}),
              ElementsAre(::testing::StartsWith("CreateFileA \\\\.\\COM3 ")));
  port.ClosePort();
  EXPECT_EQ(board.openDevices() + board.openEvents(), 0);

  // Only the exact name: "virtual" is a name of the machine.
  port.setPort("virtual");
  expectThrows([&] { port.OpenPort(); }, msg::kNoSuchPort);
  EXPECT_EQ(machine.calls({Op::CreateFile}).size(), 2u);
  EXPECT_EQ(board.calls({Op::CreateFile}).size(), 1u);
}

TEST_F(BackendsTest, TheEventThreadWaitsOnTheBoardAndThePortListIsTheMachines) {
  TSerialPort port(backends);
  port.setSyncMethod(smNone);
  std::atomic<int> rises{0};
  port.OnCTSChange = [&](TSerialPort&, bool on) {
    if (on) ++rises;
  };
  port.setPort(sys::kVirtualPort);
  port.OpenPort();
  virtualBoard.setCts(true);
  for (int i = 0; i < 2500 && rises.load() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_EQ(rises.load(), 1);
  port.ClosePort();
  EXPECT_EQ(board.openDevices() + board.openEvents(), 0);
  EXPECT_THAT(machine.calls(), IsEmpty());

  std::vector<std::string> ports;
  ListSerialPorts(port.backends().machine(), ports);
  EXPECT_THAT(ports, ElementsAre("COM3"));
}

}  // namespace
