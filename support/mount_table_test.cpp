// The mount table: lines as the kernel writes them, the mount a path lies on as the
// kernel's walk finds it (stacked and hidden mounts), and which types are network.
#include "mount_table.h"

#include <gtest/gtest.h>

namespace {

using kel::Mount;
using kel::MountTable;

TEST(MountTableTest, ParsesLinesAndSkipsThoseCutShort) {
    struct Case {
        std::string line;
        std::vector<Mount> mounts;
    };
    const Case cases[] = {
        {"22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw", {{22, 1, "/", "ext4", "/dev/sda1"}}},
        {"36 35 98:0 /mnt1 /mnt2 rw master:1 shared:2 - nfs4 srv:/x rw",
         {{36, 35, "/mnt2", "nfs4", "srv:/x"}}},
        {"40 22 0:5 / /srv/cgp\\040base\\134x rw - fuse.sshfs a\\040b rw",
         {{40, 22, "/srv/cgp base\\x", "fuse.sshfs", "a b"}}},
        {"41 22 0:6 / /srv rw - tmpfs", {{41, 22, "/srv", "tmpfs", ""}}},
        {"42 22 0:7 / /srv rw shared:1 tmpfs none rw", {}},
        {"43 22 0:7 / /srv rw -", {}},
        {"44 22 0:7 / relative rw - tmpfs none rw", {}},
    };
    for (const Case& row : cases) {
        EXPECT_EQ(MountTable(row.line + "\n").mounts(), row.mounts) << row.line;
    }
}

TEST(MountTableTest, FindsTheMountThePathLiesOn) {
    const MountTable table(
        "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "2 1 0:40 / /srv rw - nfs4 server:/srv rw\n"
        "3 2 0:41 / /srv/local rw - tmpfs tmpfs rw\n"
        "4 1 8:2 / /home rw - xfs /dev/sda2 rw\n"
        "5 4 0:42 / /home rw - fuse.sshfs host: rw\n"
        "6 1 0:43 / /data\\040x rw - ext4 /dev/sdb rw\n"
        "7 1 0:44 / /mnt rw - ext4 /dev/sdc rw\n"
        "8 7 0:45 / /mnt/inner rw - nfs server:/inner rw\n"
        "9 7 0:46 / /mnt rw - tmpfs tmpfs rw\n");
    // A mount stacked last on a point covers the one below (/home); a mount stacked
    // over its parent hides it (/mnt/inner).
    const std::pair<std::string, int> cases[] = {
        {"/", 1},         {"/etc/passwd", 1},  {"/srv", 2},        {"/srv/x/y", 2},
        {"/srvx", 1},     {"/srv/local/a", 3}, {"/srv/localx", 2}, {"/home/u", 5},
        {"/data x/f", 6}, {"/mnt/inner/f", 9}, {"relative", -1}};
    for (const auto& [path, id] : cases) {
        const Mount* mount = table.mount_of(path);
        EXPECT_EQ(mount != nullptr ? mount->id : -1, id) << path;
    }
    EXPECT_EQ(MountTable("2 1 0:40 / /srv rw - nfs4 server:/srv rw\n").mount_of("/srv"), nullptr);
}

TEST(MountTableTest, NetworkTypesAreKnownByName) {
    for (const char* type :
         {"nfs",    "nfs4",    "cifs",       "smb3",           "smbfs",     "9p",    "virtiofs",
          "fuse",   "fuseblk", "fuse.sshfs", "fuse.glusterfs", "fuse.ceph", "ceph",  "glusterfs",
          "lustre", "gpfs",    "ocfs2",      "gfs2",           "afs",       "autofs"}) {
        EXPECT_TRUE(kel::is_network_file_system(type)) << type;
    }
    for (const char* type : {"ext4", "xfs", "btrfs", "tmpfs", "overlay", "fusectl", "nfsd", "proc",
                             "rpc_pipefs", "", "fuse-x", "NFS"}) {
        EXPECT_FALSE(kel::is_network_file_system(type)) << type;
    }
}

}  // namespace
