// A pass over the copy, with no lock held: per watched directory one lookup of its
// path and one status query, and two queries per watched list made relative to it.
// The copy follows the tree through the changes handed over at each exchange,
// applied in order at the start of a pass. A stamp found different is reported
// once and taken into the copy: the tree visits every reported list at its next
// refresh, reads what it finds then, and hands the stamps it read back.
#include "status_passes.h"

#include <algorithm>
#include <iterator>
#include <string_view>
#include <unordered_set>

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

void StatusPasses::watch_list(const std::string& directory, const std::string& name,
                              const kel::FileStamp& list, const kel::FileStamp& settings) {
    pending.push_back({Delta::List, directory, name, list, settings});
}

void StatusPasses::watch_directory(const std::string& directory, const kel::FileStamp& stamp) {
    pending.push_back({Delta::Directory, directory, {}, stamp, {}});
}

void StatusPasses::forget_list(const std::string& directory, const std::string& name) {
    pending.push_back({Delta::ForgetList, directory, name, {}, {}});
}

void StatusPasses::forget_directory(const std::string& directory) {
    pending.push_back({Delta::ForgetDirectory, directory, {}, {}, {}});
}

void StatusPasses::forget_all() {
    // What came before no longer matters, here nor in what is already handed.
    pending.clear();
    pending.push_back({Delta::ForgetAll, {}, {}, {}, {}});
}

std::vector<StatusPasses::Change> StatusPasses::exchange() {
    std::vector<Change> taken;
    kel::AnnotatedLock held(lock);
    if (!pending.empty()) {
        if (handed.empty() || pending.front().kind == Delta::ForgetAll) {
            handed.swap(pending);
        } else {
            handed.insert(handed.end(), std::make_move_iterator(pending.begin()),
                          std::make_move_iterator(pending.end()));
        }
        pending.clear();
        // Lists and directories come and go while no pass runs; once the queue has
        // doubled, what later changes supersede goes, at a constant cost per change:
        // it holds what the tree watches and the forgetting of each directory gone,
        // which the passes' copy may hold, until the pass.
        if (handed.size() >= std::max<size_t>(1024, 2 * handed_kept)) {
            drop_superseded(handed);
            handed_kept = handed.size();
        }
    }
    taken.swap(found);
    return taken;
}

size_t StatusPasses::waiting_changes() {
    kel::AnnotatedLock held(lock);
    return handed.size();
}

// From the last change back: a change is dropped when a later one leaves the copy
// as it would be without it. A directory forgotten later makes every earlier change
// in it moot, a list watched or forgotten later every earlier change of that list,
// a directory watched later its earlier stamp. A list forgotten may forget its
// directory too (see apply), but only a directory that no later change finds
// otherwise. The order of the lists in the copy may change; a pass does not care.
void StatusPasses::drop_superseded(std::vector<Delta>& deltas) {
    std::unordered_set<std::string_view> forgotten, stamped;
    std::unordered_set<std::string> lists;  // directory, NUL, name
    std::vector<bool> keep(deltas.size(), false);
    for (size_t i = deltas.size(); i-- > 0;) {
        const Delta& delta = deltas[i];
        if (delta.kind == Delta::ForgetAll) {
            keep[i] = true;
            break;
        }
        if (forgotten.count(delta.directory) != 0) {
            continue;
        }
        switch (delta.kind) {
            case Delta::ForgetDirectory:
                keep[i] = forgotten.insert(delta.directory).second;
                break;
            case Delta::Directory:
                keep[i] = stamped.insert(delta.directory).second;
                break;
            case Delta::List:
            case Delta::ForgetList:
                keep[i] = lists.insert(delta.directory + '\0' + delta.name).second;
                break;
            case Delta::ForgetAll:
                break;
        }
    }
    size_t kept = 0;
    for (size_t i = 0; i < deltas.size(); ++i) {
        if (keep[i]) {
            if (kept != i) {
                deltas[kept] = std::move(deltas[i]);
            }
            ++kept;
        }
    }
    deltas.resize(kept);
    deltas.shrink_to_fit();
}

StatusPasses::WatchedDirectory& StatusPasses::directory_for(const std::string& path) {
    auto [place, added] = directory_index.try_emplace(path, directories.size());
    if (added) {
        directories.emplace_back().path = path;
    }
    return directories[place->second];
}

// The last directory takes the place of the one forgotten: the order of a pass
// does not matter.
void StatusPasses::forget_directory_at(size_t index) {
    directory_index.erase(directories[index].path);
    if (index + 1 != directories.size()) {
        directories[index] = std::move(directories.back());
        directory_index[directories[index].path] = index;
    }
    directories.pop_back();
}

void StatusPasses::apply(Delta& delta) {
    switch (delta.kind) {
        case Delta::List: {
            WatchedDirectory& directory = directory_for(delta.directory);
            auto [place, added] =
                directory.list_index.try_emplace(delta.name, directory.lists.size());
            if (added) {
                directory.lists.push_back({std::move(delta.name), delta.list, delta.settings});
            } else {
                directory.lists[place->second].list = delta.list;
                directory.lists[place->second].settings = delta.settings;
            }
            break;
        }
        case Delta::Directory: {
            WatchedDirectory& directory = directory_for(delta.directory);
            directory.itself = true;
            directory.stamp = delta.list;
            break;
        }
        case Delta::ForgetList: {
            auto found_directory = directory_index.find(delta.directory);
            if (found_directory == directory_index.end()) {
                break;
            }
            WatchedDirectory& directory = directories[found_directory->second];
            auto found_list = directory.list_index.find(delta.name);
            if (found_list != directory.list_index.end()) {
                const size_t index = found_list->second;
                directory.list_index.erase(found_list);
                if (index + 1 != directory.lists.size()) {
                    directory.lists[index] = std::move(directory.lists.back());
                    directory.list_index[directory.lists[index].name] = index;
                }
                directory.lists.pop_back();
            }
            if (!directory.itself && directory.lists.empty()) {
                forget_directory_at(found_directory->second);
            }
            break;
        }
        case Delta::ForgetDirectory: {
            auto found_directory = directory_index.find(delta.directory);
            if (found_directory != directory_index.end()) {
                forget_directory_at(found_directory->second);
            }
            break;
        }
        case Delta::ForgetAll:
            directories.clear();
            directory_index.clear();
            break;
    }
}

std::chrono::nanoseconds StatusPasses::run_pass() {
    const Clock::time_point started = Clock::now();
    std::vector<Delta> changes;
    {
        kel::AnnotatedLock held(lock);
        changes.swap(handed);
        handed_kept = 0;
    }
    for (Delta& delta : changes) {
        apply(delta);
    }
    changes.clear();

    std::vector<Change> changed;
    std::vector<std::string> names;
    for (WatchedDirectory& directory : directories) {
        query(directory, names, changed);
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
void StatusPasses::query(WatchedDirectory& directory, std::vector<std::string>& names,
                         std::vector<Change>& changed) {
    names.clear();
    if (directory.itself) {
        names.emplace_back();
    }
    for (const WatchedList& list : directory.lists) {
        names.push_back(list.name + ".list");
        names.push_back(list.name + ".settings");
    }
    const std::vector<kel::PathStatus> found = file_system.statuses_in(directory.path, names);
    size_t at = 0;
    if (directory.itself) {
        const kel::FileStamp& now = found[at++].stamp;
        if (now != directory.stamp) {
            directory.stamp = now;
            changed.push_back({directory.path, {}});
        }
    }
    for (WatchedList& list : directory.lists) {
        const kel::FileStamp& list_now = found[at++].stamp;
        const kel::FileStamp& settings_now = found[at++].stamp;
        if (list_now != list.list || settings_now != list.settings) {
            list.list = list_now;
            list.settings = settings_now;
            changed.push_back({directory.path, list.name});
        }
    }
}

void StatusPasses::discard() {
    for (WatchedDirectory& directory : directories) {
        directory.stamp = {};
        for (WatchedList& list : directory.lists) {
            list.list = {};
            list.settings = {};
        }
    }
}
