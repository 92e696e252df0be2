// The example server directory shipped with the sources: every queued message in it
// gets the reply and the decision records it is there to show, and quorvel-check
// gives the filter's own answer to each.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "checked_run.h"
#include "expected_texts.h"

namespace {

using Lines = std::vector<std::string>;

struct Expected {
    std::string message;
    Lines records;      // without "* [n] "; a listname line whole
    std::string reply;  // without the request number
};

const Expected expected[] = {
    {"1001.msg", {sent_by_owner("announce@example.com")}, "OK"},
    {"1002.msg", {anyone_can_post("help@example.com")}, "OK"},
    {"1003.msg", {from_allowed("discuss@example.com")}, "OK"},
    {"1004.msg",
     {from_muted("discuss@example.com"), refused_sender("quiet@example.net", "quiet@example.net")},
     not_allowed},
    {"1005.msg",
     {from_stranger("members@example.org"),
      refused_sender("promo@example.net", "promo@example.net")},
     not_subscribed},
    {"1006.msg",
     {posting_not_allowed("announce@example.com"),
      refused_sender("jane.doe@example.com", "jane.doe@example.com")},
     not_allowed},
    {"1007.msg",
     {unsubscribe_request("discuss-unsubscribe@example.com"), listname_line("discuss@example.com")},
     "OK"},
    {"1008.msg",
     {unsubscribe_request("members-unsubscribe@example.org"), listname_line("members@example.org"),
      spurious_unsubscribe("members@example.org"),
      refused_sender("bounce@example.net", "someone@example.net")},
     unsubscribe_failed},
    {"1009.msg",
     {unsubscribe_request("staff-off@example.org"), listname_line("staff@example.org")},
     "OK"},
    {"1010.msg", {anyone_can_post("staff@example.org")}, "OK"},
    {"1011.msg", {not_a_list}, "OK"},
    {"1012.msg", {not_a_list}, "OK"},
};

// The queued messages of the example server, "Queue/<name>", in order.
Lines queued_messages() {
    Lines messages;
    for (const auto& entry : std::filesystem::directory_iterator(QUORVEL_EXAMPLE_SERVER "/Queue")) {
        messages.push_back("Queue/" + entry.path().filename().string());
    }
    std::sort(messages.begin(), messages.end());
    return messages;
}

TEST(ExampleServer, EveryQueuedMessageGetsItsReplyAndRecords) {
    const Lines queued = queued_messages();
    Lines listed;
    for (const Expected& row : expected) {
        listed.push_back("Queue/" + row.message);
    }
    ASSERT_EQ(queued, listed) << "every queued message needs a row here";

    std::string input = "1 INTF 3\n";
    for (size_t i = 0; i < queued.size(); ++i) {
        input += std::to_string(i + 2) + " FILE " + queued[i] + "\n";
    }
    ProcessResult result = run_filter_checked(QUORVEL_EXAMPLE_SERVER, input);

    // The lines of each request, from its first record to its reply.
    std::vector<Lines> requests(1);
    bool started = false;
    for (const std::string& line : result.lines) {
        if (!started) {
            started = line == "1 INTF 3";
            continue;
        }
        if (line.find("] Reading list ") == std::string::npos) {
            requests.back().push_back(line);
        }
        if (line.rfind("* ", 0) != 0) {
            requests.emplace_back();
        }
    }
    ASSERT_GE(requests.size(), queued.size());
    for (size_t i = 0; i < queued.size(); ++i) {
        const Expected& row = expected[i];
        Lines want;
        for (const std::string& text : row.records) {
            want.push_back(text.rfind("* ", 0) == 0 ? text : record(text));
        }
        want.push_back(record(row.reply == "OK" ? accepting : rejecting));
        want.push_back(reply(row.reply));
        EXPECT_EQ(numbered_as_n(requests[i], std::to_string(i + 2)), want) << row.message;
    }
}

// The tool must give the filter's own answer: run both on every example message.
TEST(ExampleServer, TheCheckToolAgreesWithTheFilterOnEveryMessage) {
    const std::string server = QUORVEL_EXAMPLE_SERVER;
    const Lines messages = queued_messages();
    std::string input;
    for (size_t i = 0; i < messages.size(); ++i) {
        input += std::to_string(i + 1) + " FILE " + messages[i] + "\n";
    }
    ProcessResult filtered = run_filter(server, input);
    ASSERT_EQ(output_channel_breach(input, filtered), "");
    Lines filter_replies = replies(filtered);
    ASSERT_EQ(filter_replies.size(), messages.size());

    RunOptions options;
    options.arguments = messages;
    ProcessResult checked = run_program(quorvel_check_binary(), server, "", options);
    Lines check_replies;
    for (const std::string& line : checked.lines) {
        if (line.rfind("  reply:   ", 0) == 0) {
            check_replies.push_back(line.substr(11));
        }
    }
    EXPECT_EQ(check_replies, filter_replies);
    bool any_refused = std::any_of(
        filter_replies.begin(), filter_replies.end(),
        [](const std::string& line) { return line.find(" ERROR ") != std::string::npos; });
    EXPECT_EQ(checked.exit_status, any_refused ? 1 : 0);
}

}  // namespace
