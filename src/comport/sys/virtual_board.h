// The virtual board: a backend whose one port behaves like our board on a real
// port. Six chained 74HC595 registers take RTS as the serial data input and DTR
// as the shift clock (a rising edge shifts); every byte sent on TXD is a storage
// clock that copies the 48 stages to the outputs. CTS, DSR, RLSD and RING are
// inputs a user (or a test) sets.
//
// Only the device is simulated: events and waits are those of the platform
// given (the machine's own by default), which the board signals when a
// transfer or a status wait completes.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "comport/sys/native_platform.h"
#include "comport/sys/platform.h"
#include "comport/sys/status_wait.h"

namespace sys {

class VirtualBoard : public Platform {
 public:
  static constexpr int kStages = 48;
  using Clock = std::chrono::steady_clock;

  // What the board shows, at one moment.
  struct State {
    // Bit s-1 is stage s; stages are numbered 1 … 48 from the data input:
    // stage 1 is Q0 of register 1, stage 48 is Q7 of register 6.
    std::uint64_t outputs = 0;
    std::uint64_t stages = 0;
    bool dtr = false;
    bool rts = false;
    std::uint32_t inputs = 0;  // MS_CTS_ON … MS_RLSD_ON
    bool open = false;
    int openCount = 0;
    DCB dcb{};
    CommTimeouts timeouts{};
    std::uint32_t mask = 0;
    std::uint64_t framesLatched = 0;
    std::uint64_t shifts = 0;
    Clock::duration lastFrameDuration{};  // first line operation to latch byte
    Clock::time_point lastLatch{};
  };

  // Opens as "\\.\" + `port`.
  explicit VirtualBoard(std::string port = kVirtualPort, Platform& events = nativePlatform());

  State state() const;
  std::uint64_t outputBits() const { return state().outputs; }
  bool output(int stage) const {
    return stage >= 1 && stage <= kStages && ((outputBits() >> (stage - 1)) & 1u) != 0;
  }
  bool outputOf(int reg, int q) const { return output(8 * (reg - 1) + q + 1); }
  // The output that channel k (the k-th bit shifted in a frame) ends on.
  bool channelOutput(int channel) const { return output(kStages + 1 - channel); }
  // Keeps the outputs of the last `frames` latches (0: none, the default).
  void keepHistory(std::size_t frames);
  std::vector<std::uint64_t> history() const;

  // Inputs.
  void setCts(bool on) { changeInput(kMsCtsOn, kEvCts, on); }
  void setDsr(bool on) { changeInput(kMsDsrOn, kEvDsr, on); }
  void setRlsd(bool on) { changeInput(kMsRlsdOn, kEvRlsd, on); }
  void setRing(bool on) { changeInput(kMsRingOn, kEvRing, on); }
  bool cts() const { return (state().inputs & kMsCtsOn) != 0; }
  bool dsr() const { return (state().inputs & kMsDsrOn) != 0; }
  bool rlsd() const { return (state().inputs & kMsRlsdOn) != 0; }
  void receive(const std::string& bytes);   // into the input queue; EV_RXCHAR
  void raiseErrors(std::uint32_t ceFlags);  // line errors; EV_ERR
  void raiseEvents(std::uint32_t evFlags);  // any other event (EV_TXEMPTY, EV_RX80FULL …)

  // Platform.
  Handle CreateFileA(const std::string& name, std::uint32_t access, std::uint32_t share,
                     std::uint32_t disposition, std::uint32_t flags) override;
  std::uint32_t GetLastError() override;
  bool CloseHandle(Handle h) override;
  bool SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool SetCommState(Handle h, const DCB& dcb) override;
  bool SetCommTimeouts(Handle h, const CommTimeouts& timeouts) override;
  bool SetCommMask(Handle h, std::uint32_t mask) override;
  bool WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* overlapped) override;
  bool GetOverlappedResult(Handle h, Overlapped* overlapped, std::uint32_t* transferred,
                           bool wait) override;
  bool EscapeCommFunction(Handle h, std::uint32_t function) override;
  bool GetCommModemStatus(Handle h, std::uint32_t* status) override;
  bool ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) override;
  bool PurgeComm(Handle h, std::uint32_t flags) override;
  bool WriteFile(Handle h, const void* data, std::uint32_t count, std::uint32_t* written,
                 Overlapped* overlapped) override;
  Handle CreateEventA(bool manualReset, bool initialState) override {
    return events_.CreateEventA(manualReset, initialState);
  }
  bool SetEvent(Handle h) override { return events_.SetEvent(h) || failed(); }
  bool ResetEvent(Handle h) override { return events_.ResetEvent(h) || failed(); }
  std::uint32_t WaitForSingleObject(Handle h, std::uint32_t milliseconds) override {
    return WaitForMultipleObjects(1, &h, false, milliseconds);
  }
  std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* handles, bool waitAll,
                                       std::uint32_t milliseconds) override {
    const std::uint32_t result =
        events_.WaitForMultipleObjects(count, handles, waitAll, milliseconds);
    if (result == kWaitFailed) failed();
    return result;
  }
  void Sleep(std::uint32_t milliseconds) override { events_.Sleep(milliseconds); }
  // The program lists the board itself, on every machine.
  bool listPorts(std::vector<std::string>& names) override {
    names.clear();
    return true;
  }

 private:
  // Each called with mutex_ held.
  std::uint32_t check(Handle h) const;
  void setDtrLocked(bool on);
  void noteFrameActivity();
  void changeInput(std::uint32_t msBit, std::uint32_t evBit, bool on);
  bool fail(std::uint32_t error);
  bool failed();  // takes the error of a call the events' platform failed

  const std::string device_;
  Platform& events_;
  mutable std::mutex mutex_;
  Handle handle_ = kInvalidHandle;  // the open port; a new value at every open
  State state_;
  std::string inQueue_;
  std::uint32_t errors_ = 0;
  StatusWait wait_{[this](Handle event) { events_.SetEvent(event); }};
  std::size_t historySize_ = 0;
  std::deque<std::uint64_t> latched_;
  bool frameStarted_ = false;
  Clock::time_point frameStart_{};
};

}  // namespace sys
