// The figures of one live filter that the targets for lists at hosting scale name:
// how long after its start every list is known, what a message costs against the
// floor once they are, the filter's CPU while no message comes, and how long a new
// or a changed list takes to be seen. Each measures, returns its figures and prints
// nothing; the driver decides the order and the caps.
#pragma once

#include <string>
#include <vector>

#include "list_edits.h"
#include "timed_filter.h"

// A wait for something to be seen, cut at a cap.
struct Wait {
    bool reached = false;  // false: not seen within the cap, or the filter failed
    double seconds = 0;    // until seen, or until given up
};

// From sending the first message until the first reply that carries no record that
// lists are still being read (on network storage or not); a message every 50 ms
// meanwhile, taken in turn from `messages`, for `cap` seconds at most.
struct FirstReading {
    Wait known;
    double first_reply_seconds = 0;
    double longest_reply_seconds = 0;  // of every reply up to the one that knew
    int messages = 0;
};
FirstReading time_first_reading(TimedFilter& filter, const std::vector<std::string>& messages,
                                double cap);

// The two records that say lists are still being read.
extern const std::string network_still_reading;
extern const std::string local_still_reading;

// `measured` and `floor` (the floor tree: the same messages, no lists) get the same
// message in turn, each first every other time, one pair every 10 ms for `seconds`.
struct FloorRatio {
    size_t pairs = 0;
    double median_us = 0, floor_median_us = 0;
    double p99_us = 0, floor_p99_us = 0;
    double ratio() const { return floor_median_us > 0 ? median_us / floor_median_us : 0; }
};
FloorRatio compare_with_floor(TimedFilter& measured, TimedFilter& floor,
                              const std::vector<std::string>& messages, double seconds);

// The CPU process `pid` uses over the next `seconds` (all threads), in % of one core;
// negative when it cannot be read.
double cpu_percent_over(int pid, double seconds);

// Posts `edit.posting` once, applies the edit, then posts again every 50 ms until the
// reply differs from the one before, for `cap` seconds at most.
struct EditSeen {
    Wait wait;
    int requests = 0;
    std::string before, after;  // the verdicts
};
EditSeen time_edit(TimedFilter& filter, const ListEdit& edit, double cap);
