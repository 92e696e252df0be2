// The example server directory shipped with the sources: every queued message in it
// gets the reply and the decision records it is there to show.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "checked_run.h"

namespace {

struct Expected {
    std::string message;
    std::vector<std::string> records;  // without the request number
    std::string reply;                 // without the request number
};

const std::string not_allowed = "ERROR \"You are not allowed to post messages on this list\"";

const Expected expected[] = {
    {"1001.msg", {"Sent by list owner to list announce@example.com"}, "OK"},
    {"1002.msg", {"Anyone can post on list help@example.com"}, "OK"},
    {"1003.msg",
     {"From header matches an address allowed to post to list discuss@example.com"},
     "OK"},
    {"1004.msg",
     {"From header matches an address subscribed but not authorized to post to list "
      "discuss@example.com",
      "Sender quiet@example.net, From quiet@example.net"},
     not_allowed},
    {"1005.msg",
     {"From header doesn't match any address subscribed to list members@example.org",
      "Sender promo@example.net, From promo@example.net"},
     "ERROR \"You cannot post messages because you are not subscribed to this list\""},
    {"1006.msg",
     {"Posting is not allowed on list announce@example.com",
      "Sender jane.doe@example.com, From jane.doe@example.com"},
     not_allowed},
    {"1007.msg",
     {"Unsubscribe request sent to discuss-unsubscribe@example.com",
      " (listname: discuss@example.com)"},
     "OK"},
    {"1008.msg",
     {"Unsubscribe request sent to members-unsubscribe@example.org",
      " (listname: members@example.org)", "Spurious unsubscribe from list members@example.org",
      "Sender bounce@example.net, From someone@example.net"},
     "ERROR \"Unsubscribe failed: you have not been subscribed\""},
    {"1009.msg",
     {"Unsubscribe request sent to staff-off@example.org", " (listname: staff@example.org)"},
     "OK"},
    {"1010.msg", {"Anyone can post on list staff@example.org"}, "OK"},
    {"1011.msg", {"Not sent to a local list"}, "OK"},
    {"1012.msg", {"Not sent to a local list"}, "OK"},
};

TEST(ExampleServer, EveryQueuedMessageGetsItsReplyAndRecords) {
    const std::string server = QUORVEL_EXAMPLE_SERVER;
    std::vector<std::string> queued;
    for (const auto& entry : std::filesystem::directory_iterator(server + "/Queue")) {
        queued.push_back(entry.path().filename().string());
    }
    std::sort(queued.begin(), queued.end());
    std::vector<std::string> listed;
    for (const Expected& row : expected) {
        listed.push_back(row.message);
    }
    ASSERT_EQ(queued, listed) << "every queued message needs a row here";

    std::string input = "1 INTF 3\n";
    for (size_t i = 0; i < queued.size(); ++i) {
        input += std::to_string(i + 2) + " FILE Queue/" + queued[i] + "\n";
    }
    ProcessResult result = run_filter_checked(server, input);

    // The lines of each request, from its first record to its reply.
    std::vector<std::vector<std::string>> requests(1);
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
        const std::string n = std::to_string(i + 2);
        std::vector<std::string> want;
        for (const std::string& record : row.records) {
            want.push_back(record.rfind(" (listname: ", 0) == 0 ? "* " + record
                                                                : "* [" + n + "] " + record);
        }
        want.push_back("* [" + n + "] " +
                       (row.reply == "OK" ? "Accepting message" : "Rejecting message"));
        want.push_back(n + " " + row.reply);
        EXPECT_EQ(requests[i], want) << row.message;
    }
}

}  // namespace
