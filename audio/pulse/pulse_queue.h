// The recorder's serial queue on Linux: one thread running posted jobs in order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "audio/platform.h"

namespace pt::pulse {

class PulseQueue final : public DispatchQueue {
 public:
  explicit PulseQueue(std::string label);
  ~PulseQueue() override;  // runs the jobs already posted, then joins
  const std::string& label() const override { return label_; }

  // Any thread.
  void post(std::function<void()> job);

 private:
  void work();

  const std::string label_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> jobs_;
  bool closing_ = false;
  std::thread worker_;  // last: starts once the rest exists
};

}  // namespace pt::pulse
