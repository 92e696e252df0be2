// slow_fs: a read-only FUSE pass-through that mirrors one source directory at a mount
// point and waits a set time in every metadata call, to stand in for network storage
// in tests and benchmarks. It trusts its command line and the source tree; it keeps
// nothing of its own between calls, and the kernel keeps no attributes (names only
// for the entry timeouts given, 0 by default), so a change made in the source is
// seen through the mount at the next call.
//
// Usage: slow_fs [--delay-us N] [--entry-timeout S] [--negative-timeout S]
//                SOURCE MOUNTPOINT [FUSE options, e.g. -f]
//
// Delayed and counted: getattr (every name lookup arrives as one), readlink, open,
// opendir, readdir, access and statfs. Reads and releases are neither. The counts
// are read from the file ".slow_fs-calls" in the mount's root, which no listing shows
// and which is itself neither delayed nor counted; every read of it reports the counts
// afresh, so a reader keeps it open and reads it at offset 0 (a path lookup of it
// would add a getattr of the root to the counts).
//
// A directory whose source holds an entry ".slow_fs-eio" fails to be read (readdir
// answers EIO), as an NFS directory does in a fail-over. One that holds ".slow_fs-hang"
// is not answered until the program ends, as by a server that stopped in the middle
// of a call: a call the program has taken holds its caller, even against SIGKILL.
//
// No mount outlives the program: it unmounts when it ends on a signal, and a watcher
// it leaves behind unmounts when it is killed.
#define FUSE_USE_VERSION 31

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <fuse_opt.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/fsuid.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const calls_name = "/.slow_fs-calls";

struct Settings {
    unsigned delay_us = 0;
    double entry_timeout = 0;
    double negative_timeout = 0;
    const char* source = nullptr;
    const char* mount_point = nullptr;
};

Settings settings;
int source_fd = -1;

enum Call { Getattr, Readlink, Open, Opendir, Readdir, Access, Statfs, CallKinds };
const char* const call_names[CallKinds] = {"getattr", "readlink", "open",  "opendir",
                                           "readdir", "access",   "statfs"};
std::atomic<unsigned long long> calls[CallKinds];

// Counts the call and waits the configured time, on an absolute deadline so that a
// wake-up late by the scheduler does not add to the next wait.
void slow_down(Call call) {
    calls[call].fetch_add(1, std::memory_order_relaxed);
    if (settings.delay_us == 0) {
        return;
    }
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    long long nanoseconds = deadline.tv_nsec + settings.delay_us * 1000LL;
    deadline.tv_sec += static_cast<time_t>(nanoseconds / 1000000000);
    deadline.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

// Acts with the caller's user and group while it lives, so that the source's
// permissions apply to the caller as on a real file system (its supplementary groups
// aside). These ids are per thread; while they are not root's, root's power to
// override permissions is off. The kernel's own check of every path component
// (default_permissions) would instead ask for the attributes of each directory on
// the way, one more delayed call each, which a network file system answers from its
// access cache.
class AsCaller {
  public:
    AsCaller() {
        const fuse_context* caller = fuse_get_context();
        group = setfsgid(caller->gid);
        user = setfsuid(caller->uid);
    }
    ~AsCaller() {
        setfsuid(static_cast<uid_t>(user));
        setfsgid(static_cast<gid_t>(group));
    }
    AsCaller(const AsCaller&) = delete;
    AsCaller& operator=(const AsCaller&) = delete;

  private:
    int user;
    int group;
};

// The path below the source directory: "/" is ".", "/a/b" is "a/b".
const char* relative(const char* path) {
    return path[1] == '\0' ? "." : path + 1;
}

std::string calls_text() {
    std::string text;
    unsigned long long total = 0;
    for (int call = 0; call < CallKinds; ++call) {
        unsigned long long count = calls[call].load(std::memory_order_relaxed);
        total += count;
        text += std::string(call_names[call]) + " " + std::to_string(count) + "\n";
    }
    return text + "total " + std::to_string(total) + "\n";
}

void* fs_init(fuse_conn_info*, fuse_config* config) {
    config->use_ino = 1;  // the source's inode numbers, as a network file system shows them
    config->attr_timeout = 0;
    config->entry_timeout = settings.entry_timeout;
    config->negative_timeout = settings.negative_timeout;
    config->kernel_cache = 0;  // file pages are dropped at every open
    config->auto_cache = 0;
    return nullptr;
}

int fs_getattr(const char* path, struct stat* status, fuse_file_info*) {
    if (std::strcmp(path, calls_name) == 0) {
        *status = {};
        status->st_mode = S_IFREG | 0444;
        status->st_nlink = 1;
        status->st_size = 4096;  // read with direct I/O, which ignores the size
        return 0;
    }
    slow_down(Getattr);
    AsCaller caller;
    return fstatat(source_fd, relative(path), status, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

int fs_readlink(const char* path, char* buffer, size_t size) {
    slow_down(Readlink);
    AsCaller caller;
    ssize_t length = readlinkat(source_fd, relative(path), buffer, size - 1);
    if (length < 0) {
        return -errno;
    }
    buffer[length] = '\0';
    return 0;
}

int fs_open(const char* path, fuse_file_info* file) {
    if (std::strcmp(path, calls_name) == 0) {
        file->direct_io = 1;  // every read reaches fs_read
        return 0;
    }
    slow_down(Open);
    if ((file->flags & O_ACCMODE) != O_RDONLY) {
        return -EROFS;
    }
    AsCaller caller;
    int fd = openat(source_fd, relative(path), file->flags & ~(O_CREAT | O_TRUNC | O_EXCL));
    if (fd < 0) {
        return -errno;
    }
    file->fh = static_cast<uint64_t>(fd);
    return 0;
}

int fs_read(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info* file) {
    if (std::strcmp(path, calls_name) == 0) {
        const std::string text = calls_text();
        if (offset >= static_cast<off_t>(text.size())) {
            return 0;
        }
        size_t length = std::min(size, text.size() - static_cast<size_t>(offset));
        std::memcpy(buffer, text.data() + offset, length);
        return static_cast<int>(length);
    }
    ssize_t length = pread(static_cast<int>(file->fh), buffer, size, offset);
    return length < 0 ? -errno : static_cast<int>(length);
}

int fs_release(const char* path, fuse_file_info* file) {
    if (std::strcmp(path, calls_name) != 0) {
        close(static_cast<int>(file->fh));
    }
    return 0;
}

int fs_opendir(const char* path, fuse_file_info* file) {
    slow_down(Opendir);
    AsCaller caller;
    int fd = openat(source_fd, relative(path), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        return -errno;
    }
    DIR* directory = fdopendir(fd);
    if (directory == nullptr) {
        int error = errno;
        close(fd);
        return -error;
    }
    file->fh = reinterpret_cast<uint64_t>(directory);
    return 0;
}

// Hands the kernel the whole listing in one call (offset 0 for every entry), read
// afresh at each opening of the directory.
int fs_readdir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* file,
               fuse_readdir_flags) {
    slow_down(Readdir);
    DIR* directory = reinterpret_cast<DIR*>(file->fh);
    if (faccessat(dirfd(directory), ".slow_fs-eio", F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
        return -EIO;
    }
    if (faccessat(dirfd(directory), ".slow_fs-hang", F_OK, AT_SYMLINK_NOFOLLOW) == 0) {
        fuse_session* session = fuse_get_session(fuse_get_context()->fuse);
        while (!fuse_session_exited(session)) {
            usleep(10000);
        }
        return -EIO;
    }
    rewinddir(directory);
    while (true) {
        errno = 0;
        dirent* entry = readdir(directory);
        if (entry == nullptr) {
            return -errno;  // 0 at the end of the listing
        }
        struct stat status = {};
        status.st_ino = entry->d_ino;
        status.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &status, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) {
            return 0;
        }
    }
}

int fs_releasedir(const char*, fuse_file_info* file) {
    closedir(reinterpret_cast<DIR*>(file->fh));
    return 0;
}

int fs_access(const char* path, int mode) {
    slow_down(Access);
    AsCaller caller;
    // With the ids above, not the real ones that access(2) checks by default.
    return faccessat(source_fd, relative(path), mode, AT_EACCESS) == 0 ? 0 : -errno;
}

int fs_statfs(const char*, struct statvfs* status) {
    slow_down(Statfs);
    return fstatvfs(source_fd, status) == 0 ? 0 : -errno;
}

fuse_operations operations() {
    fuse_operations table = {};
    table.getattr = fs_getattr;
    table.readlink = fs_readlink;
    table.open = fs_open;
    table.read = fs_read;
    table.statfs = fs_statfs;
    table.release = fs_release;
    table.opendir = fs_opendir;
    table.readdir = fs_readdir;
    table.releasedir = fs_releasedir;
    table.init = fs_init;
    table.access = fs_access;
    return table;
}

// Values as separate words only: libfuse would also try "--delay-us=100" against
// "--delay-us %u", and fail on it.
const fuse_opt options[] = {
    {"--delay-us %u", offsetof(Settings, delay_us), 0},
    {"--entry-timeout %lf", offsetof(Settings, entry_timeout), 0},
    {"--negative-timeout %lf", offsetof(Settings, negative_timeout), 0},
    FUSE_OPT_END,
};

// Takes the first word that is not an option as the source and notes the second,
// the mount point, which goes on to FUSE with the rest.
int take_source(void* data, const char* argument, int key, fuse_args*) {
    Settings* parsed = static_cast<Settings*>(data);
    if (key == FUSE_OPT_KEY_NONOPT && parsed->source == nullptr) {
        parsed->source = argument;
        return 0;
    }
    if (key == FUSE_OPT_KEY_NONOPT && parsed->mount_point == nullptr) {
        parsed->mount_point = argument;
    }
    return 1;
}

// Leaves behind a process that unmounts `mount_point` once this one has ended and
// left its mount dead, however it ended: also when killed together with every
// process its parent started, as a test runner does with a test that runs out of
// time. So the watcher is a grandchild adopted by init, outside that family; it
// waits for the end of a pipe that only this process holds open. Started before
// the mount, it holds no descriptor of the FUSE connection itself.
bool watch_for_a_dead_mount(const char* mount_point) {
    char* absolute = realpath(mount_point, nullptr);
    int lifeline[2];
    if (absolute == nullptr || pipe(lifeline) != 0) {
        free(absolute);
        return false;
    }
    pid_t child = fork();
    if (child == 0) {
        if (fork() != 0) {
            _exit(0);
        }
        close(lifeline[1]);
        setsid();
        prctl(PR_SET_NAME, "slow_fs-watch");
        if (chdir("/") != 0) {
            _exit(1);
        }
        char byte;
        while (read(lifeline[0], &byte, 1) != 0 && errno == EINTR) {
        }
        // Only a dead FUSE connection answers ENOTCONN: a mount that this process
        // removed, or a new one at the same place, is left alone.
        struct statfs file_system;
        if (statfs(absolute, &file_system) != 0 && errno == ENOTCONN &&
            umount2(absolute, MNT_DETACH) != 0) {
            execlp("fusermount3", "fusermount3", "-u", "-z", "-q", absolute, nullptr);
        }
        _exit(0);
    }
    free(absolute);
    close(lifeline[0]);
    if (child < 0) {
        close(lifeline[1]);
        return false;
    }
    waitpid(child, nullptr, 0);
    fcntl(lifeline[1], F_SETFD, FD_CLOEXEC);  // held by this process alone, never closed
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    if (fuse_opt_parse(&args, &settings, options, take_source) != 0 || settings.source == nullptr ||
        settings.mount_point == nullptr) {
        std::fprintf(stderr,
                     "usage: %s [--delay-us N] [--entry-timeout S] [--negative-timeout S] "
                     "SOURCE MOUNTPOINT [FUSE options]\n",
                     argv[0]);
        return 2;
    }
    if (!watch_for_a_dead_mount(settings.mount_point)) {
        std::fprintf(stderr, "%s: cannot watch %s: %s\n", argv[0], settings.mount_point,
                     std::strerror(errno));
        return 1;
    }
    source_fd = open(settings.source, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (source_fd < 0) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", argv[0], settings.source,
                     std::strerror(errno));
        return 1;
    }
    // Read-only; every user may enter (with the source's permissions, see AsCaller).
    // An explicit max_idle_threads spares a spurious warning of libfuse 3.14.
    fuse_opt_add_arg(&args, "-oro,allow_other");
    fuse_opt_add_arg(&args, "-omax_idle_threads=10");
    fuse_opt_add_arg(&args, "-ofsname=slow_fs,subtype=slow_fs");
    // The default timer slack (50 us) would add to every delay; the worker threads
    // inherit this one.
    prctl(PR_SET_TIMERSLACK, 1UL);
    fuse_operations table = operations();
    int status = fuse_main(args.argc, args.argv, &table, nullptr);
    fuse_opt_free_args(&args);
    return status;
}
