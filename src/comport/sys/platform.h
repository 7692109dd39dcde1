// The platform layer of the serial port component: one Win32-shaped interface.
//
// The component talks to a device only through these calls, so the values it
// passes (device names, DCB fields, escape codes, event masks, timeouts) are the
// same on every OS and can be checked against a recording decorator. Each
// backend only translates: win32 calls the real API, linux drives a tty
// descriptor, and the virtual board simulates the board.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sys {

using Handle = std::uintptr_t;
inline constexpr Handle kInvalidHandle = ~Handle{0};  // INVALID_HANDLE_VALUE

// Error codes (GetLastError).
inline constexpr std::uint32_t kErrorFileNotFound = 2;
inline constexpr std::uint32_t kErrorAccessDenied = 5;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorBadCommand = 22;
// A tty without modem lines (a pseudo-terminal) or a setting the driver refuses.
inline constexpr std::uint32_t kErrorNotSupported = 50;
inline constexpr std::uint32_t kErrorGenFailure = 31;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorOperationAborted = 995;
inline constexpr std::uint32_t kErrorIoIncomplete = 996;
inline constexpr std::uint32_t kErrorIoPending = 997;
// The user may not open the device (on Linux: not in the group that owns it).
inline constexpr std::uint32_t kErrorPrivilegeNotHeld = 1314;
// The user may not open a USB adapter directly (no udev rule gives access);
// bit 29 marks a code of our own.
inline constexpr std::uint32_t kErrorNoUsbAccess = 0x20000001u;

// CreateFileA.
inline constexpr std::uint32_t kGenericRead = 0x80000000u;
inline constexpr std::uint32_t kGenericWrite = 0x40000000u;
inline constexpr std::uint32_t kOpenExisting = 3;
inline constexpr std::uint32_t kFileFlagOverlapped = 0x40000000u;

// EscapeCommFunction.
inline constexpr std::uint32_t kSetRts = 3;
inline constexpr std::uint32_t kClrRts = 4;
inline constexpr std::uint32_t kSetDtr = 5;
inline constexpr std::uint32_t kClrDtr = 6;

// GetCommModemStatus.
inline constexpr std::uint32_t kMsCtsOn = 0x10;
inline constexpr std::uint32_t kMsDsrOn = 0x20;
inline constexpr std::uint32_t kMsRingOn = 0x40;
inline constexpr std::uint32_t kMsRlsdOn = 0x80;

// SetCommMask / WaitCommEvent.
inline constexpr std::uint32_t kEvRxChar = 0x0001;
inline constexpr std::uint32_t kEvTxEmpty = 0x0004;
inline constexpr std::uint32_t kEvCts = 0x0008;
inline constexpr std::uint32_t kEvDsr = 0x0010;
inline constexpr std::uint32_t kEvRlsd = 0x0020;
inline constexpr std::uint32_t kEvErr = 0x0080;
inline constexpr std::uint32_t kEvRing = 0x0100;
inline constexpr std::uint32_t kEvRx80Full = 0x0400;

// ClearCommError.
inline constexpr std::uint32_t kCeRxOver = 0x0001;
inline constexpr std::uint32_t kCeOverrun = 0x0002;
inline constexpr std::uint32_t kCeRxParity = 0x0004;
inline constexpr std::uint32_t kCeFrame = 0x0008;
inline constexpr std::uint32_t kCeBreak = 0x0010;
inline constexpr std::uint32_t kCeTxFull = 0x0100;
inline constexpr std::uint32_t kCeIoe = 0x0400;
inline constexpr std::uint32_t kCeMode = 0x8000;

// PurgeComm.
inline constexpr std::uint32_t kPurgeTxAbort = 0x1;
inline constexpr std::uint32_t kPurgeRxAbort = 0x2;
inline constexpr std::uint32_t kPurgeTxClear = 0x4;
inline constexpr std::uint32_t kPurgeRxClear = 0x8;

// Waits.
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;
inline constexpr std::uint32_t kWaitObject0 = 0;
inline constexpr std::uint32_t kWaitTimeout = 258;
inline constexpr std::uint32_t kWaitFailed = 0xFFFFFFFFu;

// DCB flags word bits.
inline constexpr std::uint32_t kDcbBinary = 0x0001;
inline constexpr std::uint32_t kDcbParity = 0x0002;
inline constexpr std::uint32_t kDcbDtrControlEnable = 0x0010;  // fDtrControl = 1
inline constexpr std::uint32_t kDcbRtsControlEnable = 0x1000;  // fRtsControl = 1

// The Win32 DCB, field for field; the bit fields of the flags word are kept as
// one 32-bit word.
struct DCB {
  std::uint32_t DCBlength;
  std::uint32_t BaudRate;
  std::uint32_t Flags;
  std::uint16_t wReserved;
  std::uint16_t XonLim;
  std::uint16_t XoffLim;
  std::uint8_t ByteSize;
  std::uint8_t Parity;
  std::uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  std::uint16_t wReserved1;
};
static_assert(sizeof(DCB) == 28, "DCB must have the Win32 layout");

struct CommTimeouts {
  std::uint32_t ReadIntervalTimeout;
  std::uint32_t ReadTotalTimeoutMultiplier;
  std::uint32_t ReadTotalTimeoutConstant;
  std::uint32_t WriteTotalTimeoutMultiplier;
  std::uint32_t WriteTotalTimeoutConstant;
};

struct ComStat {
  std::uint32_t Flags;
  std::uint32_t cbInQue;
  std::uint32_t cbOutQue;
};

// Same layout as the Win32 OVERLAPPED on 64-bit Windows. Internal holds the
// status of the transfer (0 done, kStatusPending while running, otherwise the
// error code), InternalHigh the bytes transferred.
struct Overlapped {
  std::uintptr_t Internal;
  std::uintptr_t InternalHigh;
  std::uint32_t Offset;
  std::uint32_t OffsetHigh;
  Handle hEvent;
};
inline constexpr std::uintptr_t kStatusPending = 0x103;

// Every call may be made from the GUI thread and the port's event thread at the
// same time; backends serialise what they must.
class Platform {
 public:
  virtual ~Platform() = default;

  virtual Handle CreateFileA(const std::string& name, std::uint32_t access, std::uint32_t share,
                             std::uint32_t disposition, std::uint32_t flags) = 0;
  virtual std::uint32_t GetLastError() = 0;
  virtual bool CloseHandle(Handle h) = 0;

  virtual bool SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
  virtual bool SetCommState(Handle h, const DCB& dcb) = 0;
  virtual bool SetCommTimeouts(Handle h, const CommTimeouts& timeouts) = 0;
  virtual bool SetCommMask(Handle h, std::uint32_t mask) = 0;
  virtual bool WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* overlapped) = 0;
  virtual bool GetOverlappedResult(Handle h, Overlapped* overlapped, std::uint32_t* transferred,
                                   bool wait) = 0;
  virtual bool EscapeCommFunction(Handle h, std::uint32_t function) = 0;
  virtual bool GetCommModemStatus(Handle h, std::uint32_t* status) = 0;
  virtual bool ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) = 0;
  virtual bool PurgeComm(Handle h, std::uint32_t flags) = 0;
  virtual bool WriteFile(Handle h, const void* data, std::uint32_t count, std::uint32_t* written,
                         Overlapped* overlapped) = 0;

  virtual Handle CreateEventA(bool manualReset, bool initialState) = 0;
  virtual bool SetEvent(Handle h) = 0;
  virtual bool ResetEvent(Handle h) = 0;
  virtual std::uint32_t WaitForSingleObject(Handle h, std::uint32_t milliseconds) = 0;
  virtual std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* handles,
                                               bool waitAll, std::uint32_t milliseconds) = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;

  // The machine's serial ports by the names a user opens them by ("COM3",
  // "ttyUSB0"), in the system's order; false when they cannot be read.
  // Never opens a port: on many drivers an open alone raises DTR and RTS.
  virtual bool listPorts(std::vector<std::string>& names) = 0;
};

}  // namespace sys
