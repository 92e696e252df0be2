// Escaping of texts for quoted protocol replies, and that the escaped form reads back
// through the settings notation as the text without its CR bytes.
#include "escape_text.h"

#include <gtest/gtest.h>

#include "load_settings.h"

namespace {

struct EscapeCase {
    std::string text;
    std::string escaped;
};

TEST(EscapeTextTest, EscapesBackslashQuoteAndLineBytes) {
    const EscapeCase cases[] = {
        {"", ""},
        {"a\"b\nc\\d", "a\\\"b\\ec\\\\d"},
        {"\r\n", "\\e"},
        {"tab\there", "tab\\there"},
        {"\\e", "\\\\e"},  // the backslash is doubled first, so "e" is not an escape
        // A NUL and an ESC from a message path reached the reply raw.
        {"\x01\x7f\xc3\xa9", "\\001\\127\xc3\xa9"},
        {std::string("nul\0byte\x1b[m", 11), "nul\\000byte\\027[m"},
    };
    for (const EscapeCase& row : cases) {
        EXPECT_EQ(escape_text(row.text), row.escaped) << "text: " << row.text;
        std::string appended = "ERROR \"";
        append_escaped(appended, row.text);
        EXPECT_EQ(appended, "ERROR \"" + row.escaped) << "text: " << row.text;
    }
}

TEST(EscapeTextTest, EscapedTextReadsBackWithoutItsCarriageReturns) {
    const std::string cases[] = {
        "Postings are from subscribers only",
        "line one\r\nline two\n\"quoted\"\tand tabbed",
        "\xc3\xa9t\xc3\xa9 \x01",
        std::string("nul\0 and esc\x1b", 13),
    };
    for (const std::string& text : cases) {
        std::string expected;
        for (char byte : text) {
            if (byte != '\r') {
                expected.push_back(byte);
            }
        }
        cgp::DataSet value = parse_settings_text("\"" + escape_text(text) + "\"", "escaped");
        EXPECT_EQ(value.kind(), cgp::String) << "text: " << text;
        EXPECT_EQ(value.text(), expected) << "text: " << text;
    }
}

}  // namespace
