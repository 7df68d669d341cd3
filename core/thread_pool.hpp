// A fixed pool of workers for one call. run(n, fn) calls fn(0) .. fn(n - 1)
// spread over the workers and returns when all have finished; the calling
// thread works too, so a pool of W workers starts W - 1 threads.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zarv {

class ThreadPool {
 public:
  explicit ThreadPool(unsigned workers);
  ~ThreadPool();
  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;

  unsigned workers() const { return static_cast<unsigned>(threads_.size()) + 1; }

  // fn must not throw; it may be called concurrently for different indexes.
  // Not re-entrant: one run() at a time per pool.
  void run(size_t n, const std::function<void(size_t)>& fn);

 private:
  void worker_loop();
  // Takes and runs tasks of the current job until none is left.
  void drain(std::unique_lock<std::mutex>& lock);

  std::vector<std::thread> threads_;
  std::mutex mu_;
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  const std::function<void(size_t)>* job_ = nullptr;
  size_t next_ = 0;
  size_t total_ = 0;
  size_t finished_ = 0;
  uint64_t generation_ = 0;
  bool stop_ = false;
};

}  // namespace zarv
