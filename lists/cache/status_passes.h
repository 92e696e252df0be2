// The status queries that bound how late the watched refresh sees a change that
// raises no event where it watches: a write through a second name given to a list
// file later, a writer through a kept memory mapping, a change at the source of a
// mount. A pass queries the stamp of every list file and list directory that the
// tree trusts to announce its changes and reports those whose stamp differs from
// the one the tree last saw. It only queries status: it reads no file, parses
// nothing, writes nothing and never touches the list table.
#pragma once

#include <chrono>
#include <string>
#include <unordered_map>
#include <vector>

#include "annotated_mutex.h"
#include "background_thread.h"
#include "file_system.h"

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

    // On the serving thread: changes to what the passes watch, kept until the
    // next exchange. A list is watched with the stamps of its two files as the
    // tree last saw them; forgetting a directory forgets its lists too.
    void watch_list(const std::string& directory, const std::string& name,
                    const kel::FileStamp& list, const kel::FileStamp& settings);
    void watch_directory(const std::string& directory, const kel::FileStamp& stamp);
    void forget_list(const std::string& directory, const std::string& name);
    void forget_directory(const std::string& directory);
    void forget_all();

    // On the serving thread: hands the changes above to the passes and takes what
    // the passes found since the last exchange. Costs one lock and two swaps when
    // the tree is steady. What waits for a pass is kept to what still matters: a
    // pass that is late (a busy machine) does not keep every change made meanwhile.
    std::vector<Change> exchange();
    // The changes handed over that wait for a pass, for tests.
    size_t waiting_changes();

    // One pass: takes the handed changes in, queries every stamp, and keeps what
    // differs for exchange(). Runs on the background thread, or on the caller's
    // for tests. Returns the time from this pass's start to the next one's.
    std::chrono::nanoseconds run_pass() override;
    std::chrono::nanoseconds idle_limit() const override { return idle_after; }
    // Forgets every stamp of the copy: the next pass reports every list and
    // directory it watches, and the tree looks at each once.
    void discard() override;

  private:
    struct Delta {
        enum Kind { List, Directory, ForgetList, ForgetDirectory, ForgetAll } kind;
        std::string directory;
        std::string name;
        kel::FileStamp list, settings;  // for List; `list` alone for Directory
    };
    void apply(Delta& delta);
    static void drop_superseded(std::vector<Delta>& deltas);

    // The serving thread's changes since the last exchange.
    std::vector<Delta> pending;

    // The exchange, under its lock.
    kel::AnnotatedMutex lock;
    std::vector<Delta> handed QUORVEL_GUARDED_BY(lock);
    std::vector<Change> found QUORVEL_GUARDED_BY(lock);
    // The size of `handed` after it was last rid of what later changes supersede.
    size_t handed_kept QUORVEL_GUARDED_BY(lock) = 0;

    // The passes' own copy, touched only by run_pass: arrays walked in order by a
    // pass, and indexes into them for the changes handed over.
    struct WatchedList {
        std::string name;
        kel::FileStamp list, settings;
    };
    struct WatchedDirectory {
        std::string path;
        bool itself = false;
        kel::FileStamp stamp;
        std::vector<WatchedList> lists;
        std::unordered_map<std::string, size_t> list_index;
    };
    WatchedDirectory& directory_for(const std::string& path);
    void query(WatchedDirectory& directory, std::vector<std::string>& names,
               std::vector<Change>& changed);
    void forget_directory_at(size_t index);
    std::vector<WatchedDirectory> directories;
    std::unordered_map<std::string, size_t> directory_index;
    kel::FileSystem& file_system;
};
