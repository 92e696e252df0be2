// The promise the filter makes about its standard output, whatever its input: one
// reply line per request line, in order, every other line a "* " log line, no CR
// byte anywhere, and exit status 0 once the input has ended. The checker works on
// bytes alone, so the whole-process tests and the in-process fuzz target share it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct ProcessResult;

// Number of request lines the filter reads from this input: every CR and every LF
// ends a line, and a last line without a line end counts too.
size_t request_line_count(std::string_view input);

// Empty when `output`, written by a filter that read `input` and then ended with
// `exit_status`, kept the promise; otherwise a description of the first breach.
// "In order" is checked by the first word of each reply: the request's id as
// received, the request number read from it, or "(null)" for a line without an id.
std::string output_channel_breach(std::string_view input, std::string_view output, int exit_status);
// The same for a whole run of the real process; a run that had to be killed is a
// breach too.
std::string output_channel_breach(const std::string& input, const ProcessResult& result);

// The first 80 bytes of a text with control and non-ASCII bytes as \xNN, for messages.
std::string printable(std::string_view text);

// The same for one request sent to a live filter: `lines` are the lines it wrote up to
// and including the reply (split at LF), and the reply must be the last of them.
std::string request_breach(const std::string& request, const std::vector<std::string>& lines);
