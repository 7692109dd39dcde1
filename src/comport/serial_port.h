// Unit SerialPort: a component that owns one serial port. It keeps the port's
// settings, opens and configures the device, watches its status lines from an
// event thread, switches DTR and RTS and writes data. Every failure is an
// EComPort carrying one of the fixed messages below.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "comport/enum_set.h"
#include "comport/sync_invoker.h"
#include "comport/sys/native_platform.h"
#include "comport/sys/platform.h"

namespace comport {

enum TBaudRate : std::uint8_t {
  br110,
  br300,
  br600,
  br1200,
  br2400,
  br4800,
  br9600,
  br14400,
  br19200,
  br38400,
  br56000,
  br57600,
  br115200,
  br128000,
  br256000
};
enum TByteSize : std::uint8_t { bs5, bs6, bs7, bs8 };
enum TParity : std::uint8_t { paNone, paOdd, paEven, paMark, paSpace };
enum TStopBits : std::uint8_t { sb1, sb1_5, sb2 };
enum TSyncMethod : std::uint8_t { smThreadSync, smWindowSync, smNone };

enum ComError : std::uint8_t {
  ceFrame,
  ceRxParity,
  ceOverrun,
  ceBreak,
  ceIO,
  ceMode,
  ceRxOver,
  ceTxFull
};
using TComErrors = EnumSet<ComError>;

enum PortEvent : std::uint8_t {
  peRxChar,
  peTxEmpty,
  peRing,
  peCTS,
  peDSR,
  peRLSD,
  peError,
  peRx80Full
};
using TPortEvents = EnumSet<PortEvent>;

enum LineState : std::uint8_t { lsCTS, lsDSR, lsRing, lsRLSD };
using TLineStates = EnumSet<LineState>;

// Bits per second for each TBaudRate, by ordinal.
std::uint32_t baudRateValue(TBaudRate rate);
// Platform event mask of a set of port events, and back (unknown bits dropped).
std::uint32_t eventsToMask(TPortEvents events);
TPortEvents maskToEvents(std::uint32_t mask);
// Error set from the platform's error flags; parity errors only count when the
// port checks parity.
TComErrors errorsFromFlags(std::uint32_t flags, TParity parity);

// The fixed messages.
namespace msg {
inline constexpr const char* kNoSuchPort = "Попытка открыть несуществующий COM-порт";
inline constexpr const char* kPortBusy = "Порт занят другой программой";
inline constexpr const char* kNoAccess = "Нет доступа к порту: нужно членство в группе dialout";
inline constexpr const char* kNoUsbAccess =
    "Нет доступа к адаптеру FTDI: нужно правило udev (см. справку, «Быстрый режим FTDI»)";
inline constexpr const char* kWriteError = "Ошибка записи в порт";
inline constexpr const char* kReadError = "Ошибка чтения из порта";
inline constexpr const char* kBadAsync = "Недопустимый параметр Async";
inline constexpr const char* kPurgeComm = "Ошибка функции PurgeComm";
inline constexpr const char* kSetCommState = "Ошибка функции SetCommState";
inline constexpr const char* kSetCommTimeouts = "Ошибка функции SetCommTimeouts";
inline constexpr const char* kSetupComm = "Ошибка функции SetupComm";
inline constexpr const char* kClearCommError = "Ошибка функции ClearCommError";
inline constexpr const char* kGetCommModemStatus = "Ошибка функции GetCommModemStatus";
inline constexpr const char* kEscapeCommFunction = "Ошибка функции EscapeCommFunction";
inline constexpr const char* kPortOpen = "Нельзя менять свойство, пока порт открыт";
inline constexpr const char* kRegistry = "Ошибка обращения к системному реестру";
}  // namespace msg

class EComPort : public std::runtime_error {
 public:
  explicit EComPort(const std::string& message) : std::runtime_error(message) {}
};

class TSerialPort;
class TComThread;

class TComTimeouts {
 public:
  explicit TComTimeouts(TSerialPort* owner = nullptr) : OwnerPort(owner) {}

  std::int32_t ReadInterval() const { return readInterval_; }
  std::int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
  std::int32_t ReadTotalConstant() const { return readTotalConstant_; }
  std::int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
  std::int32_t WriteTotalConstant() const { return writeTotalConstant_; }
  void setReadInterval(std::int32_t value) { set(readInterval_, value); }
  void setReadTotalMultiplier(std::int32_t value) { set(readTotalMultiplier_, value); }
  void setReadTotalConstant(std::int32_t value) { set(readTotalConstant_, value); }
  void setWriteTotalMultiplier(std::int32_t value) { set(writeTotalMultiplier_, value); }
  void setWriteTotalConstant(std::int32_t value) { set(writeTotalConstant_, value); }

  // Copies the five values, without applying them.
  void assign(const TComTimeouts& source);

  TSerialPort* const OwnerPort;

 private:
  void set(std::int32_t& field, std::int32_t value);

  std::int32_t readInterval_ = -1;
  std::int32_t readTotalMultiplier_ = 0;
  std::int32_t readTotalConstant_ = 0;
  std::int32_t writeTotalMultiplier_ = 100;
  std::int32_t writeTotalConstant_ = 1000;
};

enum RequestKind : std::uint8_t { rkWrite = 0, rkRead = 1 };

// One overlapped transfer; the request keeps its own copy of the bytes, so the
// caller may release its source as soon as BeginWrite returns.
struct TPortRequest {
  sys::Overlapped overlapped{};
  RequestKind kind = rkWrite;
  std::unique_ptr<std::uint8_t[]> data;
  std::int32_t size = 0;
};

using NotifyEvent = std::function<void(TSerialPort& sender)>;
using TComSignalEvent = std::function<void(TSerialPort& sender, bool state)>;
using TComErrorEvent = std::function<void(TSerialPort& sender, TComErrors errors)>;
using TRxCharEvent = std::function<void(TSerialPort& sender, int count)>;

// An event property: the GUI thread assigns the handler and the deliveries
// call it; whether one is assigned can also be asked from the event thread.
template <typename Handler>
class EventProperty {
 public:
  EventProperty& operator=(Handler handler) {
    handler_ = std::move(handler);
    assigned_ = static_cast<bool>(handler_);
    return *this;
  }
  explicit operator bool() const { return static_cast<bool>(handler_); }
  bool assigned() const { return assigned_.load(); }
  template <typename... Args>
  void operator()(Args&&... args) const {
    handler_(std::forward<Args>(args)...);
  }

 private:
  Handler handler_;
  std::atomic<bool> assigned_{false};
};

class TSerialPort {
 public:
  // `backends`: where a port name is opened (one platform, or the machine's
  // and the virtual board's).
  explicit TSerialPort(sys::Backends backends, SyncInvoker* invoker = nullptr);
  ~TSerialPort();
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  // Properties.
  TBaudRate BaudRate() const { return baudRate_; }
  void setBaudRate(TBaudRate value);
  TByteSize ByteSize() const { return byteSize_; }
  void setByteSize(TByteSize value);
  std::int32_t InBufSize() const { return inBufSize_; }
  void setInBufSize(std::int32_t value);
  std::int32_t OutBufSize() const { return outBufSize_; }
  void setOutBufSize(std::int32_t value);
  TParity Parity() const { return parity_; }
  void setParity(TParity value);
  const std::string& Port() const { return port_; }
  void setPort(const std::string& value);
  TSyncMethod SyncMethod() const { return syncMethod_; }
  void setSyncMethod(TSyncMethod value);
  TStopBits StopBits() const { return stopBits_; }
  void setStopBits(TStopBits value);
  TComTimeouts& Timeouts() { return *timeouts_; }
  const TComTimeouts& Timeouts() const { return *timeouts_; }
  void setTimeouts(const TComTimeouts& value);

  EventProperty<TComSignalEvent> OnCTSChange;
  EventProperty<TComSignalEvent> OnDSRChange;
  EventProperty<TComErrorEvent> OnError;
  EventProperty<NotifyEvent> OnRing;
  EventProperty<TComSignalEvent> OnRLSDChange;
  EventProperty<NotifyEvent> OnRx80Full;
  EventProperty<TRxCharEvent> OnRxChar;
  EventProperty<NotifyEvent> OnTxEmpty;
  // Called on the event thread when an exception ends it (no more events
  // until the port is opened again); lets the program tell the user.
  std::function<void(const std::string& message)> onThreadError;

  bool IsOpen() const { return isOpen_; }
  sys::Handle PortHandle() const { return portHandle_; }
  TPortEvents WatchedEvents() const { return watchedEvents_; }
  // The backend of the port's name, as chosen at the last OpenPort.
  sys::Platform& platform() const { return *platform_; }
  const sys::Backends& backends() const { return backends_; }
  SyncInvoker* invoker() const { return invoker_; }
  void setInvoker(SyncInvoker* invoker) { invoker_ = invoker; }

  void OpenPort();
  void ClosePort();
  // Closes even a port that no longer answers: line and purge errors are
  // ignored, the event thread is stopped and the handle released.
  void releasePort() noexcept;

  // Line control and transfers.
  void SetDTR(bool state);
  void SetRTS(bool state);
  TLineStates ReadModemStatus();
  int InQueueCount();
  void AbortIO();
  void NewRequest(TPortRequest*& request);
  void FreeRequest(TPortRequest*& request);
  static void FillRequest(RequestKind kind, const void* source, int count, TPortRequest* request);
  int BeginWrite(const void* source, int count, TPortRequest* request);
  int BeginWriteText(const std::string& text, TPortRequest* request);
  int FinishRequest(TPortRequest* request);
  int WriteText(const std::string& text);

  // Event delivery, run wherever they are called from.
  // Whether delivering `events` calls a handler; asked from any thread.
  bool handlesAny(TPortEvents events) const;
  // Reads and clears the device's error flags (FireError without the handler).
  TComErrors readErrors();
  void FireError();
  void FireRxChar();
  void FireTxEmpty();
  void FireRing();
  void FireCTSChange();
  void FireDSRChange();
  void FireRLSDChange();
  void FireRx80Full();
  // The notify window's procedure for one port event message.
  void windowProcedure(std::uint32_t eventMask);

 private:
  friend class TComTimeouts;
  void ConfigureBuffers();
  void ConfigureLine();
  void ConfigureTimeouts();
  void stopEventThread() noexcept;
  void closeHandleAndMarkClosed() noexcept;
  template <typename T>
  void setLineProperty(T& field, T value);

  sys::Backends backends_;
  sys::Platform* platform_;
  SyncInvoker* invoker_;
  TBaudRate baudRate_ = br9600;
  TByteSize byteSize_ = bs8;
  std::int32_t inBufSize_ = 2048;
  std::int32_t outBufSize_ = 2048;
  TParity parity_ = paNone;
  std::string port_ = "COM2";
  TSyncMethod syncMethod_ = smThreadSync;
  TStopBits stopBits_ = sb1;
  std::unique_ptr<TComTimeouts> timeouts_;
  TPortEvents watchedEvents_{peRxChar, peTxEmpty, peRing,  peCTS,
                             peDSR,    peRLSD,    peError, peRx80Full};

  bool isOpen_ = false;
  sys::Handle portHandle_ = sys::kInvalidHandle;
  std::unique_ptr<TComThread> eventThread_;
};

// Every port event with its platform event bit and the call that delivers it,
// in the fixed order in which events that arrive together are delivered.
struct PortEventInfo {
  PortEvent event;
  std::uint32_t mask;
  void (TSerialPort::*fire)();
};
inline constexpr PortEventInfo kPortEvents[] = {
    {peError, sys::kEvErr, &TSerialPort::FireError},
    {peRxChar, sys::kEvRxChar, &TSerialPort::FireRxChar},
    {peTxEmpty, sys::kEvTxEmpty, &TSerialPort::FireTxEmpty},
    {peRing, sys::kEvRing, &TSerialPort::FireRing},
    {peCTS, sys::kEvCts, &TSerialPort::FireCTSChange},
    {peDSR, sys::kEvDsr, &TSerialPort::FireDSRChange},
    {peRLSD, sys::kEvRlsd, &TSerialPort::FireRLSDChange},
    {peRx80Full, sys::kEvRx80Full, &TSerialPort::FireRx80Full},
};

}  // namespace comport
