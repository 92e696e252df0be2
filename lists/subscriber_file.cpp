// The subscriber file format: TAB-separated fields, runs of TABs counting as one
// separator, so no field is ever empty. Field 1 is the address, field 2 the mode,
// field 5 the posting right; other fields are not used.
#include "subscriber_file.h"

#include <string_view>

#include "address_folding.h"
#include "file_stream.h"
#include "files.h"
#include "line_reader.h"

namespace {

// The posting field of a subscriber who may not post.
const std::string_view no_posting = "-010001";

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

}  // namespace

SubscriberFileRead read_subscriber_file(const std::string& path, SubscriberList& subscribers) {
    subscribers.clear();
    kel::ifstream file(path);
    if (!file.is_open()) {
        return {false, "it cannot be opened or is not a regular file"};
    }
    // A subscriber line is rarely shorter than 64 bytes; room left unused is given
    // back at the end.
    subscribers.reserve(kel::file_stamp(path).size / 64);
    std::string line;
    std::string folded;
    SubscriberLine parsed;
    while (file.good()) {
        // A last line without a line end still counts.
        read_line(file, line);
        if (!parse_subscriber_line(line, parsed)) {
            continue;
        }
        folded.resize(parsed.address.size());
        for (size_t i = 0; i < parsed.address.size(); ++i) {
            folded[i] = static_cast<char>(fold_byte(parsed.address[i]));
        }
        subscribers.add(folded, parsed.may_post);
    }
    if (file.read_failed()) {
        // A list read in part would refuse the subscribers it missed as strangers.
        subscribers.clear();
        return {false, "reading it failed"};
    }
    subscribers.finish();
    return {};
}
