// What the Linux backend's tests share: a folder of their own and a
// pseudo-terminal whose master end the test plays.
#pragma once

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "support/temp_folder.h"

namespace posix_testing {

// A pseudo-terminal pair; the port under test opens the slave, the test plays
// the far end on the master. Termios ioctls on the master act on the slave's
// settings.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    slave_ = name;
  }
  ~Pty() { hangUp(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  void hangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  const std::string& slave() const { return slave_; }

  termios2 slaveTermios() const {
    termios2 t{};
    EXPECT_EQ(ioctl(master_, TCGETS2, &t), 0);
    return t;
  }
  void setSlaveTermios(const termios2& t) { ASSERT_EQ(ioctl(master_, TCSETS2, &t), 0); }

  void send(const std::string& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the slave sent, up to `count` bytes or as far as it arrives in time.
  std::string receive(std::size_t count,
                      std::chrono::milliseconds wait = std::chrono::milliseconds(5000)) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(master_, buf, std::min(sizeof buf, count - got.size()));
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

inline bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace posix_testing
