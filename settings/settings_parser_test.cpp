// The settings notation read from memory: what each input yields, and the exact
// report line for each input that is refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "load_settings.h"
#include "logging.h"
#include "test_rendering.h"

namespace {

struct Parsed {
    std::string value;
    std::string report;
};

Parsed parse(const std::string& text, const std::string& name = "t") {
    testing::internal::CaptureStdout();
    cgp::DataSet value = parse_settings_text(text, name);
    return {render(value), testing::internal::GetCapturedStdout()};
}

// The report for the file named "t", from the message on.
std::string report(const std::string& tail) {
    return "* while parsing \"t\" file: " + tail + "\n";
}

struct ParseCase {
    std::string input;
    std::string value;
    std::string report;  // from the message on; empty when the input is accepted
};

void check(const ParseCase& row) {
    Parsed parsed = parse(row.input);
    EXPECT_EQ(parsed.value, row.value) << "input: " << render_bytes(row.input);
    EXPECT_EQ(parsed.report, row.report.empty() ? "" : report(row.report))
        << "input: " << render_bytes(row.input);
}

TEST(SettingsParserTest, StructureOfValues) {
    const ParseCase cases[] = {
        {"{ Postings = \"from owner only\"; Owner = \"boss\"; }",
         "{Owner=\"boss\";Postings=\"from owner only\";}", ""},
        {"{ a = b c = d }", "{a=\"b\";c=\"d\";}", ""},
        {"{ a = b;; }", "-", "syntax error : near \";\" (0:9)"},
        {"{a = b; a = c}", "{a=\"c\";}", ""},
        {"{\"Quoted Key\" = (x, {y = ()})}", "{Quoted Key=(\"x\",{y=();});}", ""},
        {"{ [AAAA] = v }", "-", "syntax error : near \"[AAAA]\" (0:8)"},
        {"{ a = b = c }", "-", "syntax error : near \"=\" (0:9)"},
        {"(a, b,)", "-", "syntax error : near \")\" (0:7)"},
        {"(a;, b;)", "(\"a\",\"b\")", ""},
        {"(a b)", "-", "syntax error : near \"b\" (0:4)"},
        {"word", "\"word\"", ""},
        {"a, b", "(\"a\",\"b\")", ""},
        {"", "-", ""},
        {" \t\r\n\r\n ", "-", ""},
        {";", "-", "syntax error : near \";\" (0:1)"},
        {"{ a = b", "-", "syntax error : near \"\" (0:7)"},
    };
    for (const ParseCase& row : cases) {
        check(row);
    }
}

TEST(SettingsParserTest, WordsAndTheirBytes) {
    const ParseCase cases[] = {
        {"#25", "\"25\"", ""},
        {"#12a", "-", "syntax error : near \"a\" (0:4)"},
        {"a.b_c-d@e", "\"a.b_c-d@e\"", ""},
        {"a+b", "-", "syntax error : near \"+\" (0:2)"},
        {"a // note", "-", "syntax error : near \"/\" (0:3)"},
        {"\xc3\xa9t\xc3\xa9", "\"\\xc3\\xa9t\\xc3\\xa9\"", ""},
        {"\xef\xbc\xa1", "-", "syntax error : near \"\\xef\" (0:1)"},
        {"\xf0\x9f\x98\x80", "-", "syntax error : near \"\\xf0\" (0:1)"},
        {"\xc2"
         "a",
         "-", "syntax error : near \"\\xc2\" (0:1)"},
        {"{ Created = #T01-02-2020_10:30:00; }", "{Created=\"#T01-02-2020_10:30:00\";}", ""},
        {"{ Created = #T01-02-2020_10:30:00 }", "-", "syntax error : near \"\" (0:35)"},
        {"{a = #T1} x\n}", "{a=\"#T1} x\";}", ""},
        {"#t1\r2", "\"#t1\\x0d2\"", ""},
        {"#T\\e", "\"#T\\x0a\"", ""},  // a time word is decoded like any word
        {"\xef\xbb\xbf{a=b}", "{a=\"b\";}", ""},
        {"\xef\xbb\xbf;", "-", "syntax error : near \";\" (0:4)"},
        {" \xef\xbb\xbf{a=b}", "-", "syntax error : near \"\xef\xbb\xbf\" (0:1)"},
        {"\xef\xbb\xbf\xef\xbb\xbf", "-", "syntax error : near \"\xef\xbb\xbf\" (0:3)"},
    };
    for (const ParseCase& row : cases) {
        check(row);
    }
}

TEST(SettingsParserTest, QuotedStringsAndBothDecodingPasses) {
    const ParseCase cases[] = {
        {R"("ab" "cd")", "\"abcd\"", ""},
        {R"({k = "x" "y"})", "{k=\"xy\";}", ""},
        {R"("a\tb")", "\"a\\x09b\"", ""},
        {R"("a\eb")", "\"a\\x0ab\"", ""},
        {R"("x\0y")", "\"xy\"", ""},
        {R"("a\rb\E\N\R\T")", R"("a\\rb\\E\\N\\R\\T")", ""},
        {R"("q\"q")", "\"q\"q\"", ""},
        {R"("\\n")", R"("\\n")", ""},   // the first pass protects the n
        {R"("\\e")", "\"\\x0a\"", ""},  // one backslash is left to start an escape
        {R"("\\0y")", "\"y\"", ""},
        {R"("\\\"")", R"("\\"")", ""},
        {R"("\\\\")", R"("\\")", ""},
        {R"("\\\\\\")", R"("\\\\")", ""},  // six become three, then two
        {R"("a" "\e")", R"("a\\e")", ""},  // a continuation skips the second pass
        {"\"line\nbreak\"", "\"line\\x0abreak\"", ""},
        {std::string("\"nul\0in\"", 8), "\"nul\\x00in\"", ""},
        {R"("\q")", "-", "syntax error : near \"\"\" (0:1)"},
        {R"("open)", "-", "syntax error : near \"\"\" (0:1)"},
        {R"(a "b)", "-", "syntax error : near \"\"\" (0:3)"},
    };
    for (const ParseCase& row : cases) {
        check(row);
    }
}

TEST(SettingsParserTest, DecimalEscapesStandForTheirByte) {
    const ParseCase cases[] = {
        {R"("\065\066\255\000")", "\"AB\\xff\\x00\"", ""},
        {R"("caf\195\169")", "\"caf\\xc3\\xa9\"", ""},
        {R"("\0656")", "\"A6\"", ""},
        {R"("\01x")", "\"1x\"", ""},  // not three digits: the backslash and 0 go
        // The escape belongs to the scanner's pass: a doubled backslash before digits
        // read as the byte's code, and a time word lost its bytes ("#Te").
        {R"("\\123")", R"("\\123")", ""},
        {R"("x\\101y")", R"("x\\101y")", ""},
        {R"({t = #T\101;})", R"({t="#T\\101";})", ""},
        {R"("\092e")", "\"\\x0a\"", ""},  // the byte made here is read by the second pass
        {R"({Owner = "\065"; Postings = all})", "{Owner=\"A\";Postings=\"all\";}", ""},
        {R"("\256")", "-", "syntax error : near \"\"\" (0:1)"},
        {R"("\1")", "-", "syntax error : near \"\"\" (0:1)"},
    };
    for (const ParseCase& row : cases) {
        check(row);
    }
}

TEST(SettingsParserTest, DataBlocksDecodeAsBase64) {
    const ParseCase cases[] = {
        {"[SGVsbG8=]", "[Hello]", ""},
        {"[SGVs\nbG8=]", "[Hello]", ""},
        {"[SGVsbG]", "[Hel]", ""},
        {"[SA==SGk=]", "[HHi]", ""},  // padding mid-block only shortens its group
        {"[A===]", "[\\x00]", ""},
        {"[+/+/]", "[\\xfb\\xff\\xbf]", ""},
        {"[]", "-", "syntax error : near \"[\" (0:1)"},
        {"[SGVs bG8=]", "-", "syntax error : near \"[\" (0:1)"},
        {"[SGVs\rbG8=]", "-", "syntax error : near \"[\" (0:1)"},
        {"[SGVs", "-", "syntax error : near \"[\" (0:1)"},
    };
    for (const ParseCase& row : cases) {
        check(row);
    }
}

TEST(SettingsParserTest, ReportCountsLinesAndColumns) {
    const ParseCase cases[] = {
        {"{\na = b;\n;}", "-", "syntax error : near \";\" (2:1)"},
        {"{\r\na = b;\r\n;}", "-", "syntax error : near \";\" (4:1)"},
        {"{\ra = b;\r  ;}", "-", "syntax error : near \";\" (2:3)"},
        {"\t\t(a,\n b,\n)", "-", "syntax error : near \")\" (2:1)"},
        {"\"a\nb\";;", "-", "syntax error : near \";\" (0:7)"},
        {"[QUJD\nREVG];;", "-", "syntax error : near \";\" (0:13)"},
        {"(\n\n", "-", "syntax error : near \"\" (2:0)"},
    };
    for (const ParseCase& row : cases) {
        check(row);
    }
}

TEST(SettingsParserTest, ReportEscapesControlBytesOfTokenAndName) {
    const ParseCase cases[] = {
        {"a \x01", "-", "syntax error : near \"\\x01\" (0:3)"},
        {"a \"x\r\ny\"", "-", "syntax error : near \"\"x\\x0d\\x0ay\"\" (0:8)"},
        {"a #T\tb\x7f", "-", "syntax error : near \"#T\\x09b\\x7f\" (0:7)"},
        {std::string("a \0", 3), "-", "syntax error : near \"\\x00\" (0:3)"},
    };
    for (const ParseCase& row : cases) {
        check(row);
    }
    Parsed parsed = parse(";", "Accounts/list\r\n* OK\n");
    EXPECT_EQ(parsed.report,
              "* while parsing \"Accounts/list\\x0d\\x0a* OK\\x0a\" file: syntax error : near \";\" "
              "(0:1)\n");
}

TEST(SettingsParserTest, ReportLeavesWithTheNextOutputLine) {
    testing::internal::CaptureStdout();
    parse_settings_text("(", "t");
    kel::outline() << "1 OK";
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              report("syntax error : near \"\" (0:1)") + "1 OK\n");
}

std::string nested_arrays(int depth) {
    return std::string(static_cast<size_t>(depth), '(') +
           std::string(static_cast<size_t>(depth), ')');
}

TEST(SettingsParserTest, NestingBeyondTheStackLimitIsExhaustedMemory) {
    Parsed deep = parse(nested_arrays(20000));
    EXPECT_EQ(deep.value, "-");
    EXPECT_EQ(deep.report, report("memory exhausted : near \"(\" (0:9999)"));

    testing::internal::CaptureStdout();
    cgp::DataSet value = parse_settings_text(nested_arrays(3000), "t");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    int depth = 0;
    for (cgp::DataSet level = value; level.kind() == cgp::Array && level.size() == 1;
         level = cgp::DataSet(level.at(0))) {
        ++depth;
    }
    // The top-level wrapper is gone; the innermost "()" has no element.
    EXPECT_EQ(depth, 2999);
}

}  // namespace
