// The decoding steps of the settings notation, between the bytes of a token and the
// text of the value made from it. The server writes the notation; these steps follow
// its rules exactly, including where two of them interact. What a report shows of
// the file's bytes is written by kel::printable (printable.h).
#pragma once

#include <string>
#include <string_view>

namespace cgp {

// The scanner's pass over a quoted string or data block, quotes or brackets removed:
// backslash "n" (when that backslash does not follow another) becomes LF, then
// backslash "t" likewise becomes TAB, then, in one sweep, each pair of backslashes
// becomes one and a backslash with three digits of value 0 to 255 becomes that byte.
std::string unescape_token(std::string_view inner);

// The grammar's pass over the text of a word or of the first quoted string:
// backslash "0" is removed, backslash "e" becomes LF, backslash and double quote a double quote,
// backslash "t" a TAB and two backslashes one. Each sweep runs once, left to right.
// The sweeps run after the scanner's pass, so a doubled backslash before "e", "0"
// or a double quote ends up starting an escape here.
std::string decode_string(std::string_view text);

// The bytes of a data block: LF bytes dropped, then base64 in groups of four, an
// incomplete last group ignored. "=" counts as 0 and leaves out the byte it ends.
std::string decode_data(std::string_view inner);

}  // namespace cgp
