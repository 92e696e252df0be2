// The list cache: the list table, owned here and kept current before every message
// at the cost of what changed; the rest of the program reaches it through
// list_refresh.h only.
// Where things are, and whose (S: the serving thread only; B: a background thread):
// - list_cache: each refresh's way, the threads, the findings passed on (S).
// - watched_tree, tree_*: the directories, their kernel-event watches, visits (S).
// - local_reading: the local disk's reading off the message path: stamp checks where
//   no event tells a change, the lists a first reading left over (B).
// - network_reading: lists on network storage read off the message path, a reading
//   per mount, and the pace of its passes (B); network_hand_over applies them (S).
// - cache_settings: the options.
// What the table holds is the walk's (lists/list_walk.h: the walk, its per-list step,
// where each domain's lists lie; listing_memory.h: what a directory that cannot be
// listed keeps), which the check tool's walk (lists/bounded_walk.cpp) reads too.
// Threads meet in one locked exchange per job (list_cache.cpp). The seam, the kernel's
// events, the mount table's changes and the thread kinds are support/'s.
#pragma once

#include <cstdint>
#include <memory>

#include "cache_settings.h"
#include "file_system.h"
#include "kernel_events.h"
#include "list_record.h"
#include "mount_changes.h"

class ListCache {
  public:
    // Every call on the server's files goes through `file_system`, which outlives
    // the cache; `events` and `mounts` are the kernel's unless a test gives fakes.
    explicit ListCache(const ListCacheOptions& options = {},
                       kel::FileSystem& file_system = kel::real_file_system(),
                       std::unique_ptr<kel::KernelEvents> events = nullptr,
                       std::unique_ptr<kel::MountChanges> mounts = nullptr);
    ~ListCache();
    ListCache(const ListCache&) = delete;
    ListCache& operator=(const ListCache&) = delete;

    // Brings the table up to date with the tree below the working directory.
    void refresh(int32_t request_number);
    // The table as the last refresh left it; it lives as long as the cache.
    const ListTable& table() const;

    // Runs one status pass on the calling thread, as the background thread does
    // (passes OnDemand only); the next refresh takes its findings.
    void run_status_pass();
    // The same for the reading of a first reading's leftovers, then one pass over
    // network storage (passes OnDemand only).
    void run_network_pass();

    // What the refreshes so far cost, for tests and benchmarks.
    const CacheCounts& counts() const;

  private:
    struct State;
    std::unique_ptr<State> state;
};
