// Reading a list's subscriber file into a SubscriberList. The file belongs to the
// server but is read as untrusted: only a regular file is read, it is opened without
// waiting, and a file that cannot be read to its end gives no subscribers at all,
// never a part of them, and says why.
#pragma once

#include <string>

#include "subscriber_list.h"

// What became of one reading.
struct SubscriberFileRead {
    bool readable = true;
    // Why the file could not be read, for the log and the tools; empty when it was.
    std::string reason;
};

// Fills `subscribers` from the file at `path`: one entry for every line that has at
// least six TAB-separated fields and a mode field beginning with "f", "d", "i" or
// "n"; the fifth field "-010001" forbids posting. When the file cannot be read,
// `subscribers` is left empty.
SubscriberFileRead read_subscriber_file(const std::string& path, SubscriberList& subscribers);
