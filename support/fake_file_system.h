// An in-memory file system behind the seam of file_system.h, for tests of the list
// cache in-process: a tree of directories, files and FIFOs that a test writes, where
// a chosen call on a chosen path fails with a chosen errno, a read fails half way,
// a call blocks until the test lets it go, a place lies on network storage, calls
// take time (and may run side by side), and time moves only when the test moves it.
// Safe on any thread. Test code only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "file_system.h"

namespace kel {

class FakeFileSystem final : public FileSystem {
  public:
    enum class Call { Status, List, Open, Read, Storage };

    FakeFileSystem();

    // Paths are relative to the fake's root, written as the cache writes them
    // ("Domains/a/LISTS", "."); directories above are made as needed.
    void write(const std::string& path, const std::string& bytes);
    void make_directory(const std::string& path);
    void make_fifo(const std::string& path);
    // Removes a file or a whole directory.
    void remove(const std::string& path);
    void rename(const std::string& from, const std::string& to);
    // The path and everything below it lie on this kind of storage, a mount of its
    // own (mount_of gives each such path its own number, 0 for the rest).
    void set_storage(const std::string& path, Storage storage);

    // The call on the path fails with `error` from now on (0: no longer).
    void fail(Call call, const std::string& path, int error);
    // Reading the file fails with `error` once `offset` bytes have been read.
    void fail_read_after(const std::string& path, uint64_t offset, int error);
    // The call on the path (Call::Read: reading the file) waits from now on until
    // release(); waiting() tells how many calls wait.
    void hold(Call call, const std::string& path);
    void release();
    size_t waiting();
    // Waits until at least `count` calls wait, or `limit` passes; whether they do.
    bool wait_for_waiting(size_t count, std::chrono::milliseconds limit);
    // Every call on a path at or below `path` takes this long (0: no delay),
    // outside the fake's lock, so calls from several threads overlap.
    void set_latency(const std::string& path, std::chrono::microseconds latency);

    // The fake's clock (now()) starts at a fixed point and moves only by these: a
    // test ages a reading or spends a budget without waiting for it. From now on,
    // every call moves the clock on by `step`, as if it took that long (0: not at all).
    void advance(std::chrono::nanoseconds by);
    void set_call_time(std::chrono::nanoseconds step);

    // What a change did to a directory, for a fake of the kernel's change events:
    // `name` is the entry concerned, empty for the directory itself.
    enum class Change { Created, Deleted, Written, MovedFrom, MovedTo, Gone };
    using Observer =
        std::function<void(const std::string& directory, const std::string& name, Change)>;
    // Told of every change from now on, under the fake's lock: it must not call the fake.
    void observe(Observer observer);

    // Calls made so far on the path or below it (all calls for ".").
    uint64_t calls_below(const std::string& path);
    // The most calls that were ever in progress at once.
    size_t most_in_flight();

    PathStatus status(const std::string& path, bool follow_links = true) override;
    DirectoryListing list(const std::string& path) override;
    OpenedFile open(const std::string& path) override;
    Storage storage(const std::string& path) override;
    int mount_of(const std::string& path) override;
    std::chrono::steady_clock::time_point now() override;

  private:
    struct Node {
        mode_t type = 0;
        std::string bytes;
        std::vector<std::string> entries;  // in the order they were made
        FileStamp stamp;
    };
    struct Rule {
        Call call;
        std::string path;
        int error = 0;
        uint64_t offset = 0;
    };
    class Reader;

    static std::string normal(const std::string& path);
    static std::string parent_of(const std::string& path);
    static bool at_or_below(const std::string& path, const std::string& place);
    Node& make(const std::string& path, mode_t type);
    void touch(Node& node, bool content);
    void drop(const std::string& path);
    void tell(const std::string& path, Change change);
    // Runs the delays, the holds and the counts of one call, then its failure, if any.
    int enter(Call call, const std::string& path);
    void leave();
    const Rule* rule_for(Call call, const std::string& path) const;
    long read_at(const std::string& path, uint64_t offset, char* into, size_t size);

    std::mutex lock;
    std::condition_variable changed;
    std::map<std::string, Node> nodes;
    std::vector<Rule> rules;
    std::vector<std::pair<std::string, Storage>> storages;
    std::vector<std::pair<std::string, std::chrono::microseconds>> latencies;
    std::vector<std::pair<Call, std::string>> holds;
    uint64_t generation = 0;  // bumped by release()
    size_t held = 0;
    size_t in_flight = 0;
    size_t most = 0;
    std::map<std::string, uint64_t> counts;
    Observer observer;
    uint64_t next_inode = 100;
    int64_t clock = 1'000'000'000;  // of the stamps
    std::chrono::nanoseconds call_time{0};
    std::atomic<std::chrono::nanoseconds::rep> elapsed{0};  // of now()
};

}  // namespace kel
