// The list cache: what keeps list_table current before every message, at the cost
// of what changed. The rest of the program reaches it only through list_refresh.h.
//
// Where things are:
// - list_cache.{h,cpp}: this class; each refresh picks its way (below) and hands
//   findings between the serving thread and the background thread. cache_settings.h:
//   its options and counts.
// - list_walk.{h,cpp}: the walk of every list directory and the per-list step applied
//   to the table; where each domain's lists lie, in the walk's order (entry_place),
//   for every reading here. The reading of one list's files is list_reading.h, above.
//   When is a subscriber file read again? When its stamp (size, times, inode) differs
//   from the one of its last reading, or it could not be opened or read and a retry is
//   due (list_reading.cpp); the tree decides which lists to look at (watched_tree.cpp).
//   listing_memory.{h,cpp}: a directory that cannot be listed keeps its lists.
// - watched_tree.h and watched_tree.cpp, tree_places.cpp, tree_visits.cpp: the
//   watched tree, the directories with their kernel-event watches, and its visits;
//   tree_leftovers.cpp: the lists a first reading out of time leaves to the
//   background. tree_names.h: the ".list" and ".settings" names.
// - kernel_events.{h,cpp}: the kernel's change events (inotify).
// - mount_changes.{h,cpp}: whether the mount table changed where it concerns us.
//   Which places lie on network storage is the seam's question, answered from the
//   mount table (support/place_storage.h).
// - status_passes.{h,cpp}: the background status queries that bound how late a
//   change that raises no event is seen.
// - network_reading.{h,cpp}: the background passes over lists on network storage
//   (NFS, SMB, FUSE, cluster file systems), which raise no events here; what happens
//   on NFS is said there. network_pass.{h,cpp}: what they hand over and their pace;
//   parallel_calls.{h,cpp}: the calls in flight side by side;
//   network_hand_over.{h,cpp}: the serving thread applies what they read.
// - background_thread.{h,cpp}: a thread beside the serving one for jobs that take
//   turns; nothing a job throws ends the process.
// - bounded_walk.cpp: the check tool's walk, a thread per mount reading its places
//   in turn, each place given up by the calling thread once past its bound.
// - cache_fakes.h (tests only): fakes of the kernel events and the mount table.
// Where From is parsed: not here; from_address.h, above, beside the message reader.
// Every call on the server's files goes through the file-system seam (file_system.h
// in support/), and so does the time the decisions go by (how old a reading is, the
// first reading's budget, the network passes' pace), so that it can be tested against
// an in-memory fake whose clock a test moves. Only the threads' own sleeping and the
// processor time measured are real.
//
// Threads. The serving thread alone touches list_table, the ListCache, the
// WatchedTree, the KernelEvents, the MountChanges and the NetworkHandOver, and
// writes every log record. The background threads run the jobs: the local one the
// StatusPasses and the NetworkReading of a first reading's leftovers (local disk
// only); one for each mount that holds a place on network storage, started once a
// place lies there, the NetworkReading of those places; so a pass held by a hung
// mount holds nothing local and no other mount. Each reading has the threads of its
// own ParallelCalls, which share nothing but the task index; each job keeps its own
// copy of what it needs and reads files only. They meet in exchanges, each one
// kel::AnnotatedMutex held for a few swaps: the status passes' (StatusPasses::
// exchange: what to watch in, what changed out) and each network reading's
// (NetworkReading::exchange: places, lists to read again or a first reading's
// leftovers in, what was read out). Each BackgroundThread's own lock carries only
// the timing (when a message came, when a job is due) and the text of a failure.
// The check tool's walk has a thread per mount that reads its places into values of
// its own and meets the calling thread in one locked board, held by shared_ptr; the
// calling thread alone keeps the time, and a thread at a place it gave up is left to
// itself (bounded_walk.cpp).
#pragma once

#include <cstdint>
#include <memory>

#include "cache_settings.h"
#include "file_system.h"
#include "kernel_events.h"
#include "mount_changes.h"

class ListCache {
  public:
    // Every call on the server's files goes through `file_system`, which outlives
    // the cache; `events` and `mounts` are the kernel's unless a test gives fakes.
    explicit ListCache(const ListCacheOptions& options = {},
                       kel::FileSystem& file_system = kel::real_file_system(),
                       std::unique_ptr<KernelEvents> events = nullptr,
                       std::unique_ptr<MountChanges> mounts = nullptr);
    ~ListCache();
    ListCache(const ListCache&) = delete;
    ListCache& operator=(const ListCache&) = delete;

    // Brings list_table up to date with the tree below the working directory.
    void refresh(int32_t request_number);

    // Runs one status pass on the calling thread, as the background thread does
    // (status passes OnDemand only); the next refresh takes its findings.
    void run_status_pass();
    // The same for the reading of a first reading's leftovers, then one pass over
    // network storage (network passes OnDemand only).
    void run_network_pass();

    // What the refreshes so far cost, for tests and benchmarks.
    const CacheCounts& counts() const;

  private:
    struct State;
    std::unique_ptr<State> state;
};
