// The subscriber file format: TAB-separated fields, runs of TABs counting as one
// separator, so no field is ever empty. Field 1 is the address, field 2 the mode,
// field 5 the posting right; other fields are not used. The file is read in blocks
// from its descriptor and cut into lines as the blocks come, so the bytes read, and
// no size the file claims, bound both the time and the memory a reading takes.
#include "subscriber_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string_view>
#include <vector>

#include "address_folding.h"

namespace {

// The posting field of a subscriber who may not post.
const std::string_view no_posting = "-010001";

constexpr size_t block_bytes = 65536;

struct SubscriberLine {
    std::string_view address;
    bool may_post = false;
};

bool parse_subscriber_line(std::string_view line, SubscriberLine& parsed) {
    std::string_view fields[6];
    size_t found = 0;
    size_t position = 0;
    while (found < 6) {
        position = line.find_first_not_of('\t', position);
        if (position == std::string_view::npos) {
            break;
        }
        size_t end = line.find('\t', position);
        if (end == std::string_view::npos) {
            end = line.size();
        }
        fields[found++] = line.substr(position, end - position);
        position = end;
    }
    if (found < 6) {
        return false;
    }
    char mode = fields[1][0];
    if (mode != 'f' && mode != 'd' && mode != 'i' && mode != 'n') {
        return false;
    }
    parsed.address = fields[0];
    parsed.may_post = fields[4] != no_posting;
    return true;
}

// Adds the subscriber that `line` names, if it names one.
void take_line(std::string_view line, std::string& folded, SubscriberList& subscribers) {
    SubscriberLine parsed;
    if (!parse_subscriber_line(line, parsed)) {
        return;
    }
    folded.resize(parsed.address.size());
    for (size_t i = 0; i < parsed.address.size(); ++i) {
        folded[i] = static_cast<char>(fold_byte(parsed.address[i]));
    }
    subscribers.add(folded, parsed.may_post);
}

const char* line_end(const char* from, const char* end) {
    while (from < end && *from != '\n' && *from != '\r') {
        ++from;
    }
    return from;
}

class Descriptor {
  public:
    explicit Descriptor(int number) : number(number) {}
    ~Descriptor() {
        if (number >= 0) {
            close(number);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return number; }

  private:
    int number;
};

std::string larger_than(uint64_t bytes) {
    return bytes % (1 << 20) == 0 ? "it is larger than " + std::to_string(bytes >> 20) + " MiB"
                                  : "it is larger than " + std::to_string(bytes) + " bytes";
}

}  // namespace

SubscriberFileRead read_subscriber_file(const std::string& path, SubscriberList& subscribers,
                                        const SubscriberFileLimits& limits) {
    // A list read in part would refuse the subscribers it missed as strangers: a
    // file that cannot be read to its end gives none, and its storage goes.
    auto unreadable = [&subscribers](std::string reason) {
        subscribers.clear();
        return SubscriberFileRead{false, std::move(reason)};
    };
    Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) {
        return unreadable(errno == EISDIR ? "it is not a regular file"
                                          : std::string("it cannot be opened: ") + strerror(errno));
    }
    struct stat status;
    if (fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return unreadable("it is not a regular file");
    }
    // A sparse file can claim any size and cost nothing to make; only its size is
    // asked here, nothing is set aside for it.
    if (static_cast<uint64_t>(status.st_size) > limits.largest_file) {
        return unreadable(larger_than(limits.largest_file));
    }
    // The new list is built over the previous one's storage.
    subscribers.start_over();

    // Every CR and every LF ends a line. A CR LF or LF CR pair thus leaves an empty
    // line between its two bytes, which names no subscriber: pairs need no look-ahead.
    std::vector<char> block(block_bytes);
    std::string line;
    std::string folded;
    // Set while the bytes of a line longer than the limit stream past.
    bool overlong = false;
    uint64_t total = 0;
    while (true) {
        ssize_t count = read(file.get(), block.data(), block.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            return unreadable(std::string("reading it failed: ") + strerror(errno));
        }
        if (count == 0) {
            break;
        }
        // The file may have grown since it was opened.
        total += static_cast<uint64_t>(count);
        if (total > limits.largest_file) {
            return unreadable(larger_than(limits.largest_file));
        }
        const char* at = block.data();
        const char* end = at + count;
        while (true) {
            const char* stop = line_end(at, end);
            size_t length = static_cast<size_t>(stop - at);
            if (!overlong && line.size() + length > limits.longest_line) {
                overlong = true;
                line.clear();
            }
            if (!overlong) {
                line.append(at, length);
            }
            if (stop == end) {
                break;
            }
            if (!overlong) {
                take_line(line, folded, subscribers);
            }
            line.clear();
            overlong = false;
            at = stop + 1;
        }
    }
    // A last line without a line end still counts.
    if (!overlong) {
        take_line(line, folded, subscribers);
    }
    subscribers.finish();
    return {};
}
