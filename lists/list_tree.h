// The list directories as the last refresh saw them, kept up to date from the
// kernel's change events, so that a refresh re-examines only the lists whose files
// or directories changed and costs next to nothing when nothing did.
//
// A refresh through the tree leaves list_table, and writes log records in an order,
// exactly as walk_lists would in the same tree: the lists it re-examines are
// visited with walk_lists' own per-list step and in the walk's order, and every list
// it skips is one whose visit would have changed nothing. Where events cannot be
// trusted, the tree reads again: a directory that cannot be watched or sits on a
// network or user-space file system is listed at every refresh, a list file that is
// a symbolic link or has other hard links, and a list with a file that cannot be
// read (tried again after a while), are examined at every refresh, and a lost
// event (queue overflow) makes the next refresh a complete walk that sets every
// watch again; so does a base directory or "Domains" that cannot be watched. One
// change raises no event here: a second name given to a list file from another
// directory, which changes only the file's change time (list_tree.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

class ListTree {
  public:
    // `watch_budget`: see ChangeWatch; only tests set it.
    explicit ListTree(size_t watch_budget = std::numeric_limits<size_t>::max());
    ~ListTree();
    ListTree(const ListTree&) = delete;
    ListTree& operator=(const ListTree&) = delete;

    // Brings list_table up to date with the tree below the working directory.
    void refresh(int32_t request_number);

    // What the refreshes so far cost, for tests and benchmarks.
    struct Counts {
        uint64_t builds = 0;              // complete walks that set the watches
        uint64_t walks = 0;               // complete walks without watching
        uint64_t lists_examined = 0;      // per-list visits (two file queries each)
        uint64_t directories_listed = 0;  // list directories and "Domains" read
    };
    const Counts& counts() const;

  private:
    struct State;
    std::unique_ptr<State> state;
};
