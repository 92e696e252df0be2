// The thread's loop: it takes each step next_background_step decides, with the
// lock held except while a job runs its pass. Everything the thread touches is
// held by shared ownership with the thread itself, so it outlives whatever the
// process tears down at exit while the thread still runs.
#include "background_thread.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

struct BackgroundThread::Shared {
    std::vector<std::shared_ptr<BackgroundJob>> jobs;
    std::vector<Clock::time_point> due;  // per job
    std::vector<bool> hurry;             // per job: run_soon since its pass began
    std::mutex lock;
    std::condition_variable wake;
    Clock::time_point last_message = Clock::now();
    bool sleeping = false;  // every job idle: only a message wakes the thread
    bool stopping = false;
};

BackgroundThread::BackgroundThread(std::vector<std::shared_ptr<BackgroundJob>> jobs)
    : shared(std::make_shared<Shared>()) {
    shared->due.assign(jobs.size(), Clock::now());
    shared->hurry.assign(jobs.size(), false);
    shared->jobs = std::move(jobs);
    start();
}

BackgroundThread::~BackgroundThread() {
    if (!thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> held(shared->lock);
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
        std::lock_guard<std::mutex> held(shared->lock);
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

void BackgroundThread::run_soon(size_t job) {
    {
        std::lock_guard<std::mutex> held(shared->lock);
        if (job >= shared->due.size()) {
            return;
        }
        shared->due[job] = std::min(shared->due[job], Clock::now());
        shared->hurry[job] = true;
    }
    shared->wake.notify_one();
}

void BackgroundThread::serve(std::shared_ptr<Shared> shared) {
    std::vector<std::chrono::nanoseconds> idle_limits;
    for (const auto& job : shared->jobs) {
        idle_limits.push_back(job->idle_limit());
    }
    std::unique_lock<std::mutex> held(shared->lock);
    while (!shared->stopping) {
        const BackgroundStep step =
            next_background_step(Clock::now(), shared->last_message, shared->due, idle_limits);
        switch (step.kind) {
            case BackgroundStep::Run: {
                const Clock::time_point started = Clock::now();
                shared->hurry[step.job] = false;
                held.unlock();
                const std::chrono::nanoseconds pause = shared->jobs[step.job]->run_pass();
                held.lock();
                shared->due[step.job] = shared->hurry[step.job] ? Clock::now() : started + pause;
                break;
            }
            case BackgroundStep::Wait:
                // Woken early only to stop: a message changes nothing for a job
                // that is awake. One that falls idle meanwhile sleeps after this.
                shared->wake.wait_until(held, step.until);
                break;
            case BackgroundStep::Sleep: {
                const Clock::time_point seen = shared->last_message;
                shared->sleeping = true;
                shared->wake.wait(held,
                                  [&] { return shared->stopping || shared->last_message != seen; });
                shared->sleeping = false;
                break;
            }
        }
    }
}

BackgroundStep next_background_step(Clock::time_point now, Clock::time_point last_message,
                                    const std::vector<Clock::time_point>& due,
                                    const std::vector<std::chrono::nanoseconds>& idle_limits) {
    BackgroundStep step;
    for (size_t job = 0; job < due.size(); ++job) {
        if (now - last_message >= idle_limits[job]) {
            continue;
        }
        if (due[job] <= now) {
            return {BackgroundStep::Run, job, {}};
        }
        if (step.kind == BackgroundStep::Sleep || due[job] < step.until) {
            step = {BackgroundStep::Wait, 0, due[job]};
        }
    }
    return step;
}
