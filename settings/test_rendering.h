// Test helper: a settings value as compact text, so that a table row can state the
// whole value it expects in one string.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "data_set.h"

// A value as compact text: "-" for Empty, "text" for a String, [bytes] for Data,
// (a,b) for an Array and {k=v;...} with sorted keys for a Dictionary. Backslashes,
// control bytes and bytes from 0x80 up are shown escaped.
inline std::string render_bytes(const std::string& bytes) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (char byte : bytes) {
        auto code = static_cast<unsigned char>(byte);
        if (byte == '\\') {
            out += "\\\\";
        } else if (code < 0x20 || code >= 0x7f) {
            out += "\\x";
            out.push_back(hex[code >> 4]);
            out.push_back(hex[code & 0x0f]);
        } else {
            out.push_back(byte);
        }
    }
    return out;
}

inline std::string render(const cgp::DataSet& value) {
    switch (value.kind()) {
        case cgp::Empty:
            return "-";
        case cgp::String:
            return "\"" + render_bytes(value.text()) + "\"";
        case cgp::Data:
            return "[" + render_bytes(value.text()) + "]";
        case cgp::Array: {
            std::string out = "(";
            for (size_t i = 0; i < value.size(); ++i) {
                out += (i == 0 ? "" : ",") + render(value.at(i));
            }
            return out + ")";
        }
        case cgp::Dictionary: {
            std::vector<std::string> keys;
            for (const auto& entry : value.get()->entries) {
                keys.push_back(entry.first);
            }
            std::sort(keys.begin(), keys.end());
            std::string out = "{";
            for (const std::string& key : keys) {
                out += render_bytes(key) + "=" + render(*value.find(key)) + ";";
            }
            return out + "}";
        }
    }
    return "?";
}
