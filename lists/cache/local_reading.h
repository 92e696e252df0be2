// The reading of local disk off the message's path: the one job of the local
// background thread, as each network mount has its reading (network_reading.h).
// Two kinds of work share it and its one exchange with the serving thread:
// - the status passes, which bound how late the watched refresh sees a change that
//   raises no event where it watches (a write through a second name given to a list
//   file later, a writer through a kept memory mapping, a change at the source of a
//   mount): a pass reports every list and list directory the tree trusts to
//   announce its changes whose stamps differ from those the tree last saw;
// - the lists a first reading left unread when its time ran out, handed back in the
//   walk's order with where each lies, so that the tree takes them in without a search.
// Like a network reading, it reads files only and never touches the list table.
//
// The tree hands a list directory over whole whenever what the passes must know of
// it changed; a later hand-over replaces one no pass took yet, so at most one copy
// of each directory waits. Each list is kept as its name and one number for its two
// files' stamps (stamp_digest): a few dozen bytes a list.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "annotated_mutex.h"
#include "background_thread.h"
#include "file_system.h"
#include "list_reading.h"
#include "parallel_calls.h"

// The stamps of a list's subscriber and settings files (or of a directory, alone)
// as one number: equal stamps give equal numbers, and different stamps the same
// number by a chance of one in 2^64.
uint64_t stamp_digest(const kel::FileStamp& first, const kel::FileStamp& second = {});

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
    uint64_t reading = 0;  // the first reading they belong to; none is numbered 0
    std::vector<std::pair<LeftoverList, ListVisit>> lists;
    bool done = false;  // the last of them is among these

    // Adds what was read later: after these when of the same first reading, in their
    // place when of another one (these none, or of an earlier one).
    void append(LeftoversRead&& later);
};

class LocalReading : public kel::BackgroundJob {
  public:
    // Status passes run at least this often, or at 20 times the duration of the last
    // one when that is longer; the job sleeps after a minute without messages.
    static constexpr std::chrono::seconds period{10};
    static constexpr int period_per_pass_duration = 20;
    static constexpr std::chrono::minutes idle_after{1};

    // Every call goes through `file_system`, which outlives the job; `status_passes`:
    // whether run_pass makes them (a test may go without); `width`: the leftovers
    // read side by side at most.
    explicit LocalReading(kel::FileSystem& file_system, bool status_passes = true,
                          size_t width = kel::ParallelCalls::default_width);

    // What a pass found changed: a list (`name` without ".list") of a list
    // directory, or the directory itself (`name` empty), by the tree's paths.
    struct Change {
        std::string directory;
        std::string name;
        bool operator==(const Change&) const = default;
    };

    // What the passes query in one list directory, as the tree last saw it: its own
    // stamp (when the tree trusts its events), and each list's name with the
    // stamp_digest of its subscriber and settings files.
    struct Directory {
        std::optional<uint64_t> itself;
        std::vector<std::pair<std::string, uint64_t>> lists;
    };

    // On the serving thread, each under the lock for a moment: what to query in the
    // directory at `path` from now on, in place of what was; nothing (forget); and
    // nothing anywhere.
    void watch(const std::string& path, Directory directory);
    void forget(const std::string& path);
    void forget_all();
    // The same for the leftovers of first reading number `reading`, in place of
    // those of any earlier one.
    void read(uint64_t reading, std::vector<LeftoverList> lists);

    // What the job found since the last exchange.
    struct Found {
        std::vector<Change> changes;
        LeftoversRead leftovers;
    };
    // On the serving thread: takes what was found. One lock, held for two swaps.
    Found exchange();
    // The directories handed over that wait for a pass, for tests.
    size_t waiting_changes();

    // On the background thread: reads what is left of the leftovers, then runs a
    // status pass when one is due. Returns the time to its next run.
    std::chrono::nanoseconds run_pass() override;
    std::chrono::nanoseconds idle_limit() const override { return idle_after; }
    // After a status pass that threw: forgets every stamp of the copy, so that the
    // next pass reports every list and directory it watches, and the tree looks at
    // each once. After a reading of leftovers that threw: nothing; it goes on where
    // it stopped.
    void discard() override;

    // Each kind of work alone, on the caller's thread: a status pass (returns the
    // time to the next one), and the reading of the leftovers (false when it stopped
    // for those of a later first reading). They share nothing but the exchange, so
    // either may run beside a thread that runs the other.
    std::chrono::nanoseconds status_pass();
    bool read_leftovers();

  private:
    // Directories by path; none: forgotten.
    using Handed = std::unordered_map<std::string, std::optional<Directory>>;
    using Lists = std::pair<uint64_t, std::vector<LeftoverList>>;
    void query(const std::string& path, Directory& directory, std::vector<std::string>& names,
               std::vector<Change>& changed);

    kel::FileSystem& file_system;
    const bool status_passes;

    // The exchange, under its lock: the directories handed since the last pass took
    // them, whether they follow a forgetting of everything, the leftovers to read.
    kel::AnnotatedMutex lock;
    Handed handed QUORVEL_GUARDED_BY(lock);
    bool handed_all QUORVEL_GUARDED_BY(lock) = false;
    std::optional<Lists> handed_lists QUORVEL_GUARDED_BY(lock);
    std::vector<Change> found QUORVEL_GUARDED_BY(lock);
    LeftoversRead read_out QUORVEL_GUARDED_BY(lock);

    // The status passes' own copy, touched only by status_pass; each one there is set.
    Handed directories;
    std::chrono::steady_clock::time_point next_pass{};
    bool passing = false;  // in a status pass; after one that threw
    // The leftovers' own, touched only by read_leftovers.
    std::optional<Lists> lists;
    size_t next = 0;  // the first of `lists` not read yet
    kel::ParallelCalls calls;
};
