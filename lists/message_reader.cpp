// The envelope and From readers. A read error ends a block the way the end of the
// file does; nothing here is reported.
#include "message_reader.h"

#include <string_view>

#include "address_folding.h"
#include "from_address.h"
#include "line_reader.h"
#include "list_record.h"

namespace {

// The text between the first "<" at or after `from` and the first ">" behind it.
bool bracketed(std::string_view text, size_t from, std::string_view& inside) {
    size_t open = text.find('<', from);
    if (open == std::string_view::npos) {
        return false;
    }
    size_t close = text.find('>', open);
    if (close == std::string_view::npos) {
        return false;
    }
    inside = text.substr(open + 1, close - open - 1);
    return true;
}

// Envelope lines hold the address behind a fixed-width prefix such as "R W ",
// so a "<" before position 4 is not the address.
constexpr size_t envelope_address_start = 4;

bool is_blank(char byte) {
    return byte == ' ' || byte == '\t';
}

// "Name: value", or the obsolete "Name : value" with blanks before the colon. A
// line that starts with a blank continues a field, and an mbox separator line
// "From alice@x Mon ..." has a word, not a colon, behind its name.
bool is_field_line(std::string_view line, size_t& name_length, size_t& colon) {
    name_length = line.find_first_of(" \t:");
    if (name_length == 0 || name_length == std::string_view::npos) {
        return false;
    }
    colon = line.find_first_not_of(" \t", name_length);
    return colon != std::string_view::npos && line[colon] == ':';
}

// Appends what still fits under max_from_value; true while there is room.
bool append_bounded(std::string& value, std::string_view text) {
    value.append(text.substr(0, max_from_value - value.size()));
    return value.size() < max_from_value;
}

}  // namespace

void set_sender(MessageEnvelope& envelope, std::string_view address) {
    envelope.null_sender = address.empty();
    envelope.sender = fold_lower(address);
    if (!envelope.null_sender && envelope.sender.find('@') == std::string::npos) {
        envelope.sender += "@" + main_domain_name();
    }
}

std::string shown_sender(const MessageEnvelope& envelope) {
    return envelope.null_sender ? "<>" : envelope.sender;
}

bool has_envelope(std::istream& stream) {
    if (stream.fail()) {
        return false;
    }
    stream.clear();
    stream.seekg(0);
    // Only the first 3 bytes of the line are looked at, so only they are kept.
    std::string line;
    read_line(stream, line, LineEnds::Pairs, 3);
    stream.clear();
    stream.seekg(0);
    return line.size() >= 3 && has_class(line[0], char_letter) && has_class(line[1], char_space);
}

MessageEnvelope read_envelope(std::istream& stream) {
    MessageEnvelope envelope;
    std::string line;
    while (true) {
        read_line(stream, line);
        if (line.empty()) {
            return envelope;
        }
        std::string_view address;
        if ((line[0] == 'P' || line[0] == 'R') &&
            bracketed(line, envelope_address_start, address)) {
            if (line[0] == 'R') {
                envelope.recipients.push_back(fold_lower(address));
            } else {
                set_sender(envelope, address);
            }
        }
        if (stream.eof()) {
            return envelope;
        }
    }
}

std::string read_from_header(std::istream& stream) {
    std::string value;
    bool in_from = false;
    std::string line;
    while (!stream.eof()) {
        // No line is held longer than the value may grow; a field name that long
        // is no field name here.
        read_line(stream, line, LineEnds::Pairs, max_from_value);
        if (stream.fail() || line.empty()) {
            break;
        }
        size_t name_length;
        size_t colon;
        bool room = true;
        if (is_field_line(line, name_length, colon)) {
            if (in_from) {
                break;
            }
            if (name_length == 4 && fold_lower(std::string_view(line).substr(0, 4)) == "from") {
                room = append_bounded(value, std::string_view(line).substr(colon + 1));
                in_from = true;
            }
        } else if (in_from && is_blank(line[0])) {
            size_t rest = line.find_first_not_of(" \t\r\n");
            room = append_bounded(value, " ") &&
                   (rest == std::string::npos ||
                    append_bounded(value, std::string_view(line).substr(rest)));
        }
        if (!room) {
            break;  // the address stands at the start; the rest is not needed
        }
    }
    return mailbox_address(value);
}
