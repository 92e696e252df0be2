// The one line reader of the filter, for standard input and for the server's files.
// A line ends at LF or at CR; on files the pairs CR LF and LF CR count as one line
// end. Everything it reads is untrusted, so a line is bounded: bytes beyond
// max_line_length are consumed and dropped, never stored.
#pragma once

#include <cstddef>
#include <istream>
#include <string>

enum class LineEnds {
    // Files: after a line-end byte, look at the next byte and take it too when it
    // completes a CR LF or LF CR pair.
    Pairs,
    // Standard input: never look ahead, since that could wait for the server. Each
    // CR and each LF ends a line, so CR LF reads as a line and an empty line.
    Single,
};

constexpr std::size_t max_line_length = 64 * 1024 * 1024;

// Reads one line into `line`, without its line end. When the input ends before a
// line end, sets the end-of-input state, and the fail state as well when not one
// byte was taken. A stream that is not good on entry gets its fail state set.
std::istream& read_line(std::istream& in, std::string& line, LineEnds ends = LineEnds::Pairs,
                        std::size_t limit = max_line_length);
