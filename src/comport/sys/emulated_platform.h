// The platform for machines without the Win32 API, and for tests: handles,
// events and overlapped transfers are emulated in portable C++, and the serial
// devices come from openers (the posix tty backend, the virtual board).
//
// It can record every device and registry call with its arguments and fail
// chosen calls, which is how the tests see exactly what the component does.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "comport/sys/device.h"
#include "comport/sys/platform.h"

namespace sys {

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
  RegOpenKey,
  RegEnumValue,
  RegCloseKey,
};

struct Call {
  Op op;
  std::string text;  // the call and its arguments, e.g. "EscapeCommFunction 5"
};

class EmulatedPlatform : public Platform {
 public:
  // Opens the device of a port name ("COM2", "ttyUSB0", "VIRTUAL"). Returns the
  // device, or nullptr with `error` set; kErrorFileNotFound lets the next
  // opener try.
  using Opener =
      std::function<std::shared_ptr<Device>(const std::string& port, std::uint32_t& error)>;
  // Lists the values of HARDWARE\DEVICEMAP\SERIALCOMM as (name, data) pairs;
  // false when the key cannot be read.
  using SerialCommSource =
      std::function<bool(std::vector<std::pair<std::string, std::string>>& values)>;

  EmulatedPlatform();
  ~EmulatedPlatform() override;
  EmulatedPlatform(const EmulatedPlatform&) = delete;
  EmulatedPlatform& operator=(const EmulatedPlatform&) = delete;

  void addOpener(Opener opener);
  void setSerialCommSource(SerialCommSource source);

  // Call log.
  void setLogging(bool on);
  std::vector<Call> calls() const;
  std::vector<std::string> callTexts(std::initializer_list<Op> ops = {}) const;
  void clearCalls();

  // Makes the nth call of `op` from now on (1 = the next) fail with `error`.
  void failCall(Op op, int nth, std::uint32_t error);
  // Makes every call of `op` fail with `error` until cleared (error 0 clears).
  void failAlways(Op op, std::uint32_t error);

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

  Handle CreateEventA(bool manualReset, bool initialState) override;
  bool SetEvent(Handle h) override;
  std::uint32_t WaitForSingleObject(Handle h, std::uint32_t milliseconds) override;
  std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* handles, bool waitAll,
                                       std::uint32_t milliseconds) override;
  void Sleep(std::uint32_t milliseconds) override;

  long RegOpenKeyExA(Handle root, const std::string& subKey, std::uint32_t options,
                     std::uint32_t access, Handle* key) override;
  long RegEnumValueA(Handle key, std::uint32_t index, char* name, std::uint32_t* nameLength,
                     std::uint32_t* type, std::uint8_t* data, std::uint32_t* dataLength) override;
  long RegCloseKey(Handle key) override;

  // Number of open handles of each kind, for leak checks in tests.
  int openDevices() const;
  int openEvents() const;

 private:
  struct Event {
    bool manualReset = true;
    bool signalled = false;
  };
  struct Object {
    std::shared_ptr<Device> device;
    std::shared_ptr<Event> event;
    std::vector<std::pair<std::string, std::string>> registryValues;
    bool registryKey = false;
  };

  Handle addObject(Object object);
  std::shared_ptr<Device> deviceOf(Handle h);
  // Records the call and applies injected faults; returns the error to fail
  // with, or 0.
  std::uint32_t enter(Op op, const std::function<std::string()>& describe);
  bool fail(std::uint32_t error);
  void signal(Handle event, bool on);
  bool consumeIfSignalled(Handle h, bool& known);

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::unordered_map<Handle, Object> objects_;
  Handle nextHandle_ = 0x100;
  std::vector<Opener> openers_;
  SerialCommSource serialComm_;

  mutable std::mutex logMutex_;
  bool logging_ = false;
  std::vector<Call> calls_;
  std::map<Op, std::vector<std::pair<int, std::uint32_t>>> pendingFaults_;  // countdown, error
  std::map<Op, std::uint32_t> persistentFaults_;
};

}  // namespace sys
