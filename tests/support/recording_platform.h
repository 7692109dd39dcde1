// A decorator over any platform (the virtual board, the Linux backend, the
// real Win32 API) that records every device call with its arguments, fails
// chosen calls, pulls the device out, and counts the handles left open: how
// the tests see exactly what the component asks of a device.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <mutex>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "comport/sys/platform.h"

namespace testing_support {

enum class Op {
  CreateFile,
  CloseHandle,
  SetupComm,
  SetCommState,
  SetCommTimeouts,
  SetCommMask,
  WaitCommEvent,
  GetOverlappedResult,
  EscapeCommFunction,
  GetCommModemStatus,
  ClearCommError,
  PurgeComm,
  WriteFile,
  listPorts,
};

// One device call as the log keeps it: the operation and its numeric
// arguments in the order the call takes them, the bytes it carries (a write's
// data, a DCB's raw bytes) and, for CreateFile, the device name.
struct Call {
  Op op;
  std::vector<std::int64_t> args = {};
  std::vector<std::uint8_t> bytes = {};
  std::string name = {};

  bool operator==(const Call&) const = default;
};

// The call as one line, e.g. "EscapeCommFunction 5" or "WriteFile 01".
std::string describe(const Call& call);
// How GoogleTest shows a call in a failed check.
void PrintTo(const Call& call, std::ostream* out);

// The line operations and the write of a step frame, with Win32's own
// escape codes spelled out: SETRTS 3, CLRRTS 4, SETDTR 5, CLRDTR 6.
inline Call setRts() {
  return {Op::EscapeCommFunction, {3}};
}
inline Call clrRts() {
  return {Op::EscapeCommFunction, {4}};
}
inline Call setDtr() {
  return {Op::EscapeCommFunction, {5}};
}
inline Call clrDtr() {
  return {Op::EscapeCommFunction, {6}};
}
inline Call writeCall(std::vector<std::uint8_t> bytes) {
  return {Op::WriteFile, {}, std::move(bytes)};
}
inline Call latch() {
  return writeCall({0x01});
}

// The wire of one step frame for the given 48 bits (channel 1 first): per
// channel its data bit on RTS and a clock pulse on DTR, then the latch byte.
inline std::vector<Call> frameWire(const std::vector<bool>& bits) {
  std::vector<Call> out;
  for (bool bit : bits) {
    out.push_back(bit ? setRts() : clrRts());
    out.push_back(setDtr());
    out.push_back(clrDtr());
  }
  out.push_back(latch());
  return out;
}

inline std::vector<bool> bitsFor(std::initializer_list<int> channels) {
  std::vector<bool> bits(48, false);
  for (int k : channels) bits[static_cast<std::size_t>(k - 1)] = true;
  return bits;
}

// The all-off frame: RTS and DTR lowered, 48 clock pulses, the latch byte.
inline std::vector<Call> allOffWire() {
  std::vector<Call> out = {clrRts(), clrDtr()};
  for (int i = 0; i < 48; ++i) {
    out.push_back(setDtr());
    out.push_back(clrDtr());
  }
  out.push_back(latch());
  return out;
}

class RecordingPlatform : public sys::Platform {
 public:
  explicit RecordingPlatform(sys::Platform& inner) : inner_(inner) {}

  // Call log, off until switched on.
  void setLogging(bool on);
  // The calls logged since the last clear, all or those of `ops`.
  std::vector<Call> calls(std::initializer_list<Op> ops = {}) const;
  // The same, each as describe() shows it.
  std::vector<std::string> callTexts(std::initializer_list<Op> ops = {}) const;
  // The line operations and writes: what reaches the board.
  std::vector<Call> wire() const { return calls({Op::EscapeCommFunction, Op::WriteFile}); }
  void clearCalls();

  // Makes the nth call of `op` from now on (1 = the next) fail with `error`
  // without reaching the platform below (a CloseHandle still closes).
  void failCall(Op op, int nth, std::uint32_t error);
  // Makes every call of `op` fail with `error` until cleared (error 0 clears).
  void failAlways(Op op, std::uint32_t error);

  // The device is pulled out: every call on an open port fails with
  // ERROR_BAD_COMMAND and a status wait under way ends with it, until
  // replugged; an open fails as for a missing port. Nothing reaches the
  // device meanwhile, so a board keeps its outputs.
  void unplug();
  // Pulls it out at the line operation `count` + 1 from now (escapes and
  // writes), which fails.
  void unplugAfter(int count);
  void replug();

  // The port list the machine would give, in place of the platform's own.
  void setPorts(std::vector<std::string> names);

  // Handles made through this platform and not yet closed.
  int openDevices() const;
  int openEvents() const;

  sys::Handle CreateFileA(const std::string& name, std::uint32_t access, std::uint32_t share,
                          std::uint32_t disposition, std::uint32_t flags) override;
  std::uint32_t GetLastError() override;
  bool CloseHandle(sys::Handle h) override;
  bool SetupComm(sys::Handle h, std::uint32_t inQueue, std::uint32_t outQueue) override;
  bool SetCommState(sys::Handle h, const sys::DCB& dcb) override;
  bool SetCommTimeouts(sys::Handle h, const sys::CommTimeouts& timeouts) override;
  bool SetCommMask(sys::Handle h, std::uint32_t mask) override;
  bool WaitCommEvent(sys::Handle h, std::uint32_t* mask, sys::Overlapped* overlapped) override;
  bool GetOverlappedResult(sys::Handle h, sys::Overlapped* overlapped, std::uint32_t* transferred,
                           bool wait) override;
  bool EscapeCommFunction(sys::Handle h, std::uint32_t function) override;
  bool GetCommModemStatus(sys::Handle h, std::uint32_t* status) override;
  bool ClearCommError(sys::Handle h, std::uint32_t* errors, sys::ComStat* stat) override;
  bool PurgeComm(sys::Handle h, std::uint32_t flags) override;
  bool WriteFile(sys::Handle h, const void* data, std::uint32_t count, std::uint32_t* written,
                 sys::Overlapped* overlapped) override;
  sys::Handle CreateEventA(bool manualReset, bool initialState) override;
  bool SetEvent(sys::Handle h) override;
  bool ResetEvent(sys::Handle h) override;
  std::uint32_t WaitForSingleObject(sys::Handle h, std::uint32_t milliseconds) override;
  std::uint32_t WaitForMultipleObjects(std::uint32_t count, const sys::Handle* handles,
                                       bool waitAll, std::uint32_t milliseconds) override;
  void Sleep(std::uint32_t milliseconds) override;
  bool listPorts(std::vector<std::string>& names) override;

 private:
  // Records the call and returns the error to fail it with, or 0.
  std::uint32_t enter(Call call);
  bool failed(std::uint32_t error);
  // Passes on the result of a call below, keeping its error.
  bool passed(bool ok);
  // The error of a call on `h` while the device is out, or 0.
  std::uint32_t pulled(sys::Handle h, bool lineOperation = false);

  sys::Platform& inner_;
  mutable std::mutex mutex_;
  bool logging_ = false;
  std::vector<Call> calls_;
  std::map<Op, std::vector<std::pair<int, std::uint32_t>>> pendingFaults_;  // countdown, error
  std::map<Op, std::uint32_t> persistentFaults_;
  bool ownPorts_ = false;
  std::vector<std::string> ports_;
  std::map<sys::Handle, std::uint32_t> devices_;  // open ports and their event masks
  bool unplugged_ = false;
  int unplugCountdown_ = -1;
  std::set<sys::Handle> events_;
};

}  // namespace testing_support
