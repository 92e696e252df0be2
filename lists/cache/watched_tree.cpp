// The watched tree takes in events and decides what to look at again.
//
// Why skipping is sound: a list visit changes nothing and writes nothing when the
// record's stamps equal the files' stamps, and they do when the record was last
// set by this same entry and no event has named its files since. So a refresh
// visits an entry only when an event named it, when it is new, when the directory
// was listed or watched afresh, when its key gained or lost another entry, or
// always when its key is shared with another entry (each visit then reads over the
// other's), its files raise no events here, or one of them could not be read (the
// visit then decides by stamp and by the time since the last try, as the walk's).
//
// What raises no event here is caught by the status passes (local_reading.h): every
// entry that is not visited at every refresh, in a directory whose watch is
// trusted, is handed to them with the stamps its record holds after its visit, and
// every trusted list directory with its stamp taken before it was listed; what
// they report is visited, or watched and listed again, at the next refresh. The
// hand-over goes both ways at the start of a refresh (what the passes found is
// visited now) and at its end (what this refresh saw is watched from now on).
// Among such changes: a hard link to a list file made in another directory changes
// the file's link count and change time, and the kernel tells only watches of the
// file itself; the visit that a pass brings about finds the second name, and the
// file is looked at every time from then on.
//
// The visits are made in the walk's order: by place in the walk (the main domain
// first, then the "Domains" entries as listed; the main domain again where it is
// listed there too), then by place in the directory's listing. A directory is
// listed again after any entry was created, deleted or renamed in it, since that
// may change the order the system lists it in. A mount that concerns the tree
// (mount_changes.h) makes the next refresh a build, like lost events.
#include "watched_tree.h"

#include <sys/inotify.h>

#include <algorithm>

#include "list_names.h"

WatchedTree::WatchedTree(kel::FileSystem& file_system, kel::KernelEvents& events, ListTable& table,
                         LocalReading* status_passes, NetworkHandOver& network,
                         ListingMemory& listings, const ListCacheOptions& options,
                         CacheCounts& counts, uint64_t reading)
    : file_system(file_system),
      events(events),
      table(table),
      status_passes(status_passes),
      network(network),
      listings(listings),
      options(options),
      counts(counts),
      reading(reading) {
    lists_by_path[accounts_lists.path] = &accounts_lists;
}

// Every watch held is in `owners`, once for each node that took it.
WatchedTree::~WatchedTree() {
    for (const auto& [watch, nodes] : owners) {
        for (size_t taken = 0; taken < nodes.size(); ++taken) {
            events.release(watch);
        }
    }
}

void WatchedTree::build() {
    // A base directory that cannot be looked at is never the one built: every
    // refresh builds again, and reads everything, as the walk does.
    const kel::PathStatus status = file_system.status(".");
    base_device = status.device;
    base_inode = status.stamp.inode;
    resolve_node(base);
    resolve_node(domains);
    accounts.resolve = true;
    relist_domains = true;
    apply_changes();
}

// The top of the tree unwatched (no event queue, no watch to spare) tells nothing
// of what happens below it: a directory may be replaced there without any event. So
// at every refresh every directory is looked at again: one with a watch or a link,
// which may no longer be where its path leads, is resolved anew; a list directory
// with neither is listed again by its path, and every list in it visited.
bool WatchedTree::blind() const {
    return (!base.trusted && !base.network) || (!domains.trusted && !domains.network);
}

void WatchedTree::look_everywhere() {
    const bool base_away = base.network, domains_away = domains.network;
    resolve_node(base);
    resolve_node(domains);
    // What lies below a top that moved to or from network storage is built anew.
    rebuild = rebuild || base.network != base_away || domains.network != domains_away;
    accounts.resolve = true;
    relist_domains = true;
    for (auto& [name, entry] : domain_table) {
        if (!entry->directory) {
            continue;
        }
        const Node& directory = *entry->directory;
        ListDirectory& lists = *entry->own_lists;
        if (directory.trusted || directory.linked || lists.trusted || lists.linked) {
            mark_resolve(*entry->directory);
        } else {
            mark_relist(lists);
        }
    }
}

bool WatchedTree::still_at_base() {
    const kel::PathStatus status = file_system.status(".");
    return status.found() && status.device == base_device && status.stamp.inode == base_inode;
}

void WatchedTree::revisit(const std::string& key) {
    auto found = sources.find(key);
    if (found == sources.end()) {
        return;
    }
    for (const Source& source : found->second) {
        source.directory->changed.insert(source.name);
        queue(*source.directory);
    }
}

std::optional<std::vector<NetworkPlace>> WatchedTree::changed_places() {
    if (!places_changed) {
        return std::nullopt;
    }
    places_changed = false;
    std::vector<NetworkPlace> places;
    if (accounts_lists.network) {
        places.push_back({false, accounts_lists.path, accounts_lists.domain_name});
    }
    if (domains.network) {
        places.push_back({true, domains.path, {}});
        return places;
    }
    for (const DomainEntry* entry : domain_order) {
        // The main domain's entry leads to "Accounts/LISTS", placed above.
        if (entry->lists != &accounts_lists && entry->lists->network) {
            places.push_back({false, entry->lists->path, entry->lists->domain_name});
        }
    }
    return places;
}

bool WatchedTree::update(const std::vector<LocalReading::Change>& reported) {
    bool complete = events.drain([this](int watched, uint32_t mask, std::string_view name) {
        on_event(watched, mask, name);
    });
    if (!complete || rebuild) {
        return false;
    }
    for (const LocalReading::Change& change : reported) {
        auto found = lists_by_path.find(change.directory);
        if (found == lists_by_path.end()) {
            continue;
        }
        ++counts.stamp_changes;
        ListDirectory& lists = *found->second;
        if (change.name.empty()) {
            // What the path leads to changed without an event: watch it again.
            mark_resolve(lists);
        } else {
            lists.changed.insert(change.name);
            queue(lists);
        }
    }
    if (blind()) {
        look_everywhere();
    } else {
        for (Node* node : fragile) {
            if (!node->trusted || (node->linked && target_moved(*node))) {
                mark_resolve(*node);
            }
        }
    }
    // A directory that could not be listed is tried at every refresh, as the walk
    // tries it.
    relist_domains = relist_domains || listings.is_failing(domains.path);
    for (ListDirectory* lists : unlisted) {
        mark_relist(*lists);
    }
    if (rebuild) {
        return false;
    }
    apply_changes();
    return true;
}

void WatchedTree::on_event(int watched, uint32_t mask, std::string_view name) {
    auto found = owners.find(watched);
    if (found == owners.end()) {
        return;
    }
    const std::vector<Node*> nodes = found->second;
    if (mask & IN_IGNORED) {
        // The kernel ended the watch: the directory was deleted or unmounted.
        owners.erase(found);
    }
    for (Node* node : nodes) {
        if (mask & IN_IGNORED) {
            node->watch = -1;
            mark_resolve(*node);
        } else if (name.empty()) {
            // The directory itself was moved, deleted, or its mode or time changed.
            mark_resolve(*node);
        } else {
            on_entry_event(*node, mask, name);
        }
    }
}

void WatchedTree::on_entry_event(Node& node, uint32_t mask, std::string_view name) {
    const bool structural = mask & (IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO);
    switch (node.role) {
        case Role::Base:
            if (name == "Accounts") {
                mark_resolve(accounts);
            } else if (name == "Domains") {
                rebuild = true;
            }
            break;
        case Role::Accounts:
            if (name == "LISTS") {
                mark_resolve(accounts_lists);
            }
            break;
        case Role::Domains: {
            if (structural) {
                relist_domains = true;
            }
            auto entry = domain_table.find(std::string(name));
            if (entry == domain_table.end()) {
                relist_domains = relist_domains || name[0] != '.';
            } else if (entry->second->directory) {
                mark_resolve(*entry->second->directory);
            }
            break;
        }
        case Role::Domain:
            if (name == "LISTS") {
                mark_resolve(*node.domain->own_lists);
            }
            break;
        case Role::Lists:
            on_list_event(static_cast<ListDirectory&>(node), structural, name);
            break;
    }
}

void WatchedTree::on_list_event(ListDirectory& lists, bool structural, std::string_view name) {
    if (structural) {
        mark_relist(lists);
    }
    for (std::string_view suffix : {list_suffix, settings_suffix}) {
        if (ends_with(name, suffix)) {
            lists.changed.emplace(name.substr(0, name.size() - suffix.size()));
            queue(lists);
            return;
        }
    }
}

void WatchedTree::mark_resolve(Node& node) {
    switch (node.role) {
        case Role::Base:
        case Role::Domains:
            rebuild = true;
            break;
        case Role::Accounts:
            node.resolve = true;
            break;
        case Role::Domain:
            if (!node.resolve) {
                node.resolve = true;
                pending_domains.push_back(&node);
            }
            break;
        case Role::Lists:
            // Watched and listed again: relisting is part of it.
            node.resolve = true;
            mark_relist(static_cast<ListDirectory&>(node));
            break;
    }
}

void WatchedTree::mark_relist(ListDirectory& lists) {
    lists.relist = true;
    if (!lists.pending) {
        lists.pending = true;
        pending_lists.push_back(&lists);
    }
}

void WatchedTree::queue(ListDirectory& lists) {
    if (!lists.queued) {
        lists.queued = true;
        work.push_back(&lists);
    }
}

// Top down: a directory watched again has its list directory watched and listed
// again, and every list in it visited.
void WatchedTree::apply_changes() {
    if (accounts.resolve) {
        resolve_node(accounts);
        mark_resolve(accounts_lists);
    }
    if (relist_domains) {
        relist_domains = false;
        if (domains.network) {
            // The passes read the "Domains" entries; the main domain is visited here,
            // once, from "Accounts".
            domain_order.clear();
            place_visits();
            places_changed = true;
        } else {
            read_domains();
        }
    }
    for (Node* node : pending_domains) {
        if (!node->domain->removed) {
            resolve_node(*node);
            mark_resolve(*node->domain->own_lists);
        }
    }
    pending_domains.clear();
    apply_pending_lists();
    settle_touched_keys();
}

void WatchedTree::apply_pending_lists() {
    for (ListDirectory* lists : pending_lists) {
        lists->pending = false;
        if (lists->domain != nullptr && lists->domain->removed) {
            continue;
        }
        if (lists->resolve) {
            resolve_node(*lists);
            lists->all_changed = true;
            if (lists->network) {
                release_lists(*lists);
            } else {
                read_lists(*lists);
            }
        } else if (lists->relist && !lists->network) {
            read_lists(*lists);
        }
        lists->relist = false;
    }
    pending_lists.clear();
}
