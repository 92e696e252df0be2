// The mount table: a line is "id parent major:minor root mount-point options
// [optional fields...] - type source super-options". A path's mount is found by
// following the mount tree the table describes, prefix by prefix, as the kernel's own
// walk crosses mount points; the mount points are compared whole, never opened.
#include "mount_table.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <iterator>
#include <unordered_set>

namespace kel {
namespace {

// Far beyond the table of any real host (about 150 bytes a mount).
constexpr size_t table_limit = size_t{64} << 20;

std::vector<std::string_view> split_fields(std::string_view line) {
    std::vector<std::string_view> fields;
    while (!line.empty()) {
        size_t end = line.find(' ');
        std::string_view field = line.substr(0, end);
        if (!field.empty()) {
            fields.push_back(field);
        }
        line.remove_prefix(end == std::string_view::npos ? line.size() : end + 1);
    }
    return fields;
}

bool parse_id(std::string_view text, int& id) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    return error == std::errc() && end == text.data() + text.size() && id >= 0;
}

// One line; false for a line cut short or not in the format.
bool parse_line(std::string_view line, Mount& mount) {
    const std::vector<std::string_view> fields = split_fields(line);
    // Six fixed fields, any number of optional ones, the "-" and then type and source.
    size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") {
        ++separator;
    }
    if (separator + 1 >= fields.size() || !parse_id(fields[0], mount.id) ||
        !parse_id(fields[1], mount.parent)) {
        return false;
    }
    mount.mount_point = decode_octal_escapes(fields[4]);
    mount.type = decode_octal_escapes(fields[separator + 1]);
    mount.source = separator + 2 < fields.size() ? decode_octal_escapes(fields[separator + 2]) : "";
    return !mount.mount_point.empty() && mount.mount_point[0] == '/';
}

// The mount on "/" whose parent is no other mount of the table; the first mount on
// "/" when every one has a parent there (a table cut short).
size_t find_root(const std::vector<Mount>& entries, const std::vector<size_t>& on_root) {
    std::unordered_set<int> ids;
    for (const Mount& mount : entries) {
        ids.insert(mount.id);
    }
    for (size_t index : on_root) {
        const Mount& mount = entries[index];
        if (mount.parent == mount.id || ids.count(mount.parent) == 0) {
            return index;
        }
    }
    return on_root.front();
}

}  // namespace

std::string decode_octal_escapes(std::string_view escaped) {
    std::string path;
    path.reserve(escaped.size());
    for (size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] == '\\' && escaped.size() - i > 3) {
            const char a = escaped[i + 1], b = escaped[i + 2], c = escaped[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                path += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
                i += 3;
                continue;
            }
        }
        path += escaped[i];
    }
    return path;
}

bool is_network_file_system(std::string_view type) {
    // Every FUSE file system is served by a process that may wait on a network
    // (sshfs, s3fs, glusterfs, cvmfs, davfs...) or on anything else.
    if (type == "fuse" || type == "fuseblk" || type.substr(0, 5) == "fuse.") {
        return true;
    }
    // A constant table, not a static set: a background thread may ask while the
    // process's static objects are being destroyed at exit.
    static constexpr std::string_view network[] = {
        "nfs", "nfs4", "cifs", "smb3", "smbfs", "9p", "virtiofs", "ncpfs", "ncp", "coda", "afs",
        "openafs", "ceph", "glusterfs", "lustre", "gpfs", "beegfs", "fhgfs", "orangefs", "pvfs2",
        "ocfs2", "gfs2", "panfs", "wekafs", "quobyte", "davfs", "sshfs", "cvmfs",
        // The shared folders of virtual machines and Windows drives under WSL: the host
        // changes them behind the kernel's back.
        "vboxsf", "vmhgfs", "prl_fs", "drvfs",
        // A call on an automount point may mount, and wait for, remote storage.
        "autofs"};
    return std::find(std::begin(network), std::end(network), type) != std::end(network);
}

MountTable::MountTable(std::string_view text) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        Mount mount;
        if (parse_line(text.substr(0, end), mount)) {
            by_mount_point[mount.mount_point].push_back(entries.size());
            entries.push_back(std::move(mount));
        }
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    }
    auto on_root = by_mount_point.find("/");
    if (on_root != by_mount_point.end()) {
        root_index = find_root(entries, on_root->second);
    }
}

const Mount* MountTable::mounted_on(std::string_view mount_point, int parent) const {
    auto found = by_mount_point.find(std::string(mount_point));
    if (found == by_mount_point.end()) {
        return nullptr;
    }
    for (auto index = found->second.rbegin(); index != found->second.rend(); ++index) {
        const Mount& mount = entries[*index];
        if (mount.parent == parent && mount.id != parent) {
            return &mount;
        }
    }
    return nullptr;
}

const Mount* MountTable::mount_of(std::string_view path) const {
    if (root_index >= entries.size() || path.empty() || path[0] != '/') {
        return nullptr;
    }
    const Mount* current = &entries[root_index];
    // "/" first, then each prefix that ends before a "/" of the path or at its end.
    for (size_t end = 1; end <= path.size(); ++end) {
        if (end > 1 && ((end < path.size() && path[end] != '/') || path[end - 1] == '/')) {
            continue;
        }
        const std::string_view prefix = path.substr(0, end);
        // Mounts stacked on one point follow each other; the table bounds the chain
        // even if it were to describe a cycle.
        for (size_t depth = 0; depth < entries.size(); ++depth) {
            const Mount* above = mounted_on(prefix, current->id);
            if (above == nullptr) {
                break;
            }
            current = above;
        }
    }
    return current;
}

MountTableReading read_mount_table() {
    MountTableReading reading;
    int descriptor = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        char buffer[256];
        reading.reason = strerror_r(errno, buffer, sizeof buffer);
        return reading;
    }
    std::string text;
    char block[16384];
    for (;;) {
        ssize_t count = read(descriptor, block, sizeof block);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 || text.size() + static_cast<size_t>(count) > table_limit) {
            char buffer[256];
            reading.reason = count < 0 ? strerror_r(errno, buffer, sizeof buffer)
                                       : "the table is larger than 64 MiB";
            close(descriptor);
            return reading;
        }
        if (count == 0) {
            break;
        }
        text.append(block, static_cast<size_t>(count));
    }
    close(descriptor);
    reading.read = true;
    reading.table = MountTable(text);
    return reading;
}

}  // namespace kel
