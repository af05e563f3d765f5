// Splits a loop over rows across the machine's cores.
#pragma once

#include <functional>

// Number of threads a parallel loop may use. 0 (the default) means one per
// hardware thread; 1 makes every loop run on the calling thread, which gives
// the same results, only slower.
void SetPxThreadCount(int count);
int PxThreadCount();

// Runs body(begin, end) over the half-open range [0, count), cut into chunks
// of about `grain` items that worker threads take in turn. Every item must be
// independent of the others, so the result does not depend on the split.
// progress(done), when given, runs on the calling thread only, with the number
// of items finished so far; it ends with progress(count). An exception thrown
// by a chunk is rethrown here after every thread has stopped.
void PxParallelFor(int count, int grain, const std::function<void(int, int)>& body,
                   const std::function<void(int)>& progress = {});
// The same, telling each chunk which thread runs it: body(begin, end, worker)
// with 0 <= worker < maxWorkers, so that threads can keep scratch buffers of
// their own across chunks. At most maxWorkers threads run.
void PxParallelForWorkers(int count, int grain, int maxWorkers,
                          const std::function<void(int, int, int)>& body,
                          const std::function<void(int)>& progress = {});
