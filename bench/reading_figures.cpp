// The measurements. Messages go at a fixed pace from the first one sent (a reply that
// is late is followed at once by the next), so a slow reply does not stretch the pace
// and a fast one does not hurry it.
#include "reading_figures.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "bench_process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds poll_interval{50};
constexpr std::chrono::milliseconds pair_interval{10};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool still_reading(const ReplyLines& lines) {
    return carries_record(lines, network_still_reading) ||
           carries_record(lines, local_still_reading);
}

}  // namespace

const std::string network_still_reading =
    "Lists on network storage are still being read, not checked yet";
const std::string local_still_reading = "Lists are still being read, not checked yet";

FirstReading time_first_reading(TimedFilter& filter, const std::vector<std::string>& messages,
                                double cap) {
    FirstReading reading;
    const auto started = Clock::now();
    ReplyLines lines = filter.send(messages.front());
    reading.first_reply_seconds = filter.last_us() / 1e6;
    reading.longest_reply_seconds = reading.first_reply_seconds;
    reading.messages = 1;
    while (still_reading(lines) && !filter.failed() && seconds_since(started) < cap) {
        std::this_thread::sleep_until(started + poll_interval * reading.messages);
        lines = filter.send(messages[static_cast<size_t>(reading.messages) % messages.size()]);
        ++reading.messages;
        reading.longest_reply_seconds =
            std::max(reading.longest_reply_seconds, filter.last_us() / 1e6);
    }
    reading.known.reached = !still_reading(lines) && !filter.failed();
    reading.known.seconds = seconds_since(started);
    return reading;
}

FloorRatio compare_with_floor(TimedFilter& measured, TimedFilter& floor,
                              const std::vector<std::string>& messages, double seconds) {
    std::vector<double> costs, floor_costs;
    const auto started = Clock::now();
    while (seconds_since(started) < seconds && !measured.failed() && !floor.failed()) {
        const size_t pair = costs.size();
        std::this_thread::sleep_until(started + pair_interval * pair);
        const std::string& message = messages[pair % messages.size()];
        TimedFilter* order[] = {&measured, &floor};
        order[pair % 2]->send(message);
        order[1 - pair % 2]->send(message);
        costs.push_back(measured.last_us());
        floor_costs.push_back(floor.last_us());
    }
    FloorRatio ratio;
    ratio.pairs = costs.size();
    ratio.median_us = median(costs);
    ratio.floor_median_us = median(floor_costs);
    ratio.p99_us = summarize_latencies(costs).p99_us;
    ratio.floor_p99_us = summarize_latencies(floor_costs).p99_us;
    return ratio;
}

double cpu_percent_over(int pid, double seconds) {
    const auto started = Clock::now();
    const double before = cpu_seconds(pid);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double after = cpu_seconds(pid);
    const double elapsed = seconds_since(started);
    // A process whose figures cannot be read any more reads as 0.
    return after < before ? -1 : (after - before) / elapsed * 100;
}

EditSeen time_edit(TimedFilter& filter, const ListEdit& edit, double cap) {
    EditSeen seen;
    seen.before = verdict(filter.send(edit.posting));
    edit.apply();
    const auto applied = Clock::now();
    seen.after = seen.before;
    while (seen.after == seen.before && !filter.failed() && seconds_since(applied) < cap) {
        std::this_thread::sleep_until(applied + poll_interval * seen.requests++);
        seen.after = verdict(filter.send(edit.posting));
    }
    seen.wait.reached = seen.after != seen.before && !filter.failed();
    seen.wait.seconds = seconds_since(applied);
    return seen;
}
