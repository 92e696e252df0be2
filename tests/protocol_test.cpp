// The helper protocol as the mail server sees it: start-up lines, the reply table,
// QUIT, ids, line ends, request lines of a megabyte, a standard output in
// non-blocking mode, a closed input and the exit status. No request here opens a
// message, so no list is read: these run once, not again walking (CMakeLists.txt).
#include <gtest/gtest.h>

#include "checked_run.h"
#include "expected_texts.h"
#include "server_tree.h"

namespace {

using Lines = std::vector<std::string>;

const std::string quit_refusal =
    " REJECTED \"QUIT command received, filter is shut down. Please restart the filter.\"";

// The one reply the filter gives to a single request line in an empty directory.
std::string reply_to(const std::string& request) {
    ServerTree tree;
    ProcessResult result = run_filter_checked(tree.path(), request + "\n");
    std::vector<std::string> found = replies(result);
    return found.size() == 1 ? found[0] : "<" + std::to_string(found.size()) + " replies>";
}

TEST(Protocol, StartsWithBannerHintAndReadyLineAndExitsZeroOnClosedInput) {
    ServerTree tree;
    ProcessResult result = run_filter_checked(tree.path(), "");
    std::vector<std::string> expected = banner;
    expected.push_back(directory_hint);
    expected.push_back(ready_line);
    EXPECT_EQ(result.lines, expected);
    EXPECT_EQ(result.exit_status, 0);
}

TEST(Protocol, NoHintWhenTheMainDomainIsKnown) {
    ServerTree tree({{"Settings/Main.settings", main_settings("example.com")}});
    RunOptions options;
    options.arguments = {"--ignored", "x"};
    ProcessResult result = run_filter_checked(tree.path(), "", options);
    std::vector<std::string> expected = banner;
    expected.push_back("* Ignoring argument: --ignored");
    expected.push_back("* Ignoring argument: x");
    expected.push_back(ready_line);
    EXPECT_EQ(result.lines, expected);
    EXPECT_EQ(result.exit_status, 0);
}

TEST(Protocol, AnswersEachLineByTheReplyTable) {
    const struct {
        std::string request, reply;
    } cases[] = {
        {"1 INTF 3", "1 INTF 3"},
        {"1 intf", "1 INTF 3"},
        {"7 Intf 2", "7 INTF 3"},
        {"5 KEY", "5 OK"},
        {"5 key anything", "5 OK"},
        {"", "(null) FAILURE"},
        {"    ", "(null) FAILURE"},
        {"5", "5 FAILURE"},
        {"5   ", "5 FAILURE"},
        {"5 FILE", "5 FAILURE \"Missing parameter(s)\""},
        {"5 STATUS x", "5 FAILURE"},
        {"abc FILE x", "abc REJECTED \"Error: seqID should be a number\""},
        {"abc FOO", "abc REJECTED \"Error: seqID should be a number\""},
        {"00 FILE x", "00 REJECTED \"Error: seqID should be a number\""},
        {"-0 FILE x", "-0 REJECTED \"Error: seqID should be a number\""},
        {"99999999999 FILE x", "99999999999 REJECTED \"Error: seqID should be a number\""},
        {"0 FILE /no/such/file", "0 OK \"Error: File Not Found /no/such/file\""},
        {"007 FILE /no/such/file", "7 OK \"Error: File Not Found /no/such/file\""},
        {"12abc FILE x y", "12 OK \"Error: File Not Found x y\""},
        {"-3 FILE nothing", "-3 OK \"Error: File Not Found nothing\""},
        {"5\tFILE x", "5\tFILE FAILURE \"Missing parameter(s)\""},
        {"5\tFILE x y", "5\tFILE FAILURE"},
        {"4 FILE /", "4 OK \"Error: File Not Found /\""},
        {"4 FILE a\"b\\c", "4 OK \"Error: File Not Found a\\\"b\\\\c\""},
        // Nothing on standard input may end the process: "crash" is an unknown word.
        {"5 crash", "5 FAILURE \"Missing parameter(s)\""},
        {"5 crash x", "5 FAILURE"},
        {"5 CRASH x", "5 FAILURE"},
        // The id "*" was echoed: "* OK" reads as a log line, and the request as unanswered.
        {"* KEY", "(null) FAILURE"},
        {"* QUIT", "(null) FAILURE"},
        {"*1 KEY", "*1 OK"},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(reply_to(row.request), row.reply) << "request: " << row.request;
    }
}

TEST(Protocol, QuitRefusesEveryLaterRequestUntilInputCloses) {
    ServerTree tree;
    ProcessResult result =
        run_filter_checked(tree.path(), "9 QUIT\n10 FILE x\n11 INTF 3\n12 KEY\n13 QUIT\n\n14\n");
    std::vector<std::string> expected = banner;
    expected.insert(expected.end(),
                    {directory_hint, ready_line, "* 9: Filter is shutting down...",
                     "9 OK \"Filter is shut down and waiting for standard output to be closed\"",
                     "10" + quit_refusal, "11" + quit_refusal, "12" + quit_refusal,
                     "13" + quit_refusal, "(null) FAILURE", "14" + quit_refusal});
    EXPECT_EQ(result.lines, expected);
    EXPECT_EQ(result.exit_status, 0);
}

TEST(Protocol, EveryCarriageReturnAndLineFeedEndsARequest) {
    ServerTree tree;
    std::string input = "1 KEY\r\n2 KEY\r3 KEY\n\r4 KEY";
    ProcessResult result = run_filter_checked(tree.path(), input);
    EXPECT_EQ(replies(result), (std::vector<std::string>{"1 OK", "(null) FAILURE", "2 OK", "3 OK",
                                                         "(null) FAILURE", "4 OK"}));
}

TEST(Protocol, RepliesComeInRequestOrderForAManyRequestInput) {
    ServerTree tree;
    std::string input;
    std::vector<std::string> expected;
    for (int i = 1; i <= 2000; ++i) {
        input += std::to_string(i) + (i % 2 ? " KEY\n" : " FILE missing\n");
        expected.push_back(std::to_string(i) +
                           (i % 2 ? " OK" : " OK \"Error: File Not Found missing\""));
    }
    ProcessResult result = run_filter_checked(tree.path(), input);
    EXPECT_EQ(replies(result), expected);
}

TEST(Protocol, AOneMegabyteRequestLineGetsOneReply) {
    ServerTree tree;
    std::string input = "8 FILE " + std::string(1 << 20, 'x') + "\n9 KEY\n";
    ProcessResult result = run_filter_checked(tree.path(), input);
    std::vector<std::string> found = replies(result);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].rfind("8 OK \"Error: File Not Found xxx", 0), 0u);
    EXPECT_EQ(found[1], "9 OK");
}

// Each request line of a megabyte gets one reply, and the CR after it another.
TEST(Protocol, MegabyteRequestLines) {
    const std::string megabyte(1 << 20, 'x');
    ServerTree tree(jane_server());
    std::string long_path;
    for (int i = 0; i < 1 << 19; ++i) {
        long_path += "./";
    }
    const struct {
        const char* situation;
        std::string line;
        std::string reply_start;
    } cases[] = {
        {"a megabyte id", std::string(1 << 20, '7') + " KEY", "7777777"},
        {"a megabyte number id", "1" + std::string((1 << 20) - 1, '0') + " FILE Queue/news.msg",
         "1000000"},
        {"a megabyte command", "3 " + megabyte + " x", "3 FAILURE"},
        {"a megabyte of spaces", std::string(1 << 20, ' '), "(null) FAILURE"},
        {"a megabyte of NULs", std::string(1 << 20, '\0'), std::string(16, '\0')},
        {"a megabyte path to a real file", "4 FILE " + long_path + "Queue/news.msg",
         "4 OK \"Error: File Not Found ././"},
        {"a megabyte of arguments", "5 FILE Queue/news.msg " + megabyte,
         "5 OK \"Error: File Not Found Queue/news.msg xxxx"},
    };
    for (const auto& row : cases) {
        const std::string input = row.line + "\r\n9 KEY\n";
        ProcessResult result = run_filter_checked(tree.path(), input);
        Lines found = replies(result);
        ASSERT_EQ(found.size(), 3u) << row.situation;
        EXPECT_EQ(found[0].rfind(row.reply_start, 0), 0u) << row.situation;
        EXPECT_EQ(found[1], "(null) FAILURE") << row.situation;
        EXPECT_EQ(found[2], "9 OK") << row.situation;
    }
}

// A standard output in non-blocking mode once lost every line that met a full pipe:
// a megabyte reply was cut short and the replies after it never came.
TEST(Protocol, ANonBlockingStandardOutputLosesNoLine) {
    ServerTree tree;
    RunOptions options;
    options.nonblocking_output = true;
    const std::string path(1 << 20, 'x');
    ProcessResult result = run_filter_checked(tree.path(), "1 FILE " + path + "\n2 KEY\n", options);
    EXPECT_EQ(replies(result), (Lines{"1 OK \"Error: File Not Found " + path + "\"", "2 OK"}));
}

}  // namespace
