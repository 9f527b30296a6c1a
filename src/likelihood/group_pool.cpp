#include "likelihood/group_pool.h"

#include <algorithm>

namespace kova {

GroupPool::GroupPool(int threads) {
  const int n = std::max(threads, 1);
  thrown_.resize(static_cast<size_t>(n));
  for (int w = 1; w < n; ++w) workers_.emplace_back([this, w] { work(w); });
}

GroupPool::~GroupPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  start_.notify_all();
  for (std::thread& t : workers_) t.join();
}

void GroupPool::share(int worker) {
  try {
    for (int i = next_.fetch_add(1, std::memory_order_relaxed); i < count_;
         i = next_.fetch_add(1, std::memory_order_relaxed))
      (*job_)(i, worker);
  } catch (...) {
    thrown_[static_cast<size_t>(worker)] = std::current_exception();
  }
}

void GroupPool::work(int worker) {
  long long seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      start_.wait(lock, [&] { return stopping_ || (open_ && generation_ != seen); });
      if (stopping_) return;
      seen = generation_;
      ++inside_;
    }
    share(worker);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --inside_;
    }
    done_.notify_one();
  }
}

void GroupPool::run(int count, const std::function<void(int, int)>& job) {
  if (workers_.empty() || count <= 1) {
    for (int i = 0; i < count; ++i) job(i, 0);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = &job;
    count_ = count;
    next_.store(0, std::memory_order_relaxed);
    for (std::exception_ptr& e : thrown_) e = nullptr;
    ++generation_;
    open_ = true;
  }
  start_.notify_all();
  share(0);
  {
    // Every index is taken: no worker joins any more, and those inside
    // finish theirs.
    std::unique_lock<std::mutex> lock(mutex_);
    open_ = false;
    done_.wait(lock, [&] { return inside_ == 0; });
    job_ = nullptr;
  }
  for (const std::exception_ptr& e : thrown_)
    if (e) std::rethrow_exception(e);
}

int poolThreads(int cap) {
  const int machine = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
  return cap > 0 ? std::min(cap, machine) : machine;
}

}  // namespace kova
