#include "comport/sys/routing_platform.h"

#include <algorithm>
#include <utility>

namespace sys {

namespace {
thread_local std::uint32_t lastError = 0;
const std::string kDevicePrefix = "\\\\.\\";
}  // namespace

RoutingPlatform::RoutingPlatform(Platform& machine, Platform& hosting,
                                 std::vector<std::string> hosted)
    : machine_(machine), hosting_(hosting), hosted_(std::move(hosted)), lastOpened_(&machine) {}

Handle RoutingPlatform::add(Platform& platform, Handle handle) {
  std::lock_guard lock(mutex_);
  const Handle ours = next_;
  next_ += 4;
  handles_[ours] = {&platform, handle};
  return ours;
}

RoutingPlatform::Target RoutingPlatform::find(Handle h) {
  std::lock_guard lock(mutex_);
  auto it = handles_.find(h);
  return it == handles_.end() ? Target{} : it->second;
}

void RoutingPlatform::forget(Handle h) {
  std::lock_guard lock(mutex_);
  handles_.erase(h);
}

bool RoutingPlatform::failed(Platform& platform) {
  lastError = platform.GetLastError();
  return false;
}

Handle RoutingPlatform::CreateFileA(const std::string& name, std::uint32_t access,
                                    std::uint32_t share, std::uint32_t disposition,
                                    std::uint32_t flags) {
  const bool isHosted =
      name.compare(0, kDevicePrefix.size(), kDevicePrefix) == 0 &&
      std::find(hosted_.begin(), hosted_.end(), name.substr(kDevicePrefix.size())) != hosted_.end();
  Platform& platform = isHosted ? hosting_ : machine_;
  const Handle handle = platform.CreateFileA(name, access, share, disposition, flags);
  if (handle == kInvalidHandle) {
    failed(platform);
    return kInvalidHandle;
  }
  lastOpened_.store(&platform);
  return add(platform, handle);
}

std::uint32_t RoutingPlatform::GetLastError() {
  return lastError;
}

bool RoutingPlatform::CloseHandle(Handle h) {
  const Target t = find(h);
  if (!t.platform) {
    lastError = kErrorInvalidHandle;
    return false;
  }
  forget(h);
  return t.platform->CloseHandle(t.handle) || failed(*t.platform);
}

// Every call on a handle goes to the platform that made it, with its own
// handle; an unknown handle fails as Win32 would.
#define ROUTE(h, call)               \
  const Target t = find(h);          \
  if (!t.platform) {                 \
    lastError = kErrorInvalidHandle; \
    return false;                    \
  }                                  \
  return t.platform->call || failed(*t.platform)

bool RoutingPlatform::SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) {
  ROUTE(h, SetupComm(t.handle, inQueue, outQueue));
}

bool RoutingPlatform::SetCommState(Handle h, const DCB& dcb) {
  ROUTE(h, SetCommState(t.handle, dcb));
}

bool RoutingPlatform::SetCommTimeouts(Handle h, const CommTimeouts& timeouts) {
  ROUTE(h, SetCommTimeouts(t.handle, timeouts));
}

bool RoutingPlatform::SetCommMask(Handle h, std::uint32_t mask) {
  ROUTE(h, SetCommMask(t.handle, mask));
}

bool RoutingPlatform::EscapeCommFunction(Handle h, std::uint32_t function) {
  ROUTE(h, EscapeCommFunction(t.handle, function));
}

bool RoutingPlatform::GetCommModemStatus(Handle h, std::uint32_t* status) {
  ROUTE(h, GetCommModemStatus(t.handle, status));
}

bool RoutingPlatform::ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) {
  ROUTE(h, ClearCommError(t.handle, errors, stat));
}

bool RoutingPlatform::PurgeComm(Handle h, std::uint32_t flags) {
  ROUTE(h, PurgeComm(t.handle, flags));
}

bool RoutingPlatform::SetEvent(Handle h) {
  ROUTE(h, SetEvent(t.handle));
}

#undef ROUTE

template <typename Call>
bool RoutingPlatform::withOverlapped(Handle h, Overlapped* overlapped, Call&& call) {
  const Target t = find(h);
  if (!t.platform) {
    lastError = kErrorInvalidHandle;
    return false;
  }
  if (!overlapped) return call(*t.platform, t.handle) || failed(*t.platform);
  const Handle ours = overlapped->hEvent;
  const Target event = find(ours);
  overlapped->hEvent = event.platform == t.platform ? event.handle : kInvalidHandle;
  const bool ok = call(*t.platform, t.handle);
  if (!ok) failed(*t.platform);
  overlapped->hEvent = ours;
  return ok;
}

bool RoutingPlatform::WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* overlapped) {
  return withOverlapped(h, overlapped, [&](Platform& p, Handle own) {
    return p.WaitCommEvent(own, mask, overlapped);
  });
}

bool RoutingPlatform::GetOverlappedResult(Handle h, Overlapped* overlapped,
                                          std::uint32_t* transferred, bool wait) {
  return withOverlapped(h, overlapped, [&](Platform& p, Handle own) {
    return p.GetOverlappedResult(own, overlapped, transferred, wait);
  });
}

bool RoutingPlatform::WriteFile(Handle h, const void* data, std::uint32_t count,
                                std::uint32_t* written, Overlapped* overlapped) {
  return withOverlapped(h, overlapped, [&](Platform& p, Handle own) {
    return p.WriteFile(own, data, count, written, overlapped);
  });
}

Handle RoutingPlatform::CreateEventA(bool manualReset, bool initialState) {
  Platform& platform = *lastOpened_.load();
  const Handle handle = platform.CreateEventA(manualReset, initialState);
  if (handle == kInvalidHandle || handle == 0) {
    failed(platform);
    return handle;
  }
  return add(platform, handle);
}

std::uint32_t RoutingPlatform::WaitForSingleObject(Handle h, std::uint32_t milliseconds) {
  return WaitForMultipleObjects(1, &h, false, milliseconds);
}

std::uint32_t RoutingPlatform::WaitForMultipleObjects(std::uint32_t count, const Handle* handles,
                                                      bool waitAll, std::uint32_t milliseconds) {
  std::vector<Handle> own(count);
  Platform* platform = nullptr;
  for (std::uint32_t i = 0; i < count; ++i) {
    const Target t = find(handles[i]);
    // Objects of both platforms cannot be waited on together.
    if (!t.platform || (platform && platform != t.platform)) {
      lastError = kErrorInvalidHandle;
      return kWaitFailed;
    }
    platform = t.platform;
    own[i] = t.handle;
  }
  if (!platform) {
    lastError = kErrorInvalidParameter;
    return kWaitFailed;
  }
  const std::uint32_t result =
      platform->WaitForMultipleObjects(count, own.data(), waitAll, milliseconds);
  if (result == kWaitFailed) failed(*platform);
  return result;
}

void RoutingPlatform::Sleep(std::uint32_t milliseconds) {
  machine_.Sleep(milliseconds);
}

long RoutingPlatform::RegOpenKeyExA(Handle root, const std::string& subKey, std::uint32_t options,
                                    std::uint32_t access, Handle* key) {
  // The port list is the machine's; the program adds the virtual board itself.
  Handle own = 0;
  const long result = machine_.RegOpenKeyExA(root, subKey, options, access, &own);
  if (result == 0) *key = add(machine_, own);
  return result;
}

long RoutingPlatform::RegEnumValueA(Handle key, std::uint32_t index, char* name,
                                    std::uint32_t* nameLength, std::uint32_t* type,
                                    std::uint8_t* data, std::uint32_t* dataLength) {
  const Target t = find(key);
  if (!t.platform) return static_cast<long>(kErrorInvalidHandle);
  return t.platform->RegEnumValueA(t.handle, index, name, nameLength, type, data, dataLength);
}

long RoutingPlatform::RegCloseKey(Handle key) {
  const Target t = find(key);
  if (!t.platform) return static_cast<long>(kErrorInvalidHandle);
  forget(key);
  return t.platform->RegCloseKey(t.handle);
}

}  // namespace sys
