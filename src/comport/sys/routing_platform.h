// One platform made of two: the machine's own (the real Win32 API on Windows)
// and the emulated one that hosts the virtual board. A port name decides
// which one opens it; every handle remembers where it came from.
//
// Events have no port name: they are made by the platform of the port opened
// last, which is right for a single port component, whose thread and
// transfers only ever wait on events together with its own device.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "comport/sys/platform.h"

namespace sys {

class RoutingPlatform : public Platform {
 public:
  // Port names in `hosted` are opened by `hosting`; all others by `machine`.
  RoutingPlatform(Platform& machine, Platform& hosting, std::vector<std::string> hosted);

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

 private:
  struct Target {
    Platform* platform = nullptr;
    Handle handle = kInvalidHandle;
  };

  Handle add(Platform& platform, Handle handle);
  Target find(Handle h);
  void forget(Handle h);
  bool failed(Platform& platform);
  // Calls `call` with the overlapped record's event swapped for the
  // platform's own handle, and puts ours back afterwards.
  template <typename Call>
  bool withOverlapped(Handle h, Overlapped* overlapped, Call&& call);

  Platform& machine_;
  Platform& hosting_;
  std::vector<std::string> hosted_;
  std::mutex mutex_;
  std::unordered_map<Handle, Target> handles_;
  Handle next_ = 0x10000;
  std::atomic<Platform*> lastOpened_;
};

}  // namespace sys
