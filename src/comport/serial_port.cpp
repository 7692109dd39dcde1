#include "comport/serial_port.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <utility>

#include "comport/com_thread.h"

namespace comport {

namespace {

constexpr std::array<std::uint32_t, 15> kBaudRates = {110,   300,   600,    1200,   2400,
                                                      4800,  9600,  14400,  19200,  38400,
                                                      56000, 57600, 115200, 128000, 256000};

// Every event once, each with a bit of its own.
static_assert([] {
  unsigned events = 0;
  std::uint32_t masks = 0;
  for (const PortEventInfo& info : kPortEvents) {
    if ((events >> info.event) & 1u || (masks & info.mask) != 0) return false;
    events |= 1u << info.event;
    masks |= info.mask;
  }
  return events == 0xFFu;
}());

[[noreturn]] void raise(const char* message) {
  throw EComPort(message);
}

}  // namespace

std::uint32_t baudRateValue(TBaudRate rate) {
  return kBaudRates.at(rate);
}

std::uint32_t eventsToMask(TPortEvents events) {
  std::uint32_t mask = 0;
  for (const PortEventInfo& info : kPortEvents) {
    if (events.contains(info.event)) mask |= info.mask;
  }
  return mask;
}

TPortEvents maskToEvents(std::uint32_t mask) {
  TPortEvents events;
  for (const PortEventInfo& info : kPortEvents) {
    if (mask & info.mask) events.insert(info.event);
  }
  return events;
}

TComErrors errorsFromFlags(std::uint32_t flags, TParity parity) {
  TComErrors errors;
  if (flags & sys::kCeFrame) errors.insert(ceFrame);
  if ((flags & sys::kCeRxParity) && parity != paNone) errors.insert(ceRxParity);
  if (flags & sys::kCeOverrun) errors.insert(ceOverrun);
  if (flags & sys::kCeBreak) errors.insert(ceBreak);
  if (flags & sys::kCeIoe) errors.insert(ceIO);
  if (flags & sys::kCeMode) errors.insert(ceMode);
  if (flags & sys::kCeRxOver) errors.insert(ceRxOver);
  if (flags & sys::kCeTxFull) errors.insert(ceTxFull);
  return errors;
}

// ---------------------------------------------------------------- timeouts

void TComTimeouts::set(std::int32_t& field, std::int32_t value) {
  if (field == value) return;
  field = value;
  if (OwnerPort) OwnerPort->ConfigureTimeouts();
}

void TComTimeouts::assign(const TComTimeouts& source) {
  readInterval_ = source.readInterval_;
  readTotalMultiplier_ = source.readTotalMultiplier_;
  readTotalConstant_ = source.readTotalConstant_;
  writeTotalMultiplier_ = source.writeTotalMultiplier_;
  writeTotalConstant_ = source.writeTotalConstant_;
}

// ---------------------------------------------------------------- component

TSerialPort::TSerialPort(sys::Backends backends, SyncInvoker* invoker)
    : backends_(backends),
      platform_(&backends.machine()),
      invoker_(invoker),
      timeouts_(std::make_unique<TComTimeouts>(this)) {}

TSerialPort::~TSerialPort() {
  try {
    ClosePort();
  } catch (...) {
    releasePort();
  }
}

template <typename T>
void TSerialPort::setLineProperty(T& field, T value) {
  if (field == value) return;
  field = value;
  ConfigureLine();
}

void TSerialPort::setBaudRate(TBaudRate value) {
  setLineProperty(baudRate_, value);
}
void TSerialPort::setByteSize(TByteSize value) {
  setLineProperty(byteSize_, value);
}
void TSerialPort::setParity(TParity value) {
  setLineProperty(parity_, value);
}
void TSerialPort::setStopBits(TStopBits value) {
  setLineProperty(stopBits_, value);
}

void TSerialPort::setInBufSize(std::int32_t value) {
  if (inBufSize_ == value) return;
  inBufSize_ = value;
  if (inBufSize_ > 0 && inBufSize_ % 2 == 1) --inBufSize_;
  ConfigureBuffers();
}

void TSerialPort::setOutBufSize(std::int32_t value) {
  if (outBufSize_ == value) return;
  outBufSize_ = value;
  if (outBufSize_ > 0 && outBufSize_ % 2 == 1) --outBufSize_;
  ConfigureBuffers();
}

void TSerialPort::setPort(const std::string& value) {
  if (isOpen_) raise(msg::kPortOpen);
  if (port_ != value) port_ = value;
}

void TSerialPort::setSyncMethod(TSyncMethod value) {
  if (syncMethod_ == value) return;
  if (isOpen_) raise(msg::kPortOpen);
  syncMethod_ = value;
}

void TSerialPort::setTimeouts(const TComTimeouts& value) {
  timeouts_->assign(value);
  ConfigureTimeouts();
}

void TSerialPort::OpenPort() {
  if (isOpen_) return;
  platform_ = &backends_.forPort(port_);
  const std::string device = "\\\\.\\" + port_;
  portHandle_ = platform_->CreateFileA(device, sys::kGenericRead | sys::kGenericWrite, 0,
                                       sys::kOpenExisting, sys::kFileFlagOverlapped);
  if (portHandle_ == sys::kInvalidHandle) {
    const std::uint32_t error = platform_->GetLastError();
    if (error == sys::kErrorFileNotFound) raise(msg::kNoSuchPort);
    if (error == sys::kErrorAccessDenied) raise(msg::kPortBusy);
    if (error == sys::kErrorPrivilegeNotHeld) raise(msg::kNoAccess);
    if (error == sys::kErrorNoUsbAccess) raise(msg::kNoUsbAccess);
    // Any other failure shows up in the set-up below.
  }
  isOpen_ = true;
  try {
    ConfigureBuffers();
    ConfigureLine();
    ConfigureTimeouts();
  } catch (...) {
    closeHandleAndMarkClosed();
    throw;
  }
  eventThread_ = std::make_unique<TComThread>(*this);
}

void TSerialPort::ClosePort() {
  if (!isOpen_) return;
  SetDTR(false);
  SetRTS(false);
  AbortIO();
  stopEventThread();
  closeHandleAndMarkClosed();
}

void TSerialPort::releasePort() noexcept {
  if (!isOpen_) return;
  // Best effort: a port that has gone away refuses all of these.
  sys::Platform& p = *platform_;
  p.EscapeCommFunction(portHandle_, sys::kClrDtr);
  p.EscapeCommFunction(portHandle_, sys::kClrRts);
  p.PurgeComm(portHandle_, sys::kPurgeTxAbort | sys::kPurgeRxAbort);
  stopEventThread();
  closeHandleAndMarkClosed();
}

void TSerialPort::stopEventThread() noexcept {
  if (eventThread_) eventThread_->stop();
}

void TSerialPort::closeHandleAndMarkClosed() noexcept {
  if (portHandle_ != sys::kInvalidHandle) platform_->CloseHandle(portHandle_);
  portHandle_ = sys::kInvalidHandle;
  // After the close: a device wait that the thread could not end on its way
  // out is ended by it, and the thread's record of it must last until then.
  eventThread_.reset();
  isOpen_ = false;
}

void TSerialPort::ConfigureBuffers() {
  if (!isOpen_) return;
  if (!platform_->SetupComm(portHandle_, static_cast<std::uint32_t>(inBufSize_),
                            static_cast<std::uint32_t>(outBufSize_))) {
    raise(msg::kSetupComm);
  }
}

void TSerialPort::ConfigureLine() {
  if (!isOpen_) return;
  sys::DCB dcb;
  std::memset(&dcb, 0, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = baudRateValue(baudRate_);
  dcb.Flags = sys::kDcbBinary | sys::kDcbDtrControlEnable | sys::kDcbRtsControlEnable;
  if (parity_ != paNone) dcb.Flags |= sys::kDcbParity;
  dcb.ByteSize = static_cast<std::uint8_t>(5 + byteSize_);
  dcb.Parity = parity_;
  dcb.StopBits = stopBits_;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  if (!platform_->SetCommState(portHandle_, dcb)) raise(msg::kSetCommState);
}

void TSerialPort::ConfigureTimeouts() {
  if (!isOpen_) return;
  auto value = [](std::int32_t v) { return v < 0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v); };
  const TComTimeouts& t = *timeouts_;
  const sys::CommTimeouts timeouts{value(t.ReadInterval()), value(t.ReadTotalMultiplier()),
                                   value(t.ReadTotalConstant()), value(t.WriteTotalMultiplier()),
                                   value(t.WriteTotalConstant())};
  if (!platform_->SetCommTimeouts(portHandle_, timeouts)) raise(msg::kSetCommTimeouts);
}

// ---------------------------------------------------------------- lines

void TSerialPort::SetDTR(bool state) {
  if (!platform_->EscapeCommFunction(portHandle_, state ? sys::kSetDtr : sys::kClrDtr)) {
    raise(msg::kEscapeCommFunction);
  }
}

void TSerialPort::SetRTS(bool state) {
  if (!platform_->EscapeCommFunction(portHandle_, state ? sys::kSetRts : sys::kClrRts)) {
    raise(msg::kEscapeCommFunction);
  }
}

TLineStates TSerialPort::ReadModemStatus() {
  std::uint32_t status = 0;
  if (!platform_->GetCommModemStatus(portHandle_, &status)) raise(msg::kGetCommModemStatus);
  return TLineStates::fromBits((status >> 4) & 0x0F);
}

int TSerialPort::InQueueCount() {
  std::uint32_t errors = 0;
  sys::ComStat stat{};
  if (!platform_->ClearCommError(portHandle_, &errors, &stat)) raise(msg::kClearCommError);
  return static_cast<int>(stat.cbInQue);
}

void TSerialPort::AbortIO() {
  if (!platform_->PurgeComm(portHandle_, sys::kPurgeTxAbort | sys::kPurgeRxAbort)) {
    raise(msg::kPurgeComm);
  }
}

// ---------------------------------------------------------------- transfers

void TSerialPort::NewRequest(TPortRequest*& request) {
  request = new TPortRequest;
  request->overlapped.hEvent = platform_->CreateEventA(true, true);
}

void TSerialPort::FreeRequest(TPortRequest*& request) {
  if (request == nullptr) return;
  platform_->CloseHandle(request->overlapped.hEvent);
  delete request;
  request = nullptr;
}

void TSerialPort::FillRequest(RequestKind kind, const void* source, int count,
                              TPortRequest* request) {
  request->kind = kind;
  request->data.reset();
  request->size = 0;
  if (count > 0) {
    request->data = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(count));
    std::memcpy(request->data.get(), source, static_cast<std::size_t>(count));
  }
  request->size = count;
}

int TSerialPort::BeginWrite(const void* source, int count, TPortRequest* request) {
  if (request == nullptr) raise(msg::kBadAsync);
  FillRequest(rkWrite, source, count, request);
  std::uint32_t written = 0;
  if (!platform_->WriteFile(portHandle_, request->data.get(), static_cast<std::uint32_t>(count),
                            &written, &request->overlapped)) {
    if (platform_->GetLastError() != sys::kErrorIoPending) raise(msg::kWriteError);
  }
  return static_cast<int>(written);
}

int TSerialPort::BeginWriteText(const std::string& text, TPortRequest* request) {
  if (text.empty()) return 0;
  return BeginWrite(text.data(), static_cast<int>(text.size()), request);
}

int TSerialPort::FinishRequest(TPortRequest* request) {
  if (request == nullptr) raise(msg::kBadAsync);
  std::uint32_t transferred = 0;
  if (platform_->WaitForSingleObject(request->overlapped.hEvent, sys::kInfinite) !=
          sys::kWaitObject0 ||
      !platform_->GetOverlappedResult(portHandle_, &request->overlapped, &transferred, false)) {
    raise(request->kind == rkRead ? msg::kReadError : msg::kWriteError);
  }
  return static_cast<int>(transferred);
}

int TSerialPort::WriteText(const std::string& text) {
  TPortRequest* request = nullptr;
  NewRequest(request);
  struct Release {
    TSerialPort& port;
    TPortRequest*& request;
    ~Release() { port.FreeRequest(request); }
  } release{*this, request};
  BeginWriteText(text, request);
  return FinishRequest(request);
}

// ---------------------------------------------------------------- events

bool TSerialPort::handlesAny(TPortEvents events) const {
  const std::pair<PortEvent, bool> handled[] = {
      {peError, OnError.assigned()},     {peRxChar, OnRxChar.assigned()},
      {peTxEmpty, OnTxEmpty.assigned()}, {peRing, OnRing.assigned()},
      {peCTS, OnCTSChange.assigned()},   {peDSR, OnDSRChange.assigned()},
      {peRLSD, OnRLSDChange.assigned()}, {peRx80Full, OnRx80Full.assigned()}};
  return std::any_of(std::begin(handled), std::end(handled),
                     [&](const auto& h) { return h.second && events.contains(h.first); });
}

TComErrors TSerialPort::readErrors() {
  std::uint32_t flags = 0;
  sys::ComStat stat{};
  if (!platform_->ClearCommError(portHandle_, &flags, &stat)) raise(msg::kClearCommError);
  return errorsFromFlags(flags, parity_);
}

void TSerialPort::FireError() {
  const TComErrors errors = readErrors();
  if (!errors.empty() && OnError) OnError(*this, errors);
}

void TSerialPort::FireRxChar() {
  const int count = InQueueCount();
  if (count > 0 && OnRxChar) OnRxChar(*this, count);
}

void TSerialPort::FireTxEmpty() {
  if (OnTxEmpty) OnTxEmpty(*this);
}

void TSerialPort::FireRing() {
  if (OnRing) OnRing(*this);
}

void TSerialPort::FireCTSChange() {
  if (OnCTSChange) OnCTSChange(*this, ReadModemStatus().contains(lsCTS));
}

void TSerialPort::FireDSRChange() {
  if (OnDSRChange) OnDSRChange(*this, ReadModemStatus().contains(lsDSR));
}

void TSerialPort::FireRLSDChange() {
  if (OnRLSDChange) OnRLSDChange(*this, ReadModemStatus().contains(lsRLSD));
}

void TSerialPort::FireRx80Full() {
  if (OnRx80Full) OnRx80Full(*this);
}

void TSerialPort::windowProcedure(std::uint32_t eventMask) {
  if (!isOpen_) return;  // a message that arrives after the close is ignored
  try {
    for (const PortEventInfo& info : kPortEvents) {
      if (info.mask == eventMask) (this->*info.fire)();
    }
  } catch (const std::exception& e) {
    if (invoker_) invoker_->handleException(e);
  }
}

}  // namespace comport
