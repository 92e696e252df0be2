// How a list cache is set up (only tests and benchmarks change the defaults) and what
// its refreshes cost, for tests and benchmarks.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "network_reading.h"

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
