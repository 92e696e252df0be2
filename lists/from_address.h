// The sender's address in a From value, read the way mail software reads a
// mailbox list. The value comes from a remote sender: it is only scanned, once, in
// bounded steps, and the result is made of its bytes and never longer than it.
#pragma once

#include <string>
#include <string_view>

// The address of the first mailbox of a From value (continuation lines already
// joined), as written apart from what the address syntax makes meaningless: no
// comments, no blanks around its dots and "@" or at its ends, no obsolete route,
// a quoted local part in its canonical spelling (quoted-pairs reduced to their
// characters, no quotes where none are needed), no blanks inside a domain literal.
// Not folded.
//
// A value with no mailbox (empty, blanks and comments only, an empty group) gives
// the empty string. A value that cannot be read as a mailbox list (a quote,
// comment, bracket or domain literal left open, a stray closing bracket, two words
// with a blank between them in the address) gives the text between its first "<"
// and the next ">", else the whole value, without blanks or TABs at either end.
std::string mailbox_address(std::string_view value);

// An address as written elsewhere (a subscriber line), in the spelling
// mailbox_address gives the same address: a quoted local part canonical, a domain
// literal without blanks; nothing else changes, and an address with a quote or a
// bracket left open stays as written. Never longer than `address`.
std::string canonical_address(std::string_view address);
