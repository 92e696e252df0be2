// Timing a live filter's requests: the clock runs from the write of a request to the
// read of its reply line, so it holds what the filter wrote before the reply too.
#include "timed_filter.h"

#include <algorithm>
#include <chrono>

namespace {

RunOptions options_for(const std::string& program, double reply_timeout_seconds) {
    RunOptions options;
    options.program = program;
    options.timeout_seconds = reply_timeout_seconds;
    return options;
}

}  // namespace

TimedFilter::TimedFilter(const std::string& root, const std::string& program,
                         double reply_timeout_seconds)
    : session(root, options_for(program, reply_timeout_seconds)) {
    session.start_lines();
}

ReplyLines TimedFilter::send(const std::string& relative) {
    const auto started = std::chrono::steady_clock::now();
    ReplyLines lines = session.request(std::to_string(++sent) + " FILE " + relative);
    last = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - started)
               .count();
    lost = lost || lines.empty();
    return lines;
}

std::string verdict(const ReplyLines& lines) {
    if (lines.empty()) {
        return "(no reply)";
    }
    const std::string& reply = lines.back();
    const size_t blank = reply.find(' ');
    return blank == std::string::npos ? reply : reply.substr(blank + 1);
}

bool carries_record(const ReplyLines& lines, const std::string& record) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.size() > record.size() &&
               line.compare(line.size() - record.size(), record.size(), record) == 0;
    });
}
