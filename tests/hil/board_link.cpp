#include "hil/board_link.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace hil {

namespace {

constexpr const char* kControlDevice = "/dev/ttyS2";
constexpr const char* kEmulatorSocket = "/tmp/ft232r.sock";
constexpr int kReplyTimeoutMs = 20000;

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

}  // namespace

const char* portName(Board board) {
  switch (board) {
    case Board::Uart: return "ttyS1";
    case Board::Adapter: return "ttyUSB0";
    case Board::Emulated: return "ttyUSB1";  // the rig's init starts it second
  }
  return "";
}

BoardLink::BoardLink() {
  fd_ = ::open(kControlDevice, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error("no control channel at /dev/ttyS2");
  termios raw{};
  tcgetattr(fd_, &raw);
  cfmakeraw(&raw);
  raw.c_cflag |= CLOCAL | CREAD;
  cfsetspeed(&raw, B115200);
  tcsetattr(fd_, TCSANOW, &raw);
  tcflush(fd_, TCIOFLUSH);
  if (call(Board::Uart, "PING") != "PONG") {
    throw std::runtime_error("the host board does not answer");
  }
}

BoardLink::~BoardLink() {
  if (fd_ >= 0) ::close(fd_);
  if (emulatorFd_ >= 0) ::close(emulatorFd_);
}

std::string BoardLink::call(Board board, const std::string& command) {
  if (board == Board::Emulated && emulatorFd_ < 0) {
    emulatorFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", kEmulatorSocket);
    if (emulatorFd_ < 0 ||
        ::connect(emulatorFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      if (emulatorFd_ >= 0) ::close(emulatorFd_);
      emulatorFd_ = -1;
      throw std::runtime_error("the emulated FT232R does not answer at /tmp/ft232r.sock");
    }
  }
  const int fd = board == Board::Emulated ? emulatorFd_ : fd_;
  const std::string line = command + "\n";
  for (std::size_t sent = 0; sent < line.size();) {
    const ssize_t n = ::write(fd, line.data() + sent, line.size() - sent);
    if (n <= 0) throw std::runtime_error("control channel write failed");
    sent += static_cast<std::size_t>(n);
  }
  std::string reply;
  for (;;) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, kReplyTimeoutMs) <= 0) {
      throw std::runtime_error("no reply from the host board to: " + command);
    }
    char c;
    if (::read(fd, &c, 1) != 1) continue;
    if (c == '\n') break;
    reply += c;
  }
  if (reply.rfind("OK", 0) != 0) throw std::runtime_error(command + ": " + reply);
  return reply.size() > 3 ? reply.substr(3) : std::string();
}

void BoardLink::reset(Board board) {
  call(board, "RESET " + std::to_string(static_cast<int>(board)));
}

std::vector<std::string> BoardLink::log(Board board) {
  return words(call(board, "LOG " + std::to_string(static_cast<int>(board))));
}

Latched BoardLink::outputs(Board board) {
  const auto parts = words(call(board, "OUT " + std::to_string(static_cast<int>(board))));
  if (parts.size() != 7) throw std::runtime_error("bad OUT reply");
  Latched out;
  for (int r = 0; r < 6; ++r) {
    out.registers[r] = static_cast<std::uint8_t>(std::stoul(parts[r], nullptr, 16));
  }
  out.latches = static_cast<unsigned>(std::stoul(parts[6]));
  return out;
}

std::pair<bool, bool> BoardLink::lines(Board board) {
  const auto parts = words(call(board, "LINES " + std::to_string(static_cast<int>(board))));
  if (parts.size() != 2) throw std::runtime_error("bad LINES reply");
  return {parts[0] == "1", parts[1] == "1"};
}

void BoardLink::setInputs(Board board, bool cts, bool dsr, bool dcd, bool ri) {
  char command[64];
  std::snprintf(command, sizeof command, "IN %d %d %d %d %d", static_cast<int>(board), cts, dsr,
                dcd, ri);
  call(board, command);
}

void BoardLink::pulse(Board board, const std::string& line, int ms) {
  call(board,
       "PULSE " + std::to_string(static_cast<int>(board)) + " " + line + " " + std::to_string(ms));
}

std::pair<unsigned long, unsigned long> BoardLink::modemCalls(Board board) {
  const auto parts = words(call(board, "COUNT " + std::to_string(static_cast<int>(board))));
  if (parts.size() != 2) throw std::runtime_error("bad COUNT reply");
  return {std::stoul(parts[0]), std::stoul(parts[1])};
}

void BoardLink::unplug(Board board) {
  if (board == Board::Emulated) {
    call(board, "UNPLUG 3");
  } else {
    call(board, "UNPLUG");
  }
}

void BoardLink::plug(Board board) {
  call(board, "PLUG " + std::to_string(static_cast<int>(board)));
}

std::string BoardLink::chip() {
  return call(Board::Emulated, "CHIP 3");
}

std::string BoardLink::dry() {
  return call(Board::Emulated, "DRY 3");
}

}  // namespace hil
