// The printable rule, one row for each class of byte.
#include "printable.h"

#include <gtest/gtest.h>

namespace {

TEST(Printable, EachClassOfByteIsKeptOrWrittenAsHex) {
    const struct {
        const char* kind;
        std::string text, shown;
    } rows[] = {
        {"ASCII, quote and backslash", "a\"b\\c d", "a\"b\\c d"},
        {"C0 controls, NUL, ESC", std::string("\0\x01\x1b[2J", 6), "\\x00\\x01\\x1b[2J"},
        {"TAB, CR, LF", "a\tb\rc\n", "a\\x09b\\x0dc\\x0a"},
        {"DEL", "a\x7f", "a\\x7f"},
        {"C1 as a single byte (CSI, ST)",
         "\x9b"
         "2J\x9c",
         "\\x9b2J\\x9c"},
        {"C1 in UTF-8 (U+0080, U+009B, U+009F)",
         "\xc2\x80\xc2\x9b"
         "2J\xc2\x9f",
         "\\xc2\\x80\\xc2\\x9b2J\\xc2\\x9f"},
        {"UTF-8 of two, three and four bytes", "\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
         "\xc2\xa0\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
        {"Latin-1, not UTF-8", "caf\xe9", "caf\\xe9"},
        {"overlong, surrogate, above U+10FFFF", "\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80",
         "\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80"},
        {"cut short, then ASCII and at the end", "\xe2\x82z\xf0\x9f\x98",
         "\\xe2\\x82z\\xf0\\x9f\\x98"},
        {"a lone continuation byte, FE and FF", "\xbf\xfe\xff", "\\xbf\\xfe\\xff"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(kel::printable(row.text), row.shown) << row.kind;
        EXPECT_EQ(kel::printable(row.shown), row.shown) << row.kind << ", through it again";
        std::string appended = "x";
        kel::append_printable(appended, row.text);
        EXPECT_EQ(appended, "x" + row.shown) << row.kind;
    }
}

}  // namespace
