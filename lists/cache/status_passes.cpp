// A pass over the copy, with no lock held: per watched directory one lookup of its
// path and one status query, and two queries per watched list made relative to it.
// The copy follows the tree through the directories handed over at each exchange,
// taken in at the start of a pass. A stamp found different is reported once and
// taken into the copy: the tree visits every reported list at its next refresh,
// reads what it finds then, and hands the directory back with the stamps it read.
#include "status_passes.h"

#include <algorithm>
#include <iterator>

namespace {

using Clock = std::chrono::steady_clock;

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

void StatusPasses::watch(const std::string& path, Directory directory) {
    pending.insert_or_assign(path, std::move(directory));
}

void StatusPasses::forget(const std::string& path) {
    pending.insert_or_assign(path, std::nullopt);
}

void StatusPasses::forget_all() {
    // What came before no longer matters, here nor in what is already handed.
    pending.clear();
    pending_all = true;
}

// A later hand-over of a directory replaces an earlier one.
void StatusPasses::hand(Handed& from, Handed& to) {
    if (to.empty()) {
        to.swap(from);
        return;
    }
    for (auto& [path, directory] : from) {
        to.insert_or_assign(path, std::move(directory));
    }
    from.clear();
}

std::vector<StatusPasses::Change> StatusPasses::exchange() {
    std::vector<Change> taken;
    kel::AnnotatedLock held(lock);
    if (std::exchange(pending_all, false)) {
        handed.clear();
        handed_all = true;
    }
    hand(pending, handed);
    taken.swap(found);
    return taken;
}

size_t StatusPasses::waiting_changes() {
    kel::AnnotatedLock held(lock);
    return handed.size();
}

std::chrono::nanoseconds StatusPasses::run_pass() {
    const Clock::time_point started = Clock::now();
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
    return std::max<std::chrono::nanoseconds>(period, period_per_pass_duration * took);
}

// The directory's own stamp (when it is watched itself) and its lists' two files,
// queried together: the seam resolves the directory's path once for all of them.
void StatusPasses::query(const std::string& path, Directory& directory,
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

// Zero stands for a stamp not known (a file's stamps give it by the chance above).
void StatusPasses::discard() {
    for (auto& [path, directory] : directories) {
        if (directory->itself) {
            directory->itself = 0;
        }
        for (auto& [name, digest] : directory->lists) {
            digest = 0;
        }
    }
}
