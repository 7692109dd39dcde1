#include "comport/sync_invoker.h"

#include <utility>

namespace comport {

void SyncQueue::synchronize(const std::function<void()>& call) {
  auto item = std::make_shared<Item>();
  item->run = call;
  item->synchronous = true;
  {
    std::lock_guard lock(mutex_);
    items_.push_back(item);
  }
  changed_.notify_all();
  if (wake) wake();
  std::exception_ptr error;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return item->done; });
    // Taken over here, so that the exception is released on this thread only,
    // after this thread's last look at it, whichever thread frees the item.
    error = std::move(item->error);
  }
  if (error) std::rethrow_exception(error);
}

void SyncQueue::send(std::function<void()> message) {
  auto item = std::make_shared<Item>();
  item->run = std::move(message);
  {
    std::lock_guard lock(mutex_);
    items_.push_back(item);
  }
  changed_.notify_all();
  if (wake) wake();
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [&] { return item->taken; });
}

bool SyncQueue::checkSynchronize() {
  bool ran = false;
  for (;;) {
    std::shared_ptr<Item> item;
    {
      std::lock_guard lock(mutex_);
      if (items_.empty()) break;
      item = items_.front();
      items_.pop_front();
      item->taken = true;  // the reply: a sender goes on from here
    }
    changed_.notify_all();
    ran = true;
    if (item->synchronous) {
      try {
        item->run();
      } catch (...) {
        item->error = std::current_exception();
      }
      {
        std::lock_guard lock(mutex_);
        item->done = true;
      }
      changed_.notify_all();
    } else {
      try {
        item->run();
      } catch (const std::exception& e) {
        handleException(e);
      }
    }
  }
  return ran;
}

void SyncQueue::handleException(const std::exception& e) {
  if (onException) onException(e);
}

}  // namespace comport
