// The inotify descriptor, non-blocking, and the statfs test of a directory's file
// system. Events are read in one pass until the queue is empty.
#include "change_watch.h"

#include <errno.h>
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstring>

namespace {

// Everything that can change an entry's listing, size or modification time, or the
// directory itself. IN_CLOSE_WRITE also catches a writer that changed a file
// through a memory mapping, which reports no IN_MODIFY.
constexpr uint32_t watched_events = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF |
                                    IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

bool has_local_change_events(int64_t file_system_type) {
    // Magic numbers of <linux/magic.h>, written out: not every one is in every
    // version of the header.
    switch (static_cast<uint32_t>(file_system_type)) {
        case 0xEF53:      // ext2, ext3, ext4
        case 0x58465342:  // xfs
        case 0x9123683E:  // btrfs
        case 0x01021994:  // tmpfs
        case 0x858458F6:  // ramfs
        case 0xF2F52010:  // f2fs
        case 0x52654973:  // reiserfs
        case 0x3153464A:  // jfs
        case 0x2FC12FC1:  // zfs
        case 0xCA451A4E:  // bcachefs
        case 0x3434:      // nilfs2
        case 0x482B:      // hfsplus
        case 0x4D44:      // vfat, msdos
        case 0x2011BAB0:  // exfat
        case 0x7366746E:  // ntfs3
        case 0x5346544E:  // ntfs
        case 0x15013346:  // udf
        case 0x24051905:  // ubifs
        case 0x72B6:      // jffs2
        // Overlay (containers): changes made through the overlay are reported; one
        // made below it, straight into a layer, is not, which no server does.
        case 0x794C7630:
            return true;
        default:
            return false;
    }
}

ChangeWatch::ChangeWatch(size_t watch_budget) : budget(watch_budget) {
    descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
}

ChangeWatch::~ChangeWatch() {
    if (descriptor >= 0) {
        close(descriptor);
    }
}

bool ChangeWatch::ready() {
    if (descriptor < 0) {
        descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    return descriptor >= 0;
}

ChangeWatch::Added ChangeWatch::add(const std::string& path) {
    struct statfs file_system;
    if (statfs(path.c_str(), &file_system) != 0) {
        return {errno == ENOENT || errno == ENOTDIR ? Outcome::Missing : Outcome::Failed, -1};
    }
    if (!has_local_change_events(static_cast<int64_t>(file_system.f_type))) {
        return {Outcome::NotLocal, -1};
    }
    if (descriptor < 0) {
        return {Outcome::Failed, -1};
    }
    int watch = inotify_add_watch(descriptor, path.c_str(), watched_events);
    if (watch < 0) {
        return {errno == ENOENT || errno == ENOTDIR ? Outcome::Missing : Outcome::Failed, -1};
    }
    size_t& holding = holders[watch];
    if (holding == 0 && holders.size() > budget) {
        holders.erase(watch);
        inotify_rm_watch(descriptor, watch);
        return {Outcome::Failed, -1};
    }
    ++holding;
    return {Outcome::Watched, watch};
}

void ChangeWatch::release(int watch) {
    auto found = holders.find(watch);
    if (found == holders.end()) {
        return;
    }
    if (--found->second == 0) {
        holders.erase(found);
        inotify_rm_watch(descriptor, watch);
    }
}

bool ChangeWatch::drain(const Handler& handle) {
    if (descriptor < 0) {
        return false;
    }
    bool complete = true;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        ssize_t got = read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            // EAGAIN: the queue is empty. Any other failure loses events.
            return complete && (got == 0 || errno == EAGAIN || errno == EWOULDBLOCK);
        }
        for (ssize_t at = 0; at < got;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                complete = false;
                continue;
            }
            if (event.mask & IN_IGNORED) {
                holders.erase(event.wd);
            }
            handle(event.wd, event.mask, std::string_view(name, strnlen(name, event.len)));
        }
    }
}
