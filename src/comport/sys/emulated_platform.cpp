#include "comport/sys/emulated_platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace sys {

namespace {

thread_local std::uint32_t lastError = 0;

const std::string kDevicePrefix = "\\\\.\\";
const std::string kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr std::uint32_t kRegSz = 1;

std::string hex(const void* data, std::size_t size) {
  std::string out;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  char buf[4];
  for (std::size_t i = 0; i < size; ++i) {
    std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
    out += buf;
  }
  return out;
}

std::string describeDcb(const DCB& d) {
  char buf[200];
  std::snprintf(buf, sizeof buf,
                "SetCommState DCBlength=%u BaudRate=%u Flags=0x%04x ByteSize=%u Parity=%u "
                "StopBits=%u XonChar=0x%02x XoffChar=0x%02x bytes=",
                d.DCBlength, d.BaudRate, d.Flags, d.ByteSize, d.Parity, d.StopBits,
                static_cast<unsigned>(static_cast<std::uint8_t>(d.XonChar)),
                static_cast<unsigned>(static_cast<std::uint8_t>(d.XoffChar)));
  return buf + hex(&d, sizeof d);
}

}  // namespace

EmulatedPlatform::EmulatedPlatform() = default;

EmulatedPlatform::~EmulatedPlatform() {
  std::vector<std::shared_ptr<Device>> devices;
  {
    std::lock_guard lock(mutex_);
    for (auto& [handle, object] : objects_) {
      if (object.device) devices.push_back(object.device);
    }
    objects_.clear();
  }
  for (auto& device : devices) device->close();
}

void EmulatedPlatform::addOpener(Opener opener) {
  std::lock_guard lock(mutex_);
  openers_.push_back(std::move(opener));
}

void EmulatedPlatform::setSerialCommSource(SerialCommSource source) {
  std::lock_guard lock(mutex_);
  serialComm_ = std::move(source);
}

void EmulatedPlatform::setLogging(bool on) {
  std::lock_guard lock(logMutex_);
  logging_ = on;
}

std::vector<Call> EmulatedPlatform::calls() const {
  std::lock_guard lock(logMutex_);
  return calls_;
}

std::vector<std::string> EmulatedPlatform::callTexts(std::initializer_list<Op> ops) const {
  std::lock_guard lock(logMutex_);
  std::vector<std::string> out;
  for (const Call& call : calls_) {
    if (ops.size() == 0 || std::find(ops.begin(), ops.end(), call.op) != ops.end()) {
      out.push_back(call.text);
    }
  }
  return out;
}

void EmulatedPlatform::clearCalls() {
  std::lock_guard lock(logMutex_);
  calls_.clear();
}

void EmulatedPlatform::failCall(Op op, int nth, std::uint32_t error) {
  std::lock_guard lock(logMutex_);
  pendingFaults_[op].emplace_back(nth, error);
}

void EmulatedPlatform::failAlways(Op op, std::uint32_t error) {
  std::lock_guard lock(logMutex_);
  if (error == 0) {
    persistentFaults_.erase(op);
  } else {
    persistentFaults_[op] = error;
  }
}

std::uint32_t EmulatedPlatform::enter(Op op, const std::function<std::string()>& describe) {
  std::lock_guard lock(logMutex_);
  if (logging_) calls_.push_back({op, describe()});
  std::uint32_t error = 0;
  if (auto it = pendingFaults_.find(op); it != pendingFaults_.end()) {
    auto& faults = it->second;
    for (auto& fault : faults) {
      if (--fault.first == 0) error = fault.second;
    }
    faults.erase(std::remove_if(faults.begin(), faults.end(),
                                [](const auto& fault) { return fault.first <= 0; }),
                 faults.end());
  }
  if (error == 0) {
    if (auto it = persistentFaults_.find(op); it != persistentFaults_.end()) error = it->second;
  }
  return error;
}

bool EmulatedPlatform::fail(std::uint32_t error) {
  lastError = error;
  return false;
}

Handle EmulatedPlatform::addObject(Object object) {
  std::lock_guard lock(mutex_);
  Handle h = nextHandle_;
  nextHandle_ += 4;
  objects_.emplace(h, std::move(object));
  return h;
}

std::shared_ptr<Device> EmulatedPlatform::deviceOf(Handle h) {
  std::lock_guard lock(mutex_);
  auto it = objects_.find(h);
  if (it == objects_.end()) return nullptr;
  return it->second.device;
}

Handle EmulatedPlatform::CreateFileA(const std::string& name, std::uint32_t access,
                                     std::uint32_t share, std::uint32_t disposition,
                                     std::uint32_t flags) {
  if (std::uint32_t error = enter(Op::CreateFile, [&] {
        char buf[96];
        std::snprintf(buf, sizeof buf, " access=0x%08x share=%u disposition=%u flags=0x%08x",
                      access, share, disposition, flags);
        return "CreateFileA " + name + buf;
      })) {
    fail(error);
    return kInvalidHandle;
  }
  if (name.compare(0, kDevicePrefix.size(), kDevicePrefix) != 0) {
    fail(kErrorFileNotFound);
    return kInvalidHandle;
  }
  const std::string port = name.substr(kDevicePrefix.size());
  std::vector<Opener> openers;
  {
    std::lock_guard lock(mutex_);
    openers = openers_;
  }
  std::uint32_t error = kErrorFileNotFound;
  for (const Opener& open : openers) {
    error = kErrorFileNotFound;
    if (auto device = open(port, error)) {
      Object object;
      object.device = std::move(device);
      return addObject(std::move(object));
    }
    if (error != kErrorFileNotFound) break;
  }
  fail(error);
  return kInvalidHandle;
}

std::uint32_t EmulatedPlatform::GetLastError() {
  return lastError;
}

bool EmulatedPlatform::CloseHandle(Handle h) {
  Object object;
  {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(h);
    if (it == objects_.end()) return fail(kErrorInvalidHandle);
    object = std::move(it->second);
    objects_.erase(it);
  }
  if (object.device) {
    if (std::uint32_t error = enter(Op::CloseHandle, [] { return std::string("CloseHandle"); })) {
      // The handle is gone whatever the device says, as with Win32.
      object.device->close();
      return fail(error);
    }
    object.device->close();
  }
  changed_.notify_all();
  return true;
}

bool EmulatedPlatform::SetupComm(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) {
  if (std::uint32_t error = enter(Op::SetupComm, [&] {
        return "SetupComm " + std::to_string(inQueue) + " " + std::to_string(outQueue);
      })) {
    return fail(error);
  }
  auto device = deviceOf(h);
  if (!device) return fail(kErrorInvalidHandle);
  if (std::uint32_t error = device->setupComm(inQueue, outQueue)) return fail(error);
  return true;
}

bool EmulatedPlatform::SetCommState(Handle h, const DCB& dcb) {
  if (std::uint32_t error = enter(Op::SetCommState, [&] { return describeDcb(dcb); })) {
    return fail(error);
  }
  auto device = deviceOf(h);
  if (!device) return fail(kErrorInvalidHandle);
  if (std::uint32_t error = device->setCommState(dcb)) return fail(error);
  return true;
}

bool EmulatedPlatform::SetCommTimeouts(Handle h, const CommTimeouts& t) {
  if (std::uint32_t error = enter(Op::SetCommTimeouts, [&] {
        char buf[120];
        std::snprintf(buf, sizeof buf, "SetCommTimeouts 0x%08x 0x%08x 0x%08x 0x%08x 0x%08x",
                      t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                      t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                      t.WriteTotalTimeoutConstant);
        return std::string(buf);
      })) {
    return fail(error);
  }
  auto device = deviceOf(h);
  if (!device) return fail(kErrorInvalidHandle);
  if (std::uint32_t error = device->setCommTimeouts(t)) return fail(error);
  return true;
}

bool EmulatedPlatform::SetCommMask(Handle h, std::uint32_t mask) {
  if (std::uint32_t error = enter(Op::SetCommMask, [&] {
        char buf[40];
        std::snprintf(buf, sizeof buf, "SetCommMask 0x%04x", mask);
        return std::string(buf);
      })) {
    return fail(error);
  }
  auto device = deviceOf(h);
  if (!device) return fail(kErrorInvalidHandle);
  if (std::uint32_t error = device->setEventMask(mask)) return fail(error);
  return true;
}

bool EmulatedPlatform::WaitCommEvent(Handle h, std::uint32_t* mask, Overlapped* overlapped) {
  if (std::uint32_t error = enter(Op::WaitCommEvent, [] { return std::string("WaitCommEvent"); })) {
    return fail(error);
  }
  auto device = deviceOf(h);
  if (!device) return fail(kErrorInvalidHandle);
  if (overlapped == nullptr || mask == nullptr) return fail(kErrorInvalidParameter);

  const Handle event = overlapped->hEvent;
  {
    std::lock_guard lock(mutex_);
    overlapped->Internal = kStatusPending;
    overlapped->InternalHigh = 0;
  }
  signal(event, false);
  auto finished = std::make_shared<bool>(false);
  std::uint32_t error = device->waitEvent(
      [this, mask, overlapped, event, finished](std::uint32_t status, std::uint32_t events) {
        {
          std::lock_guard lock(mutex_);
          *mask = events;
          overlapped->InternalHigh = 0;
          overlapped->Internal = status;
          *finished = true;
        }
        signal(event, true);
      });
  if (error != 0) {
    std::lock_guard lock(mutex_);
    overlapped->Internal = error;
    return fail(error);
  }
  std::lock_guard lock(mutex_);
  if (*finished) {
    if (overlapped->Internal != 0) {
      lastError = static_cast<std::uint32_t>(overlapped->Internal);
      return false;
    }
    return true;
  }
  lastError = kErrorIoPending;
  return false;
}

bool EmulatedPlatform::GetOverlappedResult(Handle h, Overlapped* overlapped,
                                           std::uint32_t* transferred, bool wait) {
  if (std::uint32_t error =
          enter(Op::GetOverlappedResult, [] { return std::string("GetOverlappedResult"); })) {
    return fail(error);
  }
  if (overlapped == nullptr) return fail(kErrorInvalidParameter);
  if (wait) WaitForSingleObject(overlapped->hEvent, kInfinite);
  // Like Win32, only the record is examined when there is no need to wait.
  (void)h;
  std::lock_guard lock(mutex_);
  if (overlapped->Internal == kStatusPending) return fail(kErrorIoIncomplete);
  if (transferred) *transferred = static_cast<std::uint32_t>(overlapped->InternalHigh);
  if (overlapped->Internal != 0) return fail(static_cast<std::uint32_t>(overlapped->Internal));
  return true;
}

bool EmulatedPlatform::EscapeCommFunction(Handle h, std::uint32_t function) {
  if (std::uint32_t error = enter(Op::EscapeCommFunction, [&] {
        return "EscapeCommFunction " + std::to_string(function);
      })) {
    return fail(error);
  }
  auto device = deviceOf(h);
  if (!device) return fail(kErrorInvalidHandle);
  if (std::uint32_t error = device->escape(function)) return fail(error);
  return true;
}

bool EmulatedPlatform::GetCommModemStatus(Handle h, std::uint32_t* status) {
  if (std::uint32_t error =
          enter(Op::GetCommModemStatus, [] { return std::string("GetCommModemStatus"); })) {
    return fail(error);
  }
  auto device = deviceOf(h);
  if (!device) return fail(kErrorInvalidHandle);
  std::uint32_t value = 0;
  if (std::uint32_t error = device->modemStatus(value)) return fail(error);
  if (status) *status = value;
  return true;
}

bool EmulatedPlatform::ClearCommError(Handle h, std::uint32_t* errors, ComStat* stat) {
  if (std::uint32_t error =
          enter(Op::ClearCommError, [] { return std::string("ClearCommError"); })) {
    return fail(error);
  }
  auto device = deviceOf(h);
  if (!device) return fail(kErrorInvalidHandle);
  std::uint32_t flags = 0;
  ComStat s{};
  if (std::uint32_t error = device->clearError(flags, s)) return fail(error);
  if (errors) *errors = flags;
  if (stat) *stat = s;
  return true;
}

bool EmulatedPlatform::PurgeComm(Handle h, std::uint32_t flags) {
  if (std::uint32_t error = enter(Op::PurgeComm, [&] {
        char buf[40];
        std::snprintf(buf, sizeof buf, "PurgeComm 0x%02x", flags);
        return std::string(buf);
      })) {
    return fail(error);
  }
  auto device = deviceOf(h);
  if (!device) return fail(kErrorInvalidHandle);
  if (std::uint32_t error = device->purge(flags)) return fail(error);
  return true;
}

bool EmulatedPlatform::WriteFile(Handle h, const void* data, std::uint32_t count,
                                 std::uint32_t* written, Overlapped* overlapped) {
  if (std::uint32_t error = enter(Op::WriteFile, [&] { return "WriteFile " + hex(data, count); })) {
    return fail(error);
  }
  auto device = deviceOf(h);
  if (!device) return fail(kErrorInvalidHandle);
  if (overlapped) {
    {
      std::lock_guard lock(mutex_);
      overlapped->Internal = kStatusPending;
      overlapped->InternalHigh = 0;
    }
    signal(overlapped->hEvent, false);
  }
  std::uint32_t done = 0;
  std::uint32_t error = device->write(static_cast<const std::uint8_t*>(data), count, done);
  if (overlapped) {
    {
      std::lock_guard lock(mutex_);
      overlapped->Internal = error;
      overlapped->InternalHigh = done;
    }
    signal(overlapped->hEvent, true);
  }
  if (error) return fail(error);
  if (written) *written = done;
  return true;
}

Handle EmulatedPlatform::CreateEventA(bool manualReset, bool initialState) {
  Object object;
  object.event = std::make_shared<Event>();
  object.event->manualReset = manualReset;
  object.event->signalled = initialState;
  return addObject(std::move(object));
}

void EmulatedPlatform::signal(Handle h, bool on) {
  {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(h);
    if (it == objects_.end() || !it->second.event) return;
    it->second.event->signalled = on;
  }
  if (on) changed_.notify_all();
}

bool EmulatedPlatform::SetEvent(Handle h) {
  {
    std::lock_guard lock(mutex_);
    auto it = objects_.find(h);
    if (it == objects_.end() || !it->second.event) return fail(kErrorInvalidHandle);
    it->second.event->signalled = true;
  }
  changed_.notify_all();
  return true;
}

// Called with mutex_ held. Takes a signalled auto-reset event.
bool EmulatedPlatform::consumeIfSignalled(Handle h, bool& known) {
  auto it = objects_.find(h);
  known = it != objects_.end() && it->second.event;
  if (!known || !it->second.event->signalled) return false;
  if (!it->second.event->manualReset) it->second.event->signalled = false;
  return true;
}

std::uint32_t EmulatedPlatform::WaitForSingleObject(Handle h, std::uint32_t milliseconds) {
  return WaitForMultipleObjects(1, &h, false, milliseconds);
}

std::uint32_t EmulatedPlatform::WaitForMultipleObjects(std::uint32_t count, const Handle* handles,
                                                       bool waitAll, std::uint32_t milliseconds) {
  if (count == 0 || handles == nullptr || waitAll) {
    lastError = kErrorInvalidParameter;
    return kWaitFailed;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  std::unique_lock lock(mutex_);
  for (;;) {
    for (std::uint32_t i = 0; i < count; ++i) {
      bool known = false;
      if (consumeIfSignalled(handles[i], known)) return kWaitObject0 + i;
      if (!known) {
        lastError = kErrorInvalidHandle;
        return kWaitFailed;
      }
    }
    if (milliseconds == kInfinite) {
      changed_.wait(lock);
    } else if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      // One more look: a signal may have come with the timeout.
      for (std::uint32_t i = 0; i < count; ++i) {
        bool known = false;
        if (consumeIfSignalled(handles[i], known)) return kWaitObject0 + i;
      }
      return kWaitTimeout;
    }
  }
}

void EmulatedPlatform::Sleep(std::uint32_t milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
  }
}

long EmulatedPlatform::RegOpenKeyExA(Handle root, const std::string& subKey, std::uint32_t options,
                                     std::uint32_t access, Handle* key) {
  if (std::uint32_t error = enter(Op::RegOpenKey, [&] {
        char buf[80];
        std::snprintf(buf, sizeof buf, " options=%u access=0x%05x", options, access);
        return "RegOpenKeyExA " + std::to_string(root) + " " + subKey + buf;
      })) {
    return static_cast<long>(error);
  }
  SerialCommSource source;
  {
    std::lock_guard lock(mutex_);
    source = serialComm_;
  }
  if (root != kHkeyLocalMachine || subKey != kSerialCommKey || !source) {
    return static_cast<long>(kErrorFileNotFound);
  }
  Object object;
  object.registryKey = true;
  if (!source(object.registryValues)) return static_cast<long>(kErrorAccessDenied);
  *key = addObject(std::move(object));
  return 0;
}

long EmulatedPlatform::RegEnumValueA(Handle key, std::uint32_t index, char* name,
                                     std::uint32_t* nameLength, std::uint32_t* type,
                                     std::uint8_t* data, std::uint32_t* dataLength) {
  if (std::uint32_t error = enter(Op::RegEnumValue, [&] {
        return "RegEnumValueA " + std::to_string(index) + " " + std::to_string(*nameLength) + " " +
               std::to_string(*dataLength);
      })) {
    return static_cast<long>(error);
  }
  std::lock_guard lock(mutex_);
  auto it = objects_.find(key);
  if (it == objects_.end() || !it->second.registryKey) {
    return static_cast<long>(kErrorInvalidHandle);
  }
  const auto& values = it->second.registryValues;
  if (index >= values.size()) return static_cast<long>(kErrorNoMoreItems);
  const auto& [valueName, valueData] = values[index];
  // Capacities count the terminating null, as Win32 does for REG_SZ data.
  if (valueName.size() + 1 > *nameLength || valueData.size() + 1 > *dataLength) {
    return static_cast<long>(kErrorMoreData);
  }
  std::memcpy(name, valueName.c_str(), valueName.size() + 1);
  *nameLength = static_cast<std::uint32_t>(valueName.size());
  std::memcpy(data, valueData.c_str(), valueData.size() + 1);
  *dataLength = static_cast<std::uint32_t>(valueData.size() + 1);
  if (type) *type = kRegSz;
  return 0;
}

long EmulatedPlatform::RegCloseKey(Handle key) {
  enter(Op::RegCloseKey, [] { return std::string("RegCloseKey"); });
  std::lock_guard lock(mutex_);
  auto it = objects_.find(key);
  if (it == objects_.end() || !it->second.registryKey) {
    return static_cast<long>(kErrorInvalidHandle);
  }
  objects_.erase(it);
  return 0;
}

int EmulatedPlatform::openDevices() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(objects_.begin(), objects_.end(),
                                        [](const auto& entry) { return !!entry.second.device; }));
}

int EmulatedPlatform::openEvents() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(objects_.begin(), objects_.end(),
                                        [](const auto& entry) { return !!entry.second.event; }));
}

}  // namespace sys
