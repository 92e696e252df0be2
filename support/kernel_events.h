// The kernel's change events (inotify) for a set of directories, so that the list
// refresh can skip what did not change. The watched tree asks the file-system seam
// first whether a directory lies where every change passes through this kernel, and
// watches only there. Nothing here ever blocks; events are read when asked for.
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
#include <memory>
#include <string>
#include <string_view>

namespace kel {

class KernelEvents {
  public:
    virtual ~KernelEvents() = default;

    enum class Outcome {
        Watched,  // events will tell every change; `watch` identifies them
        Missing,  // the path is not a directory (or not there); nothing is watched
        Failed,   // the watch could not be set (watch limit, memory, permission)
    };
    struct Added {
        Outcome outcome = Outcome::Failed;
        int watch = -1;
    };
    // Watches the directory at `path`, following a symbolic link; Failed while the
    // kernel gives no event queue (asked again at every call). Two paths that
    // lead to one directory share one watch; every successful add is balanced by one
    // release. Whether a place's events can be trusted at all (not on network
    // storage) is the seam's to tell, before a watch is asked for.
    virtual Added add(const std::string& path) = 0;
    virtual void release(int watch) = 0;

    // Hands every queued event to `handle`: the watch, the inotify mask, and the
    // name of the entry concerned (empty for the directory itself). An event with
    // IN_IGNORED ends its watch, which then needs no release. Returns false when the
    // queue overflowed and events were lost (without a queue, nothing is watched and
    // nothing lost).
    using Handler = std::function<void(int watch, uint32_t mask, std::string_view name)>;
    virtual bool drain(const Handler& handle) = 0;
};

// The kernel's inotify queue. `watch_budget` caps the number of directories watched
// at once; beyond it a watch fails as it does when the system's watch limit is
// reached. Only tests set it.
std::unique_ptr<KernelEvents> inotify_events(
    size_t watch_budget = std::numeric_limits<size_t>::max());

}  // namespace kel
