// quorvel-check run as a process: its verdicts, exit statuses and listing, and that
// it agrees with the filter itself on every message of the example server.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "filter_process.h"
#include "output_channel.h"
#include "server_tree.h"

namespace {

ProcessResult check(const std::string& directory, const std::vector<std::string>& arguments) {
    RunOptions options;
    options.arguments = arguments;
    return run_program(quorvel_check_binary(), directory, "", options);
}

// A main domain with one list that takes postings from subscribers only.
std::map<std::string, std::string> one_list_server() {
    return {
        {"Settings/Main.settings", main_settings("example.com")},
        {"Accounts/LISTS/team.settings", "{ Owner = lead; Postings = \"from subscribers\"; }"},
        {"Accounts/LISTS/team.list",
         subscriber_line("ann@example.net") + subscriber_line("bob@example.net", "-010001")},
        {"Queue/ok.msg",
         queued_message("ann@example.net", {"team@example.com"}, "From: Ann <ann@example.net>")},
        {"Queue/stranger.msg",
         queued_message("eve@example.net", {"team@example.com"}, "From: eve@example.net")},
    };
}

TEST(CheckTool, ExitStatusTellsAcceptedRefusedAndTrouble) {
    ServerTree tree(one_list_server());
    const struct {
        std::vector<std::string> arguments;
        int status;
    } cases[] = {
        {{"Queue/ok.msg"}, 0},
        {{"Queue/ok.msg", "Queue/stranger.msg"}, 1},
        {{"Queue/ok.msg", "Queue/missing.msg"}, 2},
        {{"Queue/stranger.msg", "Queue"}, 2},
        {{"--lists"}, 0},
        {{"--help"}, 0},
        {{}, 2},
        {{"--bogus"}, 2},
        {{"--base"}, 2},
        {{"--base", "no/such/dir", "Queue/ok.msg"}, 2},
        {{"--lists", "Queue/ok.msg"}, 2},
    };
    for (const auto& row : cases) {
        ProcessResult result = check(tree.path(), row.arguments);
        std::string shown;
        for (const std::string& word : row.arguments) {
            shown += word + " ";
        }
        EXPECT_EQ(result.exit_status, row.status) << shown << "\n"
                                                  << result.output << result.errors;
    }
}

TEST(CheckTool, ShowsRecordsReplyAndVerdictOfEachMessage) {
    ServerTree tree(one_list_server());
    ProcessResult result = check(tree.path(), {"Queue/ok.msg", "Queue/stranger.msg"});
    EXPECT_EQ(result.output,
              "Queue/ok.msg\n"
              "  * [1] From header matches an address allowed to post to list team@example.com\n"
              "  * [1] Accepting message\n"
              "  reply:   1 OK\n"
              "  verdict: accepted\n"
              "\n"
              "Queue/stranger.msg\n"
              "  * [2] From header doesn't match any address subscribed to list "
              "team@example.com\n"
              "  * [2] Rejecting message\n"
              "  reply:   2 ERROR \"You cannot post messages because you are not subscribed to "
              "this list\"\n"
              "  verdict: refused (You cannot post messages because you are not subscribed to "
              "this list)\n");
    EXPECT_EQ(result.errors, "");
}

TEST(CheckTool, BaseDirectoryAndRelativeMessagePathsComeFromDifferentPlaces) {
    ServerTree tree(one_list_server());
    ServerTree elsewhere({{"stranger.msg", tree.read("Queue/stranger.msg")}});
    ProcessResult result = check(elsewhere.path(), {"--base", tree.path(), "stranger.msg"});
    EXPECT_EQ(result.exit_status, 1) << result.output << result.errors;
}

// A list whose settings file does not parse, or whose subscriber file cannot be read,
// is not judged; the tool says so and why. (Such a settings file once showed as the
// policy of subscribers and no owner.)
TEST(CheckTool, ListsShowPolicyOwnerSubscribersFilesAndReports) {
    ServerTree tree(one_list_server());
    tree.write("Domains/example.org/LISTS/broken.list", "");
    tree.write("Domains/example.org/LISTS/broken.settings", "{ Owner = x;; }");
    tree.make_fifo("Domains/example.org/LISTS/piped.list");
    tree.write("Domains/example.org/LISTS/piped.settings", "{ Postings = \"from anybody\"; }");
    ProcessResult result = check(tree.path(), {"--lists"});
    // The subscriber file's reason is its reader's wording.
    const std::string piped_members =
        "  members:     Domains/example.org/LISTS/piped.list (cannot be read: ";
    const size_t reason_at = result.output.find(piped_members);
    ASSERT_NE(reason_at, std::string::npos) << result.output;
    const size_t reason_end = result.output.find(")\n", reason_at);
    const std::string reason = result.output.substr(reason_at + piped_members.size(),
                                                    reason_end - reason_at - piped_members.size());
    EXPECT_NE(reason, "");
    const std::string broken =
        "broken@example.org\n"
        "  policy:      not checked (the settings file cannot be read)\n"
        "  owner:       (not known)\n"
        "  subscribers: 0 (0 may post)\n"
        "  settings:    Domains/example.org/LISTS/broken.settings (cannot be read: it is not in "
        "the settings notation)\n"
        "  members:     Domains/example.org/LISTS/broken.list\n"
        "  report:      while parsing \"Domains/example.org/LISTS/broken.settings\" file: "
        "syntax error : near \";\" (0:13)\n";
    const std::string piped =
        "piped@example.org\n"
        "  policy:      anybody\n"
        "  owner:       (none)\n"
        "  subscribers: not known (the subscriber file cannot be read)\n"
        "  settings:    Domains/example.org/LISTS/piped.settings\n" +
        piped_members + reason + ")\n";
    const std::string team =
        "team@example.com\n"
        "  policy:      subscribers with posting rights\n"
        "  owner:       lead@example.com\n"
        "  subscribers: 2 (1 may post)\n"
        "  settings:    Accounts/LISTS/team.settings\n"
        "  members:     Accounts/LISTS/team.list\n";
    EXPECT_EQ(result.output, broken + "\n" + piped + "\n" + team);
}

TEST(CheckTool, ControlBytesFromTheTreeAreShownEscaped) {
    ServerTree tree(one_list_server());
    tree.write("Queue/odd.msg", queued_message("x@example.net", {"a\x1b[2Jb@example.com"}, ""));
    ProcessResult result = check(tree.path(), {"Queue/odd.msg"});
    EXPECT_EQ(result.output.find('\x1b'), std::string::npos) << result.output;
}

// The tool must give the filter's own answer: run both on every example message.
TEST(CheckTool, AgreesWithTheFilterOnEveryExampleMessage) {
    const std::string server = QUORVEL_EXAMPLE_SERVER;
    std::vector<std::string> messages;
    for (const auto& entry : std::filesystem::directory_iterator(server + "/Queue")) {
        messages.push_back("Queue/" + entry.path().filename().string());
    }
    std::sort(messages.begin(), messages.end());
    std::string input;
    for (size_t i = 0; i < messages.size(); ++i) {
        input += std::to_string(i + 1) + " FILE " + messages[i] + "\n";
    }
    ProcessResult filtered = run_filter(server, input);
    ASSERT_EQ(output_channel_breach(input, filtered), "");
    std::vector<std::string> filter_replies = replies(filtered);
    ASSERT_EQ(filter_replies.size(), messages.size());

    ProcessResult checked = check(server, messages);
    std::vector<std::string> check_replies;
    for (const std::string& line : checked.lines) {
        if (line.rfind("  reply:   ", 0) == 0) {
            check_replies.push_back(line.substr(11));
        }
    }
    EXPECT_EQ(check_replies, filter_replies);
    bool any_refused = std::any_of(
        filter_replies.begin(), filter_replies.end(),
        [](const std::string& reply) { return reply.find(" ERROR ") != std::string::npos; });
    EXPECT_EQ(checked.exit_status, any_refused ? 1 : 0);
}

}  // namespace
