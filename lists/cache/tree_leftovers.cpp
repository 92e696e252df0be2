// The lists a first reading left over when its time ran out. Each is handed to the
// leftover reading with what was known of it; its record, if it had one (a complete
// walk forced by lost events or a mount change), is set aside, so that its mail
// passes unchecked rather than judged on what may be old. Their readings come back
// in the walk's order and are taken in as the walk's own visits would be, with the
// same records; a list named by a change meanwhile is visited again after.
#include <utility>

#include "list_walk.h"
#include "watched_tree.h"

void WatchedTree::leave_over(ListDirectory& lists, ListEntry& entry) {
    entry.leftover = true;
    ++leftovers_pending;
    LeftoverList list{lists.path, lists.domain_name, entry.name, nullptr};
    auto found = table.find(entry.key);
    if (found != table.end()) {
        list.known = std::make_unique<const ListKnown>(known_of(found->second));
        if (!found->second.seen) {
            // Not met by another entry in this walk: it waits for its own reading.
            aside.insert(table.extract(found));
        }
    } else if (auto kept = aside.find(entry.key); kept != aside.end()) {
        list.known = std::make_unique<const ListKnown>(known_of(kept->second));
    }
    leftovers_out.push_back(std::move(list));
}

std::vector<LeftoverList> WatchedTree::take_leftover_lists() {
    return std::exchange(leftovers_out, {});
}

void WatchedTree::forget_leftover(const ListEntry& entry) {
    if (entry.leftover) {
        --leftovers_pending;
    }
}

bool WatchedTree::take_leftovers(LeftoversRead& read, int32_t request_number) {
    if (read.reading != reading) {
        return false;  // of a tree that a complete walk replaced
    }
    bool visit_due = false;
    for (auto& [list, one] : read.lists) {
        take_leftover(list, one, request_number, visit_due);
    }
    if (read.done && leftovers_pending != 0) {
        settle_leftovers_left();
        visit_due = true;
    }
    if (leftovers_pending == 0) {
        // What is still aside belongs to no list any more.
        aside.clear();
    }
    hand_due_to_passes();
    return visit_due;
}

// The reading's entry, if it is still one left over, is taken in as a visit.
void WatchedTree::take_leftover(LeftoverList& list, ListVisit& one, int32_t request_number,
                                bool& visit_due) {
    auto lists_found = lists_by_path.find(list.directory);
    if (lists_found == lists_by_path.end()) {
        return;
    }
    ListDirectory& lists = *lists_found->second;
    auto entry_found = lists.by_name.find(list.name);
    if (entry_found == lists.by_name.end() || !lists.entries[entry_found->second].leftover) {
        return;
    }
    ListEntry& entry = lists.entries[entry_found->second];
    entry.leftover = false;
    --leftovers_pending;
    ++counts.lists_examined;
    auto [found, is_new] = table.try_emplace(entry.key);
    if (auto kept = aside.find(entry.key); is_new && kept != aside.end()) {
        found->second = std::move(kept->second);
        aside.erase(kept);
    }
    ListRecord& record = found->second;
    apply_list_visit(one, record);
    record.from_network = false;
    record.seen = false;
    write_list_notes(request_number, one.notes);
    entry.unreadable = !record.settings_reading.readable || !record.subscribers_reading.readable;
    entry.untrusted = lists.trusted && !files_report_here(lists.path, entry.name);
    note_steady(lists, entry);
    hand_to_passes(lists, entry, record);
    if (std::exchange(entry.recheck, false)) {
        lists.changed.insert(entry.name);
        queue(lists);
        visit_due = true;
    }
}

// Lists left over whose readings never came (their directory was read again
// meanwhile, say): they are visited as changed, their records back in place.
void WatchedTree::settle_leftovers_left() {
    for (auto& [key, record] : aside) {
        table.try_emplace(key, std::move(record));
    }
    aside.clear();
    for (auto& [path, lists] : lists_by_path) {
        for (ListEntry& entry : lists->entries) {
            if (entry.leftover) {
                entry.leftover = false;
                entry.recheck = false;
                lists->changed.insert(entry.name);
                queue(*lists);
            }
        }
    }
    leftovers_pending = 0;
}
