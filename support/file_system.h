// The file-system seam: the few calls that the list cache makes on the server's
// tree (a status, a directory listing, a bounded read, the kind of storage a place
// lies on), and the time its decisions go by, behind one small interface, so that
// the cache can be tested in-process against an in-memory tree that fails or hangs
// where a test says, on a clock the test moves (fake_file_system.h).
// Every call answers with what happened, errno included; none throws, none writes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "files.h"

namespace kel {

// The errno says that a path leads nowhere (nothing there, not a directory, a loop
// of links, a name too long), as opposed to a failure of the storage.
bool leads_nowhere(int error);

// What a status query gave. `error` is 0 when the path could be queried, else the
// errno that stopped the query; everything else is then zero.
struct PathStatus {
    int error = 0;
    FileStamp stamp;
    mode_t type = 0;  // S_IFREG, S_IFDIR, S_IFLNK (only when links are not followed), ...
    uint64_t device = 0;
    uint64_t links = 0;
    // A file system is mounted on the path.
    bool mount_root = false;

    bool found() const { return error == 0; }
    bool is_directory() const { return found() && type == S_IFDIR; }
    bool is_link() const { return found() && type == S_IFLNK; }
};

// The entries of a directory in the order the system gives them, without the names
// that begin with "." (so neither "." nor ".."). `error` is 0 when the whole
// directory was read; else the errno that stopped it, and `names` holds what was
// read before (nothing when it could not be opened).
struct DirectoryListing {
    std::vector<std::string> names;
    int error = 0;

    bool complete() const { return error == 0; }
    // Nothing is there to list (ENOENT, ENOTDIR, ELOOP, ENAMETOOLONG): an absent
    // directory, not a failure.
    bool absent() const;
};

// Where a place lies, as far as change events go.
enum class Storage {
    Local,    // every change passes through this machine's kernel and raises an event
    Network,  // network, cluster or user-space storage: changes elsewhere raise none here
    Absent,   // nothing at the path (ENOENT, ENOTDIR)
    Unknown,  // the question failed for another reason
};

// A file opened for reading, non-blocking, its type checked on the descriptor.
class ReadableFile {
  public:
    virtual ~ReadableFile() = default;
    // Up to `size` bytes into `into`: the count, 0 at the end, or -errno.
    virtual long read(char* into, size_t size) = 0;
};

struct OpenedFile {
    // 0, or the errno of the open (EISDIR, ENOENT, EACCES, ...). A file that opened
    // but is not a regular file has `regular` false and no `file`.
    int error = 0;
    bool regular = false;
    uint64_t size = 0;  // as the file claims, for a first bound
    FileStamp stamp;    // of what was opened, as a status query gives it
    std::unique_ptr<ReadableFile> file;
};

class FileSystem {
  public:
    virtual ~FileSystem() = default;

    // The status of `path`, following symbolic links unless told not to.
    virtual PathStatus status(const std::string& path, bool follow_links = true) = 0;
    // The statuses of entries of one directory, in the order of `names` (entry
    // names: no "/" in them, never empty), as status() would give them.
    virtual std::vector<PathStatus> statuses_in(const std::string& directory,
                                                const std::vector<std::string>& names);
    virtual DirectoryListing list(const std::string& path) = 0;
    // Opens without waiting on a FIFO or a device; only a regular file can be read.
    virtual OpenedFile open(const std::string& path) = 0;
    virtual Storage storage(const std::string& path) = 0;
    // The mount a place lies on, told without a call on the place (the mount table);
    // -1 when that cannot be told. Places on one mount share its server: a hang there
    // holds them all and no place elsewhere.
    virtual int mount_of(const std::string& path) = 0;
    // The time by which the cache judges how long things took or how old they are
    // (a reading of network storage, a first reading's budget, the pace of passes).
    virtual std::chrono::steady_clock::time_point now() = 0;
};

// The kernel's file system, relative to the working directory.
FileSystem& real_file_system();

// A whole regular file read through the seam, at most `limit` bytes.
struct FileBytes {
    enum Outcome { Read, Missing, NotRegular, CannotOpen, TooLarge, Failed } outcome = Missing;
    std::string bytes;  // only when Read
    int error = 0;      // for CannotOpen and Failed
    // The stamp of what was opened; none when nothing could be opened.
    std::optional<FileStamp> stamp;
};
FileBytes read_file(FileSystem& file_system, const std::string& path, uint64_t limit);

// strerror's text for an errno, safe on any thread.
std::string error_text(int error);

}  // namespace kel
