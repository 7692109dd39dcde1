// The FTDI fast path: an FTDI adapter driven in bit-bang mode.
// Every RTS or DTR switch is one pin state of a frame buffer, a byte written
// on TXD its bit times at the port's rate, and the buffer goes to the chip in
// one transfer with the byte, so a frame costs a few USB frames instead of one
// control transfer per switch. The board sees the waveform of the UART: the
// control pins are active low, TXD idles high, bytes go out start bit, data
// bits LSB first, stop bit.
//
// The inputs are read from the pins every millisecond between frames, and
// after each frame's write (about 3 ms at 9600 bit/s). (Synchronous bit-bang
// would sample them with every byte, but its samples come back as bulk IN
// packets, several a frame, which on a USB controller that moves a packet a
// frame cost what the frame saved.)
//
// The user picks the fast path by its own entry in the port list,
// "ttyUSB0 (FTDI, быстрый)" beside "ttyUSB0"; one adapter at a time.
#pragma once

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

namespace sys {

class FtdiPlatform : public Platform {
 public:
  // Samples per bit time of a byte on TXD, at the highest.
  static constexpr std::uint32_t kSamplesPerBit = 16;
  // Samples each RTS or DTR state lasts: 13 µs at 9600 bit/s, slow enough
  // for the adapter's RS-232 drivers.
  static constexpr std::uint32_t kSamplesPerState = 2;

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
  void addEvents(std::uint32_t events);
  void endWait(std::uint32_t status, std::uint32_t events);
  void lost();

  // With chipMutex_ held: sends what is pending.
  bool sendPending();
  void poll();
  void stopPolling();
  bool fail(std::uint32_t error);
  bool failed();

  const std::unique_ptr<ftdi::Chip> chip_;
  const std::string sysDir_;
  Platform& events_;
  std::mutex chipMutex_;  // one chip call at a time; taken before mutex_
  std::mutex mutex_;      // everything below
  Handle handle_ = kInvalidHandle;
  int opens_ = 0;
  bool gone_ = false;  // unplugged: every call fails from now on
  DCB dcb_{};
  std::uint32_t samplesPerBit_ = kSamplesPerBit;
  std::uint8_t pins_ = ftdi::kOutputs;  // the last state in the buffer or sent
  std::vector<std::uint8_t> pending_;
  std::size_t pendingSeen_ = 0;  // its size at the last poll
  std::uint32_t inputs_ = 0;     // MS_CTS_ON … MS_RLSD_ON
  std::uint32_t mask_ = 0;
  std::uint32_t history_ = 0;
  std::uint32_t* waitMask_ = nullptr;
  Overlapped* waitOverlapped_ = nullptr;
  std::thread poller_;
  bool stopping_ = false;
  std::condition_variable wake_;
};

// The fast path's entry in the port list for the adapter of `tty`.
std::string ftdiPortName(const std::string& tty);

// The adapters with an FTDI chip that ftdi_sio serves, found in sysfs
// without opening anything, in the order of their ttys.
std::vector<ftdi::Adapter> findFtdiAdapters(const std::string& sysDir = "/sys");

// The machine's fast path, alive for the whole run.
Platform& ftdiPlatform();

}  // namespace sys
