// Reads the envelope and the From field of a queued message file. The content comes
// from remote senders: lines are read with the bounded line reader, nothing read
// here is trusted beyond being bytes, and the body is never read.
//
// A queued file starts with the server's envelope block (sender line "P", one "R"
// line per recipient, ended by an empty line), followed by the header block.
// Callers use one stream for all three calls, in order: has_envelope, then
// read_envelope, then at most once read_from_header.
#pragma once

#include <cstddef>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

struct MessageEnvelope {
    // Folded; "@" and the main domain are added to a sender without "@". Empty
    // when there is no usable sender line, and for the null sender; the last line
    // wins.
    std::string sender;
    // Folded, in the order of the recipient lines, duplicates kept.
    std::vector<std::string> recipients;
    // The sender line names the null sender "<>" (a bounce or an auto-reply): no
    // address, so none is made up for it and it passes as no list's owner.
    bool null_sender = false;
};

// Sets the sender from the address between the brackets of a sender line (or given
// as one): folded, and completed with "@" and the main domain when it has no "@";
// the empty address is the null sender.
void set_sender(MessageEnvelope& envelope, std::string_view address);
// The sender as a person reads it: "<>" for the null sender, else the sender, which
// is empty when there is none.
std::string shown_sender(const MessageEnvelope& envelope);

// True when the stream is open and its first line looks like an envelope line: at
// least 3 bytes, a letter, then white space. Leaves the stream at its start.
bool has_envelope(std::istream& stream);

// Reads the envelope block from the current position (the start of the file) and
// leaves the stream just behind its closing empty line, or at the end of the file.
MessageEnvelope read_envelope(std::istream& stream);

// How much of a From value is kept, continuation lines joined. The address stands
// at the start of its value, far inside this; a field of endless continuation lines
// is cut here and the reading stops, so a hostile field holds no more than this.
constexpr std::size_t max_from_value = 64 * 1024;

// The address of the first From field of the header block that starts at the
// current position, as mailbox_address (from_address.h) reads its value; not
// folded. Empty when there is no From field or it holds no mailbox. The field runs
// to the next field line ("Name:", or the obsolete "Name :") or the end of the
// header block; its continuation lines are joined with one space.
std::string read_from_header(std::istream& stream);
