// The one rule for any text a person reads, in the log and in the tools' text
// output alike: bytes from requests, messages, the server's files and directory
// entries are trusted for nothing, so what they hold is shown, never run by a
// terminal and never able to end or split a line. JSON has its own escaping
// (json_writer.h) over the same reading of UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kel {

// The text as a person may safely read it: well-formed UTF-8 kept as it is, except
// the control characters; every control character (U+0000 to U+001F, TAB, CR and
// LF included; U+007F; U+0080 to U+009F, as the single bytes 0x80 to 0x9F or as
// the UTF-8 bytes C2 80 to C2 9F) and every byte outside a well-formed UTF-8
// sequence written as "\xhh", two lower-case hex digits, byte by byte. The result
// reads the same through the rule again.
std::string printable(std::string_view text);
// Appends printable(text) to `out` without a string of its own.
void append_printable(std::string& out, std::string_view text);

// The length of the well-formed UTF-8 sequence (RFC 3629: no overlong form, no
// surrogate, nothing above U+10FFFF) that starts at `at`, or 0 when the byte there
// starts none. REQUIRES: at < bytes.size().
size_t utf8_sequence_length(std::string_view bytes, size_t at);

}  // namespace kel
