// The watched tree's visits: the lists due at this refresh, in the walk's order,
// each with the walk's own per-list step; then what each visited entry is now (its
// files' changes told here or not), and the hand-over to the status passes of what
// they must watch from now on.
#include "watched_tree.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>

#include "list_names.h"
#include "list_walk.h"

// A key that gained or lost an entry has all its entries visited now: the record
// may have been last set from an entry that is gone, or the new one reads over it.
void WatchedTree::settle_touched_keys() {
    for (const std::string& key : touched) {
        auto found = sources.find(key);
        if (found == sources.end()) {
            vanished.push_back(key);
            continue;
        }
        const bool shared = found->second.size() > 1;
        for (const Source& source : found->second) {
            ListDirectory& lists = *source.directory;
            ListEntry& entry = lists.entries[lists.by_name.at(source.name)];
            entry.shared = shared;
            note_steady(lists, entry);
            lists.changed.insert(source.name);
            queue(lists);
        }
    }
    touched.clear();
}

void WatchedTree::note_steady(ListDirectory& lists, const ListEntry& entry) {
    if (entry.untrusted || entry.shared || entry.unreadable) {
        lists.steady.insert(entry.name);
    } else {
        lists.steady.erase(entry.name);
    }
    if (lists.steady.empty()) {
        steady_directories.erase(&lists);
    } else {
        steady_directories.insert(&lists);
    }
}

// An entry that is not visited at every refresh, in a directory whose watch tells
// its changes, is watched by the passes with the stamps its visit left; any other
// is not. Its directory goes to the passes again only when that changed.
void WatchedTree::hand_to_passes(ListDirectory& lists, ListEntry& entry, const ListRecord& record) {
    const bool watched = lists.trusted && !entry.untrusted && !entry.shared && !entry.unreadable;
    const uint64_t stamps =
        watched ? stamp_digest(record.subscribers_stamp, record.settings_stamp) : 0;
    if (stamps != entry.stamps) {
        entry.stamps = stamps;
        due_to_passes(lists);
    }
}

void WatchedTree::due_to_passes(ListDirectory& lists) {
    if (status_passes != nullptr && !lists.passes_due) {
        lists.passes_due = true;
        passes_due.push_back(&lists);
    }
}

// Each directory whose lists or stamps changed goes to the passes whole: what they
// query there from now on; nothing once it is gone, left to the passes over
// network storage, or not trusted.
void WatchedTree::hand_due_to_passes() {
    for (ListDirectory* lists : passes_due) {
        lists->passes_due = false;
        if ((lists->domain != nullptr && lists->domain->removed) || lists->network ||
            !lists->trusted) {
            status_passes->forget(lists->path);
            continue;
        }
        LocalReading::Directory watched{lists->own_stamp, {}};
        for (const ListEntry& entry : lists->entries) {
            if (entry.stamps != 0 && !entry.leftover) {
                watched.lists.emplace_back(entry.name, entry.stamps);
            }
        }
        status_passes->watch(lists->path, std::move(watched));
    }
    passes_due.clear();
}

void WatchedTree::visit(int32_t request_number, bool keep_seen,
                        std::optional<std::chrono::steady_clock::time_point> deadline) {
    for (ListDirectory* lists : steady_directories) {
        queue(*lists);
    }
    std::vector<Visited> visited;
    for (const auto& [position, lists] : plan_visits()) {
        visit_entries(request_number, keep_seen, *lists, visited, deadline);
    }
    settle_trust();
    // Records stay where they are until the end of the refresh: only the lines
    // below and the build's sweep erase them, and neither erases a visited one.
    for (const Visited& entry : visited) {
        hand_to_passes(*entry.lists, entry.lists->entries[entry.index], *entry.record);
    }
    hand_due_to_passes();
    drop_vanished();
    retired.clear();
    write_listing_records(request_number, listings);
}

// The directories with visits to make, once for each place they have in the walk,
// in the walk's order.
std::vector<std::pair<size_t, WatchedTree::ListDirectory*>> WatchedTree::plan_visits() {
    std::vector<std::pair<size_t, ListDirectory*>> plan;
    for (ListDirectory* lists : work) {
        if (lists->domain != nullptr && lists->domain->removed) {
            continue;
        }
        for (size_t position : lists->positions) {
            plan.emplace_back(position, lists);
        }
    }
    std::sort(plan.begin(), plan.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return plan;
}

// The entries to visit, by place in the directory's listing.
void WatchedTree::due_entries(ListDirectory& lists, std::vector<size_t>& due) const {
    due.clear();
    if (lists.all_changed || !lists.trusted) {
        for (size_t i = 0; i < lists.entries.size(); ++i) {
            due.push_back(i);
        }
        return;
    }
    for (const auto* names : {&lists.changed, &lists.steady}) {
        for (const std::string& name : *names) {
            auto found = lists.by_name.find(name);
            if (found != lists.by_name.end()) {
                due.push_back(found->second);
            }
        }
    }
    std::sort(due.begin(), due.end());
    due.erase(std::unique(due.begin(), due.end()), due.end());
}

void WatchedTree::visit_entries(
    int32_t request_number, bool keep_seen, ListDirectory& lists, std::vector<Visited>& visited,
    const std::optional<std::chrono::steady_clock::time_point>& deadline) {
    std::vector<size_t> due;
    due_entries(lists, due);
    for (size_t index : due) {
        ListEntry& entry = lists.entries[index];
        if (entry.leftover) {
            entry.recheck = true;  // read again once its leftover reading is in
            continue;
        }
        // Spent when the seam's clock reaches the deadline: a budget of zero reads
        // nothing, even on a clock that has not moved.
        if (deadline && file_system.now() >= *deadline) {
            leave_over(lists, entry);
            continue;
        }
        ++counts.lists_examined;
        ListRecord& record = visit_list(file_system, table, request_number, lists.path,
                                        lists.domain_name, entry.name);
        if (!keep_seen) {
            record.seen = false;
        }
        if (status_passes != nullptr) {
            visited.push_back({&lists, index, &record});
        }
        const bool unreadable =
            !record.settings_reading.readable || !record.subscribers_reading.readable;
        if (unreadable != entry.unreadable) {
            entry.unreadable = unreadable;
            note_steady(lists, entry);
        }
    }
}

// What the entries visited for a change are now: files whose changes this
// directory's watch reports, or not.
void WatchedTree::settle_trust() {
    for (ListDirectory* lists : work) {
        lists->queued = false;
        if (lists->domain != nullptr && lists->domain->removed) {
            continue;
        }
        if (lists->trusted) {
            for (ListEntry& entry : lists->entries) {
                // A leftover's trust is settled when its reading is taken in.
                if (!entry.leftover &&
                    (lists->all_changed || lists->changed.count(entry.name) != 0)) {
                    entry.untrusted = !files_report_here(lists->path, entry.name);
                    note_steady(*lists, entry);
                }
            }
        }
        lists->changed.clear();
        lists->all_changed = false;
    }
    work.clear();
}

void WatchedTree::drop_vanished() {
    for (const std::string& key : vanished) {
        if (sources.count(key) != 0) {
            continue;
        }
        aside.erase(key);
        auto found = table.find(key);
        if (found != table.end() && !network.keeps(key, found->second)) {
            table.erase(found);
        }
    }
    vanished.clear();
}

// A file whose changes raise events in its directory: a regular file with no
// other name and no file system mounted on it (whose changes would be told where
// its source lies). A settings file may also be absent.
bool WatchedTree::reports_here(const std::string& path, bool may_be_missing) {
    const kel::PathStatus status = file_system.status(path, false);
    if (!status.found()) {
        return may_be_missing && status.error == ENOENT;
    }
    return status.type == S_IFREG && status.links == 1 && !status.mount_root;
}

bool WatchedTree::files_report_here(const std::string& directory, const std::string& name) {
    const std::string stem = directory + "/" + name;
    return reports_here(stem + std::string(list_suffix), false) &&
           reports_here(stem + std::string(settings_suffix), true);
}
