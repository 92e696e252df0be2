// One pass that gives the same result as the five replace-all sweeps the server's
// notation defines (backslash, CR, LF, TAB, double quote, in that order), followed by
// the decimal escape of every other control byte: no step ever produces a byte that
// a later one would change again.
#include "escape_text.h"

std::string escape_text(const std::string& text) {
    std::string escaped;
    escaped.reserve(text.size() + text.size() / 8);
    append_escaped(escaped, text);
    return escaped;
}

void append_escaped(std::string& escaped, std::string_view text) {
    for (char byte : text) {
        switch (byte) {
            case '\\':
                escaped += "\\\\";
                break;
            case '\r':
                break;
            case '\n':
                escaped += "\\e";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '"':
                escaped += "\\\"";
                break;
            default:
                if (static_cast<unsigned char>(byte) < 0x20 || byte == 0x7f) {
                    // Any other control byte, NUL and ESC included, in the server's
                    // own notation, so none reaches the reply line raw.
                    auto code = static_cast<unsigned char>(byte);
                    escaped.push_back('\\');
                    escaped.push_back(static_cast<char>('0' + code / 100));
                    escaped.push_back(static_cast<char>('0' + code / 10 % 10));
                    escaped.push_back(static_cast<char>('0' + code % 10));
                } else {
                    escaped.push_back(byte);
                }
        }
    }
}
