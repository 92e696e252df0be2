// The watched tree's directories: each resolved (its storage asked of the seam,
// watched where events can be trusted, its link target noted), listed, and its
// entries kept with the keys they give. A directory on network storage is left,
// with everything below it, to the passes over network storage.
#include "watched_tree.h"

#include <algorithm>

#include "address_folding.h"
#include "list_names.h"
#include "list_walk.h"
#include "parallel_calls.h"

void WatchedTree::resolve_node(Node& node) {
    const bool was_network = node.network;
    // Decided before anything touches the place: a status query on a network file
    // system that hangs would hold the message, and whatever lies below a directory
    // on network storage is left to the passes, neither watched nor looked at here.
    const kel::Storage storage = storage_of(node);
    node.network = storage == kel::Storage::Network;
    node.linked = !node.network && file_system.status(node.path, false).is_link();
    if (node.linked) {
        // Taken before the watch: a change in between shows at the next refresh.
        const kel::PathStatus target = file_system.status(node.path);
        node.target_found = target.found();
        node.target_type = target.type;
        node.target_device = target.device;
        node.target_inode = target.stamp.inode;
    }
    // The new watch is taken before the old one is released, so that a directory
    // watched again keeps its watch. Events are asked for only where every change
    // passes through this kernel.
    kel::KernelEvents::Added added{kel::KernelEvents::Outcome::Failed, -1};
    if (storage == kel::Storage::Local) {
        added = events.add(node.path);
    } else if (storage == kel::Storage::Absent) {
        added.outcome = kel::KernelEvents::Outcome::Missing;
    }
    drop_watch(node);
    if (added.outcome == kel::KernelEvents::Outcome::Watched) {
        node.watch = added.watch;
        owners[added.watch].push_back(&node);
    }
    node.trusted = added.outcome == kel::KernelEvents::Outcome::Watched ||
                   added.outcome == kel::KernelEvents::Outcome::Missing;
    if (!node.network && (node.linked || !node.trusted)) {
        fragile.insert(&node);
    } else {
        fragile.erase(&node);
    }
    node.resolve = false;
    places_changed = places_changed || node.network != was_network;
}

// Where the node lies, from what is known above it, a test's choice, or the seam,
// which answers from the mount table without a call on the place.
kel::Storage WatchedTree::storage_of(const Node& node) {
    if (below_network(node)) {
        return kel::Storage::Network;
    }
    if (options.taken_for_network && options.taken_for_network(node.path)) {
        return kel::Storage::Network;
    }
    return file_system.storage(node.path);
}

bool WatchedTree::below_network(const Node& node) const {
    switch (node.role) {
        case Role::Base:
        case Role::Domains:
            return false;
        case Role::Accounts:
            return base.network;
        case Role::Domain:
            return domains.network;
        case Role::Lists:
            return &node == &accounts_lists ? accounts.network : node.domain->directory->network;
    }
    return false;
}

// A list directory now left to the passes, or gone: the tree lets go of its entries,
// whose keys leave the table unless the passes or another entry give them.
void WatchedTree::release_lists(ListDirectory& lists) {
    for (const ListEntry& entry : lists.entries) {
        forget_leftover(entry);
        remove_source(lists, entry);
    }
    lists.entries.clear();
    lists.by_name.clear();
    lists.changed.clear();
    lists.steady.clear();
    lists.all_changed = false;
    steady_directories.erase(&lists);
    unlisted.erase(&lists);
    due_to_passes(lists);
}

void WatchedTree::drop_watch(Node& node) {
    if (node.watch < 0) {
        return;
    }
    auto found = owners.find(node.watch);
    if (found != owners.end()) {
        std::vector<Node*>& nodes = found->second;
        nodes.erase(std::remove(nodes.begin(), nodes.end(), &node), nodes.end());
        if (nodes.empty()) {
            owners.erase(found);
        }
    }
    events.release(node.watch);
    node.watch = -1;
}

bool WatchedTree::target_moved(const Node& node) const {
    const kel::PathStatus status = file_system.status(node.path);
    return status.found() != node.target_found ||
           (status.found() &&
            (status.type != node.target_type || status.device != node.target_device ||
             status.stamp.inode != node.target_inode));
}

void WatchedTree::read_domains() {
    ++counts.directories_listed;
    const uint64_t listing = ++domain_listings;
    std::vector<DomainEntry*> order;
    const std::vector<std::string> names = list_domains(file_system, listings);
    if (domain_table.empty()) {
        warm_up(names);
    }
    for (const std::string& name : names) {
        std::unique_ptr<DomainEntry>& entry = domain_table[name];
        if (!entry) {
            entry = make_domain(name);
        }
        entry->listing = listing;
        order.push_back(entry.get());
    }
    for (auto entry = domain_table.begin(); entry != domain_table.end();) {
        if (entry->second->listing == listing) {
            ++entry;
            continue;
        }
        retire(*entry->second);
        retired.push_back(std::move(entry->second));
        entry = domain_table.erase(entry);
    }
    // What is remembered of the lists of a domain gone goes with it.
    listings.forget_all_but([this](const std::string& path) {
        return path == domains.path || lists_by_path.count(path) != 0;
    });
    domain_order = std::move(order);
    place_visits();
    places_changed = true;
}

// A build after a start meets every domain's directories cold, one after the other,
// each a read of the disk: they are listed side by side first, so that the disk
// serves many reads at once and the build finds them in the caches. Only places on
// local storage, which the seam tells without touching them. The threads end with it.
void WatchedTree::warm_up(const std::vector<std::string>& names) {
    constexpr size_t worth_it = 64;
    if (names.size() < worth_it || domains.network) {
        return;
    }
    const std::vector<WalkPlace> places = domain_places(names, main_domain_name());
    kel::ParallelCalls calls;
    calls.run(places.size(), [&](size_t i) {
        if (!places[i].main && file_system.storage(places[i].path) == kel::Storage::Local) {
            file_system.list(places[i].path);
        }
    });
}

std::unique_ptr<WatchedTree::DomainEntry> WatchedTree::make_domain(const std::string& name) {
    auto entry = std::make_unique<DomainEntry>();
    entry->name = name;
    // Its place in the listing does not matter here: the positions say it.
    const WalkPlace place = entry_place(name, 0, main_domain_name());
    if (place.main) {
        entry->lists = &accounts_lists;
        return entry;
    }
    entry->directory = std::make_unique<Node>(Role::Domain, "Domains/" + name, entry.get());
    entry->own_lists = std::make_unique<ListDirectory>(place.path, name, entry.get());
    entry->lists = entry->own_lists.get();
    lists_by_path[entry->own_lists->path] = entry->own_lists.get();
    mark_resolve(*entry->directory);
    return entry;
}

void WatchedTree::retire(DomainEntry& entry) {
    entry.removed = true;
    if (!entry.directory) {
        return;
    }
    ListDirectory& lists = *entry.own_lists;
    release_lists(lists);
    for (Node* node : {entry.directory.get(), static_cast<Node*>(&lists)}) {
        drop_watch(*node);
        fragile.erase(node);
    }
    auto registered = lists_by_path.find(lists.path);
    if (registered != lists_by_path.end() && registered->second == &lists) {
        lists_by_path.erase(registered);
    }
}

void WatchedTree::place_visits() {
    accounts_lists.positions.assign(1, 0);
    for (auto& [name, entry] : domain_table) {
        if (entry->own_lists) {
            entry->own_lists->positions.clear();
        }
    }
    for (size_t i = 0; i < domain_order.size(); ++i) {
        domain_order[i]->lists->positions.push_back(i + 1);
    }
}

// Lists the directory again, keeping what is known of the entries still there.
void WatchedTree::read_lists(ListDirectory& lists) {
    ++counts.directories_listed;
    // Taken before the listing: a change in between shows as a change later. A
    // directory that is not watched is listed at every refresh and needs none.
    if (status_passes != nullptr) {
        lists.own_stamp.reset();
        if (lists.trusted) {
            lists.own_stamp = stamp_digest(file_system.status(lists.path).stamp);
        }
    }
    std::vector<ListEntry> entries;
    std::unordered_map<std::string, size_t> by_name;
    const size_t order = &lists == &accounts_lists || lists.positions.empty()
                             ? main_lists_order
                             : listing_order(lists.positions.front());
    const auto still_there = [&](const std::string& name) {
        return entry_still_there(file_system, lists.path, name);
    };
    for (const std::string& entry : listings.list(file_system, lists.path, order, still_there)) {
        if (!ends_with(entry, list_suffix)) {
            continue;
        }
        std::string name = entry.substr(0, entry.size() - list_suffix.size());
        auto known = lists.by_name.find(name);
        if (known != lists.by_name.end()) {
            entries.push_back(std::move(lists.entries[known->second]));
            lists.by_name.erase(known);
        } else {
            ListEntry fresh;
            fresh.key = fold_lower(name + "@" + lists.domain_name);
            fresh.name = name;
            add_source(lists, fresh);
            lists.changed.insert(name);
            entries.push_back(std::move(fresh));
        }
        by_name.emplace(std::move(name), entries.size() - 1);
    }
    for (const auto& [name, index] : lists.by_name) {
        forget_leftover(lists.entries[index]);
        remove_source(lists, lists.entries[index]);
        lists.steady.erase(name);
    }
    lists.entries = std::move(entries);
    lists.by_name = std::move(by_name);
    due_to_passes(lists);
    if (lists.steady.empty()) {
        steady_directories.erase(&lists);
    }
    if (listings.is_failing(lists.path)) {
        unlisted.insert(&lists);
    } else {
        unlisted.erase(&lists);
    }
    queue(lists);
}

void WatchedTree::add_source(ListDirectory& lists, const ListEntry& entry) {
    sources[entry.key].push_back({&lists, entry.name});
    touched.push_back(entry.key);
}

void WatchedTree::remove_source(ListDirectory& lists, const ListEntry& entry) {
    auto found = sources.find(entry.key);
    if (found == sources.end()) {
        return;
    }
    std::vector<Source>& entries = found->second;
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [&](const Source& source) {
                                     return source.directory == &lists && source.name == entry.name;
                                 }),
                  entries.end());
    if (entries.empty()) {
        sources.erase(found);
    }
    touched.push_back(entry.key);
}
