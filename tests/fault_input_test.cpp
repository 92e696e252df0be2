// Hostile contents through the real process: huge and broken settings files,
// message files of one huge line, without their empty line, with NUL bytes or only
// CRs, a standard input left in non-blocking mode and a standard output that nobody
// reads any more (request lines of a megabyte: protocol_test.cpp). Every run keeps
// the output channel whole and the filter goes on answering.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "checked_run.h"
#include "expected_texts.h"
#include "server_tree.h"

namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;

const std::string news = "Accounts/LISTS/news";

// Reproducible bytes of every value, for garbage files.
std::string garbage(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) {
        seed = seed * 1103515245 + 12345;
        byte = static_cast<char>(seed >> 16);
    }
    return bytes;
}

std::string repeated(const std::string& unit, size_t count) {
    std::string text;
    text.reserve(unit.size() * count);
    for (size_t i = 0; i < count; ++i) {
        text += unit;
    }
    return text;
}

// The replies to a message (request 1) and to a KEY after it (request 2). A run may
// take its time: parsing ten megabytes of settings under the sanitizers on a busy
// machine took more than the default limit, which is there to catch hangs.
ProcessResult serve_message(ServerTree& tree, const std::string& message) {
    tree.write("Queue/1.msg", message);
    RunOptions options;
    options.timeout_seconds = 240;
    return run_filter_checked(tree.path(), "1 FILE Queue/1.msg\n2 KEY\n", options);
}

std::string message_from(const std::string& from) {
    return queued_message("a@x.net", {"news@example.com"}, "From: " + from);
}

bool has_log_line_starting(const ProcessResult& result, const std::string& start) {
    for (const std::string& line : log_lines(result)) {
        if (line.rfind(start, 0) == 0) {
            return true;
        }
    }
    return false;
}

TEST(FaultInput, HugeAndBrokenListSettings) {
    // 830 KiB and 50,000 values: within both bounds on a list's settings file.
    const std::string big_dictionary = "{" +
                                       repeated("Key = \"a value of some length\";\n", 25000) +
                                       " Postings = \"from owner only\"; }";
    const struct {
        const char* situation;
        std::string settings;
        std::string reply;
        bool reported;
    } cases[] = {
        {"830 KiB that parse", big_dictionary, not_allowed, false},
        {"more than 100,000 values", "{" + repeated("k=v;", 50001) + "}", "OK", true},
        {"10 MB of one word", std::string(10 << 20, 'w'), "OK", false},
        // Past the 1 MiB bound a file is refused unread, without a report.
        {"900 KiB of garbage", garbage(900 << 10, 1), "OK", true},
        {"100,000 nested arrays", std::string(100000, '(') + std::string(100000, ')'), "OK", true},
        {"100,000 nested dictionaries", repeated("{a=", 100000) + "b" + std::string(100000, '}'),
         "OK", true},
        {"binary garbage with NUL, CR and LF", garbage(4096, 7) + "\0\r\n\"\r\0"s, "OK", true},
        {"a NUL inside the policy", "{ Postings = \"from owner only\0\"; }"s, "OK", false},
        {"a NUL between the entries", "{ Postings = \"from owner only\";\0 }"s, "OK", true},
        {"an unclosed string over CR lines", "{ Postings = \"from\rowner\ronly", "OK", true},
    };
    for (const auto& row : cases) {
        ServerTree tree(news_server());
        tree.write(news + ".settings", row.settings);
        ProcessResult result = serve_message(tree, message_from("jane@example.com"));
        EXPECT_EQ(replies(result), (Lines{reply(row.reply, "1"), "2 OK"})) << row.situation;
        EXPECT_EQ(has_log_line_starting(result, "while parsing \"Accounts/LISTS/news.settings\""),
                  row.reported)
            << row.situation;
    }
}

TEST(FaultInput, BrokenMainSettingsLeaveTheMainDomainUnknown) {
    for (const std::string& settings :
         {garbage(10 << 20, 3), std::string(100000, '(') + "\r\r", "{ DomainName = \r\0; }"s}) {
        ServerTree tree(news_server());
        tree.write("Settings/Main.settings", settings);
        ProcessResult result = serve_message(tree, message_from("jane@example.com"));
        EXPECT_EQ(replies(result), (Lines{"1 OK", "2 OK"}));
        EXPECT_TRUE(has_log_line_starting(result, directory_hint.substr(2)));
    }
}

TEST(FaultInput, HostileMessageFiles) {
    const std::string envelope =
        "P I 01-12-2026_10:00:00 0000 <a@x.net>\nR W 01-12-2026_10:00:00 0000 <news@example.com>\n";
    const std::string ten_megabytes(10 << 20, 'x');
    const struct {
        const char* situation;
        std::string message;
        std::string reply;
    } cases[] = {
        {"a 10 MB From line", message_from("Jane <jane@example.com> " + ten_megabytes), "OK"},
        {"a 10 MB From address", message_from("<" + ten_megabytes + "@example.com>"),
         not_subscribed},
        {"a 10 MB envelope line", "R W <" + ten_megabytes + ">\n" + envelope + "\nFrom: x\n\n",
         not_subscribed},
        {"a 10 MB line without a line end", "P I " + ten_megabytes, "OK"},
        {"no empty line after the envelope", envelope + "From: jane@example.com\n", not_subscribed},
        {"no empty line after the header", envelope + "\nFrom: jane@example.com", "OK"},
        {"NUL bytes in the addresses",
         "P I 0 0 <a\0@x.net>\nR W 0 0 <news@example.com\0>\nR W 0 0 <news@example.com>\n\n"
         "From: jane@example.com\0\n\n"s,
         not_subscribed},
        {"NUL bytes before the envelope", "\0\0"s + envelope + "\nFrom: jane@example.com\n\n",
         "OK"},
        {"only CRs as line ends",
         "P I 0 0 <a@x.net>\rR W 0 0 <news@example.com>\r\rFrom: jane@example.com\r\rbody\r", "OK"},
        {"only CRs as line ends, a stranger",
         "P I 0 0 <a@x.net>\rR W 0 0 <news@example.com>\r\rFrom: b@x.net\r\r", not_subscribed},
        {"a megabyte of CRs", std::string(1 << 20, '\r'), "OK"},
        {"an empty file", "", "OK"},
    };
    for (const auto& row : cases) {
        ServerTree tree(news_server());
        ProcessResult result = serve_message(tree, row.message);
        EXPECT_EQ(replies(result), (Lines{reply(row.reply, "1"), "2 OK"})) << row.situation;
    }
}

// An ESC in an envelope address reached the server's log raw, and a NUL or an ESC
// in a message path reached the reply's quoted text raw.
TEST(FaultInput, ControlBytesNeverReachALineRaw) {
    ServerTree tree(news_server());
    tree.write("Queue/1.msg", queued_message("a@x.net", {"news\x1b[2J-off@example.com"}, ""));
    ProcessResult result =
        run_filter_checked(tree.path(), "1 FILE Queue/1.msg\n2 FILE Queue/\x1b[0m.msg\n");
    const Lines records = log_lines(result);
    EXPECT_NE(std::find(records.begin(), records.end(),
                        "[1] " + unsubscribe_request("news\\x1b[2j-off@example.com")),
              records.end());
    EXPECT_EQ(replies(result),
              (Lines{"1 OK", "2 OK \"Error: File Not Found Queue/\\027[0m.msg\""}));
    EXPECT_EQ(result.output.find('\x1b'), std::string::npos);
}

// A standard input in non-blocking mode once ended the filter at the first moment
// it had no request waiting: "no data yet" was taken for the end of the input.
TEST(FaultInput, ANonBlockingStandardInputIsWaitedFor) {
    ServerTree tree(news_server());
    tree.write("Queue/1.msg", message_from("jane@example.com"));
    RunOptions options;
    options.nonblocking_input = true;
    FilterSession session(tree.path(), options);
    session.start_lines();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(request_checked(session, "1 KEY"), Lines{"1 OK"});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(request_checked(session, "2 FILE Queue/1.msg").back(), "2 OK");
    EXPECT_EQ(session.finish(), 0);
}

// Once nobody reads standard output, the filter ends at the first line it cannot
// write, even while its input stays open: killed by SIGPIPE when the signal has its
// default action, and by leaving the request loop when the server ignores it (the
// filter inherits that). With SIGPIPE ignored it once went on serving requests into
// the void for as long as its input stayed open.
TEST(FaultInput, AClosedStandardOutputEndsTheFilter) {
    const struct {
        const char* situation;
        Lines prefix;
        int exit_status;
    } cases[] = {
        {"SIGPIPE ignored", {}, 0},
        {"SIGPIPE with its default action", {"env", "--default-signal=PIPE"}, 128 + SIGPIPE},
    };
    for (const auto& row : cases) {
        ServerTree tree(news_server());
        tree.write("Queue/1.msg", message_from("jane@example.com"));
        tree.make_fifo("requests");
        // Standard input is the FIFO opened for reading and writing, so it never ends;
        // the requests come once the test has closed the filter's standard output.
        RunOptions options;
        options.prefix = row.prefix;
        options.prefix.insert(options.prefix.end(), {"sh", "-c", "exec \"$0\" <>requests"});
        options.close_output = true;
        options.timeout_seconds = 20;
        std::thread server([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            // Not waiting: the filter may already have ended at its banner.
            int requests = open(tree.full("requests").c_str(), O_WRONLY | O_NONBLOCK);
            std::string lines;
            for (int i = 1; i <= 1000; ++i) {
                lines += std::to_string(i) + " FILE Queue/1.msg\n";
            }
            if (requests >= 0 && write(requests, lines.data(), lines.size()) < 0) {
                ADD_FAILURE() << "cannot write the requests";
            }
            if (requests >= 0) {
                close(requests);
            }
        });
        ProcessResult result = run_filter(tree.path(), "", options);
        server.join();
        EXPECT_FALSE(result.timed_out) << row.situation;
        EXPECT_EQ(result.exit_status, row.exit_status) << row.situation << ": " << result.errors;
    }
}

}  // namespace
