// The output-channel check applied to every run of the whole-process tests: these
// wrappers run the filter as filter_process.h does and record a test failure, naming
// the breach, when its output breaks the promise of output_channel.h.
#pragma once

#include <gtest/gtest.h>

#include "filter_process.h"
#include "output_channel.h"

inline ProcessResult run_filter_checked(const std::string& directory, const std::string& input,
                                        const RunOptions& options = {}) {
    ProcessResult result = run_filter(directory, input, options);
    EXPECT_EQ(output_channel_breach(input, result), "") << "input: " << printable(input);
    return result;
}

// One request to a live filter; returns its lines up to and including the reply.
inline std::vector<std::string> request_checked(FilterSession& session, const std::string& line) {
    std::vector<std::string> lines = session.request(line);
    EXPECT_EQ(request_breach(line, lines), "") << "request: " << printable(line);
    return lines;
}

// The lines of request `number` with that number written "n", in its records and in
// its reply, so that expectations need not count requests.
inline std::vector<std::string> numbered_as_n(std::vector<std::string> lines,
                                              const std::string& number) {
    for (std::string& line : lines) {
        if (line.rfind("* [" + number + "] ", 0) == 0) {
            line = "* [n] " + line.substr(number.size() + 5);
        } else if (line.rfind(number + " ", 0) == 0) {
            line = "n" + line.substr(number.size());
        }
    }
    return lines;
}
