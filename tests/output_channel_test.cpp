// The output-channel checker is the oracle of the fuzz target and of every
// whole-process test, so it must see each kind of breach, and pass what is sound.
#include <gtest/gtest.h>

#include "output_channel.h"

namespace {

TEST(OutputChannel, TellsEachBreachFromASoundOutput) {
    const struct {
        const char* situation;
        std::string input, output;
        int exit_status;
        bool breach;
    } cases[] = {
        {"replies by id and by number", "1 KEY\n007 FILE x\r\n",
         "* log\n1 OK\n7 OK\n(null) FAILURE\n", 0, false},
        {"a last line without a line end", "5 KEY\n6 KEY", "5 OK\n6 OK\n", 0, false},
        {"no input, no reply", "", "* Ready\n", 0, false},
        {"an id with a tab", "5\tFILE x\n", "5\tFILE FAILURE\n", 0, false},
        {"a missing reply", "1 KEY\n2 KEY\n", "1 OK\n", 0, true},
        {"a reply too many", "1 KEY\n", "1 OK\n1 OK\n", 0, true},
        {"replies out of order", "1 KEY\n2 KEY\n", "2 OK\n1 OK\n", 0, true},
        {"a reply that passes for a log line", "* KEY\n", "* OK\n", 0, true},
        {"an id echoed for a line without one", "* KEY\n", "(null) FAILURE\n", 0, false},
        {"a CR inside a log line", "", "* a\rb\n", 0, true},
        {"an unfinished last line", "1 KEY\n", "1 OK", 0, true},
        {"a reply without a reply word", "1 KEY\n", "1\n", 0, true},
        {"a failing exit", "", "", 2, true},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(output_channel_breach(row.input, row.output, row.exit_status).empty(),
                  !row.breach)
            << row.situation;
    }
}

TEST(OutputChannel, OneRequestOfALiveFilterEndsWithItsReply) {
    EXPECT_EQ(request_breach("3 FILE x", {"* [3] Accepting message", "3 OK"}), "");
    EXPECT_NE(request_breach("3 FILE x", {"* [3] Accepting message"}), "");
    EXPECT_NE(request_breach("3 FILE x", {"3 OK", "* late"}), "");
    EXPECT_NE(request_breach("3 FILE x\n4 KEY", {"3 OK"}), "");
}

}  // namespace
