// The real Win32 API behind the platform interface; built on Windows only.
// Each call goes straight to the function of the same name.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <bit>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include <windows.h>

#include "comport/sys/native_platform.h"

namespace sys {

// Our records are the Win32 ones field for field, so they are passed as they are.
static_assert(sizeof(DWORD) == sizeof(std::uint32_t) && sizeof(HANDLE) == sizeof(Handle));
static_assert(kInvalidHandle == static_cast<Handle>(-1), "INVALID_HANDLE_VALUE is all ones");
static_assert(sizeof(::DCB) == sizeof(DCB) && offsetof(::DCB, BaudRate) == offsetof(DCB, BaudRate));
static_assert(offsetof(::DCB, XonLim) == offsetof(DCB, XonLim));
static_assert(offsetof(::DCB, ByteSize) == offsetof(DCB, ByteSize));
static_assert(offsetof(::DCB, XonChar) == offsetof(DCB, XonChar));
static_assert(offsetof(::DCB, EvtChar) == offsetof(DCB, EvtChar));
// Our flags word bits are the DCB's bit fields.
constexpr ::DCB kFlagsProbe = [] {
  ::DCB dcb{};
  dcb.fBinary = 1;
  dcb.fParity = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  return dcb;
}();
static_assert(std::bit_cast<DCB>(kFlagsProbe).Flags ==
              (kDcbBinary | kDcbParity | kDcbDtrControlEnable | kDcbRtsControlEnable));
static_assert(sizeof(::COMMTIMEOUTS) == sizeof(CommTimeouts));
static_assert(sizeof(::COMSTAT) == sizeof(ComStat) && offsetof(::COMSTAT, cbInQue) == 4);
static_assert(sizeof(::OVERLAPPED) == sizeof(Overlapped));
static_assert(offsetof(::OVERLAPPED, hEvent) == offsetof(Overlapped, hEvent));
static_assert(STATUS_PENDING == kStatusPending);

namespace {

HANDLE win(Handle h) {
  return reinterpret_cast<HANDLE>(h);
}
DWORD* dword(std::uint32_t* p) {
  return reinterpret_cast<DWORD*>(p);
}
OVERLAPPED* overlapped(Overlapped* p) {
  return reinterpret_cast<OVERLAPPED*>(p);
}

class Win32Platform final : public Platform {
 public:
  Handle CreateFileA(const std::string& name, std::uint32_t access, std::uint32_t share,
                     std::uint32_t disposition, std::uint32_t flags) override {
    return reinterpret_cast<Handle>(
        ::CreateFileA(name.c_str(), access, share, nullptr, disposition, flags, nullptr));
  }
  std::uint32_t GetLastError() override { return ::GetLastError(); }
  bool CloseHandle(Handle h) override { return ::CloseHandle(win(h)); }
  bool SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) override {
    return ::SetupComm(win(h), inQueue, outQueue);
  }
  bool SetCommState(Handle h, const DCB& dcb) override {
    ::DCB real = std::bit_cast<::DCB>(dcb);  // SetCommState wants a writable one
    return ::SetCommState(win(h), &real);
  }
  bool SetCommTimeouts(Handle h, const CommTimeouts& timeouts) override {
    ::COMMTIMEOUTS real = std::bit_cast<::COMMTIMEOUTS>(timeouts);
    return ::SetCommTimeouts(win(h), &real);
  }
  bool SetCommMask(Handle h, std::uint32_t mask) override { return ::SetCommMask(win(h), mask); }
  bool WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* ov) override {
    return ::WaitCommEvent(win(h), dword(mask), overlapped(ov));
  }
  bool GetOverlappedResult(Handle h, Overlapped* ov, std::uint32_t* transferred,
                           bool wait) override {
    return ::GetOverlappedResult(win(h), overlapped(ov), dword(transferred), wait);
  }
  bool EscapeCommFunction(Handle h, std::uint32_t function) override {
    return ::EscapeCommFunction(win(h), function);
  }
  bool GetCommModemStatus(Handle h, std::uint32_t* status) override {
    return ::GetCommModemStatus(win(h), dword(status));
  }
  bool ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) override {
    return ::ClearCommError(win(h), dword(errors), reinterpret_cast<::COMSTAT*>(stat));
  }
  bool PurgeComm(Handle h, std::uint32_t flags) override { return ::PurgeComm(win(h), flags); }
  bool WriteFile(Handle h, const void* data, std::uint32_t count, std::uint32_t* written,
                 Overlapped* ov) override {
    return ::WriteFile(win(h), data, count, dword(written), overlapped(ov));
  }
  Handle CreateEventA(bool manualReset, bool initialState) override {
    return reinterpret_cast<Handle>(::CreateEventA(nullptr, manualReset, initialState, nullptr));
  }
  bool SetEvent(Handle h) override { return ::SetEvent(win(h)); }
  bool ResetEvent(Handle h) override { return ::ResetEvent(win(h)); }
  std::uint32_t WaitForSingleObject(Handle h, std::uint32_t milliseconds) override {
    return ::WaitForSingleObject(win(h), milliseconds);
  }
  std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* handles, bool waitAll,
                                       std::uint32_t milliseconds) override {
    return ::WaitForMultipleObjects(count, reinterpret_cast<const HANDLE*>(handles), waitAll,
                                    milliseconds);
  }
  void Sleep(std::uint32_t milliseconds) override { ::Sleep(milliseconds); }

  // The ports Windows records under HARDWARE\DEVICEMAP\SERIALCOMM: each
  // value's data is a port name. A value name or data that does not fit 256
  // bytes ends the listing with an error.
  bool listPorts(std::vector<std::string>& names) override {
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
      return false;
    }
    names.clear();
    LONG result = ERROR_SUCCESS;
    for (DWORD index = 0; result == ERROR_SUCCESS; ++index) {
      char name[256];
      BYTE data[256];
      DWORD nameLength = sizeof name;
      DWORD dataLength = sizeof data;
      result = ::RegEnumValueA(key, index, name, &nameLength, nullptr, nullptr, data, &dataLength);
      // The data is text; it ends at its terminating null, or at its length.
      const auto* text = reinterpret_cast<const char*>(data);
      if (result == ERROR_SUCCESS) names.emplace_back(text, strnlen(text, dataLength));
    }
    ::RegCloseKey(key);
    return result == ERROR_NO_MORE_ITEMS;
  }
};

}  // namespace

Platform& nativePlatform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace sys
