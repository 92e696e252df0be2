// The filter's command line through the real process: without arguments, as the
// server starts it, nothing changes; --warn-only is announced at start, never
// refuses and logs what it would have refused; --version and --help answer and
// exit; any other argument is ignored with a record.
#include <gtest/gtest.h>

#include "checked_run.h"
#include "server_tree.h"

namespace {

std::map<std::string, std::string> one_list_server() {
    return {
        {"Settings/Main.settings", main_settings("example.com")},
        {"Accounts/LISTS/team.settings", "{ Owner = lead; Postings = \"from subscribers\"; }"},
        {"Accounts/LISTS/team.list", subscriber_line("ann@example.net")},
        {"Queue/ok.msg",
         queued_message("ann@example.net", {"team@example.com"}, "From: ann@example.net")},
        {"Queue/stranger.msg",
         queued_message("eve@example.net", {"team@example.com"}, "From: eve@example.net")},
    };
}

ProcessResult run_with(const std::string& directory, const std::vector<std::string>& arguments,
                       const std::string& input = "") {
    RunOptions options;
    options.arguments = arguments;
    return run_filter(directory, input, options);
}

TEST(FilterOptions, WarnOnlyLogsWhatItWouldRefuseAndAcceptsEverything) {
    ServerTree tree(one_list_server());
    RunOptions options;
    options.arguments = {"--warn-only"};
    FilterSession session(tree.path(), options);
    session.start_lines();
    request_checked(session, "1 INTF 3");
    EXPECT_EQ(numbered_as_n(request_checked(session, "2 FILE Queue/stranger.msg"), "2"),
              (std::vector<std::string>{
                  "* [n] Reading list settings: team@example.com",
                  "* [n] Reading list subscribers: team@example.com",
                  "* [n] From header doesn't match any address subscribed to list team@example.com",
                  "* [n] Sender eve@example.net, From eve@example.net",
                  "* [n] Would reject message: You cannot post messages because you are not "
                  "subscribed to this list",
                  "n OK"}));
    EXPECT_EQ(numbered_as_n(request_checked(session, "3 FILE Queue/ok.msg"), "3"),
              (std::vector<std::string>{
                  "* [n] From header matches an address allowed to post to list team@example.com",
                  "* [n] Accepting message", "n OK"}));
    EXPECT_EQ(session.finish(), 0);
}

// The banner and --version print the one version of the project.
TEST(FilterOptions, VersionAgreesWithTheBanner) {
    ServerTree tree;
    ProcessResult version = run_with(tree.path(), {"--version"});
    EXPECT_EQ(version.exit_status, 0);
    ASSERT_EQ(version.lines.size(), 1u) << version.output;
    const std::string prefix = "quorvel ";
    ASSERT_EQ(version.lines[0].rfind(prefix, 0), 0u) << version.output;
    const std::string number = version.lines[0].substr(prefix.size());
    EXPECT_NE(number, "");

    ProcessResult started = run_filter_checked(tree.path(), "");
    ASSERT_FALSE(started.lines.empty());
    EXPECT_EQ(started.lines[0], "* Kelvorn's Quorvel filter " + number + " for Communigate Pro");
}

TEST(FilterOptions, HelpPrintsUsageAndExits) {
    ServerTree tree;
    ProcessResult help = run_with(tree.path(), {"--help"}, "1 INTF 3\n");
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_EQ(help.output.rfind("Usage: quorvel [--warn-only]\n", 0), 0u) << help.output;
    EXPECT_EQ(help.output.find("1 INTF"), std::string::npos) << "served a request";
}

// Warn-only mode is announced first, so a mistyped option shows as its absence.
TEST(FilterOptions, AnyOtherArgumentIsIgnoredWithARecordAfterTheBanner) {
    ServerTree tree;
    RunOptions options;
    options.arguments = {"--warn", "a\x1b[2Jb", "--warn-only"};
    ProcessResult result = run_filter_checked(tree.path(), "1 KEY\n", options);
    ASSERT_GE(result.lines.size(), 8u) << result.output;
    EXPECT_EQ(
        std::vector<std::string>(result.lines.begin() + 4, result.lines.end()),
        (std::vector<std::string>{"* Warn-only mode: no message is refused",
                                  "* Ignoring argument: --warn", "* Ignoring argument: a\\x1b[2Jb",
                                  "* Be sure the current working directoy is CGPro base directory",
                                  "* Ready to receive INTF command.", "1 OK"}));
    EXPECT_EQ(result.exit_status, 0);
}

}  // namespace
