// The list directories as the last refresh saw them, kept up to date from the
// kernel's change events, so that a refresh re-examines only the lists whose files
// or directories changed and costs next to nothing when nothing did.
//
// A refresh through the tree leaves list_table, and writes log records in an order,
// exactly as walk_lists would in the same tree: the lists it re-examines are
// visited with walk_lists' own per-list step and in the walk's order, and every list
// it skips is one whose visit would have changed nothing. Where events cannot be
// trusted, the tree reads again: a directory that cannot be watched or sits on a
// network or user-space file system is listed at every refresh; a list file that
// is a symbolic link, has other hard links or has a file system mounted on it, and
// a list with a file that cannot be read (tried again after a while), are examined
// at every refresh; a lost event (queue overflow), and a mount that appears,
// disappears or changes on the base directory, below it or on the path to it, make
// the next refresh a complete walk that sets every watch again; so does a base
// directory or "Domains" that cannot be watched.
//
// The bound. Some changes raise no event where the tree watches: a second name
// given later to a list file from another directory and a write through it, a
// writer that changes a list file through a memory mapping it keeps, a change at
// the source of a mount the tree does not see as one. For these the tree queries
// the status of every list file and list directory it trusts on a background
// thread, at least every 10 seconds (or every 20 times the duration of one such
// pass, if that is longer, so that the passes cost about 5 % of one core at most),
// and the first refresh after a pass has seen a change re-examines that list: from
// then on the table and the records are the walk's again. The passes stop after a
// minute without a refresh and start again with the next one, so after such a
// pause a change of this kind can be seen one pass after the refresh that ends it.
//
// Network storage. "Domains", a "Domains/<d>" or a list directory on a file system
// whose changes raise no event here (network_reading.h) is not read on the
// message's path at all: the tree leaves it, and everything below it, to the
// passes of network_reading.h, on the same background thread, and a refresh ends
// by applying what they finished (network_lists.h): its own records first, in the
// walk's order, then theirs, in the walk's order. A change there is seen within
// about two passes, and until the first pass has finished the lists there are
// unknown. Whether a directory lies there is decided when the tree watches it, or,
// when no tree can be built and every refresh walks, once until the mounts change.
// When "Domains" lies there, the main domain's lists are read from "Accounts"
// once, not again at its place among the "Domains" entries.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "network_reading.h"

struct ListTreeOptions {
    enum class Passes {
        Background,  // on the background thread: the filter's way
        OnDemand,    // only when a test runs one
        Off,         // never (test aids): no bound; network storage read at every refresh
    };
    using StampPasses = Passes;
    Passes stamp_passes = Passes::Background;
    Passes network_passes = Passes::Background;
    // How old the reading of network storage may grow while messages arrive, and
    // how long its passes run on without messages; only tests shorten it.
    std::chrono::nanoseconds network_limit = NetworkReading::idle_after;
    // See ChangeWatch; only tests set it.
    size_t watch_budget = std::numeric_limits<size_t>::max();
    // Paths (as the tree names them) taken for network storage whatever their file
    // system; only tests set it.
    std::function<bool(const std::string& path)> taken_for_network = nullptr;
};

class ListTree {
  public:
    explicit ListTree(const ListTreeOptions& options = {});
    ~ListTree();
    ListTree(const ListTree&) = delete;
    ListTree& operator=(const ListTree&) = delete;

    // Brings list_table up to date with the tree below the working directory.
    void refresh(int32_t request_number);

    // Runs one pass of status queries on the calling thread, as the background
    // thread does (StampPasses::OnDemand only); the next refresh takes its findings.
    void run_stamp_pass();
    // The same for one pass over network storage (network_passes OnDemand only).
    void run_network_pass();

    // What the refreshes so far cost, for tests and benchmarks.
    struct Counts {
        uint64_t builds = 0;              // complete walks that set the watches
        uint64_t walks = 0;               // complete walks without watching
        uint64_t mount_builds = 0;        // builds for a change of the mounts
        uint64_t lists_examined = 0;      // per-list visits (two file queries each)
        uint64_t directories_listed = 0;  // list directories and "Domains" read
        uint64_t stamp_changes = 0;       // lists and directories the passes reported
        uint64_t network_passes = 0;      // passes over network storage applied
    };
    const Counts& counts() const;

  private:
    struct State;
    std::unique_ptr<State> state;
};
