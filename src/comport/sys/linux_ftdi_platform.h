// The FTDI fast path: an FTDI adapter driven in bit-bang mode.
// Every RTS or DTR switch is one pin state of a frame buffer, a byte written
// on TXD its bit times at the port's rate, and the buffer goes to the chip in
// one transfer with the byte, so a frame costs a few USB frames instead of one
// control transfer per switch. The board sees the waveform of the UART: the
// control pins are active low, TXD idles high, bytes go out start bit, data
// bits LSB first, stop bit.
//
// The chip runs in synchronous bit-bang mode and never stops: between frames
// it keeps driving the last pin state, and it samples CTS#, DSR# and DCD#
// with every byte it drives. So the inputs are read the whole time at the
// byte rate (13 µs apart at 9600 bit/s), in a frame as between frames, and no
// pulse a USB frame or two long is lost to the time a USB transfer takes.
// One thread keeps the chip a few milliseconds ahead of the pins, another
// reads the samples back.
//
// The user picks the fast path by its own entry in the port list,
// "ttyUSB0 (FTDI, быстрый)" beside "ttyUSB0"; one adapter at a time.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comport/sys/linux_ftdi_chip.h"
#include "comport/sys/native_platform.h"
#include "comport/sys/platform.h"
#include "comport/sys/status_wait.h"

namespace sys {

class FtdiPlatform : public Platform {
 public:
  // Samples per bit time of a byte on TXD, at the highest; at 9600 bit/s
  // one sample, and each RTS or DTR state, lasts 13 µs, slow enough for the
  // adapter's RS-232 drivers.
  static constexpr std::uint32_t kSamplesPerBit = 8;

  // `sysDir` is where the adapters are found; events and waits are those of
  // `events`.
  FtdiPlatform(std::unique_ptr<ftdi::Chip> chip, std::string sysDir = "/sys",
               Platform& events = nativePlatform());
  ~FtdiPlatform() override;

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
                                       std::uint32_t milliseconds) override;
  void Sleep(std::uint32_t milliseconds) override { events_.Sleep(milliseconds); }
  bool listPorts(std::vector<std::string>& names) override;

 private:
  // Each called with mutex_ held.
  std::uint32_t check(Handle h) const;
  void appendState(std::uint8_t pins);
  void appendByte(std::uint8_t value);
  void noteSample(std::uint8_t pins);
  void lost();
  std::uint64_t bytesFor(std::chrono::milliseconds time) const;

  void drive();
  void sample();
  void startStreams();
  void stopStreams();
  bool fail(std::uint32_t error);
  bool failed();

  const std::unique_ptr<ftdi::Chip> chip_;
  const std::string sysDir_;
  Platform& events_;
  std::mutex chipMutex_;  // opening, closing and the rate; taken before mutex_
  std::mutex mutex_;      // everything below
  Handle handle_ = kInvalidHandle;
  int opens_ = 0;
  bool gone_ = false;  // unplugged: every call fails from now on
  DCB dcb_{};
  std::uint32_t samplesPerBit_ = kSamplesPerBit;
  std::uint32_t byteRate_ = 0;
  std::uint8_t pins_ = ftdi::kOutputs;     // the last state in the buffer or driven
  std::uint8_t driving_ = ftdi::kOutputs;  // the last state handed to the chip
  std::vector<std::uint8_t> pending_;
  std::chrono::steady_clock::time_point pendingSince_{};
  bool byteWritten_ = false;   // pending_ ends with a byte: it goes out now
  std::uint64_t queued_ = 0;   // bytes ever put in pending_
  std::uint64_t sent_ = 0;     // of those, the ones the chip has taken
  std::uint64_t driven_ = 0;   // bytes ever handed to the chip, held states too
  std::uint64_t taken_ = 0;    // of those, the ones it has taken
  std::uint64_t sampled_ = 0;  // samples read back
  // When the chip will have driven all it has taken.
  std::chrono::steady_clock::time_point lineEnd_{};
  std::uint32_t inputs_ = 0;  // MS_CTS_ON … MS_RLSD_ON
  StatusWait wait_{[this](Handle event) { events_.SetEvent(event); }};
  std::thread driver_, sampler_;
  bool stopping_ = false;
  bool draining_ = false;  // the driver is done: the sampler waits for the last byte
  std::chrono::steady_clock::time_point drainedBy_{};
  std::condition_variable changed_;
};

// The fast path's entry in the port list for the adapter of `tty`.
std::string ftdiPortName(const std::string& tty);

// The adapters with an FTDI chip that ftdi_sio serves, found in sysfs
// without opening anything, in the order of their ttys.
std::vector<ftdi::Adapter> findFtdiAdapters(const std::string& sysDir = "/sys");

// The machine's fast path, alive for the whole run.
Platform& ftdiPlatform();

}  // namespace sys
