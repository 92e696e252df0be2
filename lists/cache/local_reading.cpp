// A status pass goes over the copy with no lock held: per watched directory one
// lookup of its path and one status query, and two queries per watched list made
// relative to it. The copy follows the tree through the directories handed over,
// taken in at the start of a pass. A stamp found different is reported once and
// taken into the copy: the tree visits every reported list at its next refresh,
// reads what it finds then, and hands the directory back with the stamps it read.
//
// The leftovers are read a chunk at a time, the lists of a chunk side by side, and
// each chunk is handed over once it is read: the serving thread knows the first
// lists long before the last. A chunk the serving thread has not taken yet is added
// to, so that it takes every reading, in order. A first reading that a later one
// replaced is read no further.
#include "local_reading.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "list_record.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t lists_per_chunk = 256;

// No status pass on the thread and no leftovers to read: the job waits until the
// serving thread hands it lists and asks the thread to run it.
constexpr std::chrono::hours nothing_to_do{1};

// One step of SplitMix64: every bit of the result depends on every bit given.
uint64_t mixed(uint64_t value) {
    value += 0x9e3779b97f4a7c15u;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9u;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebu;
    return value ^ (value >> 31);
}

uint64_t digest_into(uint64_t digest, const kel::FileStamp& stamp) {
    for (const uint64_t field :
         {stamp.size, static_cast<uint64_t>(stamp.seconds),
          static_cast<uint64_t>(stamp.nanoseconds), static_cast<uint64_t>(stamp.change_seconds),
          static_cast<uint64_t>(stamp.change_nanoseconds), stamp.inode,
          static_cast<uint64_t>(stamp.regular)}) {
        digest = mixed(digest ^ field);
    }
    return digest;
}

}  // namespace

uint64_t stamp_digest(const kel::FileStamp& first, const kel::FileStamp& second) {
    return digest_into(digest_into(0, first), second);
}

void LeftoversRead::append(LeftoversRead&& later) {
    if (later.reading != reading) {
        *this = std::move(later);
        return;
    }
    lists.insert(lists.end(), std::make_move_iterator(later.lists.begin()),
                 std::make_move_iterator(later.lists.end()));
    done = later.done;
}

LocalReading::LocalReading(kel::FileSystem& file_system, bool status_passes, size_t width)
    : file_system(file_system), status_passes(status_passes), calls(width) {}

void LocalReading::watch(const std::string& path, Directory directory) {
    kel::AnnotatedLock held(lock);
    handed.insert_or_assign(path, std::move(directory));
}

void LocalReading::forget(const std::string& path) {
    kel::AnnotatedLock held(lock);
    handed.insert_or_assign(path, std::nullopt);
}

void LocalReading::forget_all() {
    // What came before no longer matters, in what is handed nor in the passes' copy.
    kel::AnnotatedLock held(lock);
    handed.clear();
    handed_all = true;
}

void LocalReading::read(uint64_t reading, std::vector<LeftoverList> given) {
    kel::AnnotatedLock held(lock);
    handed_lists.emplace(reading, std::move(given));
}

LocalReading::Found LocalReading::exchange() {
    Found taken;
    kel::AnnotatedLock held(lock);
    taken.changes.swap(found);
    std::swap(taken.leftovers, read_out);
    return taken;
}

size_t LocalReading::waiting_changes() {
    kel::AnnotatedLock held(lock);
    return handed.size();
}

// The thread counts the time to the next run from this run's start.
std::chrono::nanoseconds LocalReading::run_pass() {
    const Clock::time_point started = Clock::now();
    if (!read_leftovers()) {
        return std::chrono::nanoseconds(0);  // a later first reading's leftovers wait
    }
    if (!status_passes) {
        return nothing_to_do;
    }
    if (Clock::now() >= next_pass) {
        status_pass();
    }
    return std::max<std::chrono::nanoseconds>(next_pass - started, {});
}

std::chrono::nanoseconds LocalReading::status_pass() {
    const Clock::time_point started = Clock::now();
    passing = true;
    Handed taken;
    {
        kel::AnnotatedLock held(lock);
        if (std::exchange(handed_all, false)) {
            directories.clear();
        }
        taken.swap(handed);
    }
    // Moved node by node: what was handed is never copied.
    while (!taken.empty()) {
        Handed::node_type directory = taken.extract(taken.begin());
        directories.erase(directory.key());
        if (directory.mapped()) {
            directories.insert(std::move(directory));
        }
    }

    std::vector<Change> changed;
    std::vector<std::string> names;
    for (auto& [path, directory] : directories) {
        query(path, *directory, names, changed);
    }
    if (!changed.empty()) {
        kel::AnnotatedLock held(lock);
        found.insert(found.end(), std::make_move_iterator(changed.begin()),
                     std::make_move_iterator(changed.end()));
    }
    const Clock::duration took = Clock::now() - started;
    const std::chrono::nanoseconds spacing =
        std::max<std::chrono::nanoseconds>(period, period_per_pass_duration * took);
    next_pass = started + spacing;
    passing = false;
    return spacing;
}

// The directory's own stamp (when it is watched itself) and its lists' two files,
// queried together: the seam resolves the directory's path once for all of them.
void LocalReading::query(const std::string& path, Directory& directory,
                         std::vector<std::string>& names, std::vector<Change>& changed) {
    names.clear();
    if (directory.itself) {
        names.emplace_back();
    }
    for (const auto& [name, digest] : directory.lists) {
        names.push_back(name + ".list");
        names.push_back(name + ".settings");
    }
    const std::vector<kel::PathStatus> statuses = file_system.statuses_in(path, names);
    size_t at = 0;
    if (directory.itself) {
        const uint64_t now = stamp_digest(statuses[at++].stamp);
        if (now != *directory.itself) {
            directory.itself = now;
            changed.push_back({path, {}});
        }
    }
    for (auto& [name, digest] : directory.lists) {
        const uint64_t now = stamp_digest(statuses[at].stamp, statuses[at + 1].stamp);
        at += 2;
        if (now != digest) {
            digest = now;
            changed.push_back({path, name});
        }
    }
}

bool LocalReading::read_leftovers() {
    {
        kel::AnnotatedLock held(lock);
        if (handed_lists) {
            lists = std::move(handed_lists);
            handed_lists.reset();
            next = 0;
        }
    }
    if (!lists) {
        return true;
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
        read_out.append(std::move(part));
        if (handed_lists) {
            // The lists of a later first reading wait: these are of no use any more.
            lists.reset();
            return false;
        }
    } while (next < all.size());
    lists.reset();
    return true;
}

// Zero stands for a stamp not known (a file's stamps give it by the chance above).
void LocalReading::discard() {
    if (!std::exchange(passing, false)) {
        return;
    }
    for (auto& [path, directory] : directories) {
        if (directory->itself) {
            directory->itself = 0;
        }
        for (auto& [name, digest] : directory->lists) {
            digest = 0;
        }
    }
}
