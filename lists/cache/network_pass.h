// What the reading of lists on network storage hands the serving thread, and the
// pace of its passes.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "list_reading.h"

// One place the passes read, in the walk's order: a list directory, or "Domains"
// itself, whose every entry but the main domain is then read ("Domains/<d>/LISTS").
struct NetworkPlace {
    bool domains = false;
    std::string path;    // the list directory as the walk names it; "Domains"
    std::string domain;  // the list directory's domain, as the walk passes it
    bool operator==(const NetworkPlace&) const = default;
};

// What passes found, for the serving thread to apply in this order.
struct NetworkPass {
    // A list whose record changes (`gone` false: the visit to apply, its key set),
    // or a key that no list on network storage gives any more (`gone` true).
    struct Item {
        bool gone = false;
        ListVisit visit;
    };
    std::vector<Item> items;
    // The records of directories that entered the state that they cannot be listed,
    // in the walk's order; written after those of the lists.
    std::vector<std::string> records;
    // Whether the passes had places to read.
    bool had_places = false;
    // Set when the items end a pass over every place: when it ended. A pass hands
    // over what it has read as it goes, domain by domain, in the walk's order. By
    // the seam's clock, as the serving thread judges its age.
    std::optional<std::chrono::steady_clock::time_point> completed;
    // With `completed`: the directories whose listings the passes remember.
    size_t listings_remembered = 0;

    // Adds what was read later, keeping one subscriber list per key: an earlier
    // reading that a later one replaces gives its memory back at once.
    void append(NetworkPass&& later);

  private:
    // Key to the place of its latest item, kept from the first append on: a first
    // reading appends thousands of times while no message takes what it read.
    std::unordered_map<std::string, size_t> latest;
    size_t indexed = 0;  // items the index covers
};

// The time from the start of a pass that took `took`, and `cpu` of the processors, to
// the start of the next: ten seconds, or the pass's own length when it is longer, or,
// when the passes would cost more than about 6 % of one core, long enough that they
// do not; but no later than `complete_due` from its start (never before it ended),
// when a complete pass is due then: an edit in place waits for that one, and waits
// its spacing only, not the spacing and a period more.
std::chrono::nanoseconds pass_period(
    std::chrono::nanoseconds took, std::chrono::nanoseconds cpu,
    std::chrono::nanoseconds complete_due = std::chrono::nanoseconds::max());
// The time from the start of a complete pass that used `cpu` to the next complete
// one: long enough that complete passes cost at most about 4 % of one core, and at
// most five minutes. A pass that read most of the lists it met whole (`read_whole`
// of `met`: the first reading, or a reading after a failure) costs far more than a
// check of their files, which an edit in place waits for: the next pass is then
// complete (zero), and its own cost sets the spacing.
std::chrono::nanoseconds complete_pass_spacing(std::chrono::nanoseconds cpu, size_t read_whole = 0,
                                               size_t met = 0);
