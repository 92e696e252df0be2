// The JSON writer: any bytes give a valid string, and the layout nests.
#include "json_writer.h"

#include <gtest/gtest.h>

namespace {

TEST(JsonWriter, AnyBytesGiveAValidString) {
    const struct {
        const char* situation;
        std::string bytes;
        std::string json;
    } rows[] = {
        {"plain", "ann@example.net", "\"ann@example.net\""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"short controls", "\b\t\n\f\r", "\"\\b\\t\\n\\f\\r\""},
        {"other controls and DEL", std::string("\0\x1b\x7f", 3), "\"\\u0000\\u001b\\u007f\""},
        {"a C1 control (CSI)",
         "\xc2\x9b"
         "2J",
         "\"\\u009b2J\""},
        {"two, three and four bytes", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80",
         "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        {"Latin-1, not UTF-8", "caf\xe9", "\"caf\\\\xe9\""},
        {"overlong slash", "\xc0\xaf", "\"\\\\xc0\\\\xaf\""},
        {"a surrogate", "\xed\xa0\x80", "\"\\\\xed\\\\xa0\\\\x80\""},
        {"above U+10FFFF", "\xf4\x90\x80\x80", "\"\\\\xf4\\\\x90\\\\x80\\\\x80\""},
        {"cut short, then ASCII", "\xe2\x82z", "\"\\\\xe2\\\\x82z\""},
        {"cut short at the end", "a\xf0\x9f\x98", "\"a\\\\xf0\\\\x9f\\\\x98\""},
        {"a lone continuation byte and FF", "\x80\xff", "\"\\\\x80\\\\xff\""},
    };
    for (const auto& row : rows) {
        std::string out;
        kel::append_json_string(out, row.bytes);
        EXPECT_EQ(out, row.json) << row.situation;
    }
}

TEST(JsonWriter, ContainersNestOneMemberPerLine) {
    kel::JsonWriter json;
    json.begin_object().key("n").number(-3).key("on").boolean(true).key("none").null();
    json.key("list").strings({"a", ""}).key("empty").begin_object().end_object();
    json.key("nothing").string_or_null("").key("also").optional_string(std::nullopt);
    json.end_object();
    EXPECT_EQ(json.text(),
              "{\n"
              "  \"n\": -3,\n"
              "  \"on\": true,\n"
              "  \"none\": null,\n"
              "  \"list\": [\n"
              "    \"a\",\n"
              "    \"\"\n"
              "  ],\n"
              "  \"empty\": {},\n"
              "  \"nothing\": null,\n"
              "  \"also\": null\n"
              "}\n");
}

}  // namespace
