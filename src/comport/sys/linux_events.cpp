// Win32-style events and waits: an event is an eventfd, a wait is poll() on
// them, and a wait on a port's status wait also looks at that port's input
// as it arrives (see LinuxPlatform::WaitForMultipleObjects).
#include <algorithm>
#include <cerrno>

#include <poll.h>

#include "comport/sys/linux_backend.h"

namespace sys::tty {

bool LinuxPlatform::isEventLocked(Handle h) const {
  return h <= 0x7FFFFFFF && events_.count(static_cast<int>(h)) != 0;
}

bool LinuxPlatform::isEvent(Handle h) {
  std::lock_guard lock(mutex_);
  return isEventLocked(h);
}

Handle LinuxPlatform::CreateEventA(bool manualReset, bool initialState) {
  const int fd = eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return fail(kErrorGenFailure), 0;  // as Win32: NULL
  std::lock_guard lock(mutex_);
  events_[fd] = manualReset;
  return static_cast<Handle>(fd);
}

bool LinuxPlatform::SetEvent(Handle h) {
  return isEvent(h) ? eventfd_write(static_cast<int>(h), 1) == 0 : fail(kErrorInvalidHandle);
}

bool LinuxPlatform::ResetEvent(Handle h) {
  eventfd_t ignored;
  return isEvent(h) ? (eventfd_read(static_cast<int>(h), &ignored), true)
                    : fail(kErrorInvalidHandle);
}

std::uint32_t LinuxPlatform::WaitForSingleObject(Handle h, std::uint32_t milliseconds) {
  return WaitForMultipleObjects(1, &h, false, milliseconds);
}

// What one round of a wait polls: the events, then the input of each port
// whose status wait ends on one of them, looked at here as it arrives.
struct PollSet {
  std::vector<pollfd> fds;
  std::vector<bool> manual;
  std::vector<std::shared_ptr<Port>> inputs;
  bool recheck = false;
};

bool LinuxPlatform::gather(std::uint32_t count, const Handle* handles, PollSet& set) {
  std::lock_guard lock(mutex_);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (!isEventLocked(handles[i])) return false;
    set.fds.push_back({static_cast<int>(handles[i]), POLLIN, 0});
    set.manual.push_back(events_[static_cast<int>(handles[i])]);
  }
  for (const auto& [fd, p] : ports_) {
    std::lock_guard portLock(p->mutex);
    const Overlapped* wait = p->wait.pending();
    if (wait && std::find(handles, handles + count, wait->hEvent) != handles + count) {
      set.fds.push_back({p->epoll, POLLIN, 0});
      set.inputs.push_back(p);
      set.recheck = set.recheck || p->recheck;
    }
  }
  return true;
}

std::uint32_t LinuxPlatform::WaitForMultipleObjects(std::uint32_t count, const Handle* handles,
                                                    bool waitAll, std::uint32_t milliseconds) {
  if (count == 0 || !handles || waitAll) return fail(kErrorInvalidParameter), kWaitFailed;
  const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    PollSet set;
    if (!gather(count, handles, set)) return fail(kErrorInvalidHandle), kWaitFailed;
    std::vector<pollfd>& fds = set.fds;
    int timeout = -1;
    if (milliseconds != kInfinite) {
      timeout = static_cast<int>(std::max<long long>(
          0, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count()));
    }
    const bool early = set.recheck && (timeout < 0 || timeout > kRecheckMs);
    const int ready = ::poll(fds.data(), fds.size(), early ? kRecheckMs : timeout);
    if (ready < 0 && errno != EINTR) return fail(kErrorGenFailure), kWaitFailed;
    eventfd_t value;
    for (std::uint32_t i = 0; ready > 0 && i < count; ++i) {
      // An automatic event is taken by the one wait that reads it.
      if ((fds[i].revents & POLLIN) && (set.manual[i] || eventfd_read(fds[i].fd, &value) == 0)) {
        return kWaitObject0 + i;
      }
    }
    for (std::size_t j = 0; j < set.inputs.size(); ++j) {
      epoll_event taken[4];
      if (fds[count + j].revents != 0) epoll_wait(set.inputs[j]->epoll, taken, 4, 0);
      if (fds[count + j].revents != 0 || (ready == 0 && early)) {
        lookAgain(*set.inputs[j], fds[count + j].revents != 0);
      }
    }
    if (ready == 0 && !early && timeout >= 0) return kWaitTimeout;
  }
}

void LinuxPlatform::Sleep(std::uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace sys::tty
