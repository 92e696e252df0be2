// The output-channel checker shared by the whole-process tests and the fuzz targets.
// It knows only the shape of the protocol, not the filter's decisions: what a request
// line's id is, and that every reply starts with it.
#include "output_channel.h"

#include <climits>

#include "filter_process.h"

namespace {

bool is_separator(char byte) {
    return byte == ' ' || byte == '\r' || byte == '\n';
}

// The first field of a request line: the bytes before the first separator, after
// any separators it starts with.
std::string_view request_id(std::string_view line) {
    size_t start = 0;
    while (start < line.size() && is_separator(line[start])) {
        ++start;
    }
    size_t end = start;
    while (end < line.size() && !is_separator(line[end])) {
        ++end;
    }
    return line.substr(start, end - start);
}

// The request number as the engine reads it from an id, in decimal; empty when the
// id gives none (an engine reply then quotes the id itself).
std::string request_number(std::string_view id) {
    size_t at = 0;
    while (at < id.size() && (id[at] == '\t' || id[at] == '\v' || id[at] == '\f')) {
        ++at;
    }
    bool negative = at < id.size() && id[at] == '-';
    if (at < id.size() && (id[at] == '-' || id[at] == '+')) {
        ++at;
    }
    long long value = 0;
    size_t digits = 0;
    for (; at < id.size() && id[at] >= '0' && id[at] <= '9'; ++at, ++digits) {
        value = value * 10 + (id[at] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            return "";
        }
    }
    value = negative ? -value : value;
    if (digits == 0 || value > INT_MAX || value < INT_MIN) {
        return "";
    }
    return std::to_string(value);
}

std::vector<std::string_view> request_lines(std::string_view input) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t i = 0; i < input.size(); ++i) {
        if (input[i] == '\n' || input[i] == '\r') {
            lines.push_back(input.substr(start, i - start));
            start = i + 1;
        }
    }
    if (start < input.size()) {
        lines.push_back(input.substr(start));
    }
    return lines;
}

bool is_log_line(std::string_view line) {
    return line.substr(0, 2) == "* ";
}

}  // namespace

std::string printable(std::string_view text) {
    std::string result;
    for (char byte : text.substr(0, 80)) {
        unsigned char code = static_cast<unsigned char>(byte);
        if (code < 0x20 || code >= 0x7f) {
            const char digits[] = "0123456789abcdef";
            result += "\\x";
            result += digits[code >> 4];
            result += digits[code & 15];
        } else {
            result += byte;
        }
    }
    return text.size() > 80 ? result + "..." : result;
}

namespace {

// Empty when `reply` answers the request `line`.
std::string reply_breach(std::string_view line, std::string_view reply, size_t index) {
    std::string_view id = request_id(line);
    std::string_view first = reply.substr(0, reply.find(' '));
    if (first.size() == reply.size()) {
        return "reply " + std::to_string(index + 1) + " has no reply word: " + printable(reply);
    }
    // An id that cannot stand first on a reply without making it read as a log line
    // ("*") is answered like a line without an id.
    bool answers =
        id.empty() || id == "*" ? first == "(null)" : first == id || first == request_number(id);
    if (!answers) {
        return "reply " + std::to_string(index + 1) + " \"" + printable(reply) +
               "\" does not answer request \"" + printable(line) + "\"";
    }
    return "";
}

}  // namespace

size_t request_line_count(std::string_view input) {
    return request_lines(input).size();
}

std::string output_channel_breach(std::string_view input, std::string_view output,
                                  int exit_status) {
    if (exit_status != 0) {
        return "exit status " + std::to_string(exit_status);
    }
    size_t cr = output.find('\r');
    if (cr != std::string_view::npos) {
        size_t start = output.rfind('\n', cr);
        start = start == std::string_view::npos ? 0 : start + 1;
        return "a CR byte on standard output, in the line " +
               printable(output.substr(start, output.find('\n', cr) - start));
    }
    if (!output.empty() && output.back() != '\n') {
        return "standard output does not end with a line feed";
    }
    std::vector<std::string_view> requests = request_lines(input);
    size_t replies = 0;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        std::string_view line = output.substr(start, end - start);
        start = end + 1;
        if (is_log_line(line)) {
            continue;
        }
        if (replies == requests.size()) {
            return "a reply line beyond the " + std::to_string(requests.size()) +
                   " request lines: " + printable(line);
        }
        std::string breach = reply_breach(requests[replies], line, replies);
        if (!breach.empty()) {
            return breach;
        }
        ++replies;
    }
    if (replies != requests.size()) {
        return std::to_string(replies) + " reply lines for " + std::to_string(requests.size()) +
               " request lines";
    }
    return "";
}

std::string output_channel_breach(const std::string& input, const ProcessResult& result) {
    if (result.timed_out) {
        return "the filter did not finish";
    }
    return output_channel_breach(input, result.output, result.exit_status);
}

std::string request_breach(const std::string& request, const std::vector<std::string>& lines) {
    if (request_line_count(request) != 1) {
        return "not one request line: " + printable(request);
    }
    if (lines.empty()) {
        return "no reply to " + printable(request);
    }
    std::string output;
    for (const std::string& line : lines) {
        output += line + "\n";
    }
    if (is_log_line(lines.back())) {
        return "no reply to " + printable(request) + " after " + printable(lines.back());
    }
    return output_channel_breach(request, output, 0);
}
