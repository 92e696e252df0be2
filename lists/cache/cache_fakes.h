// Fakes of the kernel's change events and of the mount table for tests of the list
// cache over the in-memory file system (fake_file_system.h): the events follow the
// fake's own changes as inotify follows a local disk's, so a ListCache runs over the
// fake as it runs over the server's tree. Test code only.
#pragma once

#include <sys/inotify.h>

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "fake_file_system.h"
#include "kernel_events.h"
#include "mount_changes.h"

class FakeKernelEvents final : public kel::KernelEvents {
  public:
    explicit FakeKernelEvents(kel::FakeFileSystem& file_system) : file_system(file_system) {
        file_system.observe(
            [this](const std::string& directory, const std::string& name,
                   kel::FakeFileSystem::Change change) { raise(directory, name, change); });
    }
    ~FakeKernelEvents() override { file_system.observe(nullptr); }

    Added add(const std::string& path) override {
        if (!file_system.status(path).is_directory()) {
            return {Outcome::Missing, -1};
        }
        std::lock_guard<std::mutex> held(lock);
        auto [found, fresh] = watches.try_emplace(normal(path), next_watch);
        next_watch += fresh ? 1 : 0;
        return {Outcome::Watched, found->second};
    }
    void release(int) override {}
    bool drain(const Handler& handle) override {
        std::vector<Event> taken;
        {
            std::lock_guard<std::mutex> held(lock);
            taken.swap(queue);
        }
        for (const Event& event : taken) {
            handle(event.watch, event.mask, event.name);
        }
        return true;
    }

  private:
    struct Event {
        int watch;
        uint32_t mask;
        std::string name;
    };
    static std::string normal(const std::string& path) {
        return path.rfind("./", 0) == 0 ? path.substr(2) : path;
    }
    void raise(const std::string& directory, const std::string& name,
               kel::FakeFileSystem::Change change) {
        using Change = kel::FakeFileSystem::Change;
        std::lock_guard<std::mutex> held(lock);
        auto found = watches.find(directory);
        if (found == watches.end()) {
            return;
        }
        const uint32_t mask = change == Change::Created     ? IN_CREATE
                              : change == Change::Deleted   ? IN_DELETE
                              : change == Change::MovedFrom ? IN_MOVED_FROM
                              : change == Change::MovedTo   ? IN_MOVED_TO
                              : change == Change::Gone      ? IN_IGNORED
                                                            : IN_CLOSE_WRITE;
        queue.push_back({found->second, mask, name});
        if (change == Change::Gone) {
            watches.erase(found);
        }
    }

    kel::FakeFileSystem& file_system;
    std::mutex lock;
    std::map<std::string, int> watches;
    int next_watch = 1;
    std::vector<Event> queue;
};

class FakeMountChanges final : public kel::MountChanges {
  public:
    void take_reading() override { moved_since = false; }
    bool moved() override { return std::exchange(moved_since, false); }
    // The next refresh finds the mounts changed.
    void move() { moved_since = true; }

  private:
    bool moved_since = false;
};
