// The JSON writer. Strings are checked as UTF-8 sequence by sequence; a byte that
// cannot start or continue a well-formed sequence is written as \xNN and the check
// goes on at the next byte.
#include "json_writer.h"

#include "printable.h"

namespace kel {
namespace {

const char hex_digits[] = "0123456789abcdef";

void append_escape(std::string& out, unsigned code) {
    switch (code) {
        case '\b':
            out += "\\b";
            return;
        case '\t':
            out += "\\t";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\f':
            out += "\\f";
            return;
        case '\r':
            out += "\\r";
            return;
        default:
            out += "\\u00";
            out.push_back(hex_digits[code >> 4]);
            out.push_back(hex_digits[code & 0xf]);
    }
}

}  // namespace

void append_json_string(std::string& out, std::string_view bytes) {
    out.push_back('"');
    for (size_t at = 0; at < bytes.size();) {
        const unsigned char byte = static_cast<unsigned char>(bytes[at]);
        const size_t length = utf8_sequence_length(bytes, at);
        if (length == 0) {
            out += "\\\\x";
            out.push_back(hex_digits[byte >> 4]);
            out.push_back(hex_digits[byte & 0xf]);
            at += 1;
        } else if (byte < 0x20 || byte == 0x7f) {
            append_escape(out, byte);
            at += 1;
        } else if (byte == 0xc2 && static_cast<unsigned char>(bytes[at + 1]) <= 0x9f) {
            append_escape(out, static_cast<unsigned char>(bytes[at + 1]));  // U+0080 to U+009F
            at += 2;
        } else {
            if (byte == '"' || byte == '\\') {
                out.push_back('\\');
            }
            out.append(bytes.substr(at, length));
            at += length;
        }
    }
    out.push_back('"');
}

void JsonWriter::start_value() {
    if (after_key) {
        after_key = false;
        return;
    }
    if (counts.empty()) {
        return;
    }
    if (counts.back()++ != 0) {
        out.push_back(',');
    }
    out.push_back('\n');
    out.append(2 * counts.size(), ' ');
}

JsonWriter& JsonWriter::open(char bracket) {
    start_value();
    out.push_back(bracket);
    counts.push_back(0);
    return *this;
}

JsonWriter& JsonWriter::close(char bracket) {
    const bool any = counts.back() != 0;
    counts.pop_back();
    if (any) {
        out.push_back('\n');
        out.append(2 * counts.size(), ' ');
    }
    out.push_back(bracket);
    if (counts.empty()) {
        out.push_back('\n');
    }
    return *this;
}

JsonWriter& JsonWriter::begin_object() {
    return open('{');
}
JsonWriter& JsonWriter::end_object() {
    return close('}');
}
JsonWriter& JsonWriter::begin_array() {
    return open('[');
}
JsonWriter& JsonWriter::end_array() {
    return close(']');
}

JsonWriter& JsonWriter::key(std::string_view name) {
    start_value();
    append_json_string(out, name);
    out += ": ";
    after_key = true;
    return *this;
}

JsonWriter& JsonWriter::string(std::string_view bytes) {
    start_value();
    append_json_string(out, bytes);
    return *this;
}

JsonWriter& JsonWriter::string_or_null(std::string_view bytes) {
    return bytes.empty() ? null() : string(bytes);
}

JsonWriter& JsonWriter::optional_string(const std::optional<std::string>& bytes) {
    return bytes ? string(*bytes) : null();
}

JsonWriter& JsonWriter::number(int64_t value) {
    start_value();
    out += std::to_string(value);
    return *this;
}

JsonWriter& JsonWriter::boolean(bool value) {
    start_value();
    out += value ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null() {
    start_value();
    out += "null";
    return *this;
}

JsonWriter& JsonWriter::strings(const std::vector<std::string>& values) {
    begin_array();
    for (const std::string& value : values) {
        string(value);
    }
    return end_array();
}

}  // namespace kel
