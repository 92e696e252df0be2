// The thread's loop: it takes each step next_background_step decides, with the
// lock held except while a job runs its pass. Everything the thread touches is
// held by shared ownership with the thread itself, so it outlives whatever the
// process tears down at exit while the thread still runs. A pass runs inside a
// catch-all; the text of what it threw is copied into a fixed buffer, since the
// failure may be exhausted memory.
#include "background_thread.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <system_error>

#include "annotated_mutex.h"
#include "parallel_calls.h"

namespace kel {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

struct BackgroundThread::Shared {
    using Text = std::array<char, 256>;

    explicit Shared(std::shared_ptr<BackgroundJob> job) : job(std::move(job)) {}

    const std::shared_ptr<BackgroundJob> job;
    AnnotatedMutex lock;
    std::condition_variable_any wake;
    Clock::time_point due QUORVEL_GUARDED_BY(lock) = Clock::now();
    bool hurry QUORVEL_GUARDED_BY(lock) = false;    // run_soon since its pass began
    bool failing QUORVEL_GUARDED_BY(lock) = false;  // its last pass threw
    Text failure QUORVEL_GUARDED_BY(lock) = {};
    bool failure_untold QUORVEL_GUARDED_BY(lock) = false;
    Clock::time_point last_message QUORVEL_GUARDED_BY(lock) = Clock::now();
    // The job idle: only a message wakes the thread.
    bool sleeping QUORVEL_GUARDED_BY(lock) = false;
    bool stopping QUORVEL_GUARDED_BY(lock) = false;

    // Runs one pass of the job with the lock given back meanwhile.
    void run_job() QUORVEL_REQUIRES(lock);
};

namespace {

// One pass of the job; nothing it throws goes further. `failure` gets the text of
// what it threw, cut to the buffer; empty when it did not throw.
std::chrono::nanoseconds run_caught(BackgroundJob& job, std::array<char, 256>& failure) {
    failure[0] = '\0';
    try {
        return job.run_pass();
    } catch (const std::exception& error) {
        std::strncpy(failure.data(), error.what(), failure.size() - 1);
        failure[failure.size() - 1] = '\0';
    } catch (...) {
        std::strncpy(failure.data(), "an exception of an unknown type", failure.size() - 1);
    }
    if (failure[0] == '\0') {
        std::strncpy(failure.data(), "an exception without a text", failure.size() - 1);
    }
    return job.pause_after_failure();
}

}  // namespace

BackgroundThread::BackgroundThread(std::shared_ptr<BackgroundJob> job)
    : shared(std::make_shared<Shared>(std::move(job))) {
    start();
}

BackgroundThread::~BackgroundThread() {
    if (!thread.joinable()) {
        return;
    }
    {
        AnnotatedLock held(shared->lock);
        shared->stopping = true;
    }
    shared->wake.notify_all();
    thread.join();
}

void BackgroundThread::start() {
    try {
        thread = std::thread(&BackgroundThread::serve, shared);
    } catch (const std::system_error&) {
        // No thread now (the system's limit); the next message tries again.
    }
}

void BackgroundThread::message_arrived() {
    bool sleeping;
    {
        AnnotatedLock held(shared->lock);
        shared->last_message = Clock::now();
        sleeping = shared->sleeping;
    }
    // A thread that waits for its next pass is left to wait: a message changes
    // nothing for it.
    if (sleeping) {
        shared->wake.notify_one();
    }
    if (!thread.joinable()) {
        start();
    }
}

void BackgroundThread::run_soon() {
    {
        AnnotatedLock held(shared->lock);
        shared->due = std::min(shared->due, Clock::now());
        shared->hurry = true;
    }
    shared->wake.notify_one();
}

std::optional<std::string> BackgroundThread::take_failure() {
    AnnotatedLock held(shared->lock);
    if (!shared->failure_untold) {
        return std::nullopt;
    }
    shared->failure_untold = false;
    return std::string(shared->failure.data());
}

void BackgroundThread::Shared::run_job() {
    const Clock::time_point started = Clock::now();
    hurry = false;
    Text text;
    lock.unlock();
    const std::chrono::nanoseconds pause = run_caught(*job, text);
    const bool failed = text[0] != '\0';
    if (failed) {
        job->discard();
    }
    lock.lock();
    if (failed && (!failing || failure != text)) {
        failure = text;
        failure_untold = true;
    }
    failing = failed;
    due = hurry && !failed ? Clock::now() : started + pause;
}

void BackgroundThread::serve(std::shared_ptr<Shared> shared) {
    // Its passes yield the processors to the serving thread.
    lower_thread_priority();
    const std::chrono::nanoseconds idle_limit = shared->job->idle_limit();
    AnnotatedLock held(shared->lock);
    while (!shared->stopping) {
        const BackgroundStep step =
            next_background_step(Clock::now(), shared->last_message, shared->due, idle_limit);
        switch (step.kind) {
            case BackgroundStep::Run:
                shared->run_job();
                break;
            case BackgroundStep::Wait:
                // Woken early to stop, or to run soon: a message changes nothing for
                // a job that is awake. If it falls idle meanwhile, it sleeps after this.
                shared->wake.wait_until(shared->lock, step.until);
                break;
            case BackgroundStep::Sleep: {
                const Clock::time_point seen = shared->last_message;
                shared->sleeping = true;
                while (!shared->stopping && shared->last_message == seen) {
                    shared->wake.wait(shared->lock);
                }
                shared->sleeping = false;
                break;
            }
        }
    }
}

BackgroundStep next_background_step(Clock::time_point now, Clock::time_point last_message,
                                    Clock::time_point due, std::chrono::nanoseconds idle_limit) {
    if (now - last_message >= idle_limit) {
        return {BackgroundStep::Sleep, {}};
    }
    return due <= now ? BackgroundStep{BackgroundStep::Run, {}}
                      : BackgroundStep{BackgroundStep::Wait, due};
}

}  // namespace kel
