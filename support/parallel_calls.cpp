// The pool's threads wait for a batch; each task index is taken under the lock and
// run without it. The caller works on its own batch too and then waits until the
// tasks the threads took have returned.
#include "parallel_calls.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <time.h>

#include <algorithm>
#include <system_error>

namespace kel {

namespace {

int64_t thread_cpu_nanoseconds() {
    timespec used;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<int64_t>(used.tv_sec) * 1'000'000'000 + used.tv_nsec;
}

}  // namespace

namespace {

// The nice value the process was started with, taken while the process has its one
// thread (threads inherit the nice value of the thread that starts them, so a later
// reading on a lowered thread would lower again).
const int started_nice = getpriority(PRIO_PROCESS, 0);

// How long a thread of the pool waits for another batch before it ends: passes come
// every ten seconds or more, and at rest no reading thread is kept.
constexpr std::chrono::seconds idle_thread_life{2};

}  // namespace

int background_nice(int serving_nice) {
    return std::min(19, serving_nice + 5);
}

void lower_thread_priority() {
    // Per thread on Linux: the thread's own id as the process. A little lower than
    // the serving thread, never higher: enough that the serving thread wins a core
    // they both want, not so much that a storage server's own program on this
    // machine (a FUSE daemon) starves the reading.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)),
                background_nice(started_nice));
}

ParallelCalls::ParallelCalls(size_t width) : width(width == 0 ? 1 : width) {}

ParallelCalls::~ParallelCalls() {
    {
        AnnotatedLock held(lock);
        stopping = true;
    }
    wake.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// Threads that ended for want of work are joined first; every thread runs the same
// idle clock, so they end together and the pool starts anew.
void ParallelCalls::start() {
    {
        AnnotatedLock held(lock);
        if (alive != 0) {
            return;
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    threads.clear();
    while (threads.size() + 1 < width) {
        try {
            {
                AnnotatedLock held(lock);
                ++alive;
            }
            threads.emplace_back(&ParallelCalls::serve, this);
        } catch (const std::system_error&) {
            AnnotatedLock held(lock);
            --alive;
            return;  // the system's limit: fewer at once
        }
    }
}

void ParallelCalls::work_on_batch(uint64_t number, const std::function<void(size_t)>& task) {
    for (;;) {
        size_t index;
        {
            AnnotatedLock held(lock);
            // A thread late for a batch that has ended must not take the next one's.
            if (batch_number != number || next >= count) {
                return;
            }
            index = next++;
            ++running;
        }
        task(index);
        {
            AnnotatedLock held(lock);
            --running;
        }
        done.notify_all();
    }
}

void ParallelCalls::serve() {
    lower_thread_priority();
    uint64_t served = 0;
    for (;;) {
        const std::function<void(size_t)>* task = nullptr;
        {
            AnnotatedLock held(lock);
            const auto idle_end = std::chrono::steady_clock::now() + idle_thread_life;
            while (!stopping && (batch == nullptr || batch_number == served)) {
                if (wake.wait_until(lock, idle_end) == std::cv_status::timeout &&
                    (batch == nullptr || batch_number == served)) {
                    --alive;
                    return;
                }
            }
            if (stopping) {
                --alive;
                return;
            }
            served = batch_number;
            task = batch;
        }
        const int64_t before = thread_cpu_nanoseconds();
        work_on_batch(served, *task);
        cpu_used.fetch_add(thread_cpu_nanoseconds() - before, std::memory_order_relaxed);
    }
}

void ParallelCalls::run(size_t tasks, const std::function<void(size_t)>& task) {
    if (tasks == 0) {
        return;
    }
    if (tasks > 1) {
        start();
    }
    uint64_t number;
    {
        AnnotatedLock held(lock);
        batch = &task;
        number = ++batch_number;
        next = 0;
        count = tasks;
    }
    wake.notify_all();
    work_on_batch(number, task);
    AnnotatedLock held(lock);
    while (next < count || running > 0) {
        done.wait(lock);
    }
    batch = nullptr;
}

}  // namespace kel
