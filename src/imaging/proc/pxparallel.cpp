#include "imaging/proc/pxparallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace {
std::atomic<int> g_threadCount{0};
}

void SetPxThreadCount(int count) { g_threadCount = std::max(0, count); }

int PxThreadCount() {
  int n = g_threadCount.load();
  if (n > 0) return n;
  unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : static_cast<int>(std::min(hw, 64u));
}

void PxParallelFor(int count, int grain, const std::function<void(int, int)>& body,
                   const std::function<void(int)>& progress) {
  PxParallelForWorkers(
      count, grain, PxThreadCount(), [&body](int begin, int end, int) { body(begin, end); }, progress);
}

void PxParallelForWorkers(int count, int grain, int maxWorkers,
                          const std::function<void(int, int, int)>& body,
                          const std::function<void(int)>& progress) {
  if (count <= 0) {
    if (progress) progress(0);
    return;
  }
  grain = std::max(1, grain);
  const int chunks = (count + grain - 1) / grain;
  const int threads = std::max(1, std::min({PxThreadCount(), chunks, maxWorkers}));

  std::atomic<int> next{0};
  std::atomic<int> done{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex errorLock;

  // Each thread takes the next chunk until none is left or one has failed.
  auto work = [&](int worker) {
    const bool caller = worker == 0;
    for (;;) {
      if (failed.load(std::memory_order_relaxed)) return;
      int c = next.fetch_add(1);
      if (c >= chunks) return;
      int begin = c * grain;
      int end = std::min(count, begin + grain);
      try {
        body(begin, end, worker);
        int finished = done.fetch_add(end - begin) + (end - begin);
        if (caller && progress) progress(finished);
      } catch (...) {
        std::lock_guard<std::mutex> lock(errorLock);
        if (!error) error = std::current_exception();
        failed = true;
        return;
      }
    }
  };

  std::vector<std::thread> pool;
  pool.reserve(threads > 0 ? threads - 1 : 0);
  try {
    for (int i = 1; i < threads; ++i) pool.emplace_back(work, i);
  } catch (...) {
    // Too few threads could be started: the ones that run finish the work.
  }
  work(0);
  for (auto& t : pool) t.join();
  if (error) std::rethrow_exception(error);
  if (progress) progress(count);
}
