// The output-channel checker shared by the whole-process tests and the fuzz targets.
#include "output_channel.h"

size_t request_line_count(const std::string& input) {
    size_t count = 0;
    bool open_line = false;
    for (char byte : input) {
        if (byte == '\n' || byte == '\r') {
            ++count;
            open_line = false;
        } else {
            open_line = true;
        }
    }
    return count + (open_line ? 1 : 0);
}

std::string output_channel_breach(const std::string& input, const ProcessResult& result) {
    if (result.timed_out) {
        return "the filter did not finish";
    }
    if (result.exit_status != 0) {
        return "exit status " + std::to_string(result.exit_status);
    }
    if (result.output.find('\r') != std::string::npos) {
        return "a CR byte on standard output";
    }
    if (!result.output.empty() && result.output.back() != '\n') {
        return "standard output does not end with a line feed";
    }
    size_t reply_count = 0;
    for (const std::string& line : result.lines) {
        if (line.rfind("* ", 0) != 0) {
            ++reply_count;
        }
    }
    size_t expected = request_line_count(input);
    if (reply_count != expected) {
        return std::to_string(reply_count) + " reply lines for " + std::to_string(expected) +
               " request lines";
    }
    return "";
}
