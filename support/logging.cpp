// Line assembly, repeat suppression and the locked write to standard output.
// Lock order: the repeat lock before the output lock, never the other way round.
#include "logging.h"

#include <iostream>
#include <unordered_map>

namespace kel {
namespace {

struct RepeatRecord {
    std::string text;
    uint32_t count = 0;
};

// Made on first use and never destroyed, so a line written from a static
// destructor at exit still finds them.
std::unordered_map<std::string, RepeatRecord>& repeat_table() {
    static auto* table = new std::unordered_map<std::string, RepeatRecord>;
    return *table;
}

Mutex& repeat_lock() {
    static Mutex* lock = new Mutex;
    return *lock;
}

std::ostream*& output_stream() {
    static std::ostream* stream = &std::cout;
    return stream;
}

void append_hex_escape(std::string& out, unsigned char byte) {
    static const char hex[] = "0123456789abcdef";
    out += "\\x";
    out.push_back(hex[byte >> 4]);
    out.push_back(hex[byte & 0x0f]);
}

bool is_control(unsigned char byte) {
    return (byte < 0x20 && byte != '\t') || byte == 0x7f;
}

void strip_trailing_line_feeds(std::string& text) {
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
}

// Returns false when the record repeats the tag's previous text and is only counted.
bool note_for_repeats(const std::string& tag, const std::string& text) {
    ScopedLock hold(repeat_lock(), true);
    auto [entry, inserted] = repeat_table().try_emplace(tag);
    RepeatRecord& record = entry->second;
    if (!inserted && record.text == text) {
        ++record.count;
        return false;
    }
    if (!inserted && record.count > 1) {
        outline() << "* " << tag << ": (Last message repeated " << record.count << " times)";
    }
    record.text = text;
    record.count = 1;
    return true;
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char byte : text) {
        if (is_control(static_cast<unsigned char>(byte))) {
            append_hex_escape(out, static_cast<unsigned char>(byte));
        } else {
            out.push_back(byte);
        }
    }
    return out;
}

Mutex& output_lock() {
    static Mutex* lock = new Mutex;
    return *lock;
}

bool output_lost() {
    ScopedLock hold(output_lock(), true);
    return !output_stream()->good();
}

void set_output(std::ostream* stream) {
    output_stream() = stream != nullptr ? stream : &std::cout;
}

outline::~outline() {
    std::string line = text();
    strip_trailing_line_feeds(line);
    line.push_back('\n');
    ScopedLock hold(output_lock(), true);
    std::ostream& out = *output_stream();
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
}

logline::~logline() {
    std::string body = text();
    if (!tag.empty() && !note_for_repeats(tag, body)) {
        return;
    }
    std::string prefix = "* ";
    if (id != 0) {
        prefix += "[" + std::to_string(id) + "] ";
    }
    if (!tag.empty()) {
        prefix += tag + ": ";
    }
    // A CR would end the line for the server as surely as an LF does.
    for (char& byte : body) {
        if (byte == '\r') {
            byte = '\n';
        }
    }
    strip_trailing_line_feeds(body);
    std::string record = prefix;
    record.reserve(prefix.size() + body.size());
    for (char byte : body) {
        if (byte == '\n') {
            record.push_back(byte);
            record += prefix;
        } else if (is_control(static_cast<unsigned char>(byte))) {
            append_hex_escape(record, static_cast<unsigned char>(byte));
        } else {
            record.push_back(byte);
        }
    }
    outline() << record;
}

}  // namespace kel
