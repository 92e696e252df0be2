// The mounts that concern the server's base directory, watched through the
// process's mount table. A file system mounted over a list directory or a list
// file raises no change event in the directory it covers, so the watched refresh
// asks here, at every message, whether such a mount appeared, disappeared or
// changed. The table comes from the kernel; nothing here blocks.
#pragma once

#include <string>
#include <string_view>
#include <vector>

class MountWatch {
  public:
    // Opens the process's mount table ("/proc/self/mountinfo"). Without it (no
    // /proc), no mount is ever reported, and only the refresh's other means see
    // what a mount changed.
    MountWatch();
    ~MountWatch();
    MountWatch(const MountWatch&) = delete;
    MountWatch& operator=(const MountWatch&) = delete;

    // Reads the mounts that concern the working directory now; later readings are
    // compared with this one. Call it before the watches are set, so that a mount
    // made while they are being set shows as a change.
    void take_reading();

    // Whether a mount that concerns the working directory of the last reading has
    // appeared, disappeared or changed since. The kernel marks the table when any
    // mount changes; an unmarked table costs one poll and is not read, and a
    // marked one whose entries of concern are unchanged answers false.
    bool moved();

  private:
    // The entries of concern, as the table writes them; false when the table
    // could not be read.
    bool read(std::vector<std::string>& entries);

    int descriptor = -1;
    std::string base;  // the working directory of the last reading, as the table writes paths
    std::vector<std::string> reading;
    bool reading_valid = false;
};

// The lines of a mount table in the mountinfo format whose mount point is `base`,
// lies below it, or lies on the path to it ("/" included), in the table's order.
// `base` is an absolute path without escapes; the table's octal escapes in mount
// points (\040 for a blank and the like) are decoded before comparing.
std::vector<std::string> mounts_concerning(std::string_view table, std::string_view base);
