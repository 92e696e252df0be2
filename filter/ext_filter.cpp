// Serving "file" requests: check the path, get the verdict, log it, reply. A message
// whose file is missing or cannot be opened is let through (OK with an error text):
// the filter never holds mail back for its own trouble.
#include "ext_filter.h"

#include "escape_text.h"
#include "file_stream.h"
#include "files.h"
#include "logging.h"

namespace cgp {
namespace {

std::string reply_text(const FilterResult& result) {
    std::string joined;
    for (size_t i = 0; i < result.lines.size(); ++i) {
        if (i != 0) {
            joined.push_back('\n');
        }
        joined += result.lines[i];
    }
    return escape_text(joined);
}

}  // namespace

const FilterResult accept_result{Accept, {}};

ExtFilter::ExtFilter(bool threaded) : Helper(threaded, "REJECTED") {}

ExtFilter::~ExtFilter() = default;

bool ExtFilter::accepts_command(const std::string& command) {
    return command == "file";
}

FilterVerdict effective_verdict(const FilterResult& result) {
    if (result.verdict == AddHeader && reply_text(result).empty()) {
        return Accept;
    }
    return result.verdict;
}

const char* verdict_log_text(FilterVerdict verdict) {
    switch (verdict) {
        case Accept:
            return "Accepting message";
        case Postpone:
            return "Postponing message";
        case Reject:
            return "Rejecting message";
        case Discard:
            return "Discarding message";
        case AddHeader:
            return "Adding Header(s) to message";
    }
    return "Accepting message";
}

std::string verdict_reply(int32_t number, const FilterResult& result) {
    const std::string n = std::to_string(number);
    switch (effective_verdict(result)) {
        case Postpone:
            return n + " REJECTED \"" + reply_text(result) + "\"";
        case Reject:
            return n + " ERROR \"" + reply_text(result) + "\"";
        case Discard:
            return n + " DISCARD";
        case AddHeader:
            return n + " ADDHEADER \"" + reply_text(result) + "\"";
        case Accept:
            break;
    }
    return n + " OK";
}

void ExtFilter::process_request(int32_t number, const std::string&, const std::string& path) {
    const std::string n = std::to_string(number);
    if (!kel::file_exists(path)) {
        kel::outline() << n << " OK \"Error: File Not Found " << escape_text(path) << "\"";
        return;
    }
    if (!kel::ifstream(path).is_open()) {
        kel::outline() << n << " OK \"Error: unable to open file " << escape_text(path) << "\"";
        return;
    }
    FilterResult result = filter_file(number, path);
    kel::logline(number) << verdict_log_text(effective_verdict(result));
    kel::outline() << verdict_reply(number, result);
}

}  // namespace cgp
