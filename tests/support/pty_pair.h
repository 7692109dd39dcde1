// A pseudo-terminal pair of our own: the code under test opens the slave by
// its name, the test or benchmark plays the far end on the master.
#pragma once

#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

namespace testing_support {

class PtyPair {
 public:
  PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
      if (master_ >= 0) ::close(master_);
      throw std::runtime_error("no pseudo-terminal");
    }
    slave_ = name;
  }
  ~PtyPair() { hangUp(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // Closes the master: the slave sees a hang-up.
  void hangUp() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  int master() const { return master_; }
  const std::string& slave() const { return slave_; }

 private:
  int master_ = -1;
  std::string slave_;
};

}  // namespace testing_support
