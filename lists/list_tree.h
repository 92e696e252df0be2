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
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

struct ListTreeOptions {
    enum class StampPasses {
        Background,  // on a thread of their own: the filter's way
        OnDemand,    // only when run_stamp_pass is called: for tests
        Off,         // never: the tree then gives no bound (a test aid)
    };
    StampPasses stamp_passes = StampPasses::Background;
    // See ChangeWatch; only tests set it.
    size_t watch_budget = std::numeric_limits<size_t>::max();
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

    // What the refreshes so far cost, for tests and benchmarks.
    struct Counts {
        uint64_t builds = 0;              // complete walks that set the watches
        uint64_t walks = 0;               // complete walks without watching
        uint64_t mount_builds = 0;        // builds for a change of the mounts
        uint64_t lists_examined = 0;      // per-list visits (two file queries each)
        uint64_t directories_listed = 0;  // list directories and "Domains" read
        uint64_t stamp_changes = 0;       // lists and directories the passes reported
    };
    const Counts& counts() const;

  private:
    struct State;
    std::unique_ptr<State> state;
};
