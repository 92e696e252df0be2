// Reading the first mailbox of a From value. One scan finds the element that holds
// it: the value is split at commas outside the units a comma never splits (quoted
// strings, comments, domain literals, angle-bracketed addresses), each unit skipped
// whole; a second scan over that element alone cleans its address. Comment nesting
// is counted, not recursed, so a hostile value costs time in proportion to its
// length and a fixed depth of stack. The scan ends with the first mailbox: damage
// behind it does not matter.
#include "from_address.h"

#include <optional>
#include <utility>

namespace {

constexpr size_t left_open = std::string_view::npos;

bool is_blank(char byte) {
    return byte == ' ' || byte == '\t';
}

// One past the quote that closes the quoted string opening at `at`; a backslash
// takes the byte behind it as it is.
size_t quoted_end(std::string_view text, size_t at) {
    for (size_t pos = at + 1; pos < text.size(); ++pos) {
        if (text[pos] == '\\') {
            ++pos;
        } else if (text[pos] == '"') {
            return pos + 1;
        }
    }
    return left_open;
}

// Comments nest; a quote inside one is plain text.
size_t comment_end(std::string_view text, size_t at) {
    size_t depth = 0;
    for (size_t pos = at; pos < text.size(); ++pos) {
        if (text[pos] == '\\') {
            ++pos;
        } else if (text[pos] == '(') {
            ++depth;
        } else if (text[pos] == ')' && --depth == 0) {
            return pos + 1;
        }
    }
    return left_open;
}

size_t literal_end(std::string_view text, size_t at) {
    size_t close = text.find(']', at + 1);
    return close == std::string_view::npos ? left_open : close + 1;
}

size_t unit_end(std::string_view text, size_t at);

// An address in angle brackets may hold the other units, so a ">" or a comma
// inside a quoted local part does not end it; a second "<" leaves it unreadable.
size_t angle_end(std::string_view text, size_t at) {
    size_t pos = at + 1;
    while (pos < text.size()) {
        const char byte = text[pos];
        if (byte == '>') {
            return pos + 1;
        }
        if (byte == '<') {
            return left_open;
        }
        if (byte == '"' || byte == '(' || byte == '[') {
            pos = unit_end(text, pos);
            if (pos == left_open) {
                return left_open;
            }
        } else {
            ++pos;
        }
    }
    return left_open;
}

// One past the unit that opens at `at`, or left_open when it never closes.
size_t unit_end(std::string_view text, size_t at) {
    switch (text[at]) {
        case '"':
            return quoted_end(text, at);
        case '(':
            return comment_end(text, at);
        case '[':
            return literal_end(text, at);
        default:
            return angle_end(text, at);
    }
}

// Bytes of an atom as the cleaning scan reads it. Commas and semicolons reach it
// only inside an element joined to the next, which never reads as an address.
bool is_word_byte(char byte) {
    switch (byte) {
        case ' ':
        case '\t':
        case '(':
        case ')':
        case '<':
        case '>':
        case '[':
        case ']':
        case '"':
        case '.':
        case '@':
            return false;
        default:
            return true;
    }
}

bool is_atext(char byte) {
    const unsigned char code = static_cast<unsigned char>(byte);
    if (code >= 0x80) {
        return true;  // UTF-8 in addresses
    }
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9')) {
        return true;
    }
    return std::string_view("!#$%&'*+-/=?^_`{|}~").find(byte) != std::string_view::npos;
}

bool is_dot_atom(std::string_view text) {
    bool after_dot = true;
    for (char byte : text) {
        if (byte == '.') {
            if (after_dot) {
                return false;
            }
            after_dot = true;
        } else if (is_atext(byte)) {
            after_dot = false;
        } else {
            return false;
        }
    }
    return !after_dot;
}

// A quoted local part in its canonical spelling (RFC 5322 3.2.4): each quoted-pair
// is the character alone, the quotes stay only where the content is no dot-atom, and
// a backslash and a double quote are the only characters escaped. So "alice"@x meets
// alice@x, and "jo\;n"@x meets "jo;n"@x, in the subscriber list. Never longer than
// the quoted text: only what was escaped there is escaped again.
std::string local_word(std::string_view quoted) {
    std::string content;
    for (size_t pos = 1; pos + 1 < quoted.size(); ++pos) {
        if (quoted[pos] == '\\') {
            ++pos;
        }
        content += quoted[pos];
    }
    if (is_dot_atom(content)) {
        return content;
    }
    std::string canonical = "\"";
    for (char byte : content) {
        if (byte == '\\' || byte == '"') {
            canonical += '\\';
        }
        canonical += byte;
    }
    return canonical + '"';
}

// A domain literal without its blanks: folding white space carries no meaning there
// (RFC 5322 3.4.1), and an address literal (RFC 5321 4.1.3) has none.
std::string domain_literal(std::string_view literal) {
    std::string kept;
    for (char byte : literal) {
        if (!is_blank(byte)) {
            kept += byte;
        }
    }
    return kept;
}

size_t blanks_and_comments_end(std::string_view text, size_t pos) {
    while (pos < text.size()) {
        if (is_blank(text[pos])) {
            ++pos;
        } else if (text[pos] == '(') {
            pos = comment_end(text, pos);
        } else {
            break;
        }
    }
    return pos;
}

// Behind an obsolete route "@a,@b:" at the start of a bracketed address.
size_t route_end(std::string_view text) {
    size_t pos = blanks_and_comments_end(text, 0);
    if (pos == left_open || pos >= text.size() || text[pos] != '@') {
        return 0;
    }
    while (pos < text.size()) {
        if (text[pos] == ':') {
            return pos + 1;
        }
        if (text[pos] == '"' || text[pos] == '(' || text[pos] == '[') {
            pos = unit_end(text, pos);
            if (pos == left_open) {
                return 0;
            }
        } else {
            ++pos;
        }
    }
    return 0;
}

// The address with comments dropped and without the blanks around its dots, its
// "@" and its ends; nothing when two words stand with only blanks or comments
// between them, which no address syntax allows.
std::optional<std::string> cleaned_address(std::string_view text, size_t pos) {
    std::string address;
    bool after_word = false;
    bool gap = false;
    bool in_domain = false;
    while (pos < text.size()) {
        const char byte = text[pos];
        if (is_blank(byte) || byte == '(') {
            pos = blanks_and_comments_end(text, pos);
            if (pos == left_open) {
                return std::nullopt;
            }
            gap = true;
            continue;
        }
        if (byte == '.' || byte == '@') {
            address += byte;
            in_domain = in_domain || byte == '@';
            after_word = false;
            gap = false;
            ++pos;
            continue;
        }
        size_t end = pos;
        if (byte == '"' || byte == '[') {
            end = unit_end(text, pos);
            if (end == left_open) {
                return std::nullopt;
            }
        } else {
            while (end < text.size() && is_word_byte(text[end])) {
                ++end;
            }
            if (end == pos) {
                return std::nullopt;  // a stray bracket
            }
        }
        if (after_word && gap) {
            return std::nullopt;
        }
        std::string_view word = text.substr(pos, end - pos);
        if (byte == '"' && !in_domain) {
            address += local_word(word);
        } else if (byte == '[' && in_domain) {
            address += domain_literal(word);
        } else {
            address += word;
        }
        after_word = true;
        gap = false;
        pos = end;
    }
    return address;
}

// The text inside the angle brackets when the element has them (an obsolete route
// dropped), else the element itself.
std::optional<std::string> element_address(std::string_view element,
                                           std::optional<std::string_view> angle) {
    if (angle) {
        return cleaned_address(*angle, route_end(*angle));
    }
    return cleaned_address(element, 0);
}

// The element of a mailbox list being read: where it begins and what it holds.
struct Element {
    size_t start = 0;          // where the element begins
    size_t content_end = 0;    // one past its last byte that is not a blank or comment
    bool has_content = false;  // anything but blanks and comments
    bool has_at = false;
    std::optional<std::string_view> angle;  // inside the element's first angle brackets

    bool holds_mailbox() const { return has_at || angle.has_value(); }
};

// Steps over the quoted string, comment, domain literal or angle brackets that
// begin at `pos`: the position after it, or left_open.
size_t take_unit(std::string_view value, size_t pos, Element& element) {
    const char byte = value[pos];
    const size_t end = unit_end(value, pos);
    if (end == left_open) {
        return left_open;
    }
    if (byte == '<' && !element.angle) {
        element.angle = value.substr(pos + 1, end - pos - 2);
    }
    if (byte != '(') {
        element.has_content = true;
        element.content_end = end;
    }
    return end;
}

std::optional<std::string> address_of(std::string_view value, const Element& element) {
    return element_address(value.substr(element.start, element.content_end - element.start),
                           element.angle);
}

// Splits the value at commas outside units up to the first element that holds a
// mailbox, and reads that element's address; nothing when the value cannot be
// read as a mailbox list up to there.
std::optional<std::string> first_mailbox(std::string_view value) {
    Element element;
    for (size_t pos = 0; pos < value.size(); ++pos) {
        const char byte = value[pos];
        switch (byte) {
            case '"':
            case '(':
            case '[':
            case '<':
                pos = take_unit(value, pos, element);
                if (pos == left_open) {
                    return std::nullopt;
                }
                --pos;  // the loop steps past the unit's last byte
                break;
            case ')':
            case ']':
            case '>':
                return std::nullopt;
            case ',':
            case ';':
                // A group's closing ";" ends an element as a comma does. An element
                // without "@" or brackets ("Doe, John <...>") runs on into the next.
                if (element.holds_mailbox()) {
                    return address_of(value, element);
                }
                element.start = element.has_content ? element.start : pos + 1;
                break;
            case ':':
                // A group's name before its first mailbox.
                if (element.holds_mailbox()) {
                    return std::nullopt;
                }
                element.start = pos + 1;
                element.has_content = false;
                break;
            default:
                if (!is_blank(byte)) {
                    element.has_at = element.has_at || byte == '@';
                    element.has_content = true;
                    element.content_end = pos + 1;
                }
        }
    }
    if (!element.has_content) {
        return std::string();
    }
    return address_of(value, element);
}

// How the value was read before: the text between the first "<" and the next ">",
// else the whole value.
std::string written_rule(std::string_view value) {
    const size_t open = value.find('<');
    if (open != std::string_view::npos) {
        const size_t close = value.find('>', open);
        if (close != std::string_view::npos) {
            value = value.substr(open + 1, close - open - 1);
        }
    }
    const size_t first = value.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return std::string();
    }
    return std::string(value.substr(first, value.find_last_not_of(" \t") - first + 1));
}

}  // namespace

std::string mailbox_address(std::string_view value) {
    if (std::optional<std::string> address = first_mailbox(value)) {
        return *std::move(address);
    }
    return written_rule(value);
}

std::string canonical_address(std::string_view address) {
    std::string canonical;
    bool in_domain = false;
    for (size_t pos = 0; pos < address.size();) {
        const char byte = address[pos];
        if ((byte == '"' && !in_domain) || (byte == '[' && in_domain)) {
            const size_t end = unit_end(address, pos);
            if (end == left_open) {
                return std::string(address);
            }
            const std::string_view word = address.substr(pos, end - pos);
            canonical += byte == '"' ? local_word(word) : domain_literal(word);
            pos = end;
            continue;
        }
        in_domain = in_domain || byte == '@';
        canonical += byte;
        ++pos;
    }
    return canonical;
}
