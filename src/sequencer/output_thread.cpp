#include "sequencer/output_thread.h"

#include <utility>

namespace sequencer {

OutputThread::OutputThread(comport::TSerialPort& port, std::function<void()> wake)
    : port_(port), wake_(std::move(wake)), thread_([this] { run(); }) {}

OutputThread::~OutputThread() {
  {
    std::lock_guard lock(mutex_);
    ending_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void OutputThread::send(const Frame& frame, Done done) {
  ++pending_;
  {
    std::lock_guard lock(mutex_);
    queued_.push_back(Job{frame, std::move(done), {}});
  }
  changed_.notify_all();
}

void OutputThread::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return ending_ || !queued_.empty(); });
    if (queued_.empty()) return;  // ending, with nothing left to send
    Job job = std::move(queued_.front());
    queued_.pop_front();
    sending_ = true;
    lock.unlock();
    job.result = sendFrame(port_, job.frame);
    lock.lock();
    sending_ = false;
    finished_.push_back(std::move(job));
    changed_.notify_all();
    if (wake_) {
      lock.unlock();
      wake_();
      lock.lock();
    }
  }
}

std::deque<OutputThread::Job> OutputThread::takeFinished(bool wait) {
  std::unique_lock lock(mutex_);
  if (wait) changed_.wait(lock, [this] { return queued_.empty() && !sending_; });
  return std::exchange(finished_, {});
}

bool OutputThread::runDone(bool wait) {
  std::deque<Job> jobs = takeFinished(wait);
  for (Job& job : jobs) {
    --pending_;
    job.done(job.result);
  }
  return !jobs.empty();
}

bool OutputThread::deliver() {
  return runDone(false);
}

void OutputThread::finish() {
  // A `done` may hand over another frame; that one is waited for too.
  while (pending_ > 0) runDone(true);
}

}  // namespace sequencer
