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

#include "support/pty_pair.h"
#include "support/temp_folder.h"

namespace posix_testing {

// A pseudo-terminal pair; the port under test opens the slave, the test plays
// the far end on the master. Termios ioctls on the master act on the slave's
// settings.
class Pty : public testing_support::PtyPair {
 public:
  termios2 slaveTermios() const {
    termios2 t{};
    EXPECT_EQ(ioctl(master(), TCGETS2, &t), 0);
    return t;
  }
  void setSlaveTermios(const termios2& t) { ASSERT_EQ(ioctl(master(), TCSETS2, &t), 0); }

  void send(const std::string& bytes) {
    ASSERT_EQ(::write(master(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the slave sent, up to `count` bytes or as far as it arrives in time.
  std::string receive(std::size_t count,
                      std::chrono::milliseconds wait = std::chrono::milliseconds(5000)) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd p{master(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      char buf[256];
      const ssize_t n = ::read(master(), buf, std::min(sizeof buf, count - got.size()));
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }
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
