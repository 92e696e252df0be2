// Serving "file" requests: check the path, get the verdict, log it, reply. The file
// opened for the check is the one the filter reads. A message whose file is missing
// or cannot be opened is let through (OK with an error text): the filter never
// holds mail back for its own trouble. In warn-only mode a refusal is logged as
// what it would have been, and the message is let through.
#include "ext_filter.h"

#include <unistd.h>

#include "escape_text.h"
#include "file_stream.h"
#include "files.h"
#include "logging.h"

namespace cgp {
namespace {

std::string joined_lines(const FilterResult& result) {
    std::string joined;
    for (size_t i = 0; i < result.lines.size(); ++i) {
        if (i != 0) {
            joined.push_back('\n');
        }
        joined += result.lines[i];
    }
    return joined;
}

// Escaping works byte by byte, so the escaped lines with an escaped line feed
// between them are the escaped joined text.
void append_reply_text(std::string& out, const FilterResult& result) {
    for (size_t i = 0; i < result.lines.size(); ++i) {
        if (i != 0) {
            append_escaped(out, "\n");
        }
        append_escaped(out, result.lines[i]);
    }
}

std::string reply_text(const FilterResult& result) {
    std::string text;
    append_reply_text(text, result);
    return text;
}

// The file check asks access(), which judges by the real user and group, and open()
// by the effective ones. Where they are the same, as they are for a helper the
// server starts, a file that opens as a regular file passes the check: one open
// serves both the check and the reading.
bool opening_passes_the_check() {
    static const bool same_ids = getuid() == geteuid() && getgid() == getegid();
    return same_ids;
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
    std::string reply = std::to_string(number);
    const char* quoted = nullptr;  // the reply word of a verdict with a text
    switch (effective_verdict(result)) {
        case Postpone:
            quoted = " REJECTED \"";
            break;
        case Reject:
            quoted = " ERROR \"";
            break;
        case AddHeader:
            quoted = " ADDHEADER \"";
            break;
        case Discard:
            return reply + " DISCARD";
        case Accept:
            break;
    }
    if (quoted == nullptr) {
        return reply + " OK";
    }
    reply += quoted;
    append_reply_text(reply, result);
    reply += '"';
    return reply;
}

const char* message_file_error(const std::string& path) {
    if (!kel::file_exists(path)) {
        return "File Not Found ";
    }
    if (!kel::ifstream(path).is_open()) {
        return "unable to open file ";
    }
    return nullptr;
}

std::string message_file_error_reply(int32_t number, const char* error, const std::string& path) {
    return std::to_string(number) + " OK \"Error: " + error + escape_text(path) + "\"";
}

FilterResult ExtFilter::filter_opened_file(int32_t request_number, const std::string& path,
                                           kel::ifstream&) {
    return filter_file(request_number, path);
}

void ExtFilter::process_request(int32_t number, const std::string&, const std::string& path) {
    kel::ifstream file(path);
    const bool checked = file.is_open() && opening_passes_the_check();
    // A file that did not open is judged by the check itself, so the replies for a
    // missing file and for one that cannot be opened stay as they were.
    if (!checked) {
        if (const char* error = message_file_error(path)) {
            kel::outline() << message_file_error_reply(number, error, path);
            return;
        }
    }
    FilterResult result =
        checked ? filter_opened_file(number, path, file) : filter_file(number, path);
    FilterVerdict verdict = effective_verdict(result);
    if (warn_only && verdict == Reject) {
        kel::logline(number) << "Would reject message: " << kel::printable(joined_lines(result));
        kel::outline() << number << " OK";
        return;
    }
    kel::logline(number) << verdict_log_text(verdict);
    kel::outline() << verdict_reply(number, result);
}

}  // namespace cgp
