// Read-only questions about paths, and directory listing. The filter only reads
// the server's tree: nothing here writes, creates, renames or deletes. Paths are
// byte strings relative to the working directory (the server's base directory).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>

namespace kel {

// The path exists (access F_OK) and is not a directory.
bool file_exists(const std::string& path);
// stat succeeds and the path is a directory.
bool is_directory(const std::string& path);
// Size in bytes; 0 when the path cannot be queried.
uint32_t file_size(const std::string& path);
// Modification time in whole seconds since 1970; 0 when the path cannot be queried.
int32_t file_time(const std::string& path);

// What the list cache remembers of a file to tell whether it changed: the size, the
// modification and change times at the full precision the file system keeps, the
// inode number, and whether it is a regular file. The change time and the inode
// make a permission change (chmod, chown) and a replacement by rename a change too,
// whatever the size and the modification time. A path that cannot be queried gives
// the all-zero stamp.
struct FileStamp {
    uint64_t size = 0;
    int64_t seconds = 0;
    int64_t nanoseconds = 0;
    int64_t change_seconds = 0;
    int64_t change_nanoseconds = 0;
    uint64_t inode = 0;
    bool regular = false;
    bool operator==(const FileStamp&) const = default;
};
FileStamp file_stamp(const std::string& path);
// The stamp of a status already queried (fstat, fstatat), as file_stamp makes it.
FileStamp file_stamp_of(const struct stat& status);

// Lists the entries of one directory in the order the system returns them, never
// the names that begin with "." (so neither "." nor ".."). A directory that cannot
// be opened lists as empty. With a pattern, only names matching it are returned:
// "*" matches any run of bytes, "?" one byte, anything else itself.
class Directory {
  public:
    explicit Directory(const std::string& path, std::string pattern = "");
    ~Directory();
    Directory(const Directory&) = delete;
    Directory& operator=(const Directory&) = delete;

    // Advances to the next qualifying entry; false when there is none.
    bool next();
    // The current entry's name, or "" before the first and after the last entry.
    std::string name() const;

  private:
    struct Record;
    std::unique_ptr<Record> record;
};

// The wildcard match used by Directory; exposed for tests.
bool matches_pattern(const std::string& name, const std::string& pattern);

}  // namespace kel
