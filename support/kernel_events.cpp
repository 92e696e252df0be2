// The inotify descriptor, non-blocking. Events are read in one pass until the queue
// is empty.
#include "kernel_events.h"

#include <errno.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>
#include <unordered_map>

namespace kel {

namespace {

// Everything that can change an entry's listing, size or modification time, or the
// directory itself. IN_CLOSE_WRITE also catches a writer that changed a file
// through a memory mapping, which reports no IN_MODIFY.
constexpr uint32_t watched_events = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                                    IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF |
                                    IN_MOVE_SELF | IN_ONLYDIR;

class Inotify final : public KernelEvents {
  public:
    explicit Inotify(size_t watch_budget)
        : descriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)), budget(watch_budget) {}
    ~Inotify() override {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
    Inotify(const Inotify&) = delete;
    Inotify& operator=(const Inotify&) = delete;

    Added add(const std::string& path) override;
    void release(int watch) override;
    bool drain(const Handler& handle) override;

  private:
    int descriptor;
    size_t budget;
    std::unordered_map<int, size_t> holders;  // watch to the number of adds holding it
};

KernelEvents::Added Inotify::add(const std::string& path) {
    if (descriptor < 0) {
        descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    if (descriptor < 0) {
        return {Outcome::Failed, -1};
    }
    int watch = inotify_add_watch(descriptor, path.c_str(), watched_events);
    if (watch < 0) {
        return {errno == ENOENT || errno == ENOTDIR ? Outcome::Missing : Outcome::Failed, -1};
    }
    size_t& holding = holders[watch];
    if (holding == 0 && holders.size() > budget) {
        holders.erase(watch);
        inotify_rm_watch(descriptor, watch);
        return {Outcome::Failed, -1};
    }
    ++holding;
    return {Outcome::Watched, watch};
}

void Inotify::release(int watch) {
    auto found = holders.find(watch);
    if (found == holders.end()) {
        return;
    }
    if (--found->second == 0) {
        holders.erase(found);
        inotify_rm_watch(descriptor, watch);
    }
}

bool Inotify::drain(const Handler& handle) {
    if (descriptor < 0) {
        return true;
    }
    bool complete = true;
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        ssize_t got = read(descriptor, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            // EAGAIN: the queue is empty. Any other failure loses events.
            return complete && (got == 0 || errno == EAGAIN || errno == EWOULDBLOCK);
        }
        for (ssize_t at = 0; at < got;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            if (event.mask & IN_Q_OVERFLOW) {
                complete = false;
                continue;
            }
            if (event.mask & IN_IGNORED) {
                holders.erase(event.wd);
            }
            handle(event.wd, event.mask, std::string_view(name, strnlen(name, event.len)));
        }
    }
}

}  // namespace

std::unique_ptr<KernelEvents> inotify_events(size_t watch_budget) {
    return std::make_unique<Inotify>(watch_budget);
}

}  // namespace kel
