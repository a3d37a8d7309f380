#include "audio/pulse/pulse_queue.h"

#include "audio/pulse/thread_signals.h"
#include "audio/thread_name.h"

namespace pt::pulse {

PulseQueue::PulseQueue(std::string label)
    : label_(std::move(label)),
      worker_(withStopSignalsBlocked([this] { return std::thread([this] { work(); }); })) {}

PulseQueue::~PulseQueue() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  wake_.notify_one();
  worker_.join();
}

void PulseQueue::post(std::function<void()> job) {
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  wake_.notify_one();
}

void PulseQueue::work() {
  nameThisThread(label_.substr(label_.rfind('.') + 1));  // "demo": the recorder's IO queue
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return closing_ || !jobs_.empty(); });
    if (jobs_.empty()) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    job();
    lock.lock();
  }
}

}  // namespace pt::pulse
