// The bounded walk: the walk's places grouped by the mount they lie on, the groups read
// side by side, each group's places one after another in the walk's order on a thread
// of its own, each place read with its own bound (place_reading.h). So a hung mount
// costs its own places only: a local place is never left unread because a network
// place used the time. The lists read are then taken into list_table on the calling
// thread, the one that owns it, in the walk's order; the main domain's entry under
// "Domains" is not read again, its reading of "Accounts/LISTS" counts again there.
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <unordered_map>

#include "annotated_mutex.h"
#include "list_refresh.h"
#include "list_walk.h"
#include "place_reading.h"
#include "place_storage.h"

namespace {

using Clock = std::chrono::steady_clock;
using Why = UnreadPlace::Why;

// One place of the walk and what came of it: a reading, or the reason there is none.
struct Slot {
    std::string path;
    std::string domain;
    bool lists = false;
    bool done = false;
    std::unique_ptr<PlaceReading> reading;
    UnreadPlace unread;
};

// What a group's thread needs of a place, copied out under the lock.
struct Job {
    size_t index = 0;
    std::string path;
    std::string domain;
    bool lists = false;
};

// The places handed to the groups' threads and what they hand back. The calling
// thread adds places and waits; each group's thread takes its own queue in order.
class Board {
  public:
    size_t add(std::string path, std::string domain, bool lists, size_t group) {
        kel::AnnotatedLock held(lock);
        const size_t index = slots.size();
        slots.push_back({std::move(path), std::move(domain), lists, false, nullptr, {}});
        slots.back().unread.path = slots.back().path;
        queues[group].push_back(index);
        changed.notify_all();
        return index;
    }

    // The next place of `group`, waiting for one; false once the walk has no more.
    bool take(size_t group, Job& job) {
        kel::AnnotatedLock held(lock);
        while (queues[group].empty() && !closed) {
            changed.wait(lock);
        }
        if (queues[group].empty()) {
            return false;
        }
        const size_t index = queues[group].front();
        queues[group].pop_front();
        const Slot& slot = slots[index];
        job = {index, slot.path, slot.domain, slot.lists};
        return true;
    }

    void put(size_t index, std::unique_ptr<PlaceReading> reading, UnreadPlace unread,
             bool left_running) {
        kel::AnnotatedLock held(lock);
        Slot& slot = slots[index];
        slot.reading = std::move(reading);
        slot.unread.why = unread.why;
        slot.unread.reason = std::move(unread.reason);
        slot.done = true;
        abandoned = abandoned || left_running;
        changed.notify_all();
    }

    // The entries `index` listed, once it is done; none when it was not read.
    std::vector<std::string> names_of(size_t index) {
        kel::AnnotatedLock held(lock);
        while (!slots[index].done) {
            changed.wait(lock);
        }
        return slots[index].reading ? slots[index].reading->names : std::vector<std::string>{};
    }

    void close() {
        kel::AnnotatedLock held(lock);
        closed = true;
        changed.notify_all();
    }

    // Every place and whether a reading was left running. REQUIRES: no thread uses
    // the board any more.
    std::deque<Slot> results(bool& left_running) {
        kel::AnnotatedLock held(lock);
        left_running = abandoned;
        return std::move(slots);
    }

  private:
    kel::AnnotatedMutex lock;
    std::condition_variable_any changed;
    std::deque<Slot> slots QUORVEL_GUARDED_BY(lock);
    std::map<size_t, std::deque<size_t>> queues QUORVEL_GUARDED_BY(lock);  // by group
    bool closed QUORVEL_GUARDED_BY(lock) = false;
    bool abandoned QUORVEL_GUARDED_BY(lock) = false;
};

struct Bounds {
    std::chrono::milliseconds place_limit;
    Clock::time_point end;  // no place is waited for past it
    int64_t now;            // the list clock, for every reading
};

// Reads one place of a group, unless its mount already failed to answer (`hung`,
// which a place that does not answer sets) or the time is up.
void read_one(kel::FileSystem& file_system, Board& board, const Job& job, const Bounds& bounds,
              std::string& hung) {
    if (!hung.empty()) {
        board.put(job.index, nullptr, {Why::SameMount, "", hung}, false);
        return;
    }
    const Clock::time_point start = Clock::now();
    if (start >= bounds.end) {
        board.put(job.index, nullptr, {Why::OutOfTime, "", ""}, false);
        return;
    }
    const bool whole = start + bounds.place_limit <= bounds.end;
    std::optional<PlaceReading> reading =
        read_place_until(file_system, job.path, job.domain, job.lists, bounds.now,
                         whole ? start + bounds.place_limit : bounds.end);
    if (!reading) {
        hung = job.path;
        board.put(job.index, nullptr, {whole ? Why::NoAnswer : Why::OutOfTime, "", ""}, true);
    } else if (!reading->failure.empty()) {
        board.put(job.index, nullptr, {Why::Failed, "", reading->failure}, false);
    } else if (reading->list_error != 0) {
        board.put(job.index, nullptr, {Why::CannotList, "", kel::error_text(reading->list_error)},
                  false);
    } else {
        board.put(job.index, std::make_unique<PlaceReading>(std::move(*reading)), {}, false);
    }
}

// A group's thread. Its places are bounded one by one, so it ends by bounds.end
// however its mount behaves; only a reading left running outlives it.
void read_group(kel::FileSystem& file_system, Board& board, size_t group, bool one_mount,
                Bounds bounds) {
    std::string hung;
    Job job;
    while (board.take(group, job)) {
        // Nothing here may end the process: no memory for one place fails that place.
        try {
            read_one(file_system, board, job, bounds, hung);
        } catch (const std::exception& error) {
            board.put(job.index, nullptr, {Why::Failed, "", error.what()}, false);
        }
        if (!one_mount) {
            hung.clear();
        }
    }
}

// The groups and their threads: one per mount, and one for the places the mount table
// does not judge (-1). Those are read one after another too, which bounds the threads
// they may leave stuck by the time (a place costs its bound), but none is skipped
// with another: nothing says they share a mount. Such a place is one whose links
// could not be followed on local storage, which fails at once, or one the table does
// not cover at all (a chroot), and then every place is one, on the storage the tool
// stands in.
class Groups {
  public:
    Groups(kel::FileSystem& file_system, const PlaceMount& mount_of, Bounds bounds)
        : file_system(file_system), mount_of(mount_of), bounds(bounds) {}
    ~Groups() { finish(); }
    Groups(const Groups&) = delete;
    Groups& operator=(const Groups&) = delete;

    size_t add(std::string path, std::string domain, bool lists) {
        const int mount = std::max(mount_of(path), -1);
        auto [group, added] = groups.emplace(mount, threads.size());
        if (added) {
            start(group->second, mount >= 0);
        }
        const size_t index = board.add(std::move(path), std::move(domain), lists, group->second);
        if (!failures[group->second].empty()) {
            board.put(index, nullptr, {Why::Failed, "", failures[group->second]}, false);
        }
        return index;
    }

    std::vector<std::string> names_of(size_t index) { return board.names_of(index); }

    // Waits for every place; then the board is the caller's alone.
    Board& finish() {
        board.close();
        for (std::thread& thread : threads) {
            if (thread.joinable()) {
                thread.join();
            }
        }
        return board;
    }

  private:
    void start(size_t group, bool one_mount) {
        threads.emplace_back();
        failures.emplace_back();
        try {
            threads.back() = std::thread(read_group, std::ref(file_system), std::ref(board), group,
                                         one_mount, bounds);
        } catch (const std::exception& error) {
            failures.back() = std::string("no thread to read it: ") + error.what();
        }
    }

    kel::FileSystem& file_system;
    const PlaceMount& mount_of;
    const Bounds bounds;
    Board board;
    std::map<int, size_t> groups;       // a mount (or -1) to its group
    std::vector<std::thread> threads;   // by group; not joinable when none could start
    std::vector<std::string> failures;  // by group: why it has no thread
};

// Takes the lists read into list_table: of a list read in several places, the reading
// last in `order`. Each reading's records are written once, in the walk's order.
void take_readings(std::deque<Slot>& slots, const std::vector<PlaceReading*>& order,
                   int32_t request_number) {
    for (const Slot& slot : slots) {
        for (const ListVisit& visit :
             slot.reading ? slot.reading->visits : std::vector<ListVisit>{}) {
            write_list_notes(request_number, visit.notes);
        }
    }
    std::unordered_map<std::string, ListVisit*> last;
    for (PlaceReading* reading : order) {
        for (ListVisit& visit : reading->visits) {
            last[visit.key] = &visit;
        }
    }
    list_table.clear();
    for (auto& [key, visit] : last) {
        apply_list_visit(*visit, list_table[key]);
    }
}

// The walk's result from the places in the walk's order; `entries` gives, for each
// entry of "Domains", its place, or none for the main domain's own entry.
BoundedWalk gather(std::deque<Slot>& slots, size_t accounts,
                   const std::vector<std::optional<size_t>>& entries, int32_t request_number) {
    BoundedWalk walk;
    for (Slot& slot : slots) {
        if (!slot.reading) {
            walk.unread.push_back(slot.unread);
        } else if (slot.lists) {
            walk.directories.push_back({slot.path, slot.domain, slot.reading->names});
        }
    }
    std::vector<PlaceReading*> order;
    PlaceReading* const main_lists = slots[accounts].reading.get();
    if (main_lists != nullptr) {
        order.push_back(main_lists);
    }
    for (const std::optional<size_t>& entry : entries) {
        PlaceReading* const reading = entry ? slots[*entry].reading.get() : main_lists;
        if (reading != nullptr) {
            order.push_back(reading);
        }
    }
    take_readings(slots, order, request_number);
    return walk;
}

}  // namespace

BoundedWalk walk_lists_bounded(kel::FileSystem& file_system, const PlaceMount& mount_of,
                               const std::string& main_domain, int32_t request_number,
                               const BoundedWalkOptions& options) {
    const Bounds bounds{options.place_limit, Clock::now() + options.total_limit, list_clock_now()};
    Groups groups(file_system, mount_of, bounds);
    const WalkPlace main_lists = main_lists_place(main_domain);
    const size_t accounts = groups.add(main_lists.path, main_lists.domain, true);
    std::vector<std::optional<size_t>> entries;
    size_t place = 0;
    for (const std::string& entry : groups.names_of(groups.add("Domains", "", false))) {
        const WalkPlace at = entry_place(entry, ++place, main_domain);
        entries.push_back(at.main ? std::nullopt
                                  : std::optional<size_t>(groups.add(at.path, at.domain, true)));
    }
    bool abandoned = false;
    std::deque<Slot> slots = groups.finish().results(abandoned);
    BoundedWalk walk = gather(slots, accounts, entries, request_number);
    walk.abandoned = abandoned;
    return walk;
}

BoundedWalk walk_lists_bounded(int32_t request_number, const BoundedWalkOptions& options) {
    const kel::MountTableReading table = kel::read_mount_table();
    std::unique_ptr<char, decltype(&free)> here(getcwd(nullptr, 0), &free);
    kel::SystemLinkReader links;
    // Only places judged (local or network) are grouped by their mount.
    const PlaceMount mount_of = [&](const std::string& place) {
        if (!table.read || !here) {
            return -1;
        }
        const kel::PlaceStorage storage = kel::place_storage(place, here.get(), table.table, links);
        const bool judged = storage.storage != kel::PlaceKind::Unresolved && storage.mount;
        return judged ? storage.mount->id : -1;
    };
    return walk_lists_bounded(kel::real_file_system(), mount_of, main_domain_name(), request_number,
                              options);
}
