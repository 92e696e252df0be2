// A thread beside the one that serves requests, for work that must never hold up
// a message (the list cache runs one for local disk and one for each network mount).
// It runs its job's passes when due, and lets the job sleep while no message
// arrives. It writes no output: the job works on its own copy of what it needs and
// hands its findings to the serving thread through a lock of its own. Nothing the
// job does can end the process: whatever a pass throws is caught at its edge, the
// job forgets what that pass may have half changed, and the serving thread is told.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace kel {

class BackgroundJob {
  public:
    virtual ~BackgroundJob() = default;
    // One pass, on the background thread. Returns the time from this pass's start
    // to the next one's.
    virtual std::chrono::nanoseconds run_pass() = 0;
    // Passes stop once no message has arrived for this long, and start again, at
    // once if one is due, with the next message.
    virtual std::chrono::nanoseconds idle_limit() const = 0;
    // After a pass that threw: forget whatever that pass may have half changed, so
    // that the next pass finds and hands over every change anew.
    virtual void discard() = 0;

    // The pause after a pass that threw, before the job runs again.
    virtual std::chrono::nanoseconds pause_after_failure() const {
        return std::chrono::seconds(10);
    }
};

// What the thread does next: run the job when it is due, else wait until it is, or,
// once it is idle (no message has arrived for its idle limit), sleep until a message
// arrives.
struct BackgroundStep {
    enum Kind { Run, Wait, Sleep } kind = Sleep;
    std::chrono::steady_clock::time_point until = {};  // for Wait
    bool operator==(const BackgroundStep&) const = default;
};
BackgroundStep next_background_step(std::chrono::steady_clock::time_point now,
                                    std::chrono::steady_clock::time_point last_message,
                                    std::chrono::steady_clock::time_point due,
                                    std::chrono::nanoseconds idle_limit);

class BackgroundThread {
  public:
    // Starts the thread; the job's first pass is due at once.
    explicit BackgroundThread(std::shared_ptr<BackgroundJob> job);
    // Asks the thread to stop and waits for the pass it may be in. A process that
    // keeps its thread to the end never calls it, and exits without waiting.
    ~BackgroundThread();
    BackgroundThread(const BackgroundThread&) = delete;
    BackgroundThread& operator=(const BackgroundThread&) = delete;

    // Whether the system gave a thread; tried again by every message_arrived.
    bool running() const { return thread.joinable(); }

    // A message arrived: wakes a sleeping thread.
    void message_arrived();

    // Makes the job due now, and again at the end of a pass that is running: it has
    // work it did not have when it set its next pass.
    void run_soon();

    // What a failed pass threw (its what()), once: a failure that repeats pass
    // after pass is told once, until a pass succeeds.
    std::optional<std::string> take_failure();

  private:
    struct Shared;
    static void serve(std::shared_ptr<Shared> shared);
    void start();

    std::shared_ptr<Shared> shared;
    std::thread thread;
};

}  // namespace kel
