// The reading of the lists a first reading on local disk left unread when its time
// ran out: off the message's path, on the local background thread, many lists at a
// time, handed to the serving thread in the walk's order a chunk at a time. Each list
// comes back with where it lies, so that the tree takes it in without a search. It
// reads files only, keeps its own copy of what was known of each list, and never
// touches the list table.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "annotated_mutex.h"
#include "background_thread.h"
#include "file_system.h"
#include "list_reading.h"
#include "parallel_calls.h"

// A list of a local directory that the first reading after a start (or after a
// complete walk) left unread, with what was known of it (none: a list not met).
struct LeftoverList {
    std::string directory;
    std::string domain;
    std::string name;
    // Apart, not in place: after a start none is known, and the lists left over are
    // the most of a large tree, all held at once.
    std::unique_ptr<const ListKnown> known;
};

// Leftover lists read, in the walk's order, each with its reading.
struct LeftoversRead {
    uint64_t reading = 0;  // the first reading they belong to
    std::vector<std::pair<LeftoverList, ListVisit>> lists;
    bool done = false;  // the last of them is among these
};

class LeftoverReading : public kel::BackgroundJob {
  public:
    // Every call on the files goes through `file_system`, which outlives the job;
    // `idle`: how long it runs on without messages.
    LeftoverReading(kel::FileSystem& file_system, std::chrono::nanoseconds idle,
                    size_t width = kel::ParallelCalls::default_width);

    // On the serving thread, kept until the next exchange: the leftovers of first
    // reading number `reading`, in place of those of any earlier one.
    void read(uint64_t reading, std::vector<LeftoverList> lists);
    // On the serving thread: hands them over and takes what was read since the last
    // exchange, if anything. One lock, held for swaps.
    std::optional<LeftoversRead> exchange();

    // Reads what is left of the leftovers, on the background thread (or the
    // caller's, for tests); a pass that threw goes on where it stopped.
    std::chrono::nanoseconds run_pass() override;
    std::chrono::nanoseconds idle_limit() const override { return idle; }
    void discard() override {}

  private:
    using Lists = std::pair<uint64_t, std::vector<LeftoverList>>;

    kel::FileSystem& file_system;
    const std::chrono::nanoseconds idle;

    std::optional<Lists> pending;  // the serving thread's, until the exchange

    kel::AnnotatedMutex lock;
    std::optional<Lists> handed QUORVEL_GUARDED_BY(lock);
    std::optional<LeftoversRead> finished QUORVEL_GUARDED_BY(lock);

    // The passes' own, touched only by run_pass.
    std::optional<Lists> lists;
    size_t next = 0;  // the first of `lists` not read yet
    kel::ParallelCalls calls;
};
