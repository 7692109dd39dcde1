#include "comport/sys/win32_platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <bit>
#include <cstddef>
#include <cstring>

#include <windows.h>

#include "comport/sys/native_platform.h"

namespace sys {

// Our records are the Win32 ones field for field, so they are passed as they are
// (the DCB is copied, because SetCommState wants a writable one).
static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
static_assert(sizeof(HANDLE) == sizeof(Handle));
static_assert(kInvalidHandle == static_cast<Handle>(-1), "INVALID_HANDLE_VALUE is all ones");

static_assert(sizeof(::DCB) == sizeof(DCB));
static_assert(offsetof(::DCB, BaudRate) == offsetof(DCB, BaudRate));
static_assert(offsetof(::DCB, wReserved) == offsetof(DCB, wReserved));
static_assert(offsetof(::DCB, XonLim) == offsetof(DCB, XonLim));
static_assert(offsetof(::DCB, XoffLim) == offsetof(DCB, XoffLim));
static_assert(offsetof(::DCB, ByteSize) == offsetof(DCB, ByteSize));
static_assert(offsetof(::DCB, Parity) == offsetof(DCB, Parity));
static_assert(offsetof(::DCB, StopBits) == offsetof(DCB, StopBits));
static_assert(offsetof(::DCB, XonChar) == offsetof(DCB, XonChar));
static_assert(offsetof(::DCB, XoffChar) == offsetof(DCB, XoffChar));
static_assert(offsetof(::DCB, ErrorChar) == offsetof(DCB, ErrorChar));
static_assert(offsetof(::DCB, EofChar) == offsetof(DCB, EofChar));
static_assert(offsetof(::DCB, EvtChar) == offsetof(DCB, EvtChar));
static_assert(offsetof(::DCB, wReserved1) == offsetof(DCB, wReserved1));
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
static_assert(offsetof(::COMMTIMEOUTS, ReadIntervalTimeout) ==
              offsetof(CommTimeouts, ReadIntervalTimeout));
static_assert(offsetof(::COMMTIMEOUTS, WriteTotalTimeoutConstant) ==
              offsetof(CommTimeouts, WriteTotalTimeoutConstant));

static_assert(sizeof(::COMSTAT) == sizeof(ComStat));
static_assert(offsetof(::COMSTAT, cbInQue) == offsetof(ComStat, cbInQue));
static_assert(offsetof(::COMSTAT, cbOutQue) == offsetof(ComStat, cbOutQue));

static_assert(sizeof(::OVERLAPPED) == sizeof(Overlapped));
static_assert(offsetof(::OVERLAPPED, Internal) == offsetof(Overlapped, Internal));
static_assert(offsetof(::OVERLAPPED, InternalHigh) == offsetof(Overlapped, InternalHigh));
static_assert(offsetof(::OVERLAPPED, Offset) == offsetof(Overlapped, Offset));
static_assert(offsetof(::OVERLAPPED, OffsetHigh) == offsetof(Overlapped, OffsetHigh));
static_assert(offsetof(::OVERLAPPED, hEvent) == offsetof(Overlapped, hEvent));
static_assert(STATUS_PENDING == kStatusPending);

namespace {

HANDLE win(Handle h) {
  return reinterpret_cast<HANDLE>(h);
}

Handle ours(HANDLE h) {
  return reinterpret_cast<Handle>(h);
}

HKEY key(Handle h) {
  return h == kHkeyLocalMachine ? HKEY_LOCAL_MACHINE : reinterpret_cast<HKEY>(h);
}

DWORD* dword(std::uint32_t* p) {
  return reinterpret_cast<DWORD*>(p);
}

OVERLAPPED* overlapped(Overlapped* p) {
  return reinterpret_cast<OVERLAPPED*>(p);
}

}  // namespace

Handle Win32Platform::CreateFileA(const std::string& name, std::uint32_t access,
                                  std::uint32_t share, std::uint32_t disposition,
                                  std::uint32_t flags) {
  return ours(::CreateFileA(name.c_str(), access, share, nullptr, disposition, flags, nullptr));
}

std::uint32_t Win32Platform::GetLastError() {
  return ::GetLastError();
}

bool Win32Platform::CloseHandle(Handle h) {
  return ::CloseHandle(win(h));
}

bool Win32Platform::SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) {
  return ::SetupComm(win(h), inQueue, outQueue);
}

bool Win32Platform::SetCommState(Handle h, const DCB& dcb) {
  ::DCB real;
  std::memcpy(&real, &dcb, sizeof real);
  return ::SetCommState(win(h), &real);
}

bool Win32Platform::SetCommTimeouts(Handle h, const CommTimeouts& timeouts) {
  ::COMMTIMEOUTS real;
  std::memcpy(&real, &timeouts, sizeof real);
  return ::SetCommTimeouts(win(h), &real);
}

bool Win32Platform::SetCommMask(Handle h, std::uint32_t mask) {
  return ::SetCommMask(win(h), mask);
}

bool Win32Platform::WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* ov) {
  return ::WaitCommEvent(win(h), dword(mask), overlapped(ov));
}

bool Win32Platform::GetOverlappedResult(Handle h, Overlapped* ov, std::uint32_t* transferred,
                                        bool wait) {
  return ::GetOverlappedResult(win(h), overlapped(ov), dword(transferred), wait);
}

bool Win32Platform::EscapeCommFunction(Handle h, std::uint32_t function) {
  return ::EscapeCommFunction(win(h), function);
}

bool Win32Platform::GetCommModemStatus(Handle h, std::uint32_t* status) {
  return ::GetCommModemStatus(win(h), dword(status));
}

bool Win32Platform::ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) {
  return ::ClearCommError(win(h), dword(errors), reinterpret_cast<::COMSTAT*>(stat));
}

bool Win32Platform::PurgeComm(Handle h, std::uint32_t flags) {
  return ::PurgeComm(win(h), flags);
}

bool Win32Platform::WriteFile(Handle h, const void* data, std::uint32_t count,
                              std::uint32_t* written, Overlapped* ov) {
  return ::WriteFile(win(h), data, count, dword(written), overlapped(ov));
}

Handle Win32Platform::CreateEventA(bool manualReset, bool initialState) {
  return ours(::CreateEventA(nullptr, manualReset, initialState, nullptr));
}

bool Win32Platform::SetEvent(Handle h) {
  return ::SetEvent(win(h));
}

std::uint32_t Win32Platform::WaitForSingleObject(Handle h, std::uint32_t milliseconds) {
  return ::WaitForSingleObject(win(h), milliseconds);
}

std::uint32_t Win32Platform::WaitForMultipleObjects(std::uint32_t count, const Handle* handles,
                                                    bool waitAll, std::uint32_t milliseconds) {
  return ::WaitForMultipleObjects(count, reinterpret_cast<const HANDLE*>(handles), waitAll,
                                  milliseconds);
}

void Win32Platform::Sleep(std::uint32_t milliseconds) {
  ::Sleep(milliseconds);
}

long Win32Platform::RegOpenKeyExA(Handle root, const std::string& subKey, std::uint32_t options,
                                  std::uint32_t access, Handle* result) {
  HKEY opened = nullptr;
  const LONG status = ::RegOpenKeyExA(key(root), subKey.c_str(), options, access, &opened);
  *result = reinterpret_cast<Handle>(opened);
  return status;
}

long Win32Platform::RegEnumValueA(Handle k, std::uint32_t index, char* name,
                                  std::uint32_t* nameLength, std::uint32_t* type,
                                  std::uint8_t* data, std::uint32_t* dataLength) {
  return ::RegEnumValueA(key(k), index, name, dword(nameLength), nullptr, dword(type), data,
                         dword(dataLength));
}

long Win32Platform::RegCloseKey(Handle k) {
  return ::RegCloseKey(key(k));
}

Platform& nativePlatform() {
  static Win32Platform platform;
  return platform;
}

}  // namespace sys
