// The call-count sampler. A run is taken to begin at the sample before its first
// calls, so it may begin up to one interval early; it ends at its last call seen.
#include "pass_watch.h"

#include <algorithm>

#include "bench_process.h"

PassWatch::PassWatch(const SlowStorage& storage, std::chrono::milliseconds interval,
                     std::chrono::milliseconds silence)
    : sampler([this, &storage, interval, silence] { sample(storage, interval, silence); }) {}

PassWatch::~PassWatch() {
    stop = true;
    sampler.join();
}

std::vector<PassWatch::Run> PassWatch::runs(bool open, Clock::time_point since) const {
    std::lock_guard<std::mutex> held(lock);
    std::vector<Run> found;
    for (const Run& run : ended) {
        if (run.began >= since) {
            found.push_back(run);
        }
    }
    if (open && in_run && current.began >= since) {
        found.push_back(current);
    }
    return found;
}

double PassWatch::share_busy(Clock::time_point from, Clock::time_point to) const {
    if (to <= from) {
        return 0;
    }
    Clock::duration busy{};
    for (const Run& run : runs(true)) {
        const Clock::time_point begin = std::max(run.began, from);
        const Clock::time_point end = std::min(run.ended, to);
        busy += end > begin ? end - begin : Clock::duration{};
    }
    return std::chrono::duration<double>(busy) / std::chrono::duration<double>(to - from);
}

void PassWatch::sample(const SlowStorage& storage, std::chrono::milliseconds interval,
                       std::chrono::milliseconds silence) {
    unsigned long long last_total = storage.calls()["total"];
    Clock::time_point last_sample = Clock::now();
    while (!stop.load()) {
        std::this_thread::sleep_for(interval);
        const Clock::time_point now = Clock::now();
        const unsigned long long total = storage.calls()["total"];
        std::lock_guard<std::mutex> held(lock);
        if (total != last_total) {
            if (!in_run) {
                in_run = true;
                current.began = last_sample;
            }
            current.ended = now;
        } else if (in_run && now - current.ended >= silence) {
            ended.push_back(current);
            in_run = false;
        }
        last_total = total;
        last_sample = now;
    }
}

PassPace pace_of(const std::vector<PassWatch::Run>& runs) {
    PassPace pace;
    pace.runs = runs.size();
    std::vector<double> durations, periods;
    for (size_t i = 0; i < runs.size(); ++i) {
        durations.push_back(runs[i].seconds());
        if (i > 0) {
            periods.push_back(
                std::chrono::duration<double>(runs[i].began - runs[i - 1].began).count());
        }
    }
    pace.median_seconds = median(durations);
    pace.median_period = median(periods);
    return pace;
}
