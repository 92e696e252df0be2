// Slow storage for tests and benchmarks: a directory whose content moves to a hidden
// directory beside it (the source) and comes back through the slow_fs pass-through
// (tests/slow_storage/slow_fs.cpp), a FUSE file system that waits a set time in every
// metadata call, as network storage does, and keeps no attributes cached. Where the
// program was not built, /dev/fuse is missing or mounting is not permitted, nothing
// is mounted and `failure` says why, for a test to skip with.
#pragma once

#include <map>
#include <string>

struct SlowStorageOptions {
    unsigned delay_us = 100;  // added to every metadata call
    // How long the kernel may keep a name it looked up, found or not found; the
    // attributes of what it found it never keeps.
    double entry_timeout = 0;
    double negative_timeout = 0;
};

class SlowStorage {
  public:
    // Puts `directory` (made if missing) on slow storage and waits until the mount
    // answers. The process that mounts must outlive the mount: the program ends, and
    // unmounts, when the thread that made this object ends.
    explicit SlowStorage(const std::string& directory, const SlowStorageOptions& options = {});
    // Unmounts (waiting for the program to end, forcing it if need be) and moves
    // the source back to `directory`.
    ~SlowStorage();
    SlowStorage(const SlowStorage&) = delete;
    SlowStorage& operator=(const SlowStorage&) = delete;

    bool mounted() const { return reason.empty(); }
    // Why nothing is mounted; empty while mounted.
    const std::string& failure() const { return reason; }
    // Where changes go while mounted (the mount is read-only); they are seen through
    // the mount at once. When nothing is mounted, `directory` itself.
    const std::string& source() const { return source_path; }

    // The hidden directory that holds the content of the directory at `path`, for a
    // path relative to anywhere: "Domains" gives ".Domains.source", "a/b" "a/.b.source".
    static std::string source_of(const std::string& path);

    // Stops the program, as a server that hangs: every call on the mount waits
    // until resume(). Nothing of the mount may be touched meanwhile; calls() is
    // then empty (its file is closed, so that processes forked meanwhile can
    // start). The destructor resumes it.
    void stall();
    void resume();

    // The metadata calls the program has served so far, by kind ("getattr", "open",
    // "opendir", "readdir", "readlink", "access", "statfs") and in all ("total").
    // Reading them costs no call. Empty when nothing is mounted.
    std::map<std::string, unsigned long long> calls() const;

  private:
    bool mount(const SlowStorageOptions& options);
    bool open_calls();
    void unmount();

    std::string mount_point;
    std::string source_path;
    std::string reason;
    int program = -1;  // the slow_fs process
    bool stalled = false;
    int calls_fd = -1;  // its counts file, kept open
};

// Skips the test, saying why, when `storage` could not be mounted.
#define SKIP_UNLESS_MOUNTED(storage)                                \
    if (!(storage).mounted()) {                                     \
        GTEST_SKIP() << "no slow storage: " << (storage).failure(); \
    }
