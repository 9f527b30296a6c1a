#pragma once
// A small pool of worker threads for the groups of a panel: run(count, job)
// calls job(index, worker) once for every index 0..count-1 and returns when
// all are done. The calling thread is worker 0 and takes indices in turn
// with the others (the next one not yet taken, from a shared counter), so
// that a worker the machine is slow to wake costs the run no more than the
// index it holds: the caller goes on with the rest. Which worker computes
// an index does not change its result (each job owns its output slot and
// works in its worker's own scratch), so the results are the same whatever
// the number of threads. An exception thrown by a job is rethrown by run()
// (the first one, by index order of the workers); that worker takes no
// further index.
#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace kova {

class GroupPool {
 public:
  explicit GroupPool(int threads);
  ~GroupPool();
  GroupPool(const GroupPool&) = delete;
  GroupPool& operator=(const GroupPool&) = delete;

  int threads() const { return static_cast<int>(workers_.size()) + 1; }
  void run(int count, const std::function<void(int index, int worker)>& job);

 private:
  void work(int worker);
  void share(int worker);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable start_, done_;
  const std::function<void(int, int)>* job_ = nullptr;
  int count_ = 0;
  std::atomic<int> next_{0};
  long long generation_ = 0;
  bool open_ = false;  // a run is taking workers
  int inside_ = 0;     // workers in the current run
  bool stopping_ = false;
  std::vector<std::exception_ptr> thrown_;
};

// The threads a run may use: the machine's, capped by the setting (0: no cap).
int poolThreads(int cap);

}  // namespace kova
