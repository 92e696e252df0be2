// The fake's tree is a map from normalised path to node; a directory keeps its
// entries in the order they were made, which is the order it lists them. Every
// change moves a clock, so stamps differ after every write as the kernel's do; the
// time now() tells is another clock, moved by the test alone. A call first waits
// out its latency and any hold, unlocked, then answers under the lock.
#include "fake_file_system.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>

namespace kel {

class FakeFileSystem::Reader : public ReadableFile {
  public:
    Reader(FakeFileSystem& owner, std::string path) : owner(owner), path(std::move(path)) {}
    long read(char* into, size_t size) override {
        const int error = owner.enter(Call::Read, path);
        long count = error != 0 ? -error : owner.read_at(path, offset, into, size);
        owner.leave();
        if (count > 0) {
            offset += static_cast<uint64_t>(count);
        }
        return count;
    }

  private:
    FakeFileSystem& owner;
    const std::string path;
    uint64_t offset = 0;
};

FakeFileSystem::FakeFileSystem() {
    nodes["."].type = S_IFDIR;
    nodes["."].stamp.inode = 1;
}

void FakeFileSystem::observe(Observer given) {
    std::lock_guard<std::mutex> held_lock(lock);
    observer = std::move(given);
}

// Tells the observer, as the directory above `path` sees it.
void FakeFileSystem::tell(const std::string& path, Change change) {
    if (!observer || path == ".") {
        return;
    }
    const std::string parent = parent_of(path);
    observer(parent, path.substr(parent == "." ? 0 : parent.size() + 1), change);
}

std::string FakeFileSystem::normal(const std::string& path) {
    std::string result = path;
    while (result.rfind("./", 0) == 0) {
        result.erase(0, 2);
    }
    while (result.size() > 1 && result.back() == '/') {
        result.pop_back();
    }
    return result.empty() ? "." : result;
}

std::string FakeFileSystem::parent_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool FakeFileSystem::at_or_below(const std::string& path, const std::string& place) {
    return place == "." || path == place ||
           (path.size() > place.size() && path.compare(0, place.size(), place) == 0 &&
            path[place.size()] == '/');
}

void FakeFileSystem::touch(Node& node, bool content) {
    ++clock;
    if (content) {
        node.stamp.seconds = clock / 1'000'000'000;
        node.stamp.nanoseconds = clock % 1'000'000'000;
    }
    node.stamp.change_seconds = clock / 1'000'000'000;
    node.stamp.change_nanoseconds = clock % 1'000'000'000;
}

FakeFileSystem::Node& FakeFileSystem::make(const std::string& path, mode_t type) {
    auto found = nodes.find(path);
    if (found != nodes.end()) {
        return found->second;
    }
    const std::string parent = parent_of(path);
    Node& above = make(parent, S_IFDIR);
    above.entries.push_back(path.substr(parent == "." ? 0 : parent.size() + 1));
    touch(above, true);
    tell(path, Change::Created);
    Node& node = nodes[path];
    node.type = type;
    node.stamp.inode = ++next_inode;
    node.stamp.regular = type == S_IFREG;
    touch(node, true);
    return node;
}

void FakeFileSystem::write(const std::string& path, const std::string& bytes) {
    std::lock_guard<std::mutex> held_lock(lock);
    Node& node = make(normal(path), S_IFREG);
    node.bytes = bytes;
    node.stamp.size = bytes.size();
    touch(node, true);
    tell(normal(path), Change::Written);
}

void FakeFileSystem::make_directory(const std::string& path) {
    std::lock_guard<std::mutex> held_lock(lock);
    make(normal(path), S_IFDIR);
}

void FakeFileSystem::make_fifo(const std::string& path) {
    std::lock_guard<std::mutex> held_lock(lock);
    make(normal(path), S_IFIFO);
}

void FakeFileSystem::drop(const std::string& path) {
    for (auto node = nodes.begin(); node != nodes.end();) {
        node = at_or_below(node->first, path) && node->first != "." ? nodes.erase(node)
                                                                    : std::next(node);
    }
    auto parent = nodes.find(parent_of(path));
    if (parent != nodes.end()) {
        std::vector<std::string>& entries = parent->second.entries;
        const std::string name = path.substr(parent->first == "." ? 0 : parent->first.size() + 1);
        const size_t before = entries.size();
        entries.erase(std::remove(entries.begin(), entries.end(), name), entries.end());
        touch(parent->second, true);
        if (entries.size() != before) {
            tell(path, Change::Deleted);
        }
    }
}

void FakeFileSystem::remove(const std::string& path) {
    std::lock_guard<std::mutex> held_lock(lock);
    drop(normal(path));
}

void FakeFileSystem::rename(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> held_lock(lock);
    const std::string source = normal(from), target = normal(to);
    std::map<std::string, Node> moved;
    for (auto& [path, node] : nodes) {
        if (at_or_below(path, source) && path != ".") {
            moved[target + path.substr(source.size())] = std::move(node);
        }
    }
    drop(source);
    drop(target);
    make(parent_of(target), S_IFDIR);
    const std::string parent = parent_of(target);
    nodes[parent].entries.push_back(target.substr(parent == "." ? 0 : parent.size() + 1));
    touch(nodes[parent], true);
    for (auto& [path, node] : moved) {
        touch(node, false);
        nodes[path] = std::move(node);
    }
    tell(target, Change::MovedTo);
}

void FakeFileSystem::set_storage(const std::string& path, Storage storage) {
    std::lock_guard<std::mutex> held_lock(lock);
    storages.emplace_back(normal(path), storage);
}

void FakeFileSystem::fail(Call call, const std::string& path, int error) {
    std::lock_guard<std::mutex> held_lock(lock);
    const std::string place = normal(path);
    rules.erase(
        std::remove_if(rules.begin(), rules.end(),
                       [&](const Rule& rule) { return rule.call == call && rule.path == place; }),
        rules.end());
    if (error != 0) {
        rules.push_back({call, place, error, 0});
    }
}

void FakeFileSystem::fail_read_after(const std::string& path, uint64_t offset, int error) {
    std::lock_guard<std::mutex> held_lock(lock);
    rules.push_back({Call::Read, normal(path), error, offset});
}

void FakeFileSystem::hold(Call call, const std::string& path) {
    std::lock_guard<std::mutex> held_lock(lock);
    holds.emplace_back(call, normal(path));
}

void FakeFileSystem::release() {
    {
        std::lock_guard<std::mutex> held_lock(lock);
        holds.clear();
        ++generation;
    }
    changed.notify_all();
}

size_t FakeFileSystem::waiting() {
    std::lock_guard<std::mutex> held_lock(lock);
    return held;
}

bool FakeFileSystem::wait_for_waiting(size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> held_lock(lock);
    return changed.wait_for(held_lock, limit, [&] { return held >= count; });
}

void FakeFileSystem::set_latency(const std::string& path, std::chrono::microseconds latency) {
    std::lock_guard<std::mutex> held_lock(lock);
    latencies.emplace_back(normal(path), latency);
}

void FakeFileSystem::advance(std::chrono::nanoseconds by) {
    elapsed += by.count();
}

void FakeFileSystem::set_call_time(std::chrono::nanoseconds step) {
    std::lock_guard<std::mutex> held_lock(lock);
    call_time = step;
}

// Far enough from the clock's epoch that no stamp taken from it looks unset.
std::chrono::steady_clock::time_point FakeFileSystem::now() {
    return std::chrono::steady_clock::time_point(std::chrono::hours(24)) +
           std::chrono::nanoseconds(elapsed.load());
}

uint64_t FakeFileSystem::calls_below(const std::string& path) {
    std::lock_guard<std::mutex> held_lock(lock);
    const std::string place = normal(path);
    uint64_t total = 0;
    for (const auto& [called, count] : counts) {
        total += at_or_below(called, place) ? count : 0;
    }
    return total;
}

size_t FakeFileSystem::most_in_flight() {
    std::lock_guard<std::mutex> held_lock(lock);
    return most;
}

const FakeFileSystem::Rule* FakeFileSystem::rule_for(Call call, const std::string& path) const {
    for (const Rule& rule : rules) {
        if (rule.call == call && rule.path == path) {
            return &rule;
        }
    }
    return nullptr;
}

int FakeFileSystem::enter(Call call, const std::string& path) {
    std::unique_lock<std::mutex> held_lock(lock);
    ++counts[path];
    most = std::max(most, ++in_flight);
    elapsed += call_time.count();
    std::chrono::microseconds latency{0};
    for (const auto& [place, delay] : latencies) {
        latency = at_or_below(path, place) ? delay : latency;
    }
    const auto is_held = [&] {
        return std::any_of(holds.begin(), holds.end(), [&](const auto& hold) {
            return hold.first == call && hold.second == path;
        });
    };
    if (is_held()) {
        ++held;
        changed.notify_all();
        const uint64_t seen = generation;
        changed.wait(held_lock, [&] { return generation != seen; });
        --held;
    }
    if (latency.count() > 0) {
        held_lock.unlock();
        std::this_thread::sleep_for(latency);
        held_lock.lock();
    }
    const Rule* rule = call == Call::Read ? nullptr : rule_for(call, path);
    return rule != nullptr ? rule->error : 0;
}

void FakeFileSystem::leave() {
    std::lock_guard<std::mutex> held_lock(lock);
    --in_flight;
}

long FakeFileSystem::read_at(const std::string& path, uint64_t offset, char* into, size_t size) {
    std::lock_guard<std::mutex> held_lock(lock);
    auto found = nodes.find(path);
    if (found == nodes.end()) {
        return -ESTALE;
    }
    const std::string& bytes = found->second.bytes;
    uint64_t end = std::min<uint64_t>(bytes.size(), offset + size);
    const Rule* rule = rule_for(Call::Read, path);
    if (rule != nullptr && offset >= rule->offset) {
        return -rule->error;
    }
    if (rule != nullptr) {
        end = std::min(end, rule->offset);
    }
    if (offset >= end) {
        return 0;
    }
    std::copy(bytes.begin() + static_cast<long>(offset), bytes.begin() + static_cast<long>(end),
              into);
    return static_cast<long>(end - offset);
}

PathStatus FakeFileSystem::status(const std::string& given, bool) {
    const std::string path = normal(given);
    const int error = enter(Call::Status, path);
    std::lock_guard<std::mutex> held_lock(lock);
    --in_flight;
    auto found = nodes.find(path);
    if (error != 0 || found == nodes.end()) {
        PathStatus missing;
        missing.error = error != 0 ? error : ENOENT;
        return missing;
    }
    PathStatus status;
    status.stamp = found->second.stamp;
    status.type = found->second.type;
    status.device = 1;
    status.links = 1;
    return status;
}

DirectoryListing FakeFileSystem::list(const std::string& given) {
    const std::string path = normal(given);
    const int error = enter(Call::List, path);
    std::lock_guard<std::mutex> held_lock(lock);
    --in_flight;
    DirectoryListing listing;
    auto found = nodes.find(path);
    if (found == nodes.end() || found->second.type != S_IFDIR) {
        listing.error = found == nodes.end() ? ENOENT : ENOTDIR;
        return listing;
    }
    for (const std::string& name : found->second.entries) {
        if (name[0] != '.') {
            listing.names.push_back(name);
        }
    }
    listing.error = error;
    if (error != 0) {
        // Failed half way: what came before the failure, as readdir gives it.
        listing.names.resize(listing.names.size() / 2);
    }
    return listing;
}

OpenedFile FakeFileSystem::open(const std::string& given) {
    const std::string path = normal(given);
    const int error = enter(Call::Open, path);
    std::lock_guard<std::mutex> held_lock(lock);
    --in_flight;
    OpenedFile opened;
    auto found = nodes.find(path);
    if (error != 0 || found == nodes.end()) {
        opened.error = error != 0 ? error : ENOENT;
        return opened;
    }
    if (found->second.type == S_IFDIR) {
        opened.error = EISDIR;
        return opened;
    }
    opened.stamp = found->second.stamp;
    if (found->second.type != S_IFREG) {
        return opened;
    }
    opened.regular = true;
    opened.size = found->second.bytes.size();
    opened.file = std::make_unique<Reader>(*this, path);
    return opened;
}

int FakeFileSystem::mount_of(const std::string& given) {
    const std::string path = normal(given);
    std::lock_guard<std::mutex> held_lock(lock);
    int mount = 0;
    for (size_t i = 0; i < storages.size(); ++i) {
        mount = at_or_below(path, storages[i].first) ? static_cast<int>(i) + 1 : mount;
    }
    return mount;
}

Storage FakeFileSystem::storage(const std::string& given) {
    const std::string path = normal(given);
    const int error = enter(Call::Storage, path);
    std::lock_guard<std::mutex> held_lock(lock);
    --in_flight;
    if (error != 0) {
        return error == ENOENT || error == ENOTDIR ? Storage::Absent : Storage::Unknown;
    }
    if (nodes.count(path) == 0) {
        return Storage::Absent;
    }
    Storage kind = Storage::Local;
    for (const auto& [place, storage] : storages) {
        kind = at_or_below(path, place) ? storage : kind;
    }
    return kind;
}

}  // namespace kel
