// The pool's threads wait for a batch; each task index is taken under the lock and
// run without it. The caller works on its own batch too and then waits until the
// tasks the threads took have returned.
#include "parallel_calls.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <time.h>

#include <system_error>

namespace {

int64_t thread_cpu_nanoseconds() {
    timespec used;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<int64_t>(used.tv_sec) * 1'000'000'000 + used.tv_nsec;
}

}  // namespace

void lower_thread_priority() {
    // Per thread on Linux: the thread's own id as the process.
    // A little lower: enough that the serving thread wins a core they both want,
    // not so much that a storage server's own program on this machine (a FUSE
    // daemon) starves the reading.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 5);
}

ParallelCalls::ParallelCalls(size_t width) : width(width == 0 ? 1 : width) {}

ParallelCalls::~ParallelCalls() {
    {
        kel::AnnotatedLock held(lock);
        stopping = true;
    }
    wake.notify_all();
    for (std::thread& thread : threads) {
        thread.join();
    }
}

void ParallelCalls::start() {
    while (threads.size() + 1 < width) {
        try {
            threads.emplace_back(&ParallelCalls::serve, this);
        } catch (const std::system_error&) {
            return;  // the system's limit: fewer at once
        }
    }
}

void ParallelCalls::work_on_batch(uint64_t number, const std::function<void(size_t)>& task) {
    for (;;) {
        size_t index;
        {
            kel::AnnotatedLock held(lock);
            // A thread late for a batch that has ended must not take the next one's.
            if (batch_number != number || next >= count) {
                return;
            }
            index = next++;
            ++running;
        }
        task(index);
        {
            kel::AnnotatedLock held(lock);
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
            kel::AnnotatedLock held(lock);
            while (!stopping && (batch == nullptr || batch_number == served)) {
                wake.wait(lock);
            }
            if (stopping) {
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
    if (threads.empty() && tasks > 1) {
        start();
    }
    uint64_t number;
    {
        kel::AnnotatedLock held(lock);
        batch = &task;
        number = ++batch_number;
        next = 0;
        count = tasks;
    }
    wake.notify_all();
    work_on_batch(number, task);
    kel::AnnotatedLock held(lock);
    while (next < count || running > 0) {
        done.wait(lock);
    }
    batch = nullptr;
}
