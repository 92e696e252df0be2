// Passes appended while the serving thread did not take them keep their order; a
// later reading of a key that read the subscribers again frees the earlier list.
#include "network_pass.h"

#include <algorithm>
#include <iterator>
#include <unordered_map>

namespace {

constexpr std::chrono::seconds shortest_period{10};
// The passes' share of one core, kept under a tenth with some room: the passes that
// look at the directories' stamps, and the complete ones.
constexpr int64_t most_cpu_percent = 6;
constexpr int64_t most_complete_cpu_percent = 4;
constexpr std::chrono::minutes longest_complete_spacing{5};

}  // namespace

void NetworkPass::append(NetworkPass&& later) {
    for (; indexed < items.size(); ++indexed) {
        latest[items[indexed].visit.key] = indexed;
    }
    for (Item& item : later.items) {
        auto found = latest.find(item.visit.key);
        if (found != latest.end() && item.visit.subscribers_read) {
            // Applied first and replaced at once: the list it read is never used. (A
            // list gone from here is no such case: where a local list gives the key,
            // the record stays until that list is read again.)
            items[found->second].visit.subscribers.clear();
        }
        latest[item.visit.key] = items.size();
        items.push_back(std::move(item));
    }
    indexed = items.size();
    records.insert(records.end(), std::make_move_iterator(later.records.begin()),
                   std::make_move_iterator(later.records.end()));
    had_places = had_places || later.had_places;
    completed = later.completed ? later.completed : completed;
    listings_remembered = later.completed ? later.listings_remembered : listings_remembered;
}

std::chrono::nanoseconds pass_period(std::chrono::nanoseconds took, std::chrono::nanoseconds cpu,
                                     std::chrono::nanoseconds complete_due) {
    const std::chrono::nanoseconds period =
        std::max({std::chrono::nanoseconds(shortest_period), took, cpu * 100 / most_cpu_percent});
    return std::min(period, std::max(took, complete_due));
}

std::chrono::nanoseconds complete_pass_spacing(std::chrono::nanoseconds cpu, size_t read_whole,
                                               size_t met) {
    if (read_whole * 10 > met) {
        return std::chrono::nanoseconds(0);
    }
    return std::min<std::chrono::nanoseconds>(longest_complete_spacing,
                                              cpu * 100 / most_complete_cpu_percent);
}
