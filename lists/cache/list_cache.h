// The list cache: the list table, owned here and kept current before every message
// at the cost of what changed; the rest of the program reaches it through
// list_refresh.h only.
// Where things are, and whose (S: the serving thread only; B: a background thread):
// - list_cache: its options and counts, each refresh's way, the threads (S).
// - watched_tree, tree_*: the directories, their kernel-event watches, visits (S).
// - local_reading: the local disk's reading off the message path: stamp checks where
//   no event tells a change, the lists a first reading left over (B).
// - network_reading: lists on network storage read off the message path, a reading
//   per mount, and the pace of its passes (B); network_hand_over applies them (S).
// What the table holds is the walk's (lists/list_walk.h: the walk, its per-list step,
// where each domain's lists lie; listing_memory.h: what a directory that cannot be
// listed keeps), which the check tool's walk (lists/bounded_walk.cpp) reads too.
// Threads meet in one locked exchange per job (list_cache.cpp). The seam, the kernel's
// events, the mount table's changes and the thread kinds are support/'s.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "file_system.h"
#include "kernel_events.h"
#include "list_record.h"
#include "mount_changes.h"
#include "network_reading.h"

// How a list cache is set up (only tests and benchmarks change the defaults) and what
// its refreshes cost, for tests and benchmarks.
struct ListCacheOptions {
    // Where the readings off the message's path run: on background threads (the
    // filter's way), or only when a test runs them (run_status_pass, run_network_pass).
    enum class Passes { Background, OnDemand };
    Passes passes = Passes::Background;
    // Without status passes (a test aid) no bound holds on a change that raises no event.
    bool status_passes = true;
    // How old the reading of network storage may grow while messages arrive, and
    // how long its passes run on without messages; only tests shorten it.
    std::chrono::nanoseconds network_limit = NetworkReading::idle_after;
    // Caps the directories watched at once (see inotify_events); only tests set it.
    size_t watch_budget = std::numeric_limits<size_t>::max();
    // Paths (as the tree names them) taken for network storage whatever their file
    // system; only tests set it.
    std::function<bool(const std::string& path)> taken_for_network = nullptr;
    // How long the first reading (after a start, lost events or a change of the
    // mounts) may read lists on the message's path before it leaves the rest to be
    // read off it; none: it reads them all (only tests).
    std::optional<std::chrono::nanoseconds> first_reading_budget = std::chrono::seconds(1);
};

struct CacheCounts {
    uint64_t builds = 0;              // complete walks that set the watches
    uint64_t mount_builds = 0;        // builds for a change of the mounts
    uint64_t lists_examined = 0;      // per-list visits (two file queries each)
    uint64_t directories_listed = 0;  // list directories and "Domains" read
    uint64_t stamp_changes = 0;       // lists and directories the status passes reported
    uint64_t network_passes = 0;      // passes over network storage applied
    // Directories whose listings are remembered now (listing_memory.h): the tree's
    // and the walk's, and those of the passes over network storage as of their last
    // pass applied. Nothing stays for a directory gone.
    uint64_t listings_remembered = 0;
};

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
