// Each refresh goes one of three ways. Through the watched tree, when it still
// describes the table and its events are complete: only what changed is visited.
// A build, the first time and after lost events, a change at the top of the tree or
// of the mounts that concern it, or a working directory that is not the one watched:
// a new tree takes its watches before the old one lets go of them, and reads
// everything (events still queued, and what the passes found, are old news). A walk,
// when no tree can be built (no event queue, the base directory or "Domains" cannot
// be watched). Every way leaves what lies on network storage to the network reading,
// and ends by applying what its passes finished, after the local records.
//
// Threads. The serving thread alone touches the list table, the ListCache, the
// WatchedTree, the KernelEvents, the MountChanges and the NetworkHandOver, and
// writes every log record. The background threads run the jobs: the local one the
// StatusPasses and the LeftoverReading of a first reading's leftovers (local disk
// only); one for each mount that holds a place on network storage, started once a
// place lies there, the NetworkReading of those places; so a pass held by a hung
// mount holds nothing local and no other mount. Each reading has the threads of its
// own ParallelCalls, which share nothing but the task index; each job keeps its own
// copy of what it needs and reads files only. They meet in exchanges, each one
// kel::AnnotatedMutex held for a few swaps: the status passes' (StatusPasses::
// exchange: what to watch in, what changed out) and each network reading's
// (NetworkReading::exchange: places and lists to read again in, what was read out)
// and the leftover reading's (LeftoverReading::exchange: a first reading's leftovers
// in, their readings out). Each BackgroundThread's own lock carries only
// the timing (when a message came, when a job is due) and the text of a failure.
#include "list_cache.h"

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "background_thread.h"
#include "kernel_events.h"
#include "leftover_reading.h"
#include "list_walk.h"
#include "logging.h"
#include "mount_changes.h"
#include "network_hand_over.h"
#include "parallel_calls.h"
#include "status_passes.h"
#include "watched_tree.h"

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

struct ListCache::State {
    State(const ListCacheOptions& given, kel::FileSystem& file_system,
          std::unique_ptr<kel::KernelEvents> events, std::unique_ptr<kel::MountChanges> mounts);

    void exchange();
    void hand_places(std::optional<std::vector<NetworkPlace>> places);
    void take_network(int32_t request_number, const NetworkHandOver::LocalGives& local);
    void hand_leftovers();
    void tell_leftovers(int32_t request_number);
    bool on_network(const std::string& path);
    void walk_leaving_network(int32_t request_number);
    void scan_domains_leaving_network(int32_t request_number, bool accounts_away,
                                      std::vector<NetworkPlace>& places);
    KeepList kept_for_network();
    bool refresh_tree(int32_t request_number, bool mounts_moved);
    bool build(int32_t request_number, bool mounts_moved, Clock::time_point started);
    void walk(int32_t request_number);

    const ListCacheOptions options;
    kel::FileSystem& file_system;
    std::unique_ptr<kel::KernelEvents> events;
    std::unique_ptr<kel::MountChanges> mounts;
    CacheCounts counts;
    // Before what writes it. No other object of the program touches it.
    ListTable table;
    std::shared_ptr<StatusPasses> status_passes;
    NetworkHandOver network;
    std::shared_ptr<LeftoverReading> leftovers;
    std::optional<size_t> leftover_job;  // its place among the local thread's jobs
    bool wake_network = false;           // places handed that the passes did not have
    bool wake_leftovers = false;         // leftovers handed that their reading did not have
    // After the jobs, so that they stop before the jobs go. The local thread runs the
    // status passes and the reading of a first reading's leftovers, all on local
    // disk; each network thread the passes over one mount, started when a place lies
    // there: a pass held by a hung mount holds nothing local and no other mount.
    std::unique_ptr<kel::BackgroundThread> local_thread;
    std::vector<std::unique_ptr<kel::BackgroundThread>> network_threads;
    // After `network`, which it points to.
    std::unique_ptr<WatchedTree> tree;
    std::vector<StatusPasses::Change> reported;
    std::unordered_map<std::string, bool> network_directories;
    // What the tree remembers of the directories it lists, across builds.
    ListingMemory listings;
    uint64_t readings = 0;  // first readings made, one a build
};

ListCache::State::State(const ListCacheOptions& given, kel::FileSystem& file_system,
                        std::unique_ptr<kel::KernelEvents> given_events,
                        std::unique_ptr<kel::MountChanges> given_mounts)
    : options(given),
      file_system(file_system),
      events(given_events ? std::move(given_events) : kel::inotify_events(given.watch_budget)),
      mounts(given_mounts ? std::move(given_mounts) : kel::mount_table_changes()),
      network(file_system, table, main_domain_name(), given.network_limit),
      leftovers(std::make_shared<LeftoverReading>(file_system, given.network_limit)) {
    using Passes = ListCacheOptions::Passes;
    std::vector<std::shared_ptr<kel::BackgroundJob>> jobs;
    if (options.status_passes != Passes::Off) {
        status_passes = std::make_shared<StatusPasses>(file_system);
        if (options.status_passes == Passes::Background) {
            jobs.push_back(status_passes);
        }
    }
    if (options.network_passes == Passes::Background) {
        leftover_job = jobs.size();
        jobs.push_back(leftovers);
    }
    if (!jobs.empty()) {
        local_thread = std::make_unique<kel::BackgroundThread>(std::move(jobs));
    }
}

// Takes what the status passes found into `reported`, for the next update, and
// hands them what the tree did since the last exchange.
void ListCache::State::exchange() {
    if (status_passes) {
        std::vector<StatusPasses::Change> found = status_passes->exchange();
        reported.insert(reported.end(), std::make_move_iterator(found.begin()),
                        std::make_move_iterator(found.end()));
    }
}

// Tells the passes over network storage where to read; they start on places they
// did not have once the next exchange has handed them over (take_network): woken
// before it, a pass would find nothing to read and sleep for an hour.
void ListCache::State::hand_places(std::optional<std::vector<NetworkPlace>> places) {
    if (places && network.set_places(std::move(*places))) {
        wake_network = true;
    }
}

// The end of every refresh: what the passes over network storage finished.
void ListCache::State::take_network(int32_t request_number,
                                    const NetworkHandOver::LocalGives& local) {
    std::vector<std::string> revisit;
    bool visit_due = false;
    // The leftovers' records come before those of the passes over network storage.
    if (std::optional<LeftoversRead> read = leftovers->exchange(); read && tree) {
        visit_due = tree->take_leftovers(*read, request_number);
    }
    network.refresh(request_number, local, revisit);
    counts.network_passes = network.passes_applied();
    if (wake_network && options.network_passes == ListCacheOptions::Passes::Background) {
        for (size_t index = 0; index < network.reading_count(); ++index) {
            if (index < network_threads.size()) {
                network_threads[index]->run_soon(0);
            } else {
                network_threads.push_back(std::make_unique<kel::BackgroundThread>(
                    std::vector<std::shared_ptr<kel::BackgroundJob>>{network.reading(index)}));
            }
        }
    }
    if (wake_leftovers && local_thread && leftover_job) {
        local_thread->run_soon(*leftover_job);
    }
    wake_network = false;
    wake_leftovers = false;
    if (tree) {
        for (const std::string& key : revisit) {
            tree->revisit(key);
        }
        if (visit_due) {
            tree->visit(request_number, false);
        }
    }
}

// The lists the tree's first reading left over, to the leftover reading.
void ListCache::State::hand_leftovers() {
    std::vector<LeftoverList> lists = tree->take_leftover_lists();
    if (!lists.empty()) {
        leftovers->read(tree->reading_number(), std::move(lists));
        wake_leftovers = true;
    }
}

void ListCache::State::tell_leftovers(int32_t request_number) {
    if (tree && tree->reading_leftovers()) {
        kel::logline(request_number) << "Lists are still being read, not checked yet";
    }
}

// Whether a directory lies on network storage, for the walk; decided once until
// the mounts change.
bool ListCache::State::on_network(const std::string& path) {
    auto [found, fresh] = network_directories.try_emplace(path, false);
    if (fresh) {
        found->second = (options.taken_for_network && options.taken_for_network(path)) ||
                        file_system.storage(path) == kel::Storage::Network;
    }
    return found->second;
}

// The walk, when no tree can be built, without what lies on network storage: that
// is left to the passes. Leaves the sweep to the caller.
void ListCache::State::walk_leaving_network(int32_t request_number) {
    std::vector<NetworkPlace> places;
    const WalkPlace main_lists = main_lists_place(main_domain_name());
    const bool accounts_away = on_network(main_lists.path);
    if (accounts_away) {
        places.push_back({false, main_lists.path, main_lists.domain});
    } else {
        scan_place(file_system, table, request_number, main_lists);
    }
    if (on_network("Domains")) {
        places.push_back({true, "Domains", {}});
    } else {
        scan_domains_leaving_network(request_number, accounts_away, places);
    }
    hand_places(std::move(places));
}

void ListCache::State::scan_domains_leaving_network(int32_t request_number, bool accounts_away,
                                                    std::vector<NetworkPlace>& places) {
    const std::string& main_domain = main_domain_name();
    size_t place = 0;
    for (const std::string& entry : list_domains(file_system, walk_listings())) {
        const WalkPlace at = entry_place(entry, ++place, main_domain);
        if (at.main) {
            if (!accounts_away) {
                scan_place(file_system, table, request_number, at);
            }
        } else if (on_network("Domains/" + entry) || on_network(at.path)) {
            places.push_back({false, at.path, at.domain});
        } else {
            scan_place(file_system, table, request_number, at);
        }
    }
}

// A record the local side no longer gives stays while the passes give its key.
KeepList ListCache::State::kept_for_network() {
    return
        [this](const std::string& key, ListRecord& record) { return network.keeps(key, record); };
}

// The refresh through the watched tree; false when it cannot serve.
bool ListCache::State::refresh_tree(int32_t request_number, bool mounts_moved) {
    if (!tree || mounts_moved || !tree->still_at_base() || !tree->update(reported)) {
        return false;
    }
    reported.clear();
    tree->visit(request_number, false);
    exchange();
    hand_places(tree->changed_places());
    take_network(request_number, [this](const std::string& key) { return tree->gives(key); });
    tell_leftovers(request_number);
    return true;
}

// A complete walk that sets every watch anew; false when no tree can be built.
bool ListCache::State::build(int32_t request_number, bool mounts_moved, Clock::time_point started) {
    counts.mount_builds += mounts_moved && tree ? 1 : 0;
    reported.clear();
    if (status_passes) {
        status_passes->forget_all();
    }
    events->drain([](int, uint32_t, std::string_view) {});
    mounts->take_reading();
    auto fresh = std::make_unique<WatchedTree>(file_system, *events, table, status_passes.get(),
                                               network, listings, options, counts, ++readings);
    kel::ParallelCalls warm_calls;
    fresh->warm_up_with(&warm_calls);
    if (!events->ready() || !fresh->build()) {
        return false;
    }
    fresh->warm_up_with(nullptr);
    tree = std::move(fresh);
    ++counts.builds;
    std::optional<Clock::time_point> deadline;
    if (options.first_reading_budget) {
        deadline = started + *options.first_reading_budget;
    }
    tree->visit(request_number, true, deadline);
    sweep_unseen_lists(table, kept_for_network());
    exchange();
    hand_places(tree->changed_places());
    hand_leftovers();
    take_network(request_number, [this](const std::string& key) { return tree->gives(key); });
    tell_leftovers(request_number);
    return true;
}

void ListCache::State::walk(int32_t request_number) {
    tree.reset();
    ++counts.walks;
    walk_leaving_network(request_number);
    write_listing_records(request_number, walk_listings());
    forget_gone_domains(walk_listings());
    std::erase_if(network_directories,
                  [on_walk = paths_of_walk(walk_listings())](const auto& directory) {
                      return !on_walk(directory.first);
                  });
    // Before the sweep, while the walk's marks tell what it met.
    take_network(request_number, [this](const std::string& key) {
        auto found = table.find(key);
        return found != table.end() && found->second.seen;
    });
    sweep_unseen_lists(table, kept_for_network());
    exchange();
}

ListCache::ListCache(const ListCacheOptions& options, kel::FileSystem& file_system,
                     std::unique_ptr<kel::KernelEvents> events,
                     std::unique_ptr<kel::MountChanges> mounts)
    : state(std::make_unique<State>(options, file_system, std::move(events), std::move(mounts))) {}

ListCache::~ListCache() = default;

const ListTable& ListCache::table() const {
    return state->table;
}

const CacheCounts& ListCache::counts() const {
    state->counts.listings_remembered =
        state->listings.size() + walk_listings().size() + state->network.listings_remembered();
    return state->counts;
}

void ListCache::run_status_pass() {
    if (state->status_passes &&
        state->options.status_passes == ListCacheOptions::Passes::OnDemand) {
        state->status_passes->run_pass();
    }
}

void ListCache::run_network_pass() {
    if (state->options.network_passes == ListCacheOptions::Passes::OnDemand) {
        state->leftovers->run_pass();
        for (size_t index = 0; index < state->network.reading_count(); ++index) {
            state->network.reading(index)->run_pass();
        }
    }
}

void ListCache::refresh(int32_t request_number) {
    State& s = *state;
    const Clock::time_point started = s.file_system.now();
    std::vector<kel::BackgroundThread*> threads{s.local_thread.get()};
    for (const auto& thread : s.network_threads) {
        threads.push_back(thread.get());
    }
    for (kel::BackgroundThread* thread : threads) {
        if (thread == nullptr) {
            continue;
        }
        thread->message_arrived();
        if (std::optional<std::string> failure = thread->take_failure()) {
            kel::logline(request_number)
                << "Background reading failed: " << kel::printable(*failure);
        }
    }
    s.exchange();
    const bool mounts_moved = s.mounts->moved();
    if (mounts_moved) {
        s.network_directories.clear();
    }
    if (s.refresh_tree(request_number, mounts_moved) ||
        s.build(request_number, mounts_moved, started)) {
        return;
    }
    s.walk(request_number);
}
