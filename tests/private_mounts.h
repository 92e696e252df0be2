// Bind mounts for tests, made in a mount namespace of the test process's own so
// that nothing is mounted for the rest of the machine. Where the sandbox forbids
// namespaces or mounting, the calls say why, for a test to skip with.
// Header-only, so that the in-process tests under lists/ can use it too.
#pragma once

#include <sched.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

// Moves the calling process (its calling thread, and every process it starts
// afterwards) into a private mount namespace, once. Empty when that worked, else
// why not.
inline const std::string& enter_private_mount_namespace() {
    static const std::string failure = []() -> std::string {
        if (unshare(CLONE_NEWNS) != 0) {
            return std::string("no mount namespace of our own (unshare: ") + std::strerror(errno) +
                   ")";
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return std::string("mounts cannot be made private (mount: ") + std::strerror(errno) +
                   ")";
        }
        return "";
    }();
    return failure;
}

// Mounts `source` (a file or a directory) over `target`; empty when done, else why not.
inline std::string bind_mount(const std::string& source, const std::string& target) {
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        return "bind mount of " + source + " over " + target + ": " + std::strerror(errno);
    }
    return "";
}

// Unmounts whatever is mounted at `absolute_root` or below it, the innermost
// first, so that the directory can be removed.
inline void unmount_below(const std::string& absolute_root) {
    for (int round = 0; round < 100; ++round) {
        std::vector<std::string> points;
        std::ifstream table("/proc/self/mountinfo");
        std::string line;
        while (std::getline(table, line)) {
            // Fields: mount id, parent id, device, root, mount point, ...
            size_t at = 0;
            for (int field = 0; field < 4 && at != std::string::npos; ++field) {
                at = line.find(' ', at);
                at = at == std::string::npos ? at : at + 1;
            }
            if (at == std::string::npos) {
                continue;
            }
            std::string point = line.substr(at, line.find(' ', at) - at);
            if (point == absolute_root || point.rfind(absolute_root + "/", 0) == 0) {
                points.push_back(point);
            }
        }
        if (points.empty()) {
            return;
        }
        std::sort(points.begin(), points.end(),
                  [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
        for (const std::string& point : points) {
            umount2(point.c_str(), MNT_DETACH);
        }
    }
}
