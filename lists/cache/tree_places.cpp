// The watched tree's directories: each resolved (its storage asked of the seam,
// watched where events can be trusted, its link target noted), listed, and its
// entries kept with the keys they give. A directory on network storage is left,
// with everything below it, to the passes over network storage.
#include "watched_tree.h"

#include <algorithm>

#include "address_folding.h"
#include "tree_names.h"

void WatchedTree::resolve_node(Node& node) {
    const bool was_network = node.network;
    if (leave_to_network(node)) {
        places_changed = places_changed || !was_network;
        return;
    }
    const kel::PathStatus own = file_system.status(node.path, false);
    node.linked = own.is_link();
    if (node.linked) {
        // Taken before the watch: a change in between shows at the next refresh.
        const kel::PathStatus target = file_system.status(node.path);
        node.target_found = target.found();
        node.target_type = target.type;
        node.target_device = target.device;
        node.target_inode = target.stamp.inode;
    }
    // The new watch is taken before the old one is released, so that a directory
    // watched again keeps its watch.
    const KernelEvents::Added added = watch_path(node.path);
    drop_watch(node);
    if (added.outcome == KernelEvents::Outcome::Watched) {
        node.watch = added.watch;
        owners[added.watch].push_back(&node);
    }
    node.trusted = added.outcome == KernelEvents::Outcome::Watched ||
                   added.outcome == KernelEvents::Outcome::Missing;
    // Without the passes over network storage it is listed at every refresh, as a
    // directory that cannot be watched.
    node.network = network != nullptr && added.outcome == KernelEvents::Outcome::NotLocal;
    if (node.network && !node.linked) {
        // A link is asked again each time: its own change raises no event below.
        network_paths[node.path] = true;
    }
    if (!node.network && (node.linked || !node.trusted)) {
        fragile.insert(&node);
    } else {
        fragile.erase(&node);
    }
    node.resolve = false;
    places_changed = places_changed || node.network != was_network;
}

// Whatever lies below a directory on network storage is left to the passes, and
// costs the message nothing, not even a status query. One known to lie there is
// not asked again, so that a build never waits for a network file system that
// hangs, as long as the mounts stay.
bool WatchedTree::leave_to_network(Node& node) {
    auto known = network_paths.find(node.path);
    if (network == nullptr ||
        !(below_network(node) || (known != network_paths.end() && known->second))) {
        return false;
    }
    drop_watch(node);
    node.linked = false;
    node.network = true;
    node.trusted = false;
    fragile.erase(&node);
    node.resolve = false;
    return true;
}

// Events are asked for only where every change passes through this kernel.
KernelEvents::Added WatchedTree::watch_path(const std::string& path) {
    if (options.taken_for_network && options.taken_for_network(path)) {
        return {KernelEvents::Outcome::NotLocal, -1};
    }
    switch (file_system.storage(path)) {
        case kel::Storage::Local:
            return events.add(path);
        case kel::Storage::Network:
            return {KernelEvents::Outcome::NotLocal, -1};
        case kel::Storage::Absent:
            return {KernelEvents::Outcome::Missing, -1};
        case kel::Storage::Unknown:
            break;
    }
    return {KernelEvents::Outcome::Failed, -1};
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

// A list directory now left to the passes: the tree lets go of its entries, whose
// keys leave the table unless the passes or another entry give them.
void WatchedTree::release_lists(ListDirectory& lists) {
    for (const ListEntry& entry : lists.entries) {
        remove_source(lists, entry);
    }
    lists.entries.clear();
    lists.by_name.clear();
    lists.changed.clear();
    lists.steady.clear();
    lists.all_changed = false;
    steady_directories.erase(&lists);
    forget_in_passes(lists);
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
    for (const std::string& name : file_system.list("Domains").names) {
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
    domain_order = std::move(order);
    place_visits();
    places_changed = true;
}

std::unique_ptr<WatchedTree::DomainEntry> WatchedTree::make_domain(const std::string& name) {
    auto entry = std::make_unique<DomainEntry>();
    entry->name = name;
    if (name == main_domain_name()) {
        // The walk reads the main domain's lists from "Accounts" here too.
        entry->lists = &accounts_lists;
        return entry;
    }
    const std::string path = "Domains/" + name;
    entry->directory = std::make_unique<Node>(Role::Domain, path, entry.get());
    entry->own_lists = std::make_unique<ListDirectory>(path + "/LISTS", name, entry.get());
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
    for (const ListEntry& list : lists.entries) {
        remove_source(lists, list);
    }
    for (Node* node : {entry.directory.get(), static_cast<Node*>(&lists)}) {
        drop_watch(*node);
        fragile.erase(node);
    }
    steady_directories.erase(&lists);
    forget_in_passes(lists);
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
    const bool stamp_watched = status_passes != nullptr && lists.trusted;
    const kel::FileStamp stamp =
        stamp_watched ? file_system.status(lists.path).stamp : kel::FileStamp{};
    std::vector<ListEntry> entries;
    std::unordered_map<std::string, size_t> by_name;
    for (const std::string& entry : file_system.list(lists.path).names) {
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
        remove_source(lists, lists.entries[index]);
        lists.steady.erase(name);
        if (lists.entries[index].stamp_watched) {
            status_passes->forget_list(lists.path, name);
        }
    }
    lists.entries = std::move(entries);
    lists.by_name = std::move(by_name);
    if (stamp_watched) {
        status_passes->watch_directory(lists.path, stamp);
        lists.stamp_watched = true;
    } else {
        forget_in_passes(lists);
    }
    if (lists.steady.empty()) {
        steady_directories.erase(&lists);
    }
    queue(lists);
}

void WatchedTree::add_source(ListDirectory& lists, const ListEntry& entry) {
    ++source_changes;
    sources[entry.key].push_back({&lists, entry.name});
    touched.push_back(entry.key);
}

void WatchedTree::remove_source(ListDirectory& lists, const ListEntry& entry) {
    auto found = sources.find(entry.key);
    if (found == sources.end()) {
        return;
    }
    ++source_changes;
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
