// The watched tree. It holds the walk's directories ("." for "Accounts" and
// "Domains", "Accounts", "Accounts/LISTS", "Domains", every "Domains/<d>" and its
// "LISTS"), each with its watch, the ".list" entries of every list directory in
// the order the system lists them, and for every table key the entries of the walk
// that give it.
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
// What raises no event here is caught by the status passes (stamp_watch.h): every
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
// (mount_watch.h) makes the next refresh a build, like lost events.
#include "list_tree.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "address_folding.h"
#include "background_thread.h"
#include "change_watch.h"
#include "files.h"
#include "list_directory.h"
#include "mount_watch.h"
#include "network_lists.h"
#include "stamp_watch.h"

namespace {

const std::string list_suffix = ".list";
const std::string settings_suffix = ".settings";

bool ends_with(std::string_view name, std::string_view suffix) {
    return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
}

enum class Role { Base, Accounts, Domains, Domain, Lists };

struct DomainEntry;

// One directory on the walk's paths, and its watch.
struct Node {
    Node(Role role, std::string path, DomainEntry* domain)
        : role(role), path(std::move(path)), domain(domain) {}
    virtual ~Node() = default;

    Role role;
    std::string path;
    DomainEntry* domain;  // the "Domains" entry it belongs to; null above them
    int watch = -1;
    // Every change of its entries raises an event; or it is not a directory, and
    // the directory above reports when that changes.
    bool trusted = false;
    // On network storage, or below such a directory: neither watched nor read here,
    // but left to the passes over network storage.
    bool network = false;
    // The path is a symbolic link. Its target can change where no watch of ours
    // sees it, so what the path leads to is compared at every refresh.
    bool linked = false;
    // What it led to. The type counts too: a file deleted and replaced by a
    // directory can get the same inode number, and only a directory is watched.
    bool target_found = false;
    mode_t target_type = 0;
    dev_t target_device = 0;
    ino_t target_inode = 0;
    // To be watched and read again at this refresh.
    bool resolve = false;
};

struct ListEntry {
    std::string name;  // the entry's name without ".list"
    std::string key;   // the folded list address
    // Its files can change without an event here (a link, hard links, not a file).
    bool untrusted = false;
    // Another entry of the walk gives the same key.
    bool shared = false;
    // A file of its list could not be read at the last visit: it is tried again
    // after a while without any event, so every visit must look.
    bool unreadable = false;
    // Handed to the status passes.
    bool stamp_watched = false;
};

struct ListDirectory : Node {
    ListDirectory(std::string path, std::string domain_name, DomainEntry* domain)
        : Node(Role::Lists, std::move(path), domain), domain_name(std::move(domain_name)) {}

    std::string domain_name;         // the domain as the walk passes it
    std::vector<ListEntry> entries;  // in the order the system lists them
    std::unordered_map<std::string, size_t> by_name;
    // Places in the walk: 0 for the main domain, 1 + i for the i-th "Domains" entry.
    std::vector<size_t> positions;
    std::unordered_set<std::string> changed;  // entries to visit at this refresh
    std::unordered_set<std::string> steady;   // entries to visit at every refresh
    bool all_changed = false;
    bool relist = false;
    bool pending = false;  // waiting to be watched or listed again
    bool queued = false;   // has visits to make at this refresh
    // The status passes know the directory or some of its lists.
    bool stamp_watched = false;
};

struct DomainEntry {
    std::string name;
    std::unique_ptr<Node> directory;  // "Domains/<name>"; null for the main domain
    std::unique_ptr<ListDirectory> own_lists;
    ListDirectory* lists = nullptr;  // own_lists, or the main domain's
    uint64_t listing = 0;            // the last "Domains" listing that had it
    bool removed = false;
};

// A file whose changes raise events in its directory: a regular file with no
// other name and no file system mounted on it (whose changes would be told where
// its source lies). A settings file may also be absent.
bool reports_here(const std::string& path, bool may_be_missing) {
    struct statx status;
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_NLINK, &status) !=
        0) {
        return may_be_missing && errno == ENOENT;
    }
    const bool mounted =
        (status.stx_attributes_mask & status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return S_ISREG(status.stx_mode) && status.stx_nlink == 1 && !mounted;
}

bool files_report_here(const std::string& directory, const std::string& name) {
    const std::string stem = directory + "/" + name;
    return reports_here(stem + list_suffix, false) && reports_here(stem + settings_suffix, true);
}

// The structure as one build made it; a new build makes a new one.
class WatchedTree {
  public:
    // `stamps`: where the status passes learn what to watch; null without passes.
    // `network`: what the passes over network storage gave; null without them.
    // `network_paths`: directories known to lie on network storage (true), kept
    // across builds until the mounts change.
    WatchedTree(ChangeWatch& watch, StampWatch* stamps, NetworkLists* network,
                std::unordered_map<std::string, bool>& network_paths,
                const ListTreeOptions& options, ListTree::Counts& counts)
        : watch(watch),
          stamps(stamps),
          network(network),
          network_paths(network_paths),
          options(options),
          counts(counts) {
        lists_by_path[accounts_lists.path] = &accounts_lists;
    }
    ~WatchedTree();
    WatchedTree(const WatchedTree&) = delete;
    WatchedTree& operator=(const WatchedTree&) = delete;

    // Watches and lists everything; then visit(.., true) makes it a complete walk.
    // False when the base directory or "Domains" cannot be watched.
    bool build();
    // Takes in the events since the last refresh and what the status passes
    // reported. False when only a build can bring the tree up to date (lost events,
    // the top of the tree changed).
    bool update(const std::vector<StampWatch::Change>& reported);
    // Makes the visits due, in the walk's order. `keep_seen` leaves the records'
    // seen marks for the walk's sweep.
    void visit(int32_t request_number, bool keep_seen);
    // The tree was built in this working directory and the table holds its keys,
    // those the passes over network storage gave, and no others (a tool or a test
    // may have emptied it).
    bool still_describes_table();
    // Whether an entry of the tree gives the key.
    bool gives(const std::string& key) const { return sources.count(key) != 0; }
    // Visits the entries that give the key at the next refresh.
    void revisit(const std::string& key);
    // The directories left to the passes over network storage, in the walk's order;
    // null when they did not change since the last call.
    std::optional<std::vector<NetworkPlace>> changed_places();

  private:
    void on_event(int watched, uint32_t mask, std::string_view name);
    void on_entry_event(Node& node, uint32_t mask, std::string_view name);
    void mark_resolve(Node& node);
    void mark_relist(ListDirectory& lists);
    void queue(ListDirectory& lists);
    void apply_changes();

    void resolve_node(Node& node);
    bool below_network(const Node& node) const;
    void release_lists(ListDirectory& lists);
    void drop_watch(Node& node);
    bool target_moved(const Node& node) const;
    void read_domains();
    std::unique_ptr<DomainEntry> make_domain(const std::string& name);
    void retire(DomainEntry& entry);
    void place_visits();
    void read_lists(ListDirectory& lists);
    void add_source(ListDirectory& lists, const ListEntry& entry);
    void remove_source(ListDirectory& lists, const ListEntry& entry);
    void settle_touched_keys();
    void note_steady(ListDirectory& lists, const ListEntry& entry);
    void hand_to_passes(ListDirectory& lists, ListEntry& entry, const ListRecord& record);
    void forget_in_passes(ListDirectory& lists);

    ChangeWatch& watch;
    StampWatch* stamps;
    NetworkLists* network;
    std::unordered_map<std::string, bool>& network_paths;
    const ListTreeOptions& options;
    ListTree::Counts& counts;
    dev_t base_device = 0;
    ino_t base_inode = 0;

    Node base{Role::Base, ".", nullptr};
    Node accounts{Role::Accounts, "Accounts", nullptr};
    ListDirectory accounts_lists{"Accounts/LISTS", main_domain_name(), nullptr};
    Node domains{Role::Domains, "Domains", nullptr};
    std::unordered_map<std::string, std::unique_ptr<DomainEntry>> domain_table;
    // Every list directory by its path, for what the status passes report.
    std::unordered_map<std::string, ListDirectory*> lists_by_path;
    std::vector<DomainEntry*> domain_order;  // as "Domains" lists them
    uint64_t domain_listings = 0;
    // Entries gone from "Domains" in this refresh, kept until its end so that
    // nothing pending points to freed memory.
    std::vector<std::unique_ptr<DomainEntry>> retired;

    std::unordered_map<int, std::vector<Node*>> owners;  // watch to the nodes it serves
    std::unordered_set<Node*> fragile;                   // looked at every refresh
    struct Source {
        ListDirectory* directory;
        std::string name;
    };
    std::unordered_map<std::string, std::vector<Source>> sources;  // key to its entries
    uint64_t source_changes = 0;
    // How many keys the passes over network storage put in the table that no entry
    // of the tree gives, and when that was counted.
    size_t network_only = 0;
    uint64_t counted_sources = 0, counted_network = 0;
    bool counted = false;
    std::vector<std::string> touched;   // keys whose sources changed
    std::vector<std::string> vanished;  // keys left with none
    std::unordered_set<ListDirectory*> steady_directories;

    bool rebuild = false;
    bool relist_domains = false;
    bool places_changed = true;
    std::vector<Node*> pending_domains;
    std::vector<ListDirectory*> pending_lists;
    std::vector<ListDirectory*> work;
};

}  // namespace

WatchedTree::~WatchedTree() {
    for (auto& [name, entry] : domain_table) {
        if (entry->directory) {
            drop_watch(*entry->directory);
            drop_watch(*entry->own_lists);
        }
    }
    drop_watch(base);
    drop_watch(accounts);
    drop_watch(accounts_lists);
    drop_watch(domains);
}

bool WatchedTree::build() {
    struct stat status;
    if (stat(".", &status) != 0) {
        return false;
    }
    base_device = status.st_dev;
    base_inode = status.st_ino;
    resolve_node(base);
    if (base.watch < 0) {
        return false;
    }
    resolve_node(domains);
    if (!domains.trusted && !domains.network) {
        return false;
    }
    accounts.resolve = true;
    relist_domains = true;
    apply_changes();
    return true;
}

bool WatchedTree::still_describes_table() {
    struct stat status;
    if (stat(".", &status) != 0 || status.st_dev != base_device || status.st_ino != base_inode) {
        return false;
    }
    if (network == nullptr || network->in_table().empty()) {
        return list_table.size() == sources.size();
    }
    // Counted again only when either side changed.
    if (!counted || counted_sources != source_changes || counted_network != network->generation()) {
        network_only = 0;
        for (const std::string& key : network->in_table()) {
            network_only += sources.count(key) == 0 ? 1 : 0;
        }
        counted = true;
        counted_sources = source_changes;
        counted_network = network->generation();
    }
    return list_table.size() == sources.size() + network_only;
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

bool WatchedTree::update(const std::vector<StampWatch::Change>& reported) {
    bool complete = watch.drain([this](int watched, uint32_t mask, std::string_view name) {
        on_event(watched, mask, name);
    });
    if (!complete || rebuild) {
        return false;
    }
    for (const StampWatch::Change& change : reported) {
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
    for (Node* node : fragile) {
        if (!node->trusted || (node->linked && target_moved(*node))) {
            mark_resolve(*node);
        }
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
    if (!network_paths.empty() && node.role != Role::Lists) {
        // The entry changed here: whether it leads to network storage is asked again.
        network_paths.erase(node.path == "." ? std::string(name)
                                             : node.path + "/" + std::string(name));
    }
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
        case Role::Lists: {
            auto& lists = static_cast<ListDirectory&>(node);
            if (structural) {
                mark_relist(lists);
            }
            if (ends_with(name, list_suffix)) {
                lists.changed.emplace(name.substr(0, name.size() - list_suffix.size()));
                queue(lists);
            } else if (ends_with(name, settings_suffix)) {
                lists.changed.emplace(name.substr(0, name.size() - settings_suffix.size()));
                queue(lists);
            }
            break;
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
        case Role::Lists: {
            auto& lists = static_cast<ListDirectory&>(node);
            lists.resolve = true;
            if (!lists.pending) {
                lists.pending = true;
                pending_lists.push_back(&lists);
            }
            break;
        }
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
    settle_touched_keys();
}

void WatchedTree::resolve_node(Node& node) {
    const bool was_network = node.network;
    // Whatever lies below a directory on network storage is left to the passes, and
    // costs the message nothing, not even a status query. One known to lie there is
    // not asked again, so that a build never waits for a network file system that
    // hangs, as long as the mounts stay.
    auto known = network_paths.find(node.path);
    if (network != nullptr &&
        (below_network(node) || (known != network_paths.end() && known->second))) {
        drop_watch(node);
        node.linked = false;
        node.network = true;
        node.trusted = false;
        fragile.erase(&node);
        node.resolve = false;
        places_changed = places_changed || !was_network;
        return;
    }
    struct stat status;
    node.linked = lstat(node.path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
    if (node.linked) {
        // Taken before the watch: a change in between shows at the next refresh.
        node.target_found = stat(node.path.c_str(), &status) == 0;
        node.target_type = node.target_found ? status.st_mode & S_IFMT : 0;
        node.target_device = node.target_found ? status.st_dev : 0;
        node.target_inode = node.target_found ? status.st_ino : 0;
    }
    // The new watch is taken before the old one is released, so that a directory
    // watched again keeps its watch.
    ChangeWatch::Added added = options.taken_for_network && options.taken_for_network(node.path)
                                   ? ChangeWatch::Added{ChangeWatch::Outcome::NotLocal, -1}
                                   : watch.add(node.path);
    drop_watch(node);
    if (added.outcome == ChangeWatch::Outcome::Watched) {
        node.watch = added.watch;
        owners[added.watch].push_back(&node);
    }
    node.trusted = added.outcome == ChangeWatch::Outcome::Watched ||
                   added.outcome == ChangeWatch::Outcome::Missing;
    // Without the passes over network storage it is listed at every refresh, as a
    // directory that cannot be watched.
    node.network = network != nullptr && added.outcome == ChangeWatch::Outcome::NotLocal;
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
    watch.release(node.watch);
    node.watch = -1;
}

bool WatchedTree::target_moved(const Node& node) const {
    struct stat status;
    const bool found = stat(node.path.c_str(), &status) == 0;
    return found != node.target_found ||
           (found && ((status.st_mode & S_IFMT) != node.target_type ||
                      status.st_dev != node.target_device || status.st_ino != node.target_inode));
}

void WatchedTree::read_domains() {
    ++counts.directories_listed;
    const uint64_t listing = ++domain_listings;
    std::vector<DomainEntry*> order;
    kel::Directory reader("Domains");
    while (reader.next()) {
        const std::string name = reader.name();
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

std::unique_ptr<DomainEntry> WatchedTree::make_domain(const std::string& name) {
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
    const bool stamp_watched = stamps != nullptr && lists.trusted;
    const kel::FileStamp stamp = stamp_watched ? kel::file_stamp(lists.path) : kel::FileStamp{};
    std::vector<ListEntry> entries;
    std::unordered_map<std::string, size_t> by_name;
    kel::Directory reader(lists.path);
    while (reader.next()) {
        const std::string entry = reader.name();
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
            stamps->forget_list(lists.path, name);
        }
    }
    lists.entries = std::move(entries);
    lists.by_name = std::move(by_name);
    if (stamp_watched) {
        stamps->watch_directory(lists.path, stamp);
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
// is not.
void WatchedTree::hand_to_passes(ListDirectory& lists, ListEntry& entry, const ListRecord& record) {
    if (stamps == nullptr) {
        return;
    }
    if (lists.trusted && !entry.untrusted && !entry.shared && !entry.unreadable) {
        stamps->watch_list(lists.path, entry.name, record.subscribers_stamp, record.settings_stamp);
        entry.stamp_watched = true;
        lists.stamp_watched = true;
    } else if (entry.stamp_watched) {
        stamps->forget_list(lists.path, entry.name);
        entry.stamp_watched = false;
    }
}

void WatchedTree::forget_in_passes(ListDirectory& lists) {
    if (!lists.stamp_watched) {
        return;
    }
    stamps->forget_directory(lists.path);
    lists.stamp_watched = false;
    for (ListEntry& entry : lists.entries) {
        entry.stamp_watched = false;
    }
}

void WatchedTree::visit(int32_t request_number, bool keep_seen) {
    for (ListDirectory* lists : steady_directories) {
        queue(*lists);
    }
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
    std::vector<size_t> due;
    // The entries visited, for the passes once their trust is known.
    struct Visited {
        ListDirectory* lists;
        size_t index;
        const ListRecord* record;
    };
    std::vector<Visited> visited;
    for (const auto& [position, lists] : plan) {
        due.clear();
        if (lists->all_changed || !lists->trusted) {
            for (size_t i = 0; i < lists->entries.size(); ++i) {
                due.push_back(i);
            }
        } else {
            for (const auto* names : {&lists->changed, &lists->steady}) {
                for (const std::string& name : *names) {
                    auto found = lists->by_name.find(name);
                    if (found != lists->by_name.end()) {
                        due.push_back(found->second);
                    }
                }
            }
            std::sort(due.begin(), due.end());
            due.erase(std::unique(due.begin(), due.end()), due.end());
        }
        for (size_t index : due) {
            ++counts.lists_examined;
            ListEntry& entry = lists->entries[index];
            ListRecord& record =
                visit_list(request_number, lists->path, lists->domain_name, entry.name);
            if (!keep_seen) {
                record.seen = false;
            }
            if (stamps != nullptr) {
                visited.push_back({lists, index, &record});
            }
            const bool unreadable =
                !record.settings_reading.readable || !record.subscribers_reading.readable;
            if (unreadable != entry.unreadable) {
                entry.unreadable = unreadable;
                note_steady(*lists, entry);
            }
        }
    }
    // What the entries visited for a change are now: files whose changes this
    // directory's watch reports, or not.
    for (ListDirectory* lists : work) {
        lists->queued = false;
        if (lists->domain != nullptr && lists->domain->removed) {
            continue;
        }
        if (lists->trusted) {
            for (ListEntry& entry : lists->entries) {
                if (lists->all_changed || lists->changed.count(entry.name) != 0) {
                    entry.untrusted = !files_report_here(lists->path, entry.name);
                    note_steady(*lists, entry);
                }
            }
        }
        lists->changed.clear();
        lists->all_changed = false;
    }
    work.clear();
    // Records stay where they are until the end of the refresh: only the lines
    // below and the build's sweep erase them, and neither erases a visited one.
    for (const Visited& entry : visited) {
        hand_to_passes(*entry.lists, entry.lists->entries[entry.index], *entry.record);
    }
    for (const std::string& key : vanished) {
        if (sources.count(key) != 0) {
            continue;
        }
        auto found = list_table.find(key);
        if (found != list_table.end() &&
            !(network != nullptr && network->keeps(key, found->second))) {
            list_table.erase(found);
        }
    }
    vanished.clear();
    retired.clear();
}

struct ListTree::State {
    explicit State(const ListTreeOptions& given) : options(given), watch(given.watch_budget) {
        using Passes = ListTreeOptions::Passes;
        std::vector<std::shared_ptr<BackgroundJob>> jobs;
        if (options.stamp_passes != Passes::Off) {
            stamps = std::make_shared<StampWatch>();
            if (options.stamp_passes == Passes::Background) {
                jobs.push_back(stamps);
            }
        }
        if (options.network_passes != Passes::Off) {
            network = std::make_unique<NetworkLists>(main_domain_name(), options.network_limit);
            if (options.network_passes == Passes::Background) {
                network_job = jobs.size();
                jobs.push_back(network->reading());
            }
        }
        if (!jobs.empty()) {
            thread = std::make_unique<BackgroundThread>(std::move(jobs));
        }
    }
    // Takes what the passes found into `reported`, for the next update, and hands
    // them what the tree did since the last exchange.
    void exchange() {
        if (stamps) {
            std::vector<StampWatch::Change> found = stamps->exchange();
            reported.insert(reported.end(), std::make_move_iterator(found.begin()),
                            std::make_move_iterator(found.end()));
        }
    }
    // Tells the passes over network storage where to read; they start on places they
    // did not have once the next exchange has handed them over (take_network): woken
    // before it, a pass would find nothing to read and sleep for an hour.
    void hand_places(std::optional<std::vector<NetworkPlace>> places) {
        if (network && places && network->set_places(std::move(*places))) {
            wake_network = true;
        }
    }
    // The end of every refresh: what the passes over network storage finished.
    void take_network(int32_t request_number, const NetworkLists::LocalGives& local) {
        if (!network) {
            return;
        }
        std::vector<std::string> revisit;
        network->refresh(request_number, std::chrono::steady_clock::now(), local, revisit);
        counts.network_passes = network->passes_applied();
        if (wake_network && thread && network_job) {
            thread->run_soon(*network_job);
        }
        wake_network = false;
        if (tree) {
            for (const std::string& key : revisit) {
                tree->revisit(key);
            }
        }
    }
    // Whether a directory lies on network storage, for the walk; decided once until
    // the mounts change.
    bool on_network(const std::string& path) {
        if (!network) {
            return false;
        }
        auto [found, fresh] = network_directories.try_emplace(path, false);
        if (fresh) {
            struct statfs file_system;
            found->second = (options.taken_for_network && options.taken_for_network(path)) ||
                            (statfs(path.c_str(), &file_system) == 0 &&
                             !has_local_change_events(static_cast<int64_t>(file_system.f_type)));
        }
        return found->second;
    }
    // The walk, when no tree can be built, without what lies on network storage:
    // that is left to the passes. Leaves the sweep to the caller.
    void walk_leaving_network(int32_t request_number) {
        std::vector<NetworkPlace> places;
        const std::string& main_domain = main_domain_name();
        const bool accounts_away = on_network("Accounts/LISTS");
        if (accounts_away) {
            places.push_back({false, "Accounts/LISTS", main_domain});
        } else {
            scan_domain_lists(request_number, main_domain);
        }
        if (on_network("Domains")) {
            places.push_back({true, "Domains", {}});
        } else {
            kel::Directory domains("Domains");
            while (domains.next()) {
                const std::string domain = domains.name();
                const std::string directory = "Domains/" + domain;
                if (domain == main_domain) {
                    if (!accounts_away) {
                        scan_domain_lists(request_number, domain);
                    }
                } else if (on_network(directory) || on_network(directory + "/LISTS")) {
                    places.push_back({false, directory + "/LISTS", domain});
                } else {
                    scan_domain_lists(request_number, domain);
                }
            }
        }
        hand_places(std::move(places));
    }
    // A record the local side no longer gives stays while the passes give its key.
    KeepList kept_for_network() {
        if (!network) {
            return nullptr;
        }
        return [this](const std::string& key, ListRecord& record) {
            return network->keeps(key, record);
        };
    }

    const ListTreeOptions options;
    ChangeWatch watch;
    MountWatch mounts;
    Counts counts;
    std::shared_ptr<StampWatch> stamps;
    std::unique_ptr<NetworkLists> network;
    std::optional<size_t> network_job;  // its place among the thread's jobs
    bool wake_network = false;          // places handed that the passes did not have
    // After the jobs, so that it stops before they go.
    std::unique_ptr<BackgroundThread> thread;
    // After `network`, which it points to.
    std::unique_ptr<WatchedTree> tree;
    std::vector<StampWatch::Change> reported;
    std::unordered_map<std::string, bool> network_directories;
};

ListTree::ListTree(const ListTreeOptions& options) : state(std::make_unique<State>(options)) {}

ListTree::~ListTree() = default;

const ListTree::Counts& ListTree::counts() const {
    return state->counts;
}

void ListTree::run_stamp_pass() {
    if (state->stamps && state->options.stamp_passes == ListTreeOptions::Passes::OnDemand) {
        state->stamps->run_pass();
    }
}

void ListTree::run_network_pass() {
    if (state->network && state->options.network_passes == ListTreeOptions::Passes::OnDemand) {
        state->network->reading()->run_pass();
    }
}

void ListTree::refresh(int32_t request_number) {
    State& s = *state;
    if (s.thread) {
        s.thread->message_arrived();
    }
    s.exchange();
    const bool mounts_moved = s.mounts.moved();
    if (mounts_moved) {
        s.network_directories.clear();
    }
    const auto local_entry = [&s](const std::string& key) { return s.tree->gives(key); };
    if (s.tree && !mounts_moved && s.tree->still_describes_table() && s.tree->update(s.reported)) {
        s.reported.clear();
        s.tree->visit(request_number, false);
        s.exchange();
        s.hand_places(s.tree->changed_places());
        s.take_network(request_number, local_entry);
        return;
    }
    // A complete walk: the first refresh, or one after lost events, a change at the
    // top of the tree or of the mounts that concern it, or a working directory that
    // is not the one watched. The new tree takes its watches before the old one lets
    // go of them. Events still queued, and what the passes found, are old news: the
    // build reads everything after setting its watches, and tells the passes anew.
    s.counts.mount_builds += mounts_moved && s.tree ? 1 : 0;
    s.reported.clear();
    if (s.stamps) {
        s.stamps->forget_all();
    }
    if (s.network) {
        s.network->find_lost_records();
    }
    s.watch.drain([](int, uint32_t, std::string_view) {});
    s.mounts.take_reading();
    auto fresh = std::make_unique<WatchedTree>(s.watch, s.stamps.get(), s.network.get(),
                                               s.network_directories, s.options, s.counts);
    if (s.watch.ready() && fresh->build()) {
        s.tree = std::move(fresh);
        ++s.counts.builds;
        s.tree->visit(request_number, true);
        sweep_unseen_lists(s.kept_for_network());
        s.exchange();
        s.hand_places(s.tree->changed_places());
        s.take_network(request_number, local_entry);
        return;
    }
    fresh.reset();
    s.tree.reset();
    ++s.counts.walks;
    s.walk_leaving_network(request_number);
    // Before the sweep, while the walk's marks tell what it met.
    s.take_network(request_number, [](const std::string& key) {
        auto found = list_table.find(key);
        return found != list_table.end() && found->second.seen;
    });
    sweep_unseen_lists(s.kept_for_network());
    s.exchange();
}
