// Fuzz target: bytes as a list's subscriber file, through the reader the list
// directory uses. Beside the sanitizers it checks the file's rule on every line: a
// line of at least six TAB-separated fields whose second starts with f, d, i or n
// names a subscriber, who must then be found under the address folded and spelt as
// the From reader spells it, with the right of the first such line.
// Each input is read twice: with the real bounds, and with bounds small enough for
// short inputs to reach them (a line over the limit names nobody; a file over the
// limit is not read at all), in reads of a few bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "address_folding.h"
#include "from_address.h"
#include "scratch_file.h"
#include "subscriber_file.h"
#include "test_rendering.h"

namespace {

// The fields of a line, runs of TABs counting as one separator.
std::vector<std::string_view> fields_of(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    while (start <= line.size()) {
        size_t end = line.find('\t', start);
        if (end == std::string_view::npos) {
            end = line.size();
        }
        if (end > start) {
            fields.push_back(line.substr(start, end - start));
        }
        start = end + 1;
    }
    return fields;
}

// Lines as the file reader cuts them: at LF or CR, a CR LF or LF CR pair being one end.
std::vector<std::string_view> lines_of(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || text[i] == '\r') {
            lines.push_back(text.substr(start, i - start));
            if (i + 1 < text.size() && (text[i + 1] == '\n' || text[i + 1] == '\r') &&
                text[i + 1] != text[i]) {
                ++i;
            }
            start = i + 1;
        }
    }
    if (start < text.size()) {
        lines.push_back(text.substr(start));
    }
    return lines;
}

// Reads the file with these bounds and checks the result against the rule.
void check(const std::string& path, std::string_view text, const SubscriberFileLimits& limits) {
    SubscriberList subscribers;
    SubscriberFileRead read = read_subscriber_file(path, subscribers, limits);
    if (read.readable != (text.size() <= limits.largest_file)) {
        std::fprintf(stderr, "subscriber_fuzz: %zu bytes read as %s with a limit of %llu\n",
                     text.size(), read.readable ? "readable" : "unreadable",
                     static_cast<unsigned long long>(limits.largest_file));
        std::abort();
    }
    std::unordered_map<std::string, bool> expected;
    for (std::string_view line : read.readable ? lines_of(text) : std::vector<std::string_view>()) {
        std::vector<std::string_view> fields = fields_of(line);
        if (line.size() > limits.longest_line || fields.size() < 6 ||
            std::string_view("fdin").find(fields[1][0]) == std::string::npos) {
            continue;
        }
        expected.try_emplace(canonical_address(fold_lower(fields[0])), fields[4] != "-010001");
    }
    for (const auto& [address, may_post] : expected) {
        Subscription found = subscribers.find(address);
        Subscription wanted = may_post ? Subscription::MayPost : Subscription::MayNotPost;
        if (found != wanted) {
            std::fprintf(stderr, "subscriber_fuzz: %s found as %d, not %d\n",
                         render_bytes(address).c_str(), static_cast<int>(found),
                         static_cast<int>(wanted));
            std::abort();
        }
    }
    if (subscribers.size() != expected.size()) {
        std::fprintf(stderr, "subscriber_fuzz: %zu subscribers for %zu subscriber lines\n",
                     subscribers.size(), expected.size());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchFile file("list.list");
    file.write(data, size);
    std::string_view text(reinterpret_cast<const char*>(data), size);
    check(file.path, text, SubscriberFileLimits());
    SubscriberFileLimits small;
    small.largest_file = 3000;
    small.longest_line = 40;
    // Reads of a few bytes, so that lines and pairs of line ends are cut across them.
    small.read_bytes = 1 + size % 13;
    check(file.path, text, small);
    return 0;
}
