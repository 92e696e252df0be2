// The background thread: when it runs its job, and how it runs it, stops with its
// owner and lives through a job that throws.
#include "background_thread.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace kel {
namespace {

TEST(BackgroundStep, RunsWhatIsDueWaitsForWhatIsNotAndSleepsWhenIdle) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::seconds;
    const Clock::time_point t{seconds(1000)};
    struct Case {
        const char* what;
        Clock::time_point last_message, due;
        BackgroundStep expected;
    };
    const Case cases[] = {
        {"due", t - seconds(5), t, {BackgroundStep::Run, {}}},
        {"overdue", t, t - seconds(30), {BackgroundStep::Run, {}}},
        {"not yet due", t, t + seconds(4), {BackgroundStep::Wait, t + seconds(4)}},
        {"idle: no message for a minute", t - seconds(60), t, {}},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(next_background_step(t, row.last_message, row.due, seconds(60)), row.expected)
            << row.what;
    }
}

// The thread runs a pass at once, and stops when its owner goes, in the middle of
// a wait as in a pass.
TEST(BackgroundThread, RunsItsJobAtOnceAndStopsWithItsOwner) {
    struct Counting : BackgroundJob {
        std::mutex lock;
        std::condition_variable ran;
        int passes = 0;
        std::chrono::nanoseconds run_pass() override {
            std::lock_guard<std::mutex> held(lock);
            ++passes;
            ran.notify_all();
            return std::chrono::hours(1);
        }
        std::chrono::nanoseconds idle_limit() const override { return std::chrono::hours(1); }
        void discard() override {}
    };
    auto job = std::make_shared<Counting>();
    {
        BackgroundThread thread(job);
        ASSERT_TRUE(thread.running());
        std::unique_lock<std::mutex> held(job->lock);
        ASSERT_TRUE(
            job->ran.wait_for(held, std::chrono::seconds(60), [&] { return job->passes > 0; }));
        thread.message_arrived();
    }
    EXPECT_EQ(job->passes, 1);
    EXPECT_EQ(job.use_count(), 1);
}

// A settings file the parser could not fit into memory aborted the whole filter
// while it was idle: whatever a pass throws is caught, the job forgets its half-done
// pass, the failure is told once however often it repeats, and the job runs again.
TEST(BackgroundThread, AJobThatThrowsIsDiscardedToldOnceAndRunAgain) {
    struct Failing : BackgroundJob {
        std::mutex lock;
        std::condition_variable ran;
        int passes = 0, discarded = 0;
        std::chrono::nanoseconds run_pass() override {
            std::lock_guard<std::mutex> held(lock);
            ++passes;
            ran.notify_all();
            if (passes <= 3) {
                throw std::bad_alloc();
            }
            return std::chrono::hours(1);
        }
        std::chrono::nanoseconds idle_limit() const override { return std::chrono::hours(1); }
        std::chrono::nanoseconds pause_after_failure() const override {
            return std::chrono::milliseconds(1);
        }
        void discard() override { ++discarded; }
    };
    auto job = std::make_shared<Failing>();
    BackgroundThread thread(job);
    ASSERT_TRUE(thread.running());
    std::unique_lock<std::mutex> held(job->lock);
    ASSERT_TRUE(job->ran.wait_for(held, std::chrono::seconds(60), [&] { return job->passes > 3; }));
    EXPECT_EQ(job->discarded, 3);
    held.unlock();
    EXPECT_EQ(thread.take_failure(), std::optional<std::string>("std::bad_alloc"));
    EXPECT_EQ(thread.take_failure(), std::nullopt);
}

}  // namespace
}  // namespace kel
