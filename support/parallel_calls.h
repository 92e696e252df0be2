// Calls on the server's files made many at a time. Network file systems serve many
// requests in parallel, each a round trip: one at a time, a pass over 100,000 lists
// takes minutes; with a few in flight, seconds. A small pool of threads, started on
// first use and kept, runs a batch of tasks and returns when all are done; its width
// bounds the calls in flight, so that one filter never floods a storage server.
// Threads that find no batch for two seconds end; the next batch starts them again,
// so a filter at rest keeps none. They run a little below the serving thread's
// priority, which they never slow beyond what sharing the machine's cores costs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "annotated_mutex.h"

namespace kel {

class ParallelCalls {
  public:
    static constexpr size_t default_width = 16;

    explicit ParallelCalls(size_t width = default_width);
    // Stops the threads and waits for them.
    ~ParallelCalls();
    ParallelCalls(const ParallelCalls&) = delete;
    ParallelCalls& operator=(const ParallelCalls&) = delete;

    // Runs task(0) .. task(count - 1), at most `width` at once (the calling thread is
    // one of them), and returns when every one has returned. A task must not throw:
    // what it finds it keeps in a place of its own, by its index. Where no thread
    // can be started, the caller runs them all.
    void run(size_t count, const std::function<void(size_t)>& task);

    // The processor time the pool's own threads have used so far.
    std::chrono::nanoseconds cpu() const {
        return std::chrono::nanoseconds(cpu_used.load(std::memory_order_relaxed));
    }

  private:
    void serve();
    void start();
    // Takes and runs tasks of the current batch until none is left.
    void work_on_batch(uint64_t number, const std::function<void(size_t)>& task);

    const size_t width;
    std::vector<std::thread> threads;
    AnnotatedMutex lock;
    std::condition_variable_any wake;
    std::condition_variable_any done;
    const std::function<void(size_t)>* batch QUORVEL_GUARDED_BY(lock) = nullptr;
    uint64_t batch_number QUORVEL_GUARDED_BY(lock) = 0;
    size_t next QUORVEL_GUARDED_BY(lock) = 0;
    size_t count QUORVEL_GUARDED_BY(lock) = 0;
    size_t running QUORVEL_GUARDED_BY(lock) = 0;
    size_t alive QUORVEL_GUARDED_BY(lock) = 0;  // threads started and not ended
    bool stopping QUORVEL_GUARDED_BY(lock) = false;
    std::atomic<int64_t> cpu_used{0};
};

// Lowers the calling thread's scheduling priority, so that a background thread
// yields the cores to the serving thread: to background_nice of the nice value the
// process was started with.
void lower_thread_priority();
// The nice value of a background thread beside a serving thread at `serving_nice`:
// a small step lower in priority, never higher, within the system's range.
int background_nice(int serving_nice);

}  // namespace kel
