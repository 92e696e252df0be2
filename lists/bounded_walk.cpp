// The bounded walk: the walk's places grouped by the mount they lie on, the groups read
// side by side, each on a thread of its own that reads its places one after another in
// the walk's order. The calling thread keeps the time: a place not read within its own
// bound is given up, with every later place of its mount, and its thread is left to
// itself. So a hung mount costs its own places only: a local place is never left unread
// because a network place used the time. The lists read are then taken into the walk's
// table on the calling thread, in the walk's order; the main domain's
// entry under "Domains" is not read again, its reading of "Accounts/LISTS" counts again
// there. What a place holds is untrusted: it is only carried to the list step.
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

#include "address_folding.h"
#include "annotated_mutex.h"
#include "list_names.h"
#include "list_refresh.h"
#include "list_walk.h"
#include "place_storage.h"

namespace {

using Clock = std::chrono::steady_clock;
using Why = UnreadPlace::Why;

// What the reading of one place found, in values of its own.
struct PlaceReading {
    // The entries, in the order the system lists them; none when the place is absent.
    std::vector<std::string> names;
    // The reading of each ".list" entry (list directories only), its key set.
    std::vector<ListVisit> visits;
};

struct Bounds {
    std::chrono::milliseconds place_limit;
    Clock::time_point end;  // no place is waited for past it
    int64_t now;            // the list clock, for every reading
};

// What a group's thread needs of a place, copied out under the lock.
struct Job {
    size_t index = 0;
    std::string path;
    std::string domain;
    bool lists = false;
};

// One place of the walk and what came of it: a reading, or the reason there is none.
struct Slot {
    enum class State { Queued, Reading, Settled };
    Job job;
    size_t group = 0;
    State state = State::Queued;
    // While Reading: when it is given up; `whole` when that is the place's own bound.
    Clock::time_point deadline;
    bool whole = false;
    std::optional<PlaceReading> reading;
    UnreadPlace unread;
};

// The places of one mount (or of none known), read one after another.
struct Group {
    bool one_mount = false;
    std::deque<size_t> queue;       // places not taken yet, in the walk's order
    std::optional<size_t> reading;  // the place its thread reads now
    std::string hung;               // one mount: the place that did not answer
    std::string failure;            // why it has no thread
};

// Lists the place and, for a list directory, reads every list there as met for the
// first time; none when it could not be listed, and `unread` says why.
std::optional<PlaceReading> read_place(kel::FileSystem& file_system, const Job& job, int64_t now,
                                       UnreadPlace& unread) {
    PlaceReading reading;
    kel::DirectoryListing listing = file_system.list(job.path);
    if (!listing.complete()) {
        // A directory never listed whole holds nothing known; an absent one, no lists.
        if (listing.absent()) {
            return reading;
        }
        unread = {Why::CannotList, "", kel::error_text(listing.error)};
        return std::nullopt;
    }
    reading.names = std::move(listing.names);
    for (const std::string& entry : reading.names) {
        if (job.lists && ends_with(entry, list_suffix)) {
            const std::string name = entry.substr(0, entry.size() - list_suffix.size());
            reading.visits.push_back(
                examine_list(file_system, nullptr, job.path, job.domain, name, now));
            reading.visits.back().key = fold_lower(name + "@" + job.domain);
        }
    }
    return reading;
}

// Where the calling thread and the groups' threads meet. The calling thread adds the
// places and keeps the time; each group's thread takes its group's places in order and
// hands back what it read. Every thread holds the board by a shared_ptr, so that one
// left to itself may come back to it at any time, even after the walk.
class Board {
  public:
    size_t add_group(bool one_mount) {
        kel::AnnotatedLock held(lock);
        groups.emplace_back().one_mount = one_mount;
        return groups.size() - 1;
    }

    size_t add(Job job, size_t group) {
        kel::AnnotatedLock held(lock);
        Slot& slot = slots.emplace_back();
        job.index = slots.size() - 1;
        slot.unread.path = job.path;
        slot.job = std::move(job);
        slot.group = group;
        Group& to = groups[group];
        if (!to.hung.empty()) {
            settle(slot, {Why::SameMount, "", to.hung});
        } else if (!to.failure.empty()) {
            settle(slot, {Why::Failed, "", to.failure});
        } else {
            to.queue.push_back(slot.job.index);
            work.notify_all();
        }
        return slot.job.index;
    }

    // `group` has no thread: its places fail with `reason`.
    void fail(size_t group, const std::string& reason) {
        kel::AnnotatedLock held(lock);
        groups[group].failure = reason;
        settle_queue(groups[group], {Why::Failed, "", reason});
    }

    // For `group`'s thread: its next place, waiting for one; false once the walk has no
    // more. A place whose turn comes after the end is not read.
    bool take(size_t group, const Bounds& bounds, Job& job) {
        kel::AnnotatedLock held(lock);
        for (;;) {
            while (groups[group].queue.empty() && !closed) {
                work.wait(lock);
            }
            Group& mine = groups[group];
            if (mine.queue.empty()) {
                return false;
            }
            Slot& slot = slots[mine.queue.front()];
            mine.queue.pop_front();
            const Clock::time_point start = Clock::now();
            if (start >= bounds.end) {
                settle(slot, {Why::OutOfTime, "", ""});
                continue;
            }
            slot.whole = start + bounds.place_limit <= bounds.end;
            slot.deadline = slot.whole ? start + bounds.place_limit : bounds.end;
            slot.state = Slot::State::Reading;
            mine.reading = slot.job.index;
            progress.notify_all();
            job = slot.job;
            return true;
        }
    }

    // Hands back what place `index` gave; false when it was given up meanwhile: then
    // nothing of it is taken, and its thread, left to itself, must end.
    bool put(size_t index, std::optional<PlaceReading> reading, UnreadPlace unread) {
        kel::AnnotatedLock held(lock);
        Slot& slot = slots[index];
        if (slot.state != Slot::State::Reading) {
            return false;
        }
        groups[slot.group].reading.reset();
        slot.reading = std::move(reading);
        settle(slot, std::move(unread));
        return true;
    }

    // No more places: each group's thread ends once it has read its own.
    void close() {
        kel::AnnotatedLock held(lock);
        closed = true;
        work.notify_all();
    }

    // Waits until place `index` (every place when none) is settled, giving up each one
    // read past its deadline; returns early with a group of no known mount whose place
    // was given up: its later places are still to be read, on a new thread.
    std::optional<size_t> watch(std::optional<size_t> index) {
        kel::AnnotatedLock held(lock);
        while (index ? slots[*index].state != Slot::State::Settled : settled < slots.size()) {
            Clock::time_point next = Clock::time_point::max();
            bool gave_up = false;
            for (size_t group = 0; group < groups.size(); ++group) {
                const std::optional<size_t> at = groups[group].reading;
                if (at && slots[*at].deadline <= Clock::now()) {
                    give_up(groups[group]);
                    if (!groups[group].one_mount) {
                        return group;
                    }
                    gave_up = true;
                } else if (at) {
                    next = std::min(next, slots[*at].deadline);
                }
            }
            if (gave_up) {
                continue;
            } else if (next == Clock::time_point::max()) {
                progress.wait(lock);
            } else {
                progress.wait_until(lock, next);
            }
        }
        return std::nullopt;
    }

    // The entries place `index` listed. REQUIRES: it is settled.
    std::vector<std::string> names_of(size_t index) {
        kel::AnnotatedLock held(lock);
        return slots[index].reading ? slots[index].reading->names : std::vector<std::string>{};
    }

    // Every place, and whether a reading was left running. REQUIRES: every place is
    // settled. The slots moved out stay settled here (a moved slot keeps its state)
    // for the threads left to themselves, which may still come back to put.
    std::deque<Slot> results(bool& left_running) {
        kel::AnnotatedLock held(lock);
        left_running = abandoned;
        std::deque<Slot> taken;
        for (Slot& slot : slots) {
            taken.push_back(std::move(slot));
        }
        return taken;
    }

  private:
    void settle(Slot& slot, UnreadPlace unread) QUORVEL_REQUIRES(lock) {
        slot.unread.why = unread.why;
        slot.unread.reason = std::move(unread.reason);
        slot.state = Slot::State::Settled;
        ++settled;
        progress.notify_all();
    }

    void settle_queue(Group& group, const UnreadPlace& unread) QUORVEL_REQUIRES(lock) {
        for (const size_t index : group.queue) {
            settle(slots[index], unread);
        }
        group.queue.clear();
    }

    // Gives up the place `group` reads now, leaving its thread to itself; on one mount,
    // every later place of the group is skipped with it.
    void give_up(Group& group) QUORVEL_REQUIRES(lock) {
        Slot& slot = slots[*group.reading];
        group.reading.reset();
        abandoned = true;
        settle(slot, {slot.whole ? Why::NoAnswer : Why::OutOfTime, "", ""});
        if (group.one_mount) {
            group.hung = slot.job.path;
            settle_queue(group, {Why::SameMount, "", group.hung});
        }
    }

    kel::AnnotatedMutex lock;
    std::condition_variable_any work;      // for the groups' threads: a place, or the close
    std::condition_variable_any progress;  // for the calling thread: a place taken or settled
    // Deques: a reference into them stays good while places are added.
    std::deque<Slot> slots QUORVEL_GUARDED_BY(lock);
    std::deque<Group> groups QUORVEL_GUARDED_BY(lock);
    size_t settled QUORVEL_GUARDED_BY(lock) = 0;
    bool closed QUORVEL_GUARDED_BY(lock) = false;
    bool abandoned QUORVEL_GUARDED_BY(lock) = false;
};

// A group's thread: its places one after another, until the walk has no more or the
// calling thread gave one up. Nothing here may end the process: what a reading throws
// (no memory) fails that place.
void read_group(std::shared_ptr<Board> board, kel::FileSystem& file_system, size_t group,
                Bounds bounds) {
    Job job;
    while (board->take(group, bounds, job)) {
        std::optional<PlaceReading> reading;
        UnreadPlace unread;
        try {
            reading = read_place(file_system, job, bounds.now, unread);
        } catch (const std::exception& error) {
            unread = {Why::Failed, "", error.what()};
        } catch (...) {
            unread = {Why::Failed, "", "an unknown exception"};
        }
        if (!board->put(job.index, std::move(reading), std::move(unread))) {
            return;
        }
    }
}

// The calling thread's side: the groups, one per mount and one for the places the
// mount table does not judge (-1), each with a detached thread. Once every place is
// settled, a thread not left at a place given up has nothing more to read: it sees the
// close and ends. The places of no known mount are read one after another too, but none
// is skipped with another (nothing says they share a mount): a new thread takes over
// from one left at a place given up, which bounds the threads they may leave stuck by
// the time (each costs its bound). Such a place is one whose links could not be followed
// on local storage, which fails at once, or one the table does not cover at all (a
// chroot), and then every place is one, on the storage the tool stands in.
class Walk {
  public:
    Walk(kel::FileSystem& file_system, const PlaceMount& mount_of, Bounds bounds)
        : file_system(file_system), mount_of(mount_of), bounds(bounds) {}
    ~Walk() { board->close(); }
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    size_t add(std::string path, std::string domain, bool lists) {
        const int mount = std::max(mount_of(path), -1);
        auto [group, added] = groups.emplace(mount, 0);
        if (added) {
            group->second = board->add_group(mount >= 0);
            start(group->second);
        }
        return board->add({0, std::move(path), std::move(domain), lists}, group->second);
    }

    std::vector<std::string> names_of(size_t index) {
        wait(index);
        return board->names_of(index);
    }

    std::deque<Slot> finish(bool& abandoned) {
        board->close();
        wait(std::nullopt);
        return board->results(abandoned);
    }

  private:
    void wait(std::optional<size_t> index) {
        while (const std::optional<size_t> group = board->watch(index)) {
            start(*group);
        }
    }

    void start(size_t group) {
        try {
            std::thread(read_group, board, std::ref(file_system), group, bounds).detach();
        } catch (const std::exception& error) {
            board->fail(group, std::string("no thread to read it: ") + error.what());
        }
    }

    kel::FileSystem& file_system;
    const PlaceMount& mount_of;
    const Bounds bounds;
    const std::shared_ptr<Board> board = std::make_shared<Board>();
    std::map<int, size_t> groups;  // a mount (or -1) to its group
};

// Takes the lists read into `table`: of a list read in several places, the reading
// last in `order`. Each reading's records are written once, in the walk's order.
void take_readings(std::deque<Slot>& slots, const std::vector<PlaceReading*>& order,
                   int32_t request_number, ListTable& table) {
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
    for (auto& [key, visit] : last) {
        apply_list_visit(*visit, table[key]);
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
        } else if (slot.job.lists) {
            walk.directories.push_back({slot.job.path, slot.job.domain, slot.reading->names});
        }
    }
    const auto reading_of = [&](size_t index) {
        return slots[index].reading ? &*slots[index].reading : nullptr;
    };
    std::vector<PlaceReading*> order;
    PlaceReading* const main_lists = reading_of(accounts);
    if (main_lists != nullptr) {
        order.push_back(main_lists);
    }
    for (const std::optional<size_t>& entry : entries) {
        PlaceReading* const reading = entry ? reading_of(*entry) : main_lists;
        if (reading != nullptr) {
            order.push_back(reading);
        }
    }
    take_readings(slots, order, request_number, walk.table);
    return walk;
}

}  // namespace

BoundedWalk walk_lists_bounded(kel::FileSystem& file_system, const PlaceMount& mount_of,
                               const std::string& main_domain, int32_t request_number,
                               const BoundedWalkOptions& options) {
    const Bounds bounds{options.place_limit, Clock::now() + options.total_limit, list_clock_now()};
    Walk places(file_system, mount_of, bounds);
    const WalkPlace main_lists = main_lists_place(main_domain);
    const size_t accounts = places.add(main_lists.path, main_lists.domain, true);
    std::vector<std::optional<size_t>> entries;
    for (const WalkPlace& at :
         domain_places(places.names_of(places.add("Domains", "", false)), main_domain)) {
        entries.push_back(at.main ? std::nullopt
                                  : std::optional<size_t>(places.add(at.path, at.domain, true)));
    }
    bool abandoned = false;
    std::deque<Slot> slots = places.finish(abandoned);
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
