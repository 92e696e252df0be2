// The watched tree: the walk's directories ("." for "Accounts" and "Domains",
// "Accounts", "Accounts/LISTS", "Domains", every "Domains/<d>" and its "LISTS"),
// each with its kernel-event watch, the ".list" entries of every list directory in
// the order the system lists them, and for every table key the entries of the walk
// that give it. A refresh through it visits only what the kernel's events, the
// status passes or a rebuild name, in the walk's order, and leaves the list table and
// the log records as the walk would (watched_tree.cpp says why that is sound).
//
// Its pieces: watched_tree.cpp takes in events and decides what to look at again;
// tree_places.cpp watches and lists directories and keeps the entries; tree_visits.cpp
// makes the visits and hands what it saw to the status passes; tree_leftovers.cpp
// keeps what a first reading out of time left to the local reading. Serving thread
// only.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "file_system.h"
#include "kernel_events.h"
#include "list_cache.h"
#include "list_record.h"
#include "listing_memory.h"
#include "local_reading.h"
#include "network_hand_over.h"

// The structure as one build made it; a new build makes a new one.
class WatchedTree {
  public:
    // `table`: the cache's list table, which it keeps as the walk would.
    // `status_passes`: where the status passes learn what to watch; null without
    // them. `network`: what the passes over network storage gave.
    // `listings`: what is remembered of the directories listed, across builds. All
    // outlive the tree.
    // `reading`: the number of this tree's first reading, for the lists it leaves over.
    WatchedTree(kel::FileSystem& file_system, kel::KernelEvents& events, ListTable& table,
                LocalReading* status_passes, NetworkHandOver& network, ListingMemory& listings,
                const ListCacheOptions& options, CacheCounts& counts, uint64_t reading);
    ~WatchedTree();
    WatchedTree(const WatchedTree&) = delete;
    WatchedTree& operator=(const WatchedTree&) = delete;

    // Watches and lists everything; then visit(.., true) makes it a complete walk.
    // Where the base directory or "Domains" cannot be watched, every refresh looks
    // at everything again, as a walk.
    void build();
    // Takes in the events since the last refresh and what the status passes
    // reported. False when only a build can bring the tree up to date (lost events,
    // the top of the tree changed).
    bool update(const std::vector<LocalReading::Change>& reported);
    // Makes the visits due, in the walk's order. `keep_seen` leaves the records'
    // seen marks for the walk's sweep. Past `deadline` (when given), a list due is not
    // read but left over, to be read off the message's path, and its record set aside
    // until then: a first reading never holds a message for long.
    void visit(int32_t request_number, bool keep_seen,
               std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);
    // The lists the visits left over since the last call, in the walk's order.
    std::vector<LeftoverList> take_leftover_lists();
    uint64_t reading_number() const { return reading; }
    // Lists left over are not all read yet: their mail passes unchecked.
    bool reading_leftovers() const { return leftovers_pending != 0; }
    // Takes in readings of the lists left over by a first reading, in the walk's
    // order, writing their records with `request_number`. True when one of them
    // changed meanwhile: visit() is then due.
    bool take_leftovers(LeftoversRead& read, int32_t request_number);
    // The tree was built in this working directory: the base directory is still
    // the one it watches.
    bool still_at_base();
    // Whether an entry of the tree gives the key.
    bool gives(const std::string& key) const { return sources.count(key) != 0; }
    // Visits the entries that give the key at the next refresh.
    void revisit(const std::string& key);
    // The directories left to the passes over network storage, in the walk's order;
    // null when they did not change since the last call.
    std::optional<std::vector<NetworkPlace>> changed_places();

  private:
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
        // On network storage, or below such a directory: neither watched nor read
        // here, but left to the passes over network storage.
        bool network = false;
        // The path is a symbolic link. Its target can change where no watch of ours
        // sees it, so what the path leads to is compared at every refresh.
        bool linked = false;
        // What it led to. The type counts too: a file deleted and replaced by a
        // directory can get the same inode number, and only a directory is watched.
        bool target_found = false;
        mode_t target_type = 0;
        uint64_t target_device = 0;
        uint64_t target_inode = 0;
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
        // The stamp_digest of its two files as its last visit found them, when the
        // status passes watch it; zero when they do not (a digest is zero by a chance
        // of one in 2^64).
        uint64_t stamps = 0;
        // Left over by a first reading, not read yet; and named by a change meanwhile.
        bool leftover = false;
        bool recheck = false;
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
        // Its stamp before its last listing, for the status passes; none when its
        // events are not trusted.
        std::optional<uint64_t> own_stamp;
        bool passes_due = false;  // to be handed to the status passes
    };

    struct DomainEntry {
        std::string name;
        std::unique_ptr<Node> directory;  // "Domains/<name>"; null for the main domain
        std::unique_ptr<ListDirectory> own_lists;
        ListDirectory* lists = nullptr;  // own_lists, or the main domain's
        uint64_t listing = 0;            // the last "Domains" listing that had it
        bool removed = false;
    };

    // An entry visited at this refresh, for the status passes once its trust is known.
    struct Visited {
        ListDirectory* lists;
        size_t index;
        const ListRecord* record;
    };

    // watched_tree.cpp: events and what they make due.
    bool blind() const;
    void look_everywhere();
    void on_event(int watched, uint32_t mask, std::string_view name);
    void on_entry_event(Node& node, uint32_t mask, std::string_view name);
    void on_list_event(ListDirectory& lists, bool structural, std::string_view name);
    void mark_resolve(Node& node);
    void mark_relist(ListDirectory& lists);
    void queue(ListDirectory& lists);
    void apply_changes();
    void apply_pending_lists();

    // tree_places.cpp: the directories, their watches and their entries.
    void resolve_node(Node& node);
    kel::Storage storage_of(const Node& node);
    bool below_network(const Node& node) const;
    void release_lists(ListDirectory& lists);
    void drop_watch(Node& node);
    bool target_moved(const Node& node) const;
    void read_domains();
    void warm_up(const std::vector<std::string>& names);
    std::unique_ptr<DomainEntry> make_domain(const std::string& name);
    void retire(DomainEntry& entry);
    void place_visits();
    void read_lists(ListDirectory& lists);
    void add_source(ListDirectory& lists, const ListEntry& entry);
    void remove_source(ListDirectory& lists, const ListEntry& entry);

    // tree_visits.cpp: the visits in the walk's order, and the hand-over to the passes.
    std::vector<std::pair<size_t, ListDirectory*>> plan_visits();
    void due_entries(ListDirectory& lists, std::vector<size_t>& due) const;
    void visit_entries(int32_t request_number, bool keep_seen, ListDirectory& lists,
                       std::vector<Visited>& visited,
                       const std::optional<std::chrono::steady_clock::time_point>& deadline);
    // tree_leftovers.cpp: lists a first reading left over.
    void leave_over(ListDirectory& lists, ListEntry& entry);
    void forget_leftover(const ListEntry& entry);
    void take_leftover(LeftoverList& list, ListVisit& reading, int32_t request_number,
                       bool& visit_due);
    void settle_leftovers_left();
    void settle_trust();
    void drop_vanished();
    bool files_report_here(const std::string& directory, const std::string& name);
    bool reports_here(const std::string& path, bool may_be_missing);
    void settle_touched_keys();
    void note_steady(ListDirectory& lists, const ListEntry& entry);
    void hand_to_passes(ListDirectory& lists, ListEntry& entry, const ListRecord& record);
    void due_to_passes(ListDirectory& lists);
    void hand_due_to_passes();

    kel::FileSystem& file_system;
    kel::KernelEvents& events;
    ListTable& table;
    LocalReading* status_passes;
    NetworkHandOver& network;
    ListingMemory& listings;
    const ListCacheOptions& options;
    CacheCounts& counts;
    uint64_t base_device = 0;
    uint64_t base_inode = 0;

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
    std::vector<std::string> touched;                              // keys whose sources changed
    std::vector<std::string> vanished;                             // keys left with none
    std::unordered_set<ListDirectory*> steady_directories;
    // List directories whose last listing failed: listed again at every refresh.
    std::unordered_set<ListDirectory*> unlisted;

    bool rebuild = false;
    bool relist_domains = false;
    bool places_changed = true;
    std::vector<Node*> pending_domains;
    std::vector<ListDirectory*> pending_lists;
    std::vector<ListDirectory*> work;
    std::vector<ListDirectory*> passes_due;

    const uint64_t reading;
    std::vector<LeftoverList> leftovers_out;
    size_t leftovers_pending = 0;
    // The records of lists left over, set aside while they are read.
    std::unordered_map<std::string, ListRecord> aside;
};
