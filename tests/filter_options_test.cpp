// The filter's command line through the real process: --version and --help answer
// and exit; --warn-only is announced at start; any other argument is ignored with a
// record. (What --warn-only does to a decision is tested with the decisions,
// posting_decision_test.cpp: these never read a list, and run once.)
#include <gtest/gtest.h>

#include "checked_run.h"
#include "expected_texts.h"
#include "server_tree.h"

namespace {

ProcessResult run_with(const std::string& directory, const std::vector<std::string>& arguments,
                       const std::string& input = "") {
    RunOptions options;
    options.arguments = arguments;
    return run_filter(directory, input, options);
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
    EXPECT_EQ(std::vector<std::string>(result.lines.begin() + 4, result.lines.end()),
              (std::vector<std::string>{warn_only_line, "* Ignoring argument: --warn",
                                        "* Ignoring argument: a\\x1b[2Jb", directory_hint,
                                        ready_line, "1 OK"}));
    EXPECT_EQ(result.exit_status, 0);
}

}  // namespace
