// The virtual board: a serial device that behaves like our board on a real
// port. Six chained 74HC595 registers take RTS as the serial data input and DTR
// as the shift clock (a rising edge shifts); every byte sent on TXD is a storage
// clock that copies the 48 stages to the outputs. CTS, DSR, RLSD and RING are
// inputs a test or a user sets. Faults can be injected: a busy or missing port,
// and a pulled plug after any number of line operations.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "comport/sys/device.h"
#include "comport/sys/emulated_platform.h"

namespace sys {

class VirtualBoard : public Device {
 public:
  static constexpr int kStages = 48;
  using Clock = std::chrono::steady_clock;

  struct Stats {
    std::uint64_t framesLatched = 0;
    std::uint64_t shifts = 0;
    Clock::duration lastFrameDuration{};  // first line operation to latch byte
    Clock::time_point lastLatch{};
  };

  // Makes `platform` open this board for the port name `port`.
  static std::shared_ptr<VirtualBoard> attach(EmulatedPlatform& platform, const std::string& port);

  // Outputs and stages are numbered 1 … 48 from the data input: stage 1 is Q0
  // of register 1, stage 48 is Q7 of register 6.
  bool output(int stage) const;
  bool outputOf(int reg, int q) const { return output(8 * (reg - 1) + q + 1); }
  // The output that channel k (the k-th bit shifted in a frame) ends on.
  bool channelOutput(int channel) const { return output(kStages + 1 - channel); }
  std::uint64_t outputBits() const;  // bit s-1 = output of stage s
  std::uint64_t stageBits() const;
  bool dtr() const;
  bool rts() const;
  Stats stats() const;

  // Keeps the outputs of the last `frames` latches (0: none, the default).
  void keepHistory(std::size_t frames);
  std::vector<std::uint64_t> history() const;

  DCB lastDcb() const;
  CommTimeouts lastTimeouts() const;
  std::uint32_t eventMask() const;
  bool isOpen() const;
  int openCount() const;

  // Inputs.
  void setCts(bool on);
  void setDsr(bool on);
  void setRlsd(bool on);
  void setRing(bool on);
  bool cts() const;
  bool dsr() const;
  bool rlsd() const;
  void receive(const std::string& bytes);   // into the input queue; EV_RXCHAR
  void raiseErrors(std::uint32_t ceFlags);  // line errors; EV_ERR
  void raiseEvents(std::uint32_t evFlags);  // any other event (EV_TXEMPTY, EV_RX80FULL …)

  // Faults.
  void setBusy(bool busy);                 // open fails with ERROR_ACCESS_DENIED
  void setOpenError(std::uint32_t error);  // open fails with this code (0: opens)
  void unplug();                           // every later call fails
  void unplugAfter(int lineOperations);    // after so many more escapes and writes
  void replug();
  bool plugged() const;

  // Device.
  std::uint32_t setupComm(std::uint32_t inQueue, std::uint32_t outQueue) override;
  std::uint32_t setCommState(const DCB& dcb) override;
  std::uint32_t setCommTimeouts(const CommTimeouts& timeouts) override;
  std::uint32_t escape(std::uint32_t function) override;
  std::uint32_t modemStatus(std::uint32_t& status) override;
  std::uint32_t clearError(std::uint32_t& errors, ComStat& stat) override;
  std::uint32_t purge(std::uint32_t flags) override;
  std::uint32_t write(const std::uint8_t* data, std::uint32_t count,
                      std::uint32_t& written) override;
  std::uint32_t setEventMask(std::uint32_t mask) override;
  std::uint32_t waitEvent(WaitCompletion done) override;
  void close() override;

 private:
  std::uint32_t open();
  // Each called with mutex_ held.
  std::uint32_t check();
  bool countLineOperation(WaitCompletion& ended);
  void setDtrLocked(bool on);
  void setRtsLocked(bool on);
  void noteFrameActivity();
  void addEvents(std::uint32_t events, std::vector<WaitCompletion>& fire);
  void changeInput(std::uint32_t msBit, std::uint32_t evBit, bool on);

  mutable std::mutex mutex_;
  bool open_ = false;
  int openCount_ = 0;
  bool busy_ = false;
  std::uint32_t openError_ = 0;
  bool plugged_ = true;
  int unplugCountdown_ = -1;

  bool dtr_ = false;
  bool rts_ = false;
  std::uint64_t stages_ = 0;
  std::uint64_t outputs_ = 0;
  std::uint32_t modem_ = 0;
  std::string inQueue_;
  std::uint32_t errors_ = 0;

  DCB dcb_{};
  CommTimeouts timeouts_{};
  std::uint32_t mask_ = 0;
  std::uint32_t history_ = 0;
  WaitCompletion pending_;

  Stats stats_;
  std::size_t historySize_ = 0;
  std::deque<std::uint64_t> latched_;
  bool frameStarted_ = false;
  Clock::time_point frameStart_{};
};

}  // namespace sys
