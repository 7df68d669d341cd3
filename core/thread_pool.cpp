#include "core/thread_pool.hpp"

namespace zarv {

ThreadPool::ThreadPool(unsigned workers) {
  const unsigned extra = workers > 1 ? workers - 1 : 0;
  threads_.reserve(extra);
  for (unsigned i = 0; i < extra; ++i) threads_.emplace_back([this] { worker_loop(); });
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  work_cv_.notify_all();
  for (auto& t : threads_) t.join();
}

void ThreadPool::drain(std::unique_lock<std::mutex>& lock) {
  while (job_ && next_ < total_) {
    const size_t i = next_++;
    const auto* job = job_;
    lock.unlock();
    (*job)(i);
    lock.lock();
    if (++finished_ == total_) done_cv_.notify_all();
  }
}

void ThreadPool::worker_loop() {
  std::unique_lock<std::mutex> lock(mu_);
  uint64_t seen = 0;
  for (;;) {
    work_cv_.wait(lock, [&] { return stop_ || (generation_ != seen && job_ && next_ < total_); });
    if (stop_) return;
    seen = generation_;
    drain(lock);
  }
}

void ThreadPool::run(size_t n, const std::function<void(size_t)>& fn) {
  if (n == 0) return;
  if (threads_.empty() || n == 1) {
    for (size_t i = 0; i < n; ++i) fn(i);
    return;
  }
  std::unique_lock<std::mutex> lock(mu_);
  job_ = &fn;
  next_ = 0;
  total_ = n;
  finished_ = 0;
  ++generation_;
  work_cv_.notify_all();
  drain(lock);
  done_cv_.wait(lock, [&] { return finished_ == total_; });
  job_ = nullptr;
}

}  // namespace zarv
