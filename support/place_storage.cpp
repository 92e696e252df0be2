// The walk that finds a place's storage. The components still to walk are a stack
// (the next one on top), so a link's target is pushed in front of the rest; the path
// reached so far is always absolute and free of links, which lets ".." be taken from
// it as text and lets the table, which knows only such paths, judge each prefix
// before anything is called on it.
#include "place_storage.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <vector>

#include "storage_types.h"

namespace kel {
namespace {

// The kernel's own bound on the links one lookup follows.
constexpr int most_links = 40;

// Pushes the components of `path` (not "." nor empty ones) so that its first
// component is on top of `pending`.
void push_components(std::string_view path, std::vector<std::string>& pending) {
    std::vector<std::string> components;
    while (!path.empty()) {
        size_t end = path.find('/');
        std::string_view component = path.substr(0, end);
        if (!component.empty() && component != ".") {
            components.emplace_back(component);
        }
        path.remove_prefix(end == std::string_view::npos ? path.size() : end + 1);
    }
    pending.insert(pending.end(), components.rbegin(), components.rend());
}

std::string child_of(const std::string& directory, const std::string& name) {
    return directory == "/" ? "/" + name : directory + "/" + name;
}

std::string parent_of(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

// `path` followed by the components not walked, as written.
std::string with_rest(std::string path, const std::vector<std::string>& pending) {
    for (auto component = pending.rbegin(); component != pending.rend(); ++component) {
        path = child_of(path, *component);
    }
    return path;
}

PlaceStorage judged(PlaceKind storage, std::string path, const Mount* mount,
                    std::string reason = "") {
    PlaceStorage result;
    result.storage = storage;
    result.path = std::move(path);
    if (mount != nullptr) {
        result.mount = *mount;
    }
    result.reason = std::move(reason);
    return result;
}

}  // namespace

LinkReader::Link SystemLinkReader::read_link(const std::string& path) {
    Link link;
    struct stat status;
    if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
        return link;
    }
    link.is_link = true;
    char target[PATH_MAX + 1];
    ssize_t length = readlink(path.c_str(), target, sizeof target);
    // A target that fills the buffer may have been cut short.
    if (length < 0 || static_cast<size_t>(length) >= sizeof target) {
        link.readable = false;
        return link;
    }
    link.target.assign(target, static_cast<size_t>(length));
    return link;
}

PlaceStorage place_storage(std::string_view place, const std::string& working_directory,
                           const MountTable& table, LinkReader& links) {
    std::vector<std::string> pending;
    push_components(place, pending);
    std::string reached = !place.empty() && place[0] == '/' ? "/" : working_directory;
    if (reached.empty() || reached[0] != '/') {
        return judged(PlaceKind::Unresolved, std::string(place), nullptr,
                      "the working directory is not known");
    }
    int followed = 0;
    for (;;) {
        const Mount* mount = table.mount_of(reached);
        if (mount == nullptr) {
            return judged(PlaceKind::Unresolved, with_rest(reached, pending), nullptr,
                          "the mount table holds no mount for it");
        }
        if (is_network_file_system(mount->type)) {
            return judged(PlaceKind::Network, with_rest(reached, pending), mount);
        }
        if (pending.empty()) {
            return judged(PlaceKind::Local, reached, mount);
        }
        const std::string name = std::move(pending.back());
        pending.pop_back();
        if (name == "..") {
            reached = parent_of(reached);
            continue;
        }
        const std::string next = child_of(reached, name);
        // Even an lstat of a network mount point asks its server.
        const Mount* next_mount = table.mount_of(next);
        if (next_mount != nullptr && is_network_file_system(next_mount->type)) {
            return judged(PlaceKind::Network, with_rest(next, pending), next_mount);
        }
        LinkReader::Link link = links.read_link(next);
        if (!link.is_link) {
            reached = next;
            continue;
        }
        if (!link.readable) {
            return judged(PlaceKind::Unresolved, with_rest(next, pending), mount,
                          "the symbolic link " + next + " cannot be read");
        }
        if (++followed > most_links) {
            return judged(PlaceKind::Unresolved, with_rest(next, pending), mount,
                          "it passes more than 40 symbolic links");
        }
        push_components(link.target, pending);
        if (!link.target.empty() && link.target[0] == '/') {
            reached = "/";
        }
    }
}

PlaceKind working_directory_storage() {
    static const PlaceKind kind = [] {
        const int here = ::open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct statfs found;
        const bool asked = here >= 0 && fstatfs(here, &found) == 0;
        if (here >= 0) {
            close(here);
        }
        // Not even the directory the process stands in answers: nothing better is
        // known, and the kernel's events are at least asked for.
        if (!asked) {
            return PlaceKind::Local;
        }
        return has_local_change_events(static_cast<int64_t>(found.f_type)) ? PlaceKind::Local
                                                                           : PlaceKind::Network;
    }();
    return kind;
}

}  // namespace kel
