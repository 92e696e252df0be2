// Escaping of a text that is to stand between double quotes on one protocol line.
#pragma once

#include <string>

// Doubles every backslash, drops every CR, turns LF into backslash "e" and TAB into
// backslash "t", and puts a backslash before every double quote. The result holds
// no CR, LF or TAB; every other byte passes unchanged.
std::string escape_text(const std::string& text);
