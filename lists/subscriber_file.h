// Reading a list's subscriber file into a SubscriberList. The file belongs to the
// server but is read as untrusted: only a regular file is read, it is opened without
// waiting, memory and time are bounded by the bytes actually read (never by the size
// the file claims), and a file that cannot be read to its end gives no subscribers
// at all, never a part of them, and says why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "file_system.h"
#include "subscriber_list.h"

// What became of one reading.
struct SubscriberFileRead {
    bool readable = true;
    // Why the file could not be read, for the log and the tools; empty when it was.
    std::string reason;
    // It could not be opened or read to its end (as opposed to being too large).
    bool access_fault = false;
    // Lines with some field but fewer than six, which the server never writes
    // (addresses separated by blanks instead of TABs, for instance); for the tools.
    uint64_t short_lines = 0;
    // The stamp of the file as it was opened; none when it could not be opened.
    std::optional<kel::FileStamp> stamp;
    // An empty regular file, left unread as asked (leave_empty).
    bool left_empty = false;
};

// Bounds on what one reading takes in. A larger file is not read at all; a longer
// line is no subscriber line and is skipped as it streams past.
struct SubscriberFileLimits {
    uint64_t largest_file = uint64_t{512} << 20;
    size_t longest_line = size_t{64} << 10;
    // Bytes asked of each read; small ones let tests cut lines across blocks.
    size_t read_bytes = size_t{64} << 10;
};

// Fills `subscribers` from the file at `path`: one entry for every line that has at
// least six TAB-separated fields and a mode field beginning with "f", "d", "i" or
// "n"; the fifth field "-010001" forbids posting. Lines end at LF or CR. The file
// cannot be read when it is not a regular file, cannot be opened, fails while being
// read or is larger than `limits.largest_file`; `subscribers` is then left empty.
SubscriberFileRead read_subscriber_file(const std::string& path, SubscriberList& subscribers,
                                        const SubscriberFileLimits& limits = {});
// The same through a file-system seam (file_system.h). With `leave_empty`, an empty
// regular file is left as it is, `subscribers` untouched.
SubscriberFileRead read_subscriber_file(kel::FileSystem& file_system, const std::string& path,
                                        SubscriberList& subscribers,
                                        const SubscriberFileLimits& limits = {},
                                        bool leave_empty = false);
