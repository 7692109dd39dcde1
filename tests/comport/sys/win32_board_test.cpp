// The component on the real Win32 API with real modem lines: under wine, a COM
// port whose lines are the board model (tests/hil/board_shim.c) preloaded into
// the test program's process, where wine's serial driver switches and reads
// them with ioctls. What the Win32 calls did arrives at the model's wire log,
// its six registers and its inputs; the wine_pty CTest fixture sets it all up.
#include "comport/sys/native_platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <windows.h>

#include "comport/serial_port.h"
#include "sequencer/frame.h"
#include "sequencer/player.h"
#include "support/board_frames.h"
#include "support/recording_platform.h"
#include "support/sequencer_setup.h"

using comport::TSerialPort;
using testing_support::bitsFor;
using testing_support::checkFrame;
using testing_support::registersFor;

namespace {

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

// The model's control line (the board_shim.c commands, board 1): a COM port
// the fixture bridges to the socket the model connects to.
class Board {
 public:
  explicit Board(const std::string& port) {
    handle_ = ::CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    if (handle_ == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + port);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(handle_, &dcb);
    dcb.BaudRate = CBR_115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    ::SetCommState(handle_, &dcb);
    // A read returns the first byte that comes, or nothing after 20 s.
    COMMTIMEOUTS timeouts{0, 0, 20000, 0, 0};
    ::SetCommTimeouts(handle_, &timeouts);
    ::PurgeComm(handle_, PURGE_RXCLEAR | PURGE_TXCLEAR);
    if (call("PING") != "PONG") throw std::runtime_error("the board model does not answer");
  }
  ~Board() { ::CloseHandle(handle_); }
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  void reset() { call("RESET 1"); }
  std::vector<std::string> log() { return words(call("LOG 1")); }
  std::array<std::uint8_t, 6> outputs(unsigned& latches) {
    const auto parts = words(call("OUT 1"));
    if (parts.size() != 7) throw std::runtime_error("bad OUT reply");
    std::array<std::uint8_t, 6> registers{};
    for (std::size_t r = 0; r < 6; ++r) {
      registers[r] = static_cast<std::uint8_t>(std::stoul(parts[r], nullptr, 16));
    }
    latches = static_cast<unsigned>(std::stoul(parts[6]));
    return registers;
  }
  // RTS and DTR as the model has them.
  std::pair<bool, bool> lines() {
    const auto parts = words(call("LINES 1"));
    return {parts.at(0) == "1", parts.at(1) == "1"};
  }
  void setInputs(bool cts, bool dsr, bool dcd) {
    call("IN 1 " + std::to_string(cts) + " " + std::to_string(dsr) + " " + std::to_string(dcd) +
         " 0");
  }
  // TIOCMGET and TIOCMSET (or TIOCMBIS/TIOCMBIC) calls since the last reset.
  std::pair<unsigned long, unsigned long> modemCalls() {
    const auto parts = words(call("COUNT 1"));
    return {std::stoul(parts.at(0)), std::stoul(parts.at(1))};
  }
  // Wine's WaitCommEvent compares the lines with what they were when it was
  // called and keeps no record between waits, so a change before the event
  // thread's next wait would go unseen: returns once a new wait has read the
  // lines (TIOCMGET) and polled them at least twice since.
  bool waitUntilWatched() {
    const unsigned long before = modemCalls().first;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < end) {
      if (modemCalls().first >= before + 3) return true;
      ::Sleep(1);
    }
    return false;
  }

 private:
  std::string call(const std::string& command) {
    const std::string line = command + "\n";
    DWORD written = 0;
    if (!::WriteFile(handle_, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) ||
        written != line.size()) {
      throw std::runtime_error("control line write failed");
    }
    std::string reply;
    for (char c = 0;;) {
      DWORD read = 0;
      if (!::ReadFile(handle_, &c, 1, &read, nullptr) || read != 1) {
        throw std::runtime_error("no reply from the board model to: " + command);
      }
      if (c == '\n') break;
      reply += c;
    }
    if (reply.rfind("OK", 0) != 0) throw std::runtime_error(command + ": " + reply);
    return reply.size() > 3 ? reply.substr(3) : std::string();
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

class Win32BoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("RILVET_TEST_BOARD_PORT");
    const char* control = std::getenv("RILVET_TEST_BOARD_CONTROL");
    if (!port || !control) GTEST_SKIP() << "the wine_pty CTest fixture sets up the board";
    portName = port;
    board = std::make_unique<Board>(control);
  }

  sys::Platform& platform = sys::nativePlatform();
  std::string portName;
  std::unique_ptr<Board> board;
};

TEST_F(Win32BoardTest, OpenRaisesBothLinesAndCloseLowersThem) {
  TSerialPort port(platform);
  port.setPort(portName);
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    port.OpenPort();
    ASSERT_TRUE(port.IsOpen());
    EXPECT_EQ(board->lines(), std::make_pair(true, true)) << "RTS, DTR after the open";
    port.ClosePort();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(board->lines(), std::make_pair(false, false)) << "RTS, DTR after the close";
  }
}

// Each frame through sequencer::sendFrame, as the program sends it: its wire
// log, the latched registers, and every line call counted (wine switches a
// line with one TIOCMGET and one TIOCMSET).
TEST_F(Win32BoardTest, FramesArriveEdgeByEdgeAndLatchTheirBits) {
  struct Case {
    const char* name;
    sequencer::Frame frame;
    std::vector<bool> bits;
    int bitsSent;
    unsigned long lineCalls;
  };
  const auto step = [](const std::vector<bool>& bits) {
    sequencer::Frame frame;
    std::copy(bits.begin(), bits.end(), frame.bits.begin());
    return frame;
  };
  const std::vector<bool> alternate = [] {
    std::vector<bool> bits(48);
    for (std::size_t k = 0; k < 48; k += 2) bits[k] = true;
    return bits;
  }();
  const std::vector<Case> cases = {
      {"channel 1", step(bitsFor({1})), bitsFor({1}), 48, 48 * 3},
      {"channel 48", step(bitsFor({48})), bitsFor({48}), 48, 48 * 3},
      {"register edges", step(bitsFor({1, 8, 9, 16, 17, 24, 25, 32, 33, 40, 41, 48})),
       bitsFor({1, 8, 9, 16, 17, 24, 25, 32, 33, 40, 41, 48}), 48, 48 * 3},
      {"odd channels", step(alternate), alternate, 48, 48 * 3},
      {"all on", step(std::vector<bool>(48, true)), std::vector<bool>(48, true), 48, 48 * 3},
      {"all off", sequencer::Frame::allOff(), std::vector<bool>(48, false), 0, 2 + 48 * 2},
  };

  TSerialPort port(platform);
  port.setPort(portName);
  port.OpenPort();
  // A step frame leaves RTS at its last bit: start each case from the same
  // lines, as the sequencer does after its open.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    port.SetRTS(false);
    port.SetDTR(false);
    board->reset();
    const sequencer::FrameResult result = sequencer::sendFrame(port, c.frame);
    EXPECT_EQ(result.error, std::nullopt);
    EXPECT_EQ(result.bitsSent, c.bitsSent);
    EXPECT_EQ(checkFrame(board->log(), c.bits), "");
    unsigned latches = 0;
    EXPECT_EQ(board->outputs(latches), registersFor(c.bits));
    EXPECT_EQ(latches, 1u);
    EXPECT_EQ(board->modemCalls().second, c.lineCalls);
    EXPECT_EQ(board->lines().second, false) << "DTR rests low";
  }
  port.ClosePort();
}

// The inputs as the event thread delivers them: wine's WaitCommEvent watches
// the lines by polling them.
TEST_F(Win32BoardTest, EachInputChangeReachesItsHandlerWithItsLevel) {
  struct Event {
    char line;
    bool state;
    bool operator==(const Event& o) const { return line == o.line && state == o.state; }
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Event> events;
  TSerialPort port(platform);
  port.setPort(portName);
  const auto record = [&](char line) {
    return [&, line](TSerialPort&, bool state) {
      std::lock_guard<std::mutex> hold(mutex);
      events.push_back({line, state});
      changed.notify_all();
    };
  };
  port.OnCTSChange = record('C');
  port.OnDSRChange = record('D');
  port.OnRLSDChange = record('R');
  board->setInputs(false, false, false);
  port.OpenPort();
  ASSERT_TRUE(board->waitUntilWatched());

  struct Case {
    bool cts, dsr, dcd;
    Event expected;
    comport::TLineStates status;
  };
  const std::vector<Case> cases = {
      {true, false, false, {'C', true}, {comport::lsCTS}},  {false, false, false, {'C', false}, {}},
      {false, true, false, {'D', true}, {comport::lsDSR}},  {false, false, false, {'D', false}, {}},
      {false, false, true, {'R', true}, {comport::lsRLSD}}, {false, false, false, {'R', false}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.expected.line) + (c.expected.state ? " on" : " off"));
    board->setInputs(c.cts, c.dsr, c.dcd);
    std::unique_lock<std::mutex> hold(mutex);
    ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(5), [&] { return !events.empty(); }))
        << "no event";
    EXPECT_EQ(events.size(), 1u);
    EXPECT_TRUE(events.front() == c.expected)
        << "got " << events.front().line << " " << events.front().state;
    events.clear();
    hold.unlock();
    EXPECT_EQ(port.ReadModemStatus(), c.status);
    ASSERT_TRUE(board->waitUntilWatched());
  }
  port.ClosePort();
}

// A run over a small table, from the player's start to its stop: the columns
// in order, then the all-off frame, and the port closed with its lines low.
TEST_F(Win32BoardTest, SequencerRunPlaysTheColumnsInOrder) {
  sequencer::SequenceTable table;
  sequencer::MainFormState form;
  sequencer::Player player(platform, nullptr, table, form);
  form.setComboText(portName);
  testing_support::enableAllChannels(player);
  const std::vector<std::vector<bool>> columns = {bitsFor({1, 2}), bitsFor({3}), bitsFor({47, 48})};
  for (std::size_t c = 0; c < columns.size(); ++c) {
    for (int k = 1; k <= 48; ++k) {
      testing_support::putCell(table, static_cast<int>(c), k, columns[c][k - 1] ? "1" : "0");
    }
  }
  table.setColCount(static_cast<int>(columns.size()) + 1);
  player.startOrPause();
  ASSERT_TRUE(player.SerialPort1().IsOpen());
  board->reset();
  unsigned latches = 0;
  for (int tick = 0; tick < 5; ++tick) {
    SCOPED_TRACE("tick " + std::to_string(tick));
    const std::vector<bool>& bits = columns[tick % columns.size()];
    testing_support::stepTick(player);
    EXPECT_EQ(player.StepColumn(), tick % static_cast<int>(columns.size()));
    EXPECT_EQ(checkFrame(board->log(), bits), "");
    unsigned latched = 0;
    EXPECT_EQ(board->outputs(latched), registersFor(bits));
    EXPECT_EQ(latched, ++latches);
  }
  testing_support::stop(player);
  EXPECT_EQ(checkFrame(board->log(), std::vector<bool>(48, false)), "") << "all-off frame";
  unsigned latched = 0;
  EXPECT_EQ(board->outputs(latched), (std::array<std::uint8_t, 6>{}));
  EXPECT_EQ(latched, latches + 1);
  EXPECT_FALSE(player.SerialPort1().IsOpen());
  EXPECT_EQ(board->lines(), std::make_pair(false, false));
}

}  // namespace
