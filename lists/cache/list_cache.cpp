// Each refresh goes one of two ways. Through the watched tree, when it still
// describes the table and its events are complete: only what changed is visited.
// A build, the first time and after lost events, a change at the top of the tree or
// of the mounts that concern it, or a working directory that is not the one watched:
// a new tree takes its watches before the old one lets go of them, and reads
// everything (events still queued, and what the passes found, are old news). Where
// the top of the tree cannot be watched (no event queue, no watch to spare), the
// tree looks at everything at every refresh, as the walk does. Either way leaves
// what lies on network storage to the network reading, and ends by applying what
// its passes finished, after the local records.
//
// Threads. The serving thread alone touches the list table, the ListCache, the
// WatchedTree, the KernelEvents, the MountChanges and the NetworkHandOver, and
// writes every log record. Each background thread runs the reading of one mount: the
// local thread the LocalReading (status passes and a first reading's leftovers);
// one thread for each mount that holds a place on network storage, started once a
// place lies there, its NetworkReading; so a pass held by a hung mount holds nothing
// local and no other mount. Each reading has the threads of its own ParallelCalls,
// which share nothing but the task index. They meet under one kel::AnnotatedMutex a
// job, held for a move or a swap: the serving thread hands work in as it goes (what
// to watch, leftovers, places, lists to read again) and takes findings out at each
// exchange. Each BackgroundThread's own lock carries only the timing and the text of
// a failure.
#include "list_cache.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "background_thread.h"
#include "kernel_events.h"
#include "list_walk.h"
#include "local_reading.h"
#include "logging.h"
#include "mount_changes.h"
#include "network_hand_over.h"
#include "watched_tree.h"

using Clock = std::chrono::steady_clock;

struct ListCache::State {
    State(const ListCacheOptions& given, kel::FileSystem& file_system,
          std::unique_ptr<kel::KernelEvents> events, std::unique_ptr<kel::MountChanges> mounts);

    void exchange();
    void hand_places(std::optional<std::vector<NetworkPlace>> places);
    void finish(int32_t request_number);
    bool refresh_tree(int32_t request_number, bool mounts_moved);
    void build(int32_t request_number, bool mounts_moved, Clock::time_point started);

    const ListCacheOptions options;
    kel::FileSystem& file_system;
    std::unique_ptr<kel::KernelEvents> events;
    std::unique_ptr<kel::MountChanges> mounts;
    CacheCounts counts;
    // Before what writes it. No other object of the program touches it.
    ListTable table;
    NetworkHandOver network;
    std::shared_ptr<LocalReading> local_reading;
    // After the jobs, so that they stop before the jobs go: the local reading's
    // first, then one for each mount's network reading, started when a place lies
    // there. None when the passes run on demand.
    std::vector<std::unique_ptr<kel::BackgroundThread>> threads;
    // After `network`, which it points to.
    std::unique_ptr<WatchedTree> tree;
    std::vector<LocalReading::Change> reported;
    LeftoversRead leftovers_read;  // taken, for the end of the refresh
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
      local_reading(std::make_shared<LocalReading>(file_system, given.status_passes)) {
    if (options.passes == ListCacheOptions::Passes::Background) {
        threads.push_back(std::make_unique<kel::BackgroundThread>(local_reading));
    }
}

// Takes what the status passes found into `reported`, for the next update, and the
// leftovers read, for the end of this refresh.
void ListCache::State::exchange() {
    LocalReading::Found found = local_reading->exchange();
    reported.insert(reported.end(), std::make_move_iterator(found.changes.begin()),
                    std::make_move_iterator(found.changes.end()));
    if (found.leftovers.reading != 0) {
        leftovers_read.append(std::move(found.leftovers));
    }
}

// Tells the passes over network storage where to read; a mount met for the first
// time gets its thread, the others start at once on places they did not have.
void ListCache::State::hand_places(std::optional<std::vector<NetworkPlace>> places) {
    if (!places || !network.set_places(std::move(*places)) ||
        options.passes != ListCacheOptions::Passes::Background) {
        return;
    }
    for (size_t index = 0; index < network.reading_count(); ++index) {
        if (index + 1 < threads.size()) {
            threads[index + 1]->run_soon();
        } else {
            threads.push_back(std::make_unique<kel::BackgroundThread>(network.reading(index)));
        }
    }
}

// The end of every refresh, whichever way it went: the places and leftovers the tree
// hands on; the leftovers read meanwhile, then what the passes over network storage
// finished, their records after the local ones.
void ListCache::State::finish(int32_t request_number) {
    hand_places(tree->changed_places());
    std::vector<LeftoverList> lists = tree->take_leftover_lists();
    if (!lists.empty()) {
        local_reading->read(tree->reading_number(), std::move(lists));
        if (!threads.empty()) {
            threads.front()->run_soon();
        }
    }
    exchange();
    const bool visit_due = tree->take_leftovers(leftovers_read, request_number);
    leftovers_read = {};
    std::vector<std::string> revisit;
    network.refresh(
        request_number, [this](const std::string& key) { return tree->gives(key); }, revisit);
    counts.network_passes = network.passes_applied();
    for (const std::string& key : revisit) {
        tree->revisit(key);
    }
    if (visit_due) {
        tree->visit(request_number, false);
    }
    if (tree->reading_leftovers()) {
        kel::logline(request_number) << "Lists are still being read, not checked yet";
    }
}

// The refresh through the watched tree; false when it cannot serve.
bool ListCache::State::refresh_tree(int32_t request_number, bool mounts_moved) {
    if (!tree || mounts_moved || !tree->still_at_base() || !tree->update(reported)) {
        return false;
    }
    reported.clear();
    tree->visit(request_number, false);
    return true;
}

// A complete walk that sets every watch anew.
void ListCache::State::build(int32_t request_number, bool mounts_moved, Clock::time_point started) {
    counts.mount_builds += mounts_moved && tree ? 1 : 0;
    reported.clear();
    local_reading->forget_all();
    events->drain([](int, uint32_t, std::string_view) {});
    mounts->take_reading();
    LocalReading* passes = options.status_passes ? local_reading.get() : nullptr;
    auto fresh = std::make_unique<WatchedTree>(file_system, *events, table, passes, network,
                                               listings, options, counts, ++readings);
    fresh->build();
    tree = std::move(fresh);
    ++counts.builds;
    const std::optional<std::chrono::nanoseconds>& budget = options.first_reading_budget;
    tree->visit(request_number, true, budget ? std::optional(started + *budget) : std::nullopt);
    // A record the local side no longer gives stays while the passes give its key.
    sweep_unseen_lists(table, [this](const std::string& key, ListRecord& record) {
        return network.keeps(key, record);
    });
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
        state->listings.size() + state->network.listings_remembered();
    return state->counts;
}

void ListCache::run_status_pass() {
    const ListCacheOptions& options = state->options;
    if (options.passes == ListCacheOptions::Passes::OnDemand && options.status_passes) {
        state->local_reading->status_pass();
    }
}

void ListCache::run_network_pass() {
    if (state->options.passes == ListCacheOptions::Passes::OnDemand) {
        state->local_reading->read_leftovers();
        for (size_t index = 0; index < state->network.reading_count(); ++index) {
            state->network.reading(index)->run_pass();
        }
    }
}

void ListCache::refresh(int32_t request_number) {
    State& s = *state;
    const Clock::time_point started = s.file_system.now();
    for (const auto& thread : s.threads) {
        thread->message_arrived();
        if (std::optional<std::string> failure = thread->take_failure()) {
            kel::logline(request_number)
                << "Background reading failed: " << kel::printable(*failure);
        }
    }
    s.exchange();
    const bool mounts_moved = s.mounts->moved();
    if (!s.refresh_tree(request_number, mounts_moved)) {
        s.build(request_number, mounts_moved, started);
    }
    s.finish(request_number);
}
