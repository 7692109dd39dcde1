// The real Win32 API behind the platform interface; built on Windows only.
// Each call goes straight to the function of the same name.
#pragma once

#include "comport/sys/platform.h"

namespace sys {

class Win32Platform : public Platform {
 public:
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
};

}  // namespace sys
