// The envelope and From readers. A read error ends a block the way the end of the
// file does; nothing here is reported.
#include "message_reader.h"

#include <string_view>

#include "address_folding.h"
#include "line_reader.h"
#include "list_directory.h"

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

// "Name: value": a colon, not first, with no blank before it.
bool is_field_line(const std::string& line, size_t& colon) {
    colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
        return false;
    }
    return line.find_first_of(" \t") > colon;
}

}  // namespace

bool has_envelope(std::istream& stream) {
    if (stream.fail()) {
        return false;
    }
    stream.clear();
    stream.seekg(0);
    std::string line;
    read_line(stream, line);
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
            std::string folded = fold_lower(address);
            if (line[0] == 'R') {
                envelope.recipients.push_back(std::move(folded));
            } else {
                if (folded.find('@') == std::string::npos) {
                    folded += "@" + main_domain_name();
                }
                envelope.sender = std::move(folded);
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
        read_line(stream, line);
        if (stream.fail() || line.empty()) {
            break;
        }
        size_t colon;
        if (is_field_line(line, colon)) {
            if (in_from) {
                break;
            }
            if (colon == 4 && fold_lower(std::string_view(line).substr(0, 4)) == "from") {
                size_t start = colon + 1;
                if (start < line.size() && line[start] == ' ') {
                    ++start;
                }
                bool only_blanks = line.find_first_not_of(" \t", start) == std::string::npos;
                value = only_blanks ? std::string() : line.substr(start);
                in_from = true;
            }
        } else if (in_from && is_blank(line[0])) {
            size_t rest = line.find_first_not_of(" \t\r\n");
            value += ' ';
            if (rest != std::string::npos) {
                value.append(line, rest);
            }
        }
    }
    std::string_view address;
    if (bracketed(value, 0, address)) {
        return std::string(address);
    }
    return value;
}
