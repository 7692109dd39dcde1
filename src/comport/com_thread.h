// The event thread of an open port: waits for the device's status events and
// hands each to the port's handlers as the port's SyncMethod says.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "comport/serial_port.h"

namespace comport {

class TComThread {
 public:
  // Sets the device's event mask to the port's watched events and starts.
  explicit TComThread(TSerialPort& owner);
  // stop(); then, when the thread could not end its device wait (clearing the
  // mask failed), waits for the wait's end, which the port's close brings:
  // the record it completes lives here until then.
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  // Signals the stop and waits for the end, running the GUI-thread calls the
  // thread is waiting for meanwhile.
  void stop();
  void SignalStop();

  TSerialPort& OwnerPort;
  TPortEvents ReceivedEvents;

 private:
  void execute();
  void DeliverEvents();
  void ForwardToWindow();
  void waitForEnd();

  sys::Platform& platform_;
  sys::Handle StopEvent;
  // The device wait: its record, and whether it may still be under way.
  sys::Overlapped overlapped_{};
  std::uint32_t mask_ = 0;
  bool waiting_ = false;
  std::atomic<bool> finished_{false};
  std::mutex endMutex_;
  std::condition_variable ended_;
  std::thread thread_;
};

}  // namespace comport
