// Line assembly, repeat suppression and the locked write to standard output.
// Lock order: the repeat lock before the output lock, never the other way round.
// Every request writes a few lines, so a line is assembled once, in one string,
// from the text as inserted, and written from there.
#include "logging.h"

#include <charconv>
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

std::string_view without_trailing(std::string_view text, std::string_view bytes) {
    size_t end = text.find_last_not_of(bytes);
    return text.substr(0, end == std::string_view::npos ? 0 : end + 1);
}

// Writes a finished line, its line feed included, in one piece.
void write_line(const std::string& line) {
    ScopedLock hold(output_lock(), true);
    std::ostream& out = *output_stream();
    out.write(line.data(), static_cast<std::streamsize>(line.size()));
    out.flush();
}

// Returns false when the record repeats the tag's previous text and is only counted.
bool note_for_repeats(const std::string& tag, std::string_view text) {
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
    std::string_view text = without_trailing(view(), "\n");
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line.push_back('\n');
    write_line(line);
}

logline::~logline() {
    std::string_view body = view();
    if (!tag.empty() && !note_for_repeats(tag, body)) {
        return;
    }
    std::string prefix = "* ";
    if (id != 0) {
        char digits[16];
        auto converted = std::to_chars(digits, digits + sizeof digits, id);
        prefix += '[';
        prefix.append(digits, converted.ptr);
        prefix += "] ";
    }
    if (!tag.empty()) {
        prefix += tag;
        prefix += ": ";
    }
    // A CR would end the line for the server as surely as an LF does: both split
    // the record, and those at its end are dropped.
    body = without_trailing(body, "\r\n");
    std::string record = prefix;
    record.reserve(prefix.size() + body.size() + 1);
    // Each piece between line ends goes through the printable rule, which leaves
    // text that went through it already as it is.
    size_t start = 0;
    for (size_t end; (end = body.find_first_of("\r\n", start)) != std::string_view::npos;
         start = end + 1) {
        append_printable(record, body.substr(start, end - start));
        record.push_back('\n');
        record += prefix;
    }
    append_printable(record, body.substr(start));
    record.push_back('\n');
    write_line(record);
}

}  // namespace kel
