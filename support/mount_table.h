// The process's mount table ("/proc/self/mountinfo") as the judge of which places lie
// on network storage: the table comes from the kernel and reading it touches no mount,
// so a hung network mount can be recognised without one call on it. The text is
// parsed as the kernel writes it; a line that does not parse is skipped, not trusted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kel {

// One line of the table. Paths are decoded (the kernel writes a blank, TAB, line
// feed and backslash as a backslash and three octal digits).
struct Mount {
    int id = -1;      // the mount's id, unique while it is mounted
    int parent = -1;  // the id of the mount it was mounted on (itself stacked or not)
    std::string mount_point;
    std::string type;    // the file-system type, "nfs4", "fuse.sshfs" and the like
    std::string source;  // what is mounted, "server:/export" or "/dev/sda1"
    bool operator==(const Mount&) const = default;
};

// A path as the table writes it, decoded: the kernel writes a blank, TAB, line feed
// and backslash as a backslash and three octal digits.
std::string decode_octal_escapes(std::string_view escaped);

// Whether a file system of this type lies on network storage: its files may change
// on another machine without any event here, and a call on it may wait for a server
// (NFS, SMB, 9p, virtiofs, every FUSE type, the cluster file systems, autofs, and
// the shared folders of virtual machines). Every other type is local.
bool is_network_file_system(std::string_view type);

class MountTable {
  public:
    MountTable() = default;
    // The mounts of a table in the mountinfo format, in the table's order.
    explicit MountTable(std::string_view text);

    const std::vector<Mount>& mounts() const { return entries; }

    // The mount that `path` lies on, or null when the table has no root mount.
    // REQUIRES: `path` is absolute and free of symbolic links, "." and "..".
    // The mount is found as the kernel finds it: from the root mount, at each
    // prefix of the path, down to the mount mounted last on that prefix over the
    // mount reached so far. A mount hidden by a later mount over one of its
    // ancestors is therefore never the answer.
    const Mount* mount_of(std::string_view path) const;

  private:
    // The last mount on `mount_point` whose parent is `parent`; null when none.
    const Mount* mounted_on(std::string_view mount_point, int parent) const;

    std::vector<Mount> entries;
    // Mount point to the indices of its entries, in the table's order.
    std::unordered_map<std::string, std::vector<size_t>> by_mount_point;
    size_t root_index = SIZE_MAX;  // the root mount in `entries`; none when past the end
};

// The process's table as the kernel gives it now; `read` is false (and `reason`
// the system's text) when it cannot be read, as without /proc.
struct MountTableReading {
    bool read = false;
    MountTable table;
    std::string reason;
};
MountTableReading read_mount_table();

}  // namespace kel
