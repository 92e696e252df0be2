// The promise the filter makes about its standard output, whatever its input: one
// reply line per request line, in order, every other line a "* " log line, no CR
// byte anywhere, and exit status 0 once the input has ended.
#pragma once

#include <string>

#include "filter_process.h"

// Number of request lines the filter reads from this input: every CR and every LF
// ends a line, and a last line without a line end counts too.
size_t request_line_count(const std::string& input);

// Empty when the run kept the promise; otherwise a description of the first breach.
std::string output_channel_breach(const std::string& input, const ProcessResult& result);
