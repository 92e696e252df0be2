// The reading of one place of the tree (a list directory, or "Domains") on a thread
// of its own, waited for until a deadline: a place on a mount that hangs stalls that
// thread, never the caller. The thread reads into values of its own and touches
// nothing the caller uses (list_table least of all); what it reads is untrusted and
// is only carried, never written anywhere.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "file_system.h"
#include "list_reading.h"

// What the reading of one place found.
struct PlaceReading {
    // The entries, in the order the system lists them; none when the place is absent.
    std::vector<std::string> names;
    // The errno that stopped the listing (not "absent"); the names are then none:
    // a directory never listed whole holds nothing known, as in the walk.
    int list_error = 0;
    // What stopped the reading otherwise (no thread, no memory); empty when nothing did.
    std::string failure;
    // The reading of each ".list" entry, in the order listed, its key set (when asked
    // for lists).
    std::vector<ListVisit> visits;
};

// Lists `path` and, when `lists` is set, reads every list there as a list of `domain`
// met for the first time, at `now` on the list clock. On the calling thread.
PlaceReading read_place(kel::FileSystem& file_system, const std::string& path,
                        const std::string& domain, bool lists, int64_t now);

// read_place on a thread of its own, waited for until `deadline`; none when it has not
// answered by then. That thread is then left to itself: it holds what it uses, and
// `file_system` must outlive it. A failure on that thread (or no thread) is answered
// in `failure`.
std::optional<PlaceReading> read_place_until(kel::FileSystem& file_system, const std::string& path,
                                             const std::string& domain, bool lists, int64_t now,
                                             std::chrono::steady_clock::time_point deadline);
