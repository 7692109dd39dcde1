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
  // Signals the stop and waits for the end, running the GUI-thread calls the
  // thread is waiting for meanwhile.
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  void SignalStop();
  bool Finished() const { return finished_.load(); }

  TSerialPort& OwnerPort;
  TPortEvents ReceivedEvents;

 private:
  void Execute();
  void Run();
  void DeliverEvents();
  void ForwardToWindow();
  void waitForEnd();

  sys::Platform& platform_;
  sys::Handle StopEvent;
  std::atomic<bool> finished_{false};
  std::mutex endMutex_;
  std::condition_variable ended_;
  std::thread thread_;
};

}  // namespace comport
