// The printable rule. The text is checked as UTF-8 sequence by sequence; a byte that
// cannot start or continue a well-formed sequence is escaped alone and the check goes
// on at the next byte, so one bad byte never hides the text behind it. Runs of bytes
// kept as they are are appended in one piece.
#include "printable.h"

namespace kel {
namespace {

bool continues(std::string_view bytes, size_t at, unsigned char low = 0x80,
               unsigned char high = 0xbf) {
    if (at >= bytes.size()) {
        return false;
    }
    const unsigned char byte = static_cast<unsigned char>(bytes[at]);
    return byte >= low && byte <= high;
}

void append_hex_escape(std::string& out, unsigned char byte) {
    static const char hex[] = "0123456789abcdef";
    out += "\\x";
    out.push_back(hex[byte >> 4]);
    out.push_back(hex[byte & 0x0f]);
}

// How many bytes at `at` are written as escapes: a C0 control or DEL, a C1 control
// in UTF-8 (C2 80 to C2 9F), a byte outside a well-formed sequence; else 0.
size_t control_length(std::string_view text, size_t at, size_t sequence) {
    const unsigned char byte = static_cast<unsigned char>(text[at]);
    if (sequence == 0 || byte < 0x20 || byte == 0x7f) {
        return 1;
    }
    if (byte == 0xc2 && static_cast<unsigned char>(text[at + 1]) <= 0x9f) {
        return 2;
    }
    return 0;
}

}  // namespace

size_t utf8_sequence_length(std::string_view bytes, size_t at) {
    const unsigned char lead = static_cast<unsigned char>(bytes[at]);
    if (lead < 0x80) {
        return 1;
    }
    // The second byte's range narrows after E0, ED, F0 and F4 (table 3-7 of the
    // Unicode standard).
    unsigned char low = 0x80, high = 0xbf;
    size_t length = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    } else {
        return 0;
    }
    if (!continues(bytes, at + 1, low, high)) {
        return 0;
    }
    for (size_t i = 2; i < length; ++i) {
        if (!continues(bytes, at + i)) {
            return 0;
        }
    }
    return length;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_printable(out, text);
    return out;
}

void append_printable(std::string& out, std::string_view text) {
    size_t kept = 0;  // the bytes from here to `at` are kept as they are
    for (size_t at = 0; at < text.size();) {
        const size_t sequence = utf8_sequence_length(text, at);
        const size_t escaped = control_length(text, at, sequence);
        if (escaped == 0) {
            at += sequence;
            continue;
        }
        out.append(text, kept, at - kept);
        for (size_t i = 0; i < escaped; ++i) {
            append_hex_escape(out, static_cast<unsigned char>(text[at + i]));
        }
        at += escaped;
        kept = at;
    }
    out.append(text, kept);
}

}  // namespace kel
