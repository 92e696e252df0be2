// JSON text (RFC 8259) for the tools' output that a monitoring system reads. The
// strings are bytes from the server's files and from queued messages, trusted for
// nothing: any bytes make a valid document, and no control byte reaches the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kel {

// Appends `bytes` as a JSON string, quotes included. Well-formed UTF-8 (RFC 3629: no
// overlong forms, no surrogates, nothing above U+10FFFF) is kept as it is; the
// controls U+0000 to U+001F, U+007F and U+0080 to U+009F are written as \uXXXX
// (\b, \t, \n, \f and \r in their short forms), so the text cannot drive a terminal.
// Each byte that is not part of a well-formed sequence is written as the four
// characters \xNN (two lower-case hex digits), the way the log writes control
// bytes: the document stays UTF-8 whatever the input held.
void append_json_string(std::string& out, std::string_view bytes);

// Builds one document, two blanks of indentation per level, one member or element
// per line. Calls nest as the document does; in an object, key() comes before each
// value. The writer does not check the nesting: its callers are the tools' fixed
// layouts, which the tests parse back.
class JsonWriter {
  public:
    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    JsonWriter& key(std::string_view name);
    JsonWriter& string(std::string_view bytes);
    // null for an empty text: "there is none".
    JsonWriter& string_or_null(std::string_view bytes);
    JsonWriter& optional_string(const std::optional<std::string>& bytes);
    JsonWriter& number(int64_t value);
    JsonWriter& boolean(bool value);
    JsonWriter& null();
    JsonWriter& strings(const std::vector<std::string>& values);

    // The document so far; a complete one ends with a line feed.
    const std::string& text() const { return out; }

  private:
    // Starts a value: the separator and the line break it needs.
    void start_value();
    JsonWriter& open(char bracket);
    JsonWriter& close(char bracket);

    std::string out;
    // The members or elements written so far in each open container.
    std::vector<size_t> counts;
    bool after_key = false;
};

}  // namespace kel
