// A pass over the copy: one status query per watched directory and two per
// watched list, with no lock held. The copy follows the tree through the changes
// handed over at each exchange, applied in order at the start of a pass. A stamp
// found different is reported once and then taken into the copy: the tree visits
// every reported list at its next refresh, reads what it finds then, and hands
// the stamps it read back.
#include "stamp_watch.h"

#include <algorithm>
#include <iterator>

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

void StampWatch::watch_list(const std::string& directory, const std::string& name,
                            const kel::FileStamp& list, const kel::FileStamp& settings) {
    pending.push_back({Delta::List, directory, name, list, settings});
}

void StampWatch::watch_directory(const std::string& directory, const kel::FileStamp& stamp) {
    pending.push_back({Delta::Directory, directory, {}, stamp, {}});
}

void StampWatch::forget_list(const std::string& directory, const std::string& name) {
    pending.push_back({Delta::ForgetList, directory, name, {}, {}});
}

void StampWatch::forget_directory(const std::string& directory) {
    pending.push_back({Delta::ForgetDirectory, directory, {}, {}, {}});
}

void StampWatch::forget_all() {
    // What came before no longer matters, here nor in what is already handed.
    pending.clear();
    pending.push_back({Delta::ForgetAll, {}, {}, {}, {}});
}

std::vector<StampWatch::Change> StampWatch::exchange() {
    std::vector<Change> taken;
    std::lock_guard<std::mutex> held(lock);
    if (!pending.empty()) {
        if (handed.empty() || pending.front().kind == Delta::ForgetAll) {
            handed.swap(pending);
        } else {
            handed.insert(handed.end(), std::make_move_iterator(pending.begin()),
                          std::make_move_iterator(pending.end()));
        }
        pending.clear();
    }
    taken.swap(found);
    return taken;
}

void StampWatch::apply(Delta& delta) {
    switch (delta.kind) {
        case Delta::List:
            copy[delta.directory].lists[delta.name] = {delta.list, delta.settings};
            break;
        case Delta::Directory: {
            WatchedDirectory& directory = copy[delta.directory];
            directory.itself = true;
            directory.stamp = delta.list;
            break;
        }
        case Delta::ForgetList: {
            auto found_directory = copy.find(delta.directory);
            if (found_directory != copy.end()) {
                found_directory->second.lists.erase(delta.name);
                if (!found_directory->second.itself && found_directory->second.lists.empty()) {
                    copy.erase(found_directory);
                }
            }
            break;
        }
        case Delta::ForgetDirectory:
            copy.erase(delta.directory);
            break;
        case Delta::ForgetAll:
            copy.clear();
            break;
    }
}

std::chrono::nanoseconds StampWatch::run_pass() {
    const Clock::time_point started = Clock::now();
    std::vector<Delta> changes;
    {
        std::lock_guard<std::mutex> held(lock);
        changes.swap(handed);
    }
    for (Delta& delta : changes) {
        apply(delta);
    }
    changes.clear();

    std::vector<Change> changed;
    std::string path;
    for (auto& [directory_path, directory] : copy) {
        if (directory.itself) {
            kel::FileStamp now = kel::file_stamp(directory_path);
            if (now != directory.stamp) {
                directory.stamp = now;
                changed.push_back({directory_path, {}});
            }
        }
        for (auto& [name, list] : directory.lists) {
            path.assign(directory_path).append("/").append(name);
            const size_t stem = path.size();
            kel::FileStamp list_now = kel::file_stamp(path.append(".list"));
            path.resize(stem);
            kel::FileStamp settings_now = kel::file_stamp(path.append(".settings"));
            if (list_now != list.list || settings_now != list.settings) {
                list = {list_now, settings_now};
                changed.push_back({directory_path, name});
            }
        }
    }
    if (!changed.empty()) {
        std::lock_guard<std::mutex> held(lock);
        found.insert(found.end(), std::make_move_iterator(changed.begin()),
                     std::make_move_iterator(changed.end()));
    }
    const Clock::duration took = Clock::now() - started;
    return std::max<std::chrono::nanoseconds>(period, period_per_pass_duration * took);
}
