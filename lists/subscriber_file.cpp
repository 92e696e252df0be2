// The subscriber file format: TAB-separated fields, runs of TABs counting as one
// separator, so no field is ever empty. Field 1 is the address, field 2 the mode,
// field 5 the posting right; other fields are not used. The file is read in blocks
// from its descriptor into a buffer that each thread keeps, and lines are
// cut and parsed where they lie: only an address is copied, once, into the list.
// The bytes read, and no size the file claims, bound the time and memory it takes.
#include "subscriber_file.h"

#include <errno.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string_view>

#include "address_folding.h"
#include "from_address.h"

namespace {

// The posting field of a subscriber who may not post.
const std::string_view no_posting = "-010001";

// Adds the subscriber that the line [begin, end) names, if it names one. The
// address is folded where it lies. False for a line with some field but fewer than
// six: no line the server writes (addresses separated by blanks, for instance).
bool take_line(char* begin, char* end, SubscriberList& subscribers) {
    char* field[6];
    char* field_end[6];
    size_t found = 0;
    char* at = begin;
    while (found < 6) {
        while (at < end && *at == '\t') {
            ++at;
        }
        if (at == end) {
            return found == 0;
        }
        field[found] = at;
        while (at < end && *at != '\t') {
            ++at;
        }
        field_end[found++] = at;
    }
    char mode = field[1][0];
    if (mode != 'f' && mode != 'd' && mode != 'i' && mode != 'n') {
        return true;
    }
    bool may_post =
        std::string_view(field[4], static_cast<size_t>(field_end[4] - field[4])) != no_posting;
    for (char* byte = field[0]; byte < field_end[0]; ++byte) {
        *byte = static_cast<char>(fold_byte(*byte));
    }
    const size_t length = static_cast<size_t>(field_end[0] - field[0]);
    const std::string_view address(field[0], length);
    // The rare address with a quoted local part or a domain literal is spelt as the
    // From reader spells it, so that it matches written either way. Two memchr
    // calls cost a large list less than a test in the folding loop.
    if (memchr(field[0], '"', length) != nullptr || memchr(field[0], '[', length) != nullptr) {
        subscribers.add(canonical_address(address), may_post);
    } else {
        subscribers.add(address, may_post);
    }
    return true;
}

// Every CR and every LF ends a line. A CR LF or LF CR pair thus leaves an empty line
// between its two bytes, which names no subscriber: pairs need no look-ahead. Where
// the next byte of each kind lies is remembered, so that in a file whose lines all
// end in the same byte the other is looked for once per block, not once per line.
class LineEnds {
  public:
    LineEnds(char* begin, char* end)
        : end(end), next_lf(find(begin, '\n')), next_cr(find(begin, '\r')) {}
    // The first line end at or after `from`, or the end of the block.
    char* next(char* from) {
        if (next_lf < from) {
            next_lf = find(from, '\n');
        }
        if (next_cr < from) {
            next_cr = find(from, '\r');
        }
        return std::min(next_lf, next_cr);
    }

  private:
    // Declared first: the finds in the constructor use it.
    char* end;
    char* next_lf;
    char* next_cr;

    char* find(char* from, char byte) const {
        void* found = memchr(from, byte, static_cast<size_t>(end - from));
        return found != nullptr ? static_cast<char*>(found) : end;
    }
};

// The read buffer, kept from one reading to the next, so that a reading asks for no
// memory beyond what its list holds.
struct ReadBuffer {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;

    // Not cleared: every byte used is read into it first.
    char* at_least(size_t wanted) {
        if (size < wanted) {
            bytes = std::make_unique_for_overwrite<char[]>(wanted);
            size = wanted;
        }
        return bytes.get();
    }
};
thread_local ReadBuffer read_buffer;

std::string larger_than(uint64_t bytes) {
    return bytes % (1 << 20) == 0 ? "it is larger than " + std::to_string(bytes >> 20) + " MiB"
                                  : "it is larger than " + std::to_string(bytes) + " bytes";
}

SubscriberFileRead failed_read(std::string reason, bool access_fault) {
    SubscriberFileRead read;
    read.readable = false;
    read.reason = std::move(reason);
    read.access_fault = access_fault;
    return read;
}

// Streams the file's lines into `subscribers`: readable, with the count of lines
// that are not subscriber lines, when the file was read to its end; else why not.
SubscriberFileRead take_lines(kel::ReadableFile& file, uint64_t size,
                              const SubscriberFileLimits& limits, SubscriberList& subscribers) {
    SubscriberFileRead result;
    // The buffer holds the unfinished line of the last block, at most the longest
    // line, followed by one read's bytes.
    const size_t capacity = limits.longest_line + std::max<size_t>(limits.read_bytes, 1);
    char* buffer = read_buffer.at_least(capacity);
    size_t kept = 0;
    // Set while the bytes of a line longer than the limit stream past.
    bool overlong = false;
    uint64_t total = 0;
    // Up to the size the file had when it was opened: on network storage the read
    // that finds the end would be one more round trip.
    while (size == 0 || total < size) {
        const long count = file.read(buffer + kept, capacity - kept);
        if (count < 0) {
            return failed_read("reading it failed: " + kel::error_text(static_cast<int>(-count)),
                               true);
        }
        if (count == 0) {
            break;
        }
        // The file may have grown since it was opened.
        total += static_cast<uint64_t>(count);
        if (total > limits.largest_file) {
            return failed_read(larger_than(limits.largest_file), false);
        }
        char* line = buffer;
        char* end = buffer + kept + count;
        LineEnds ends(line, end);
        for (char* stop; (stop = ends.next(line)) < end; line = stop + 1) {
            if (!overlong && static_cast<size_t>(stop - line) <= limits.longest_line) {
                result.short_lines += !take_line(line, stop, subscribers);
            }
            overlong = false;
        }
        size_t unfinished = static_cast<size_t>(end - line);
        if (overlong || unfinished > limits.longest_line) {
            overlong = true;
            kept = 0;
        } else {
            memmove(buffer, line, unfinished);
            kept = unfinished;
        }
    }
    // A last line without a line end still counts.
    if (!overlong) {
        result.short_lines += !take_line(buffer, buffer + kept, subscribers);
    }
    return result;
}

}  // namespace

SubscriberFileRead read_subscriber_file(const std::string& path, SubscriberList& subscribers,
                                        const SubscriberFileLimits& limits) {
    return read_subscriber_file(kel::real_file_system(), path, subscribers, limits);
}

SubscriberFileRead read_subscriber_file(kel::FileSystem& file_system, const std::string& path,
                                        SubscriberList& subscribers,
                                        const SubscriberFileLimits& limits, bool leave_empty) {
    kel::OpenedFile file = file_system.open(path);
    // A list read in part would refuse the subscribers it missed as strangers: a
    // file that cannot be read to its end gives none, and its storage goes.
    auto unreadable = [&subscribers, &file](std::string reason, bool access_fault = true) {
        subscribers.clear();
        SubscriberFileRead read = failed_read(std::move(reason), access_fault);
        read.stamp = file.error == 0 ? std::optional<kel::FileStamp>(file.stamp) : std::nullopt;
        return read;
    };
    if (file.error != 0) {
        return unreadable(file.error == EISDIR
                              ? "it is not a regular file"
                              : "it cannot be opened: " + kel::error_text(file.error));
    }
    if (!file.regular) {
        return unreadable("it is not a regular file");
    }
    // A sparse file can claim any size and cost nothing to make; only its size is
    // asked here, nothing is set aside for it.
    if (file.size > limits.largest_file) {
        return unreadable(larger_than(limits.largest_file), false);
    }
    if (leave_empty && file.size == 0) {
        SubscriberFileRead left;
        left.stamp = file.stamp;
        left.left_empty = true;
        return left;
    }
    // The new list is built over the previous one's storage.
    subscribers.start_over();
    SubscriberFileRead read = take_lines(*file.file, file.size, limits, subscribers);
    if (!read.readable) {
        return unreadable(std::move(read.reason), read.access_fault);
    }
    subscribers.finish();
    read.stamp = file.stamp;
    return read;
}
