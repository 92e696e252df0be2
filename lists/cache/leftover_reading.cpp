// The leftovers are read a chunk at a time, the lists of a chunk side by side, and
// each chunk is handed over once it is read: the serving thread knows the first
// lists long before the last. A chunk the serving thread has not taken yet is added
// to, so that it takes every reading, in order. A first reading that a later one
// replaced is read no further.
#include "leftover_reading.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "list_record.h"

namespace {

constexpr size_t lists_per_chunk = 256;

// Nothing to read: the job waits until the serving thread hands it lists and asks
// the thread to run it.
constexpr std::chrono::hours nothing_to_do{1};

}  // namespace

LeftoverReading::LeftoverReading(kel::FileSystem& file_system, std::chrono::nanoseconds idle,
                                 size_t width)
    : file_system(file_system), idle(idle), calls(width) {}

void LeftoverReading::read(uint64_t reading, std::vector<LeftoverList> given) {
    pending.emplace(reading, std::move(given));
}

std::optional<LeftoversRead> LeftoverReading::exchange() {
    std::optional<LeftoversRead> taken;
    kel::AnnotatedLock held(lock);
    if (pending) {
        handed = std::move(pending);
        pending.reset();
    }
    taken.swap(finished);
    return taken;
}

std::chrono::nanoseconds LeftoverReading::run_pass() {
    {
        kel::AnnotatedLock held(lock);
        if (handed) {
            lists = std::move(handed);
            handed.reset();
            next = 0;
        }
    }
    if (!lists) {
        return nothing_to_do;
    }
    std::vector<LeftoverList>& all = lists->second;
    do {
        const size_t to = std::min(all.size(), next + lists_per_chunk);
        LeftoversRead part{lists->first, {}, to == all.size()};
        part.lists.resize(to - next);
        calls.run(to - next, [&](size_t i) {
            const LeftoverList& list = all[next + i];
            part.lists[i].second = examine_list(file_system, list.known.get(), list.directory,
                                                list.domain, list.name, list_clock_now());
        });
        for (size_t i = 0; i < part.lists.size(); ++i) {
            part.lists[i].first = std::move(all[next + i]);
            part.lists[i].first.known.reset();
        }
        next = to;
        kel::AnnotatedLock held(lock);
        if (!finished || finished->reading != part.reading) {
            finished = std::move(part);
        } else {
            finished->lists.insert(finished->lists.end(),
                                   std::make_move_iterator(part.lists.begin()),
                                   std::make_move_iterator(part.lists.end()));
            finished->done = part.done;
        }
        if (handed) {
            // The lists of a later first reading wait: these are of no use any more.
            lists.reset();
            return std::chrono::nanoseconds(0);
        }
    } while (next < all.size());
    lists.reset();
    return nothing_to_do;
}
