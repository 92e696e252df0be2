// Which file systems tell every change of their files through this machine's kernel,
// by the type statfs gives: the one table the list cache trusts its change events by.
#pragma once

#include <cstdint>

namespace kel {

// Whether a file system of this statfs type reports every change of its files by
// inotify: local disk and memory file systems do; network, cluster and user-space
// ones (NFS, SMB, FUSE, 9p, Ceph and the like) and unknown types do not.
bool has_local_change_events(int64_t file_system_type);

}  // namespace kel
