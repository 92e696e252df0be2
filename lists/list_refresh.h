// The door to the list cache (cache/): the refresh of the filter's list table before
// every message, and the complete walk for a tool that must see every list at once. The
// rest of the program reaches the cache through this header only; cache/list_cache.h
// says where each of its pieces is and which thread touches what.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "list_record.h"

namespace kel {
class FileSystem;
}

// Brings the filter's list table up to date with the tree: the main domain's lists under
// "Accounts/LISTS", every other domain's under "Domains/<domain>/LISTS". Files are
// read only when they changed; lists whose ".list" file is gone are dropped.
// `request_number` marks the log records. The refresh goes through the process's
// one list cache, which looks only at what changed and otherwise leaves the table
// and writes the records that walk_lists would (cache/watched_tree.h says when a
// change may be seen late, and cache/network_reading.h how lists on network storage
// are read: off the message's path, so that the first refresh does not know them
// yet; a tool that must see every list walks). The table is the process's one,
// owned by its list cache (or by the walk, with RefreshOptions::full_walk).
const ListTable& refresh_lists(int32_t request_number);

// How the process's refreshes run. The filter has no configuration of its own and
// chooses by itself; the whole-process tests and the benchmarks run it the other
// ways through a start of their own (tests/aided_filter.cpp), never through the
// filter's command line or environment.
struct RefreshOptions {
    // Every refresh walks the whole tree (walk_lists), network storage included.
    bool full_walk = false;
    // The cache runs no status passes: no bound on a change that raises no event.
    bool status_passes = true;
    // How old a reading of network storage may grow while messages arrive, and how
    // long its passes run on without messages.
    std::chrono::seconds network_limit{300};
};
// Sets them, on the start-up thread, before the first refresh.
void set_refresh_options(const RefreshOptions& options);

// The walk for a tool that must answer whatever the storage does: every place (the
// list directory "Accounts/LISTS", the listing of "Domains", each "Domains/<d>/LISTS")
// is read off the calling thread and waited for with a bound of its own, the mounts
// side by side and one mount's places in the walk's order, so that a mount that hangs
// costs its own places, never another mount's. Once a place has not answered, every
// later place on the same mount is skipped with it. Its table then holds the lists
// of the places that were read, each list as the place last in the walk's order gave
// it (as the walk would); no other list. At most one reading per mount is left
// stuck (a few more for the places no mount is known for).
struct BoundedWalkOptions {
    std::chrono::milliseconds place_limit{5000};  // the wait for one place
    std::chrono::milliseconds total_limit{8000};  // no place is waited for past it
};

// A list directory that was read, with its entries in the order the system lists them.
struct ListDirectory {
    std::string path;    // from the base directory: "Accounts/LISTS", "Domains/<d>/LISTS"
    std::string domain;  // as its lists' addresses take it (the entry's name, as written)
    std::vector<std::string> names;
};

// A place whose lists are not in the walk's table, and why.
struct UnreadPlace {
    enum class Why {
        NoAnswer,    // it did not answer within the place's limit
        SameMount,   // skipped: it lies on the mount of a place that did not answer
        OutOfTime,   // the total limit passed before it answered, or before its turn
        CannotList,  // listing it failed (EIO, ESTALE...): nothing there is known
        Failed,      // the reading failed otherwise (no thread, no memory)
    };
    Why why = Why::NoAnswer;
    std::string path;  // from the base directory, as written
    // SameMount: the place that did not answer; CannotList: the system's text;
    // Failed: what stopped the reading. Empty otherwise.
    std::string reason;
    bool operator==(const UnreadPlace&) const = default;
};

struct BoundedWalk {
    ListTable table;
    std::vector<ListDirectory> directories;  // in the walk's order
    std::vector<UnreadPlace> unread;         // in the walk's order
    // A reading that did not answer still runs, maybe stuck for good in a call on
    // its place: the process must end without running the destructors of statics
    // (std::_Exit) lest they free what that thread still uses.
    bool abandoned = false;
};

// Over the process's files, each place's mount taken from the mount table without a
// call on the place (mount_table.h, place_storage.h). `request_number` marks the
// log records of the readings, written as the walk writes them.
BoundedWalk walk_lists_bounded(int32_t request_number, const BoundedWalkOptions& options = {});

// The mount a place lies on, as a number equal for places on the same mount; -1
// when not known (such a place is never skipped with another).
using PlaceMount = std::function<int(const std::string& place)>;
// The same through `file_system`, for tests. `mount_of` is asked on the calling
// thread only; `main_domain` as main_domain_name() gives it.
// REQUIRES: `file_system` lives to the end of the process when a reading is
// abandoned (the reading's thread may call it at any time until then).
BoundedWalk walk_lists_bounded(kel::FileSystem& file_system, const PlaceMount& mount_of,
                               const std::string& main_domain, int32_t request_number,
                               const BoundedWalkOptions& options);
