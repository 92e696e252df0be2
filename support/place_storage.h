// Whether a place (a path the filter reads, relative to the working directory) lies on
// network storage, decided without one call on a network place: a call there may
// wait for a server that no longer answers. The mount table decides; the only calls
// made are on local places, to follow their symbolic links.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mount_table.h"

namespace kel {

// The calls the resolver makes on a local path, so that a test can fake them.
class LinkReader {
  public:
    virtual ~LinkReader() = default;
    struct Link {
        bool is_link = false;  // false too when nothing is there or it cannot be examined
        bool readable = true;  // false for a link whose target cannot be read
        std::string target;
    };
    // What lies at `path` (lstat, then readlink for a symbolic link).
    virtual Link read_link(const std::string& path) = 0;
};

// The kernel's lstat and readlink.
class SystemLinkReader : public LinkReader {
  public:
    Link read_link(const std::string& path) override;
};

enum class PlaceKind {
    Local,
    Network,
    // Not judged: a chain of more links than the kernel follows, a link that cannot
    // be read, or no mount in the table for the path. Treat it as network storage.
    Unresolved,
};

struct PlaceStorage {
    PlaceKind storage = PlaceKind::Unresolved;
    // The place's path, absolute and with the links met on local storage followed; on
    // network storage, the rest of the path as written, after the mount reached.
    std::string path;
    // The mount the place lies on (on network storage: the first one met on the way);
    // none only when the table holds no root mount.
    std::optional<Mount> mount;
    std::string reason;  // why the place is Unresolved
};

// Where `place` lies. `working_directory` is the absolute path that getcwd gives
// (free of symbolic links). The path is walked from there one component at a time:
// each prefix's mount is looked up in `table`, and the walk stops at the first one on
// network storage; a component on local storage is examined through `links`, and a
// symbolic link is followed (relative or absolute target, at most 40 links in all,
// ".." taken from the path reached so far). So no call ever reaches a place on a
// network mount, not even its mount point.
PlaceStorage place_storage(std::string_view place, const std::string& working_directory,
                           const MountTable& table, LinkReader& links);

// The storage of the working directory, told by the file-system type of its descriptor
// (fstatfs) and asked once, at the first call: the answer for a place that the mount
// table does not cover at all (a chroot whose root is no mount of its own, a mount
// namespace that hides the root's mount). Such a place is never simply taken for
// network storage: that would leave every list unchecked until a slow pass. The
// start-up asks it first, on the directory the process already stands in.
PlaceKind working_directory_storage();

}  // namespace kel
