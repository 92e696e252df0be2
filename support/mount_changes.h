// The mounts that concern the server's base directory, followed through the
// process's mount table. A file system mounted over a list directory or a list
// file raises no change event in the directory it covers, so the watched refresh
// asks here, at every message, whether such a mount appeared, disappeared or
// changed. The table comes from the kernel; nothing here blocks.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

class MountChanges {
  public:
    virtual ~MountChanges() = default;

    // Reads the mounts that concern the working directory now; later readings are
    // compared with this one. Call it before the watches are set, so that a mount
    // made while they are being set shows as a change.
    virtual void take_reading() = 0;

    // Whether a mount that concerns the working directory of the last reading has
    // appeared, disappeared or changed since. The kernel marks the table when any
    // mount changes; an unmarked table costs one poll and is not read, and a
    // marked one whose entries of concern are unchanged answers false.
    virtual bool moved() = 0;
};

// The process's mount table ("/proc/self/mountinfo"). Without it (no /proc), no
// mount is ever reported, and only the refresh's other means see what a mount
// changed.
std::unique_ptr<MountChanges> mount_table_changes();

// The lines of a mount table in the mountinfo format whose mount point is `base`,
// lies below it, or lies on the path to it ("/" included), in the table's order.
// `base` is an absolute path without escapes; the table's octal escapes in mount
// points (\040 for a blank and the like) are decoded before comparing.
std::vector<std::string> mounts_concerning(std::string_view table, std::string_view base);

}  // namespace kel
