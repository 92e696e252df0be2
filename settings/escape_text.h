// Escaping of a text that is to stand between double quotes on one protocol line.
#pragma once

#include <string>
#include <string_view>

// Doubles every backslash, drops every CR, turns LF into backslash "e" and TAB into
// backslash "t", puts a backslash before every double quote, and writes every other
// byte below 0x20, and 0x7f, as a backslash and its three-digit decimal code. The
// result holds no control byte; bytes 0x80 to 0xff pass unchanged.
std::string escape_text(const std::string& text);
// Appends escape_text(text) to `out`, so that a reply line is built in one string.
void append_escaped(std::string& out, std::string_view text);
