// The guest's line to the boards: one command, one reply, over the guest's
// third UART to the model on the host (board_shim.c), or over a socket to the
// emulated FT232R in the guest (ft232r_gadget.c); chain_model.h has the
// commands.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "support/board_frames.h"

namespace hil {

// The boards of the rig: behind QEMU's 16550, behind QEMU's FTDI adapter,
// and behind the emulated FT232R.
enum class Board { Uart = 1, Adapter = 2, Emulated = 3 };

// The guest device each board hangs on, as a port name of the program.
const char* portName(Board board);

struct Latched {
  std::array<std::uint8_t, 6> registers{};  // [r - 1], bit q = output Qq
  unsigned latches = 0;
};

class BoardLink {
 public:
  // Opens the control channel (raw, no echo) and checks that the host answers.
  BoardLink();
  ~BoardLink();
  BoardLink(const BoardLink&) = delete;
  BoardLink& operator=(const BoardLink&) = delete;

  void reset(Board board);
  // The wire since the last reset or log read, as tokens (U1 D R0 … B01).
  std::vector<std::string> log(Board board);
  Latched outputs(Board board);
  // RTS and DTR as the host sees them.
  std::pair<bool, bool> lines(Board board);
  void setInputs(Board board, bool cts, bool dsr, bool dcd, bool ri = false);
  // Makes `line` (CTS, DSR, DCD, RI) active for `ms`, then inactive again.
  void pulse(Board board, const std::string& line, int ms);
  // TIOCMGET and TIOCMSET calls that reached the host since the last reset.
  std::pair<unsigned long, unsigned long> modemCalls(Board board);
  // Removes an FTDI adapter (QEMU's or the emulated one), as a user pulling
  // it out; only the emulated one comes back.
  void unplug(Board board);
  void plug(Board board);
  // The emulated chip's registers: "mode mask latency baud pins" (CHIP in
  // ft232r_gadget.c).
  std::string chip();
  // How often since the last call the emulated chip's pins ran out of bytes
  // in sync bit-bang mode, and the longest time: "times longest_ms".
  std::string dry();

 private:
  std::string call(Board board, const std::string& command);

  int fd_ = -1;
  int emulatorFd_ = -1;
};

using testing_support::checkFrame;

}  // namespace hil
