// The status queries that bound how late the watched refresh sees a change that
// raises no event where it watches: a write through a second name given to a list
// file later, a writer through a kept memory mapping, a change at the source of a
// mount. A pass queries the stamp of every list file and list directory that the
// tree trusts to announce its changes and reports those whose stamp differs from
// the one the tree last saw. It only queries status: it reads no file, parses
// nothing, writes nothing and never touches the list table.
//
// The tree hands a list directory over whole whenever what the passes must know of
// it changed, and a later hand-over of a directory replaces an earlier one that no
// pass took yet: what waits is at most one copy of each directory. Each list is kept
// as its name and one number for its two files' stamps (stamp_digest), so that the
// copy costs a few dozen bytes a list.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "annotated_mutex.h"
#include "background_thread.h"
#include "file_system.h"

// The stamps of a list's subscriber and settings files (or of a directory, alone)
// as one number: equal stamps give equal numbers, and different stamps the same
// number by a chance of one in 2^64.
uint64_t stamp_digest(const kel::FileStamp& first, const kel::FileStamp& second = {});

class StatusPasses : public kel::BackgroundJob {
  public:
    // Every query goes through `file_system`, which outlives the passes.
    explicit StatusPasses(kel::FileSystem& file_system) : file_system(file_system) {}

    // Passes run at least this often, or at 20 times the duration of the last pass
    // when that is longer, and sleep after a minute without messages.
    static constexpr std::chrono::seconds period{10};
    static constexpr int period_per_pass_duration = 20;
    static constexpr std::chrono::minutes idle_after{1};

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

    // On the serving thread, kept until the next exchange: what to query in the
    // directory at `path` from now on, in place of what was; nothing (forget); and
    // nothing anywhere.
    void watch(const std::string& path, Directory directory);
    void forget(const std::string& path);
    void forget_all();

    // On the serving thread: hands the changes above to the passes and takes what
    // the passes found since the last exchange. Costs one lock and two swaps when
    // the tree is steady.
    std::vector<Change> exchange();
    // The directories handed over that wait for a pass, for tests.
    size_t waiting_changes();

    // One pass: takes the handed directories in, queries every stamp, and keeps what
    // differs for exchange(). Runs on the background thread, or on the caller's
    // for tests. Returns the time from this pass's start to the next one's.
    std::chrono::nanoseconds run_pass() override;
    std::chrono::nanoseconds idle_limit() const override { return idle_after; }
    // Forgets every stamp of the copy: the next pass reports every list and
    // directory it watches, and the tree looks at each once.
    void discard() override;

  private:
    // Directories by path; none: forgotten.
    using Handed = std::unordered_map<std::string, std::optional<Directory>>;
    static void hand(Handed& from, Handed& to);
    void query(const std::string& path, Directory& directory, std::vector<std::string>& names,
               std::vector<Change>& changed);

    // The serving thread's changes since the last exchange; whether they follow a
    // forgetting of everything.
    Handed pending;
    bool pending_all = false;

    // The exchange, under its lock.
    kel::AnnotatedMutex lock;
    Handed handed QUORVEL_GUARDED_BY(lock);
    bool handed_all QUORVEL_GUARDED_BY(lock) = false;
    std::vector<Change> found QUORVEL_GUARDED_BY(lock);

    // The passes' own copy, touched only by run_pass; each one there is set.
    Handed directories;
    kel::FileSystem& file_system;
};
