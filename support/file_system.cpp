// The kernel behind the file-system seam: statx for statuses (one call gives the
// stamp, the link count and whether a file system is mounted there), the directory
// stream for listings, with readdir's errors told apart from the end of the
// directory, and opens that never wait. Storage is told by the statfs type.
#include "file_system.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "annotated_mutex.h"
#include "place_storage.h"
#include "storage_types.h"

namespace kel {

namespace {

PathStatus status_of(const struct statx& found) {
    PathStatus status;
    status.stamp.size = found.stx_size;
    status.stamp.seconds = found.stx_mtime.tv_sec;
    status.stamp.nanoseconds = found.stx_mtime.tv_nsec;
    status.stamp.change_seconds = found.stx_ctime.tv_sec;
    status.stamp.change_nanoseconds = found.stx_ctime.tv_nsec;
    status.stamp.inode = found.stx_ino;
    status.stamp.regular = S_ISREG(found.stx_mode);
    status.type = found.stx_mode & S_IFMT;
    status.device = makedev(found.stx_dev_major, found.stx_dev_minor);
    status.links = found.stx_nlink;
    status.mount_root =
        (found.stx_attributes_mask & found.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    return status;
}

PathStatus failed(int error) {
    PathStatus status;
    status.error = error;
    return status;
}

PathStatus query(int directory, const char* path, int flags) {
    struct statx found;
    if (statx(directory, path, flags, STATX_BASIC_STATS, &found) != 0) {
        return failed(errno);
    }
    return status_of(found);
}

bool has_nul(const std::string& path) {
    return path.find('\0') != std::string::npos;
}

class Descriptor : public ReadableFile {
  public:
    explicit Descriptor(int number) : number(number) {}
    ~Descriptor() override { close(number); }
    long read(char* into, size_t size) override {
        for (;;) {
            ssize_t count = ::read(number, into, size);
            if (count >= 0) {
                return static_cast<long>(count);
            }
            if (errno != EINTR) {
                return -errno;
            }
        }
    }

  private:
    int number;
};

// The process's mount table, kept parsed and read again when poll says that the
// kernel changed it.
class MountTableCache {
  public:
    MountTableCache() : descriptor(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) {}
    ~MountTableCache() {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
    MountTableCache(const MountTableCache&) = delete;
    MountTableCache& operator=(const MountTableCache&) = delete;

    // Where `path` lies; none when the table cannot be read.
    std::optional<Storage> storage(const std::string& path) {
        const std::optional<PlaceStorage> place = resolve(path);
        if (!place) {
            return std::nullopt;
        }
        switch (place->storage) {
            case PlaceKind::Local:
                return Storage::Local;
            case PlaceKind::Network:
                return Storage::Network;
            case PlaceKind::Unresolved:
                break;
        }
        // A link that cannot be followed stops the kernel on local storage too, with
        // no call further; a place the table does not cover at all lies where the
        // working directory lies.
        if (!place->mount) {
            return working_directory_storage() == PlaceKind::Local ? Storage::Local
                                                                   : Storage::Network;
        }
        return is_network_file_system(place->mount->type) ? Storage::Network : Storage::Local;
    }

    // The id of the mount `path` lies on; -1 when the table cannot tell.
    int mount_of(const std::string& path) {
        const std::optional<PlaceStorage> place = resolve(path);
        return place && place->mount ? place->mount->id : -1;
    }

  private:
    // Where `path` lies by the table as it is now; none when the table or the working
    // directory cannot be read.
    std::optional<PlaceStorage> resolve(const std::string& path) {
        const std::shared_ptr<const MountTable> now = current();
        std::unique_ptr<char, decltype(&free)> here(getcwd(nullptr, 0), &free);
        if (!now || !here) {
            return std::nullopt;
        }
        SystemLinkReader links;
        return place_storage(path, here.get(), *now, links);
    }

    // The table as it is now, read again when the kernel marked it changed; held by
    // each caller while it resolves a place, outside the lock, so that places can be
    // resolved side by side.
    std::shared_ptr<const MountTable> current() {
        AnnotatedLock held(lock);
        pollfd marked{descriptor, POLLPRI, 0};
        const bool changed = descriptor >= 0 && poll(&marked, 1, 0) > 0 &&
                             (marked.revents & (POLLPRI | POLLERR)) != 0;
        if (!table || changed) {
            MountTableReading reading = read_mount_table();
            table = reading.read ? std::make_shared<const MountTable>(std::move(reading.table))
                                 : nullptr;
        }
        return table;
    }

    const int descriptor;
    AnnotatedMutex lock;
    std::shared_ptr<const MountTable> table QUORVEL_GUARDED_BY(lock);
};

class KernelFileSystem final : public FileSystem {
  public:
    PathStatus status(const std::string& path, bool follow_links) override {
        if (has_nul(path)) {
            return failed(ENOENT);
        }
        return query(AT_FDCWD, path.c_str(), follow_links ? 0 : AT_SYMLINK_NOFOLLOW);
    }

    // One descriptor of the directory for all its entries, so that the kernel
    // resolves the directory's path once instead of once per entry. Opened anew at
    // every call: a directory replaced or mounted over since is seen as it is now.
    std::vector<PathStatus> statuses_in(const std::string& directory,
                                        const std::vector<std::string>& names) override {
        const int opened =
            has_nul(directory) ? -1 : ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (opened < 0) {
            return FileSystem::statuses_in(directory, names);
        }
        std::vector<PathStatus> statuses;
        statuses.reserve(names.size());
        for (const std::string& name : names) {
            statuses.push_back(name.empty() ? query(opened, "", AT_EMPTY_PATH)
                                            : query(opened, name.c_str(), 0));
        }
        close(opened);
        return statuses;
    }

    DirectoryListing list(const std::string& path) override {
        DirectoryListing listing;
        DIR* directory = has_nul(path) ? nullptr : opendir(path.c_str());
        if (directory == nullptr) {
            listing.error = has_nul(path) ? ENOENT : errno;
            return listing;
        }
        for (;;) {
            errno = 0;
            const dirent* entry = readdir(directory);
            if (entry == nullptr) {
                listing.error = errno;
                break;
            }
            if (entry->d_name[0] != '.') {
                listing.names.emplace_back(entry->d_name);
            }
        }
        closedir(directory);
        return listing;
    }

    OpenedFile open(const std::string& path) override {
        OpenedFile opened;
        const int number =
            has_nul(path) ? -1 : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (number < 0) {
            opened.error = has_nul(path) ? ENOENT : errno;
            return opened;
        }
        auto file = std::make_unique<Descriptor>(number);
        struct stat status;
        if (fstat(number, &status) != 0) {
            return opened;
        }
        opened.stamp = file_stamp_of(status);
        if (!S_ISREG(status.st_mode)) {
            return opened;
        }
        opened.regular = true;
        opened.size = static_cast<uint64_t>(status.st_size);
        opened.file = std::move(file);
        return opened;
    }

    Storage storage(const std::string& path) override {
        if (has_nul(path)) {
            return Storage::Absent;
        }
        if (std::optional<Storage> from_table = mounts.storage(path)) {
            return *from_table;
        }
        struct statfs found;
        if (statfs(path.c_str(), &found) != 0) {
            return errno == ENOENT || errno == ENOTDIR ? Storage::Absent : Storage::Unknown;
        }
        return has_local_change_events(static_cast<int64_t>(found.f_type)) ? Storage::Local
                                                                           : Storage::Network;
    }

    int mount_of(const std::string& path) override {
        return has_nul(path) ? -1 : mounts.mount_of(path);
    }

    std::chrono::steady_clock::time_point now() override {
        return std::chrono::steady_clock::now();
    }

  private:
    MountTableCache mounts;
};

}  // namespace

bool leads_nowhere(int error) {
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG;
}

bool DirectoryListing::absent() const {
    return leads_nowhere(error);
}

std::vector<PathStatus> FileSystem::statuses_in(const std::string& directory,
                                                const std::vector<std::string>& names) {
    std::vector<PathStatus> statuses;
    statuses.reserve(names.size());
    for (const std::string& name : names) {
        statuses.push_back(status(name.empty() ? directory : directory + "/" + name));
    }
    return statuses;
}

FileSystem& real_file_system() {
    // Never destroyed: the background thread may use it while the process exits.
    static FileSystem& kernel = *new KernelFileSystem;
    return kernel;
}

FileBytes read_file(FileSystem& file_system, const std::string& path, uint64_t limit) {
    FileBytes content;
    OpenedFile opened = file_system.open(path);
    if (opened.error != 0) {
        content.error = opened.error;
        // A link to nothing fails like a missing file; a missing directory on the
        // way too.
        content.outcome = opened.error == ENOENT || opened.error == ENOTDIR ? FileBytes::Missing
                          : opened.error == EISDIR                          ? FileBytes::NotRegular
                                                                            : FileBytes::CannotOpen;
        return content;
    }
    content.stamp = opened.stamp;
    if (!opened.regular) {
        content.outcome = FileBytes::NotRegular;
        return content;
    }
    if (opened.size > limit) {
        content.outcome = FileBytes::TooLarge;
        return content;
    }
    content.outcome = FileBytes::Read;
    content.bytes.reserve(static_cast<size_t>(opened.size));
    char block[16384];
    // Up to the size the file had when it was opened: one read call fewer, which on
    // network storage is a round trip.
    while (opened.size == 0 || content.bytes.size() < opened.size) {
        const long count = opened.file->read(block, sizeof block);
        if (count < 0) {
            content.outcome = FileBytes::Failed;
            content.error = static_cast<int>(-count);
            break;
        }
        if (count == 0) {
            break;
        }
        // The file may have grown since it was opened.
        if (content.bytes.size() + static_cast<uint64_t>(count) > limit) {
            content.outcome = FileBytes::TooLarge;
            break;
        }
        content.bytes.append(block, static_cast<size_t>(count));
    }
    if (content.outcome != FileBytes::Read) {
        content.bytes.clear();
    }
    return content;
}

std::string error_text(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace kel
