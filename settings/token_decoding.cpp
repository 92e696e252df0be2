// Each decoding sweep is one left-to-right copy: where the sequence starts, its
// replacement is written and the copy goes on after the sequence, so no sweep reads
// what it wrote itself. Later sweeps do read what earlier ones wrote.
#include "token_decoding.h"

namespace cgp {
namespace {

// Replaces every backslash followed by `letter` with `replacement`, leaving alone a
// backslash that follows another backslash.
std::string replace_unprotected(std::string_view text, char letter, char replacement) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        bool protected_by_backslash = i > 0 && text[i - 1] == '\\';
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == letter &&
            !protected_by_backslash) {
            out.push_back(replacement);
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Replaces every backslash followed by `second` with `replacement` (which may be
// empty).
std::string replace_escape(std::string_view text, char second, std::string_view replacement) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == second) {
            out.append(replacement);
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

bool is_digit(char byte) {
    return byte >= '0' && byte <= '9';
}

// The scanner's last sweep: two backslashes become one, and a backslash with three
// digits of value 0 to 255 becomes that byte; what either produces is not looked at
// again, so "\\123" stays the four bytes \123.
std::string replace_backslash_pairs_and_codes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size() && text[i + 1] == '\\') {
            out.push_back('\\');
            ++i;
            continue;
        }
        if (text[i] == '\\' && i + 3 < text.size() && is_digit(text[i + 1]) &&
            is_digit(text[i + 2]) && is_digit(text[i + 3])) {
            int code = (text[i + 1] - '0') * 100 + (text[i + 2] - '0') * 10 + (text[i + 3] - '0');
            if (code <= 255) {
                out.push_back(static_cast<char>(code));
                i += 3;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

// Value of a base64 character; "=" counts as 0. The scanner lets through nothing
// but these characters (and LF, removed before).
unsigned base64_value(char byte) {
    if (byte >= 'A' && byte <= 'Z') {
        return static_cast<unsigned>(byte - 'A');
    }
    if (byte >= 'a' && byte <= 'z') {
        return static_cast<unsigned>(byte - 'a') + 26;
    }
    if (byte >= '0' && byte <= '9') {
        return static_cast<unsigned>(byte - '0') + 52;
    }
    if (byte == '+') {
        return 62;
    }
    if (byte == '/') {
        return 63;
    }
    return 0;
}

}  // namespace

std::string unescape_token(std::string_view inner) {
    std::string text = replace_unprotected(inner, 'n', '\n');
    text = replace_unprotected(text, 't', '\t');
    return replace_backslash_pairs_and_codes(text);
}

std::string decode_string(std::string_view text) {
    std::string out = replace_escape(text, '0', "");
    out = replace_escape(out, 'e', "\n");
    out = replace_escape(out, '"', "\"");
    out = replace_escape(out, 't', "\t");
    return replace_escape(out, '\\', "\\");
}

std::string decode_data(std::string_view inner) {
    std::string symbols;
    symbols.reserve(inner.size());
    for (char byte : inner) {
        if (byte != '\n') {
            symbols.push_back(byte);
        }
    }
    std::string bytes;
    bytes.reserve(symbols.size() / 4 * 3);
    for (size_t group = 0; group + 4 <= symbols.size(); group += 4) {
        const char* c = symbols.data() + group;
        unsigned first = base64_value(c[0]);
        unsigned second = base64_value(c[1]);
        unsigned third = base64_value(c[2]);
        unsigned fourth = base64_value(c[3]);
        if (c[0] != '=') {
            bytes.push_back(static_cast<char>((first * 4 + second / 16) % 256));
        }
        if (c[2] != '=') {
            bytes.push_back(static_cast<char>((second * 16 + third / 4) % 256));
        }
        if (c[3] != '=') {
            bytes.push_back(static_cast<char>((third * 64 + fourth) % 256));
        }
    }
    return bytes;
}

}  // namespace cgp
