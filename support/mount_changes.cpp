// The mount table: poll with POLLPRI tells, without blocking, that the table
// changed since the last poll; the table is then read whole from its start (it
// comes from the kernel; the read is bounded all the same) and its entries of
// concern compared line by line with the last reading.
#include "mount_changes.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <climits>
#include <memory>

#include "mount_table.h"

namespace kel {

namespace {

// Far beyond the table of any real host (about 150 bytes a mount); a table larger
// than this is taken as changed.
constexpr size_t table_limit = 64 * 1024 * 1024;

// Field `index` (from 0) of a blank-separated line, or empty.
std::string_view field(std::string_view line, int index) {
    size_t start = 0;
    for (int skipped = 0; skipped < index; ++skipped) {
        start = line.find(' ', start);
        if (start == std::string_view::npos) {
            return {};
        }
        ++start;
    }
    size_t end = line.find(' ', start);
    return line.substr(start, end == std::string_view::npos ? line.size() - start : end - start);
}

bool concerns(std::string_view mount_point, std::string_view base) {
    if (mount_point.empty() || mount_point[0] != '/') {
        return false;  // a line cut short
    }
    if (mount_point == base || mount_point == "/") {
        return true;
    }
    const auto within = [](std::string_view inner, std::string_view outer) {
        return inner.size() > outer.size() && inner.substr(0, outer.size()) == outer &&
               (outer.back() == '/' || inner[outer.size()] == '/');
    };
    return within(mount_point, base) || within(base, mount_point);
}

std::string working_directory() {
    std::unique_ptr<char, decltype(&free)> path(getcwd(nullptr, 0), &free);
    return path ? std::string(path.get()) : std::string();
}

}  // namespace

std::vector<std::string> mounts_concerning(std::string_view table, std::string_view base) {
    std::vector<std::string> entries;
    while (!table.empty()) {
        size_t end = table.find('\n');
        std::string_view line = table.substr(0, end);
        table.remove_prefix(end == std::string_view::npos ? table.size() : end + 1);
        // Fields: mount id, parent id, device, root, mount point, ...
        if (concerns(decode_octal_escapes(field(line, 4)), base)) {
            entries.emplace_back(line);
        }
    }
    return entries;
}

namespace {

class TableChanges final : public MountChanges {
  public:
    TableChanges() : descriptor(open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC)) {}
    ~TableChanges() override {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
    TableChanges(const TableChanges&) = delete;
    TableChanges& operator=(const TableChanges&) = delete;

    void take_reading() override;
    bool moved() override;

  private:
    // The entries of concern, as the table writes them; false when the table
    // could not be read.
    bool read(std::vector<std::string>& entries);

    int descriptor = -1;
    std::string base;  // the working directory of the last reading, as the table writes paths
    std::vector<std::string> reading;
    bool reading_valid = false;
};

bool TableChanges::read(std::vector<std::string>& entries) {
    if (descriptor < 0 || lseek(descriptor, 0, SEEK_SET) != 0) {
        return false;
    }
    std::string table;
    char block[16 * 1024];
    for (;;) {
        ssize_t got = ::read(descriptor, block, sizeof block);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 || table.size() + static_cast<size_t>(got) > table_limit) {
            return false;
        }
        if (got == 0) {
            break;
        }
        table.append(block, static_cast<size_t>(got));
    }
    entries = mounts_concerning(table, base);
    return true;
}

void TableChanges::take_reading() {
    if (descriptor < 0) {
        return;
    }
    // Clears the mark, so that only a change after this reading marks it again.
    pollfd marked{descriptor, POLLPRI, 0};
    poll(&marked, 1, 0);
    base = working_directory();
    reading_valid = !base.empty() && read(reading);
}

bool TableChanges::moved() {
    if (descriptor < 0) {
        return false;
    }
    pollfd marked{descriptor, POLLPRI, 0};
    if (poll(&marked, 1, 0) <= 0 || (marked.revents & (POLLPRI | POLLERR)) == 0) {
        return false;
    }
    std::vector<std::string> now;
    if (!reading_valid || !read(now)) {
        return true;
    }
    return now != reading;
}

}  // namespace

std::unique_ptr<MountChanges> mount_table_changes() {
    return std::make_unique<TableChanges>();
}

}  // namespace kel
