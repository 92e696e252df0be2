// The filter's own passes over lists on slow storage, seen from the pass-through:
// the filter's serving thread makes no call there, so its calls come in runs, one a
// pass (or passes back to back), with the pauses between them silent. Read from the
// pass-through's call counts, which cost the storage no call.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "slow_storage.h"

class PassWatch {
  public:
    using Clock = std::chrono::steady_clock;
    struct Run {
        Clock::time_point began, ended;
        double seconds() const { return std::chrono::duration<double>(ended - began).count(); }
    };

    // Samples the call count of `storage` (which outlives this) every `interval` from
    // now on; a run ends at a silence of `silence` or longer.
    PassWatch(const SlowStorage& storage, std::chrono::milliseconds interval,
              std::chrono::milliseconds silence);
    ~PassWatch();
    PassWatch(const PassWatch&) = delete;
    PassWatch& operator=(const PassWatch&) = delete;

    // The runs so far that began at `since` or later; with `open`, the one under way
    // too, up to its last call.
    std::vector<Run> runs(bool open = false, Clock::time_point since = {}) const;
    // The share of [from, to] that runs covered, from 0 to 1.
    double share_busy(Clock::time_point from, Clock::time_point to) const;

  private:
    void sample(const SlowStorage& storage, std::chrono::milliseconds interval,
                std::chrono::milliseconds silence);

    mutable std::mutex lock;
    std::vector<Run> ended;
    bool in_run = false;
    Run current;
    std::atomic<bool> stop{false};
    std::thread sampler;
};

// What runs say of the filter's pace: how many, their median duration and the
// median time from the start of one to the start of the next (0 with fewer than 2).
struct PassPace {
    size_t runs = 0;
    double median_seconds = 0;
    double median_period = 0;
};
PassPace pace_of(const std::vector<PassWatch::Run>& runs);
