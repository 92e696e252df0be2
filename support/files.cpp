// Thin wrappers over access, stat and the directory stream.
#include "files.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kel {

bool file_exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0 && !is_directory(path);
}

bool is_directory(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

uint32_t file_size(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<uint32_t>(status.st_size) : 0;
}

int32_t file_time(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<int32_t>(status.st_mtim.tv_sec) : 0;
}

FileStamp file_stamp(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? file_stamp_of(status) : FileStamp{};
}

FileStamp file_stamp_of(const struct stat& status) {
    FileStamp stamp;
    stamp.size = static_cast<uint64_t>(status.st_size);
    stamp.seconds = static_cast<int64_t>(status.st_mtim.tv_sec);
    stamp.nanoseconds = static_cast<int64_t>(status.st_mtim.tv_nsec);
    stamp.change_seconds = static_cast<int64_t>(status.st_ctim.tv_sec);
    stamp.change_nanoseconds = static_cast<int64_t>(status.st_ctim.tv_nsec);
    stamp.inode = static_cast<uint64_t>(status.st_ino);
    stamp.regular = S_ISREG(status.st_mode);
    return stamp;
}

struct Directory::Record {
    DIR* dir = nullptr;
    dirent* entry = nullptr;
    std::string pattern;
};

Directory::Directory(const std::string& path, std::string pattern) : record(new Record) {
    record->dir = opendir(path.c_str());
    record->pattern = std::move(pattern);
}

Directory::~Directory() {
    if (record->dir != nullptr) {
        closedir(record->dir);
    }
}

bool Directory::next() {
    if (record->dir == nullptr) {
        return false;
    }
    while ((record->entry = readdir(record->dir)) != nullptr) {
        const char* entry_name = record->entry->d_name;
        if (entry_name[0] == '.') {
            continue;
        }
        if (record->pattern.empty() || matches_pattern(entry_name, record->pattern)) {
            return true;
        }
    }
    return false;
}

std::string Directory::name() const {
    return record->entry != nullptr ? std::string(record->entry->d_name) : std::string();
}

// Backtracking wildcard match: on a mismatch after a "*", retry one byte further
// in the name from where that "*" was last tried. Linear in practice.
bool matches_pattern(const std::string& name, const std::string& pattern) {
    size_t n = 0, p = 0;
    size_t star = std::string::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') {
        ++p;
    }
    return p == pattern.size();
}

}  // namespace kel
