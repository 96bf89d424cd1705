#include "core/parallel.h"

#include <condition_variable>
#include <memory>
#include <thread>
#include <vector>

namespace vandrel {
namespace {

// True on a pool's worker threads and inside a body on the calling thread.
thread_local bool inside_a_run = false;

// Worker threads of one calling thread. Each run bumps the generation; a worker whose
// index the run covers runs its body, and the last to finish wakes the caller.
class Pool {
 public:
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  void run(int threads, const std::function<void(int)>& body) {
    const auto helpers = static_cast<std::size_t>(threads - 1);
    while (workers_.size() < helpers) {
      const std::size_t index = workers_.size();
      workers_.emplace_back([this, index] { work(index); });
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      body_ = &body;
      helpers_ = helpers;
      unfinished_ = helpers;
      ++generation_;
    }
    work_.notify_all();
    // The workers are waited for however the caller's body ends.
    struct Join {
      Pool& pool;
      ~Join() {
        inside_a_run = false;
        std::unique_lock<std::mutex> lock(pool.mutex_);
        pool.done_.wait(lock, [this] { return pool.unfinished_ == 0; });
        pool.body_ = nullptr;
      }
    } join{*this};
    inside_a_run = true;
    body(0);
  }

 private:
  void work(std::size_t index) {
    inside_a_run = true;
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return stopping_ || (generation_ != seen && index < helpers_); });
      if (stopping_) return;
      seen = generation_;
      const std::function<void(int)>* body = body_;
      lock.unlock();
      (*body)(static_cast<int>(index) + 1);
      lock.lock();
      if (--unfinished_ == 0) done_.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  std::vector<std::thread> workers_;
  const std::function<void(int)>* body_ = nullptr;
  std::size_t helpers_ = 0;     // workers the current run uses
  std::size_t unfinished_ = 0;  // of those, the ones still running
  std::uint64_t generation_ = 0;
  bool stopping_ = false;
};

}  // namespace

void run_on_threads(int threads, const std::function<void(int)>& body) {
  if (threads <= 1 || inside_a_run) {
    for (int t = 0; t < (threads > 1 ? threads : 1); ++t) body(t);
    return;
  }
  thread_local std::unique_ptr<Pool> pool;
  if (!pool) pool = std::make_unique<Pool>();
  pool->run(threads, body);
}

}  // namespace vandrel
