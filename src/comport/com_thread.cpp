#include "comport/com_thread.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace comport {

TComThread::TComThread(TSerialPort& owner) : OwnerPort(owner), platform_(owner.platform()) {
  StopEvent = platform_.CreateEventA(true, false);
  overlapped_.hEvent = platform_.CreateEventA(true, true);
  platform_.SetCommMask(owner.PortHandle(), eventsToMask(owner.WatchedEvents()));
  thread_ = std::thread([this] { execute(); });
}

TComThread::~TComThread() {
  stop();
  if (waiting_) platform_.WaitForSingleObject(overlapped_.hEvent, sys::kInfinite);
  // Closed here rather than by the thread, so that a stop signalled after the
  // thread has ended never reaches a recycled handle.
  platform_.CloseHandle(overlapped_.hEvent);
  platform_.CloseHandle(StopEvent);
}

void TComThread::stop() {
  if (!thread_.joinable()) return;
  SignalStop();
  waitForEnd();
  thread_.join();
}

void TComThread::SignalStop() {
  platform_.SetEvent(StopEvent);
  platform_.Sleep(0);
}

void TComThread::waitForEnd() {
  SyncInvoker* invoker = OwnerPort.invoker();
  while (!finished_.load()) {
    // A delivery may be waiting for this (the GUI) thread: run it, or the
    // thread could never see the stop.
    if (invoker) invoker->checkSynchronize();
    std::unique_lock lock(endMutex_);
    ended_.wait_for(lock, std::chrono::milliseconds(1), [this] { return finished_.load(); });
  }
}

void TComThread::execute() {
  const sys::Handle port = OwnerPort.PortHandle();
  const sys::Handle waits[2] = {StopEvent, overlapped_.hEvent};
  int failures = 0;

  try {
    for (;;) {
      mask_ = 0;
      // Only a wait that is under way (or done at once) has anything to wait
      // for. A device that refuses it at once may leave the event as the last
      // wait left it, signalled, and waiting on that would spin; and nothing
      // would ever end it at the clean-up either.
      waiting_ = platform_.WaitCommEvent(port, &mask_, &overlapped_) ||
                 platform_.GetLastError() == sys::kErrorIoPending;
      bool ok = false;
      if (waiting_) {
        if (platform_.WaitForMultipleObjects(2, waits, false, sys::kInfinite) !=
            sys::kWaitObject0 + 1) {
          break;
        }
        std::uint32_t transferred = 0;
        ok = platform_.GetOverlappedResult(port, &overlapped_, &transferred, false);
        waiting_ = false;
      }
      if (!ok) {
        // The device refuses to wait (it may be gone): try again later, but
        // never spin, and stay quick to see the stop.
        failures = std::min(failures + 1, 7);
        const std::uint32_t pause = std::min<std::uint32_t>(1000, 8u << failures);
        if (platform_.WaitForSingleObject(StopEvent, pause) == sys::kWaitObject0) break;
        continue;
      }
      failures = 0;
      ReceivedEvents = maskToEvents(mask_);
      if (ReceivedEvents.empty()) continue;
      SyncInvoker* invoker = OwnerPort.invoker();
      switch (OwnerPort.SyncMethod()) {
        case smThreadSync:
          if (!invoker) {
            DeliverEvents();
          } else if (OwnerPort.handlesAny(ReceivedEvents)) {
            invoker->synchronize([this] { DeliverEvents(); });
          } else if (ReceivedEvents.contains(peError)) {
            // Nothing to show, so nothing for the GUI thread (the latch's
            // EV_TXEMPTY, every frame); the error flags are still cleared.
            OwnerPort.readErrors();
          }
          break;
        case smWindowSync: ForwardToWindow(); break;
        case smNone: DeliverEvents(); break;
      }
    }
  } catch (const std::exception& e) {
    if (OwnerPort.onThreadError) OwnerPort.onThreadError(e.what());
  } catch (...) {
    if (OwnerPort.onThreadError) OwnerPort.onThreadError("");
  }

  // Clearing the mask ends the wait under way; it then has finished writing
  // into its record. If the mask cannot be cleared, only the port's close
  // ends the wait, and the destructor waits for that.
  if (platform_.SetCommMask(port, 0) && waiting_) {
    platform_.WaitForSingleObject(overlapped_.hEvent, sys::kInfinite);
    waiting_ = false;
  }
  platform_.PurgeComm(port, sys::kPurgeTxClear | sys::kPurgeRxClear);
  {
    std::lock_guard lock(endMutex_);
    finished_.store(true);
  }
  ended_.notify_all();
}

void TComThread::DeliverEvents() {
  for (const PortEventInfo& info : kPortEvents) {
    if (ReceivedEvents.contains(info.event)) (OwnerPort.*info.fire)();
  }
}

void TComThread::ForwardToWindow() {
  SyncInvoker* invoker = OwnerPort.invoker();
  for (const PortEventInfo& info : kPortEvents) {
    if (!ReceivedEvents.contains(info.event)) continue;
    const std::uint32_t message = info.mask;
    if (invoker) {
      invoker->send([&port = OwnerPort, message] { port.windowProcedure(message); });
    } else {
      OwnerPort.windowProcedure(message);
    }
  }
}

}  // namespace comport
