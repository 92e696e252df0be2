// Change events from the kernel (inotify) for a set of directories, so that the list
// refresh can skip what did not change. A directory is watched only where its
// events can be trusted: on a file system whose every change passes through this
// machine's kernel. Nothing here ever blocks; events are read when asked for.
//
// A directory watch reports what happens to the entries of that one directory
// (created, deleted, renamed, written, touched) and to the directory itself. It
// cannot report a change made through another name of a file (a hard link, or the
// target of a symbolic link); callers treat such files as always changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_map>

class ChangeWatch {
  public:
    // `watch_budget` caps the number of directories watched at once; beyond it a
    // watch fails as it does when the system's watch limit is reached. Only tests
    // set it.
    explicit ChangeWatch(size_t watch_budget = std::numeric_limits<size_t>::max());
    ~ChangeWatch();
    ChangeWatch(const ChangeWatch&) = delete;
    ChangeWatch& operator=(const ChangeWatch&) = delete;

    // Whether the kernel gave an event queue; tried again by every call.
    bool ready();

    enum class Outcome {
        Watched,   // events will tell every change; `watch` identifies them
        Missing,   // the path is not a directory (or not there); nothing is watched
        NotLocal,  // a network or user-space file system: its events miss changes
        Failed,    // the watch could not be set (watch limit, memory, permission)
    };
    struct Added {
        Outcome outcome = Outcome::Failed;
        int watch = -1;
    };
    // Watches the directory at `path`, following a symbolic link. Two paths that
    // lead to one directory share one watch; every successful add is balanced by one
    // release.
    Added add(const std::string& path);
    void release(int watch);

    // Hands every queued event to `handle`: the watch, the inotify mask, and the
    // name of the entry concerned (empty for the directory itself). An event with
    // IN_IGNORED ends its watch, which then needs no release. Returns false when the
    // queue overflowed and events were lost.
    using Handler = std::function<void(int watch, uint32_t mask, std::string_view name)>;
    bool drain(const Handler& handle);

  private:
    int descriptor = -1;
    size_t budget;
    std::unordered_map<int, size_t> holders;  // watch to the number of adds holding it
};

// Whether a file system of this statfs type reports every change of its files by
// inotify: local disk and memory file systems do; network, cluster and user-space
// ones (NFS, SMB, FUSE, 9p, Ceph and the like) and unknown types do not.
bool has_local_change_events(int64_t file_system_type);
