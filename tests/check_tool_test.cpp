// quorvel-check run as a process: its layout, verdicts, warnings, exit statuses,
// paths and listing. The tool walks the lists whatever the filter's refresh mode, so
// these run once (that it agrees with the filter is tested with the example server).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "expected_texts.h"
#include "filter_process.h"
#include "quorvel_version.h"
#include "server_tree.h"
#include "slow_storage.h"

namespace {

ProcessResult check(const std::string& directory, const std::vector<std::string>& arguments) {
    RunOptions options;
    options.arguments = arguments;
    return run_program(quorvel_check_binary(), directory, "", options);
}

TEST(CheckTool, ExitStatusTellsAcceptedRefusedAndTrouble) {
    ServerTree tree(team_server());
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
        {{"--version"}, 0},
        {{"--brief", "Queue/ok.msg", "Queue/stranger.msg"}, 1},
        {{"--brief", "--lists"}, 2},
        {{}, 2},
        {{"--bogus"}, 2},
        {{"--base"}, 2},
        {{"--base", "no/such/dir", "Queue/ok.msg"}, 2},
        {{"--lists", "Queue/ok.msg"}, 2},
        {{"--from", "Ann <ANN@example.net>", "--to", "team@example.com"}, 0},
        {{"--from", "eve@example.net", "--to", "friend@x.net", "--to", "team@example.com"}, 1},
        {{"--from", "eve@example.net", "--to", "team@example.com", "--sender", "LEAD"}, 0},
        {{"--brief", "--from", "eve@example.net", "--to", "team@example.com"}, 1},
        {{"--from", "ann@example.net"}, 2},
        {{"--to", "team@example.com"}, 2},
        {{"--from", "ann@example.net", "--to", "team@example.com", "Queue/ok.msg"}, 2},
        {{"--brief", "--json", "Queue/ok.msg"}, 2},
        {{"--json", "--lists"}, 0},
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

TEST(CheckTool, ExplainsAMessageWithWhatItCompared) {
    ServerTree tree(team_server());
    tree.write("Queue/mute.msg",
               queued_message("Bob@Example.net", {"friend@example.org", "TEAM@example.com"},
                              "From: \"Bob B.\" <Bob@Example.NET>"));
    ProcessResult result = check(tree.path(), {"Queue/ok.msg", "Queue/mute.msg"});
    EXPECT_EQ(result.output,
              tree.full("Queue/ok.msg") +
                  "\n"
                  "  sender:  ann@example.net\n"
                  "  rcpt:    team@example.com\n"
                  "  from:    ann@example.net (folded: ann@example.net)\n"
                  "  list:    team@example.com\n"
                  "    policy:  subscribers with posting rights (Postings \"from subscribers\")\n"
                  "    owner:   lead@example.com\n"
                  "    from:    subscribed, may post\n"
                  "  " +
                  record(from_allowed("team@example.com"), "1") + "\n  " + record(accepting, "1") +
                  "\n"
                  "  reply:   1 OK\n"
                  "  verdict: accepted\n"
                  "\n" +
                  tree.full("Queue/mute.msg") +
                  "\n"
                  "  sender:  bob@example.net\n"
                  "  rcpt:    friend@example.org\n"
                  "  rcpt:    team@example.com\n"
                  "  from:    Bob@Example.NET (folded: bob@example.net)\n"
                  "  list:    team@example.com\n"
                  "    policy:  subscribers with posting rights (Postings \"from subscribers\")\n"
                  "    owner:   lead@example.com\n"
                  "    from:    subscribed, may not post\n"
                  "  " +
                  record(from_muted("team@example.com"), "2") + "\n  " +
                  record(refused_sender("bob@example.net", "Bob@Example.NET"), "2") + "\n  " +
                  record(rejecting, "2") + "\n  reply:   " + reply(not_allowed, "2") +
                  "\n  verdict: refused (" + not_allowed_reason + ")\n");
    EXPECT_EQ(result.errors, "");
    EXPECT_EQ(result.exit_status, 1);
}

// One line per message, fields that cannot break the line, and the counts.
TEST(CheckTool, BriefGivesOneLinePerMessageAndTheCounts) {
    ServerTree tree(team_server());
    tree.write("Queue/tab\there.msg", queued_message("x@example.net", {"friend@example.org"}, ""));
    tree.write("Queue/empty.msg", "");
    ProcessResult result =
        check(tree.path(), {"--brief", "Queue/ok.msg", "Queue/stranger.msg", "Queue/tab\there.msg",
                            "Queue/missing.msg", "Queue/empty.msg"});
    EXPECT_EQ(result.output,
              tree.full("Queue/ok.msg") + "\taccepted\tteam@example.com\t" +
                  from_allowed("team@example.com") + "\n" + tree.full("Queue/stranger.msg") +
                  "\trefused\tteam@example.com\t" + not_subscribed_reason + "\n" +
                  tree.full("Queue/tab") + "\\x09here.msg\taccepted\t-\t" + not_a_list + "\n" +
                  tree.full("Queue/missing.msg") + "\tnot checked\t-\tFile Not Found " +
                  tree.full("Queue/missing.msg") + "\n" + tree.full("Queue/empty.msg") +
                  "\taccepted\t-\t" + not_a_list +
                  "\n5 messages: 3 accepted, 1 refused, 1 not checked, 1 warnings\n");
    EXPECT_EQ(result.errors, "quorvel-check: " + tree.full("Queue/empty.msg") +
                                 ": warning: it has no envelope, so it is not a queued message: "
                                 "the filter lets it through\n");
    EXPECT_EQ(result.exit_status, 2);
}

// Each warning shows with the message or the list it concerns. Warnings alone give 3;
// a refusal (1) or a message that cannot be read (2) says more.
TEST(CheckTool, EachWarningWithItsMessageOrListAndTheExitStatus) {
    ServerTree tree(team_server());
    const std::string lists = "Domains/example.org/LISTS/";
    tree.write(lists + "odd.settings", "{ Owner = x; Postings = \"from friends\"; }");
    tree.write(lists + "odd.list", "");
    tree.write(lists + "lonely.settings", "{ Postings = \"from owner only\"; }");
    tree.write(lists + "lonely.list", "");
    tree.write(lists + "broken.settings", "{ Owner = x;; }");
    tree.write(lists + "broken.list", "");
    tree.write(lists + "piped.settings", "{ Postings = \"from anybody\"; }");
    tree.make_fifo(lists + "piped.list");
    tree.write(lists + "whole.settings",
               "{ Owner = x@example.org; Postings = \"from owner only\"; }");
    tree.write(lists + "whole.list", "");
    tree.write(lists + "orphan.settings", "{ Postings = \"from anybody\"; }");
    tree.write(lists + "spaced.list", "a@x feed t 0 - N\n\n\t\n" + subscriber_line("b@x"));
    auto to = [](const std::string& list) {
        return queued_message("x@example.org", {list + "@example.org"}, "From: x@example.org");
    };
    tree.write("Queue/odd.msg", to("odd"));
    tree.write("Queue/lonely.msg", to("lonely"));
    tree.write("Queue/broken.msg", to("broken"));
    tree.write("Queue/piped.msg", to("piped"));
    tree.write("Queue/whole.msg", to("whole"));
    tree.write("Queue/empty.msg", "");
    tree.write("Queue/binary.msg", std::string("\0\x01\xff\xfe\n\n\x80", 7));

    const std::string no_envelope =
        "  warning: it has no envelope, so it is not a queued message: the filter lets it "
        "through\n";
    const std::string odd =
        "warning: \"Postings\" is \"from friends\", none of the server's values; read as \"from "
        "subscribers\"\n";
    const std::string lonely = "warning: posting from owner only, and the list has no owner\n";
    const std::string whole =
        "warning: \"Owner\" is \"x@example.org\", which holds \"@\"; the owner's postings will "
        "not be recognised\n";
    const std::string orphan =
        "warning: a settings file without a subscriber file: the server has no such list, and "
        "its mail goes through unchecked\n";
    const std::string spaced =
        "warning: 1 non-empty line of its subscriber file is not a subscriber line (fewer than "
        "six fields separated by TABs): nobody on it counts as subscribed\n";
    const std::string broken =
        "warning: its settings file cannot be read: the filter does not judge this list\n";
    const std::string piped =
        "warning: its subscriber file cannot be read: the filter does not judge what needs its "
        "subscribers\n";
    const struct {
        std::vector<std::string> messages;
        std::string warning;
        int status;
    } rows[] = {
        {{"Queue/empty.msg"}, no_envelope, 3},
        {{"Queue/binary.msg"}, no_envelope, 3},
        {{"Queue/odd.msg"}, "    " + odd, 3},
        {{"Queue/lonely.msg"}, "    " + lonely, 1},
        {{"Queue/broken.msg"}, "    " + broken, 3},
        {{"Queue/piped.msg"}, "    " + piped, 3},
        {{"Queue/whole.msg"}, "    " + whole, 1},
        {{"Queue/ok.msg", "Queue/broken.msg"}, "    " + broken, 3},
        {{"Queue/stranger.msg", "Queue/broken.msg"}, "    " + broken, 1},
        {{"Queue/missing.msg", "Queue/broken.msg"}, "    " + broken, 2},
    };
    for (const auto& row : rows) {
        ProcessResult result = check(tree.path(), row.messages);
        EXPECT_NE(result.output.find("\n" + row.warning), std::string::npos)
            << row.messages[0] << "\n"
            << result.output;
        EXPECT_EQ(result.exit_status, row.status) << row.messages[0];
    }
    // The odd list's owner sent it: the warning is the only thing wrong.
    EXPECT_NE(check(tree.path(), {"Queue/odd.msg"}).output.find(sent_by_owner("")),
              std::string::npos);

    ProcessResult listed = check(tree.path(), {"--lists"});
    for (const std::string& warning : {odd, lonely, broken, piped, whole, orphan, spaced}) {
        EXPECT_NE(listed.output.find("\n  " + warning.substr(0, 8) + "     " + warning.substr(9)),
                  std::string::npos)
            << warning << listed.output;
    }
    EXPECT_EQ(listed.exit_status, 3);
}

// A path copied from the server's log is relative to the base directory: it is taken
// from there when the current directory has no such file. The resolved path shows.
TEST(CheckTool, ARelativeMessagePathIsTakenFromTheCurrentDirectoryElseFromTheBase) {
    ServerTree tree(team_server());
    ServerTree elsewhere({{"Queue/stranger.msg", tree.read("Queue/ok.msg")}});
    const struct {
        std::string message;
        std::string resolved;
        int status;
    } rows[] = {
        {"Queue/ok.msg", tree.full("Queue/ok.msg"), 0},
        {"Queue/stranger.msg", elsewhere.full("Queue/stranger.msg"), 0},
        {tree.full("Queue/stranger.msg"), tree.full("Queue/stranger.msg"), 1},
        {"Queue/missing.msg", tree.full("Queue/missing.msg"), 2},
    };
    for (const auto& row : rows) {
        ProcessResult result = check(elsewhere.path(), {"--base", tree.path(), row.message});
        ASSERT_FALSE(result.lines.empty()) << row.message;
        EXPECT_EQ(result.lines[0], row.resolved);
        EXPECT_EQ(result.exit_status, row.status) << row.message;
    }
    // The README's example: the example server as the base, the path from its log.
    const std::string server = QUORVEL_EXAMPLE_SERVER;
    ProcessResult readme = check(elsewhere.path(), {"--base", server, "Queue/1004.msg"});
    ASSERT_FALSE(readme.lines.empty());
    EXPECT_EQ(readme.lines[0], server + "/Queue/1004.msg");
    EXPECT_EQ(readme.lines.back(), "  verdict: refused (" + not_allowed_reason + ")");
    EXPECT_EQ(readme.exit_status, 1);
}

// A monitor reads the JSON document: parsed back by a strict parser, with a path
// that is not UTF-8, a refusal and a posting given by its addresses.
TEST(CheckTool, JsonHoldsWhatTheTextShows) {
    ServerTree tree(team_server());
    tree.write("Queue/caf\xe9.msg", tree.read("Queue/stranger.msg"));
    ProcessResult result = check(tree.path(), {"--json", "Queue/ok.msg", "Queue/caf\xe9.msg"});
    EXPECT_EQ(result.exit_status, 1);
    const auto document = nlohmann::json::parse(result.output);
    const auto& refused = document["messages"][1];
    EXPECT_EQ(refused["path"], tree.full("Queue/caf\\xe9.msg"));
    EXPECT_EQ(refused["verdict"], "refused");
    EXPECT_EQ(refused["list"], "team@example.com");
    EXPECT_EQ(refused["refusal"],
              "You cannot post messages because you are not subscribed to this list");
    EXPECT_EQ(refused["lists"][0]["policy"], "subscribers with posting rights");
    EXPECT_EQ(refused["lists"][0]["postings"], "from subscribers");
    EXPECT_EQ(refused["lists"][0]["from"], "not subscribed");
    EXPECT_EQ(refused["records"][1],
              record(refused_sender("eve@example.net", "eve@example.net"), "2"));
    EXPECT_EQ(document["counts"]["refused"], 1);

    // A bounce, queued or given: the null sender is "<>", in its value and in the record.
    tree.write("Queue/bounce.msg", queued_message("", {"team@example.com"}, "From: x@y.net"));
    const auto bounce =
        nlohmann::json::parse(check(tree.path(), {"--json", "Queue/bounce.msg"}).output);
    EXPECT_EQ(bounce["messages"][0]["sender"], "<>");
    EXPECT_EQ(bounce["messages"][0]["records"][1], record(refused_sender("<>", "x@y.net"), "1"));
    const auto given_bounce =
        nlohmann::json::parse(check(tree.path(), {"--json", "--from", "x@y.net", "--to",
                                                  "team@example.com", "--sender", "<>"})
                                  .output);
    EXPECT_EQ(given_bounce["messages"][0]["sender"], "<>");

    ProcessResult given = check(
        tree.path(), {"--json", "--from", "Ann <ANN@example.net>", "--to", "team@example.com"});
    const auto posting = nlohmann::json::parse(given.output)["messages"][0];
    EXPECT_TRUE(posting["path"].is_null());
    EXPECT_EQ(posting["from"], "ANN@example.net");
    EXPECT_EQ(posting["from_folded"], "ann@example.net");
    EXPECT_EQ(posting["sender"], "ann@example.net");
    EXPECT_EQ(posting["reply"], "1 OK");

    const auto lists = nlohmann::json::parse(check(tree.path(), {"--json", "--lists"}).output);
    EXPECT_EQ(lists["lists"][0]["subscribers"], 2);
    EXPECT_EQ(lists["lists"][0]["members"]["state"], "read");
    EXPECT_EQ(lists["counts"]["lists"], 1);
}

// A tree the filter would find no lists in is no all-clear.
TEST(CheckTool, ATreeWithoutMainSettingsOrListsIsAWarning) {
    ServerTree tree({{"Queue/ok.msg", queued_message("a@x.net", {"team@example.com"}, "")}});
    ProcessResult lists = check(tree.path(), {"--lists"});
    EXPECT_EQ(lists.errors,
              "quorvel-check: warning: no './Settings/Main.settings'; is this the server's base "
              "directory?\n"
              "quorvel-check: warning: no hosted list found under '.': the filter would check "
              "nothing\n");
    EXPECT_EQ(lists.exit_status, 3);
    EXPECT_EQ(check(tree.path(), {"Queue/ok.msg"}).exit_status, 3);
}

// A domain's lists on a mount that hangs (an NFS server that stopped answering) hung
// the tool silently for ever, even for a message to a list on local disk. Here the
// server hangs in the middle of the listing, a call it has taken: the kernel waits
// such a call out, and once held the tool's exit (and the test) with it.
TEST(CheckTool, APlaceThatDoesNotAnswerIsAWarningAndTheLocalListsAreShown) {
    ServerTree tree(team_server());
    tree.write_list("Domains/example.org/LISTS/crew", "", subscriber_line("ann@example.net"));
    tree.write("Domains/example.org/LISTS/.slow_fs-hang", "");
    SlowStorage storage(tree.full("Domains/example.org"));
    SKIP_UNLESS_MOUNTED(storage);
    const std::string warning =
        "Domains/example.org/LISTS did not answer within 5 s; its lists are not shown";
    // The tool promises an answer within 10 s; killed at 10 s, it would fail here.
    RunOptions options;
    options.timeout_seconds = 10;
    options.arguments = {"--brief", "Queue/ok.msg"};
    ProcessResult brief = run_program(quorvel_check_binary(), tree.path(), "", options);
    EXPECT_EQ(brief.output, tree.full("Queue/ok.msg") + "\taccepted\tteam@example.com\t" +
                                from_allowed("team@example.com") +
                                "\n1 messages: 1 accepted, 0 refused, 0 not checked, 1 warnings\n");
    EXPECT_EQ(brief.errors, "quorvel-check: warning: " + warning + "\n");
    EXPECT_EQ(brief.exit_status, 3);

    options.arguments = {"--json", "--lists"};
    ProcessResult json = run_program(quorvel_check_binary(), tree.path(), "", options);
    const auto lists = nlohmann::json::parse(json.output);
    EXPECT_EQ(lists["lists"].size(), 1u);
    EXPECT_EQ(lists["lists"][0]["address"], "team@example.com");
    EXPECT_EQ(lists["unread_places"][0]["path"], "Domains/example.org/LISTS");
    EXPECT_EQ(lists["unread_places"][0]["state"], "no answer");
    EXPECT_EQ(lists["warnings"], nlohmann::json::array({warning}));
    EXPECT_EQ(json.exit_status, 3);
}

TEST(CheckTool, VersionIsTheProjectVersion) {
    ServerTree tree;
    ProcessResult result = check(tree.path(), {"--version"});
    EXPECT_EQ(result.output, "quorvel-check " QUORVEL_VERSION "\n");
    EXPECT_EQ(result.exit_status, 0);
}

TEST(CheckTool, BaseDirectoryAndRelativeMessagePathsComeFromDifferentPlaces) {
    ServerTree tree(team_server());
    ServerTree elsewhere({{"stranger.msg", tree.read("Queue/stranger.msg")}});
    ProcessResult result = check(elsewhere.path(), {"--base", tree.path(), "stranger.msg"});
    EXPECT_EQ(result.exit_status, 1) << result.output << result.errors;
}

// A list whose settings file does not parse, or whose subscriber file cannot be read,
// is not judged; the tool says so and why. (Such a settings file once showed as the
// policy of subscribers and no owner.)
TEST(CheckTool, ListsShowPolicyOwnerSubscribersFilesAndReports) {
    ServerTree tree(team_server());
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
        "syntax error : near \";\" (0:13)\n"
        "  warning:     its settings file cannot be read: the filter does not judge this list\n";
    const std::string piped =
        "piped@example.org\n"
        "  policy:      anybody (Postings \"from anybody\")\n"
        "  owner:       (none)\n"
        "  subscribers: not known (the subscriber file cannot be read)\n"
        "  settings:    Domains/example.org/LISTS/piped.settings\n" +
        piped_members + reason +
        ")\n"
        "  warning:     its subscriber file cannot be read: the filter does not judge what needs "
        "its subscribers\n";
    const std::string team =
        "team@example.com\n"
        "  policy:      subscribers with posting rights (Postings \"from subscribers\")\n"
        "  owner:       lead@example.com\n"
        "  subscribers: 2 (1 may post)\n"
        "  settings:    Accounts/LISTS/team.settings\n"
        "  members:     Accounts/LISTS/team.list\n";
    EXPECT_EQ(result.output, broken + "\n" + piped + "\n" + team);
    EXPECT_EQ(result.exit_status, 3);
}

// ESC reached the terminal raw, then C1 controls (CSI as a byte and in UTF-8) and TAB.
TEST(CheckTool, ControlBytesFromTheTreeAreShownEscaped) {
    ServerTree tree(team_server());
    tree.write("Queue/odd.msg",
               queued_message("x\x9b@example.net", {"a\x1b[2Jb@example.com", "team@example.com"},
                              "From: \"\xc2\x9b\" <e\tve@x.net>"));
    const std::string text = check(tree.path(), {"Queue/odd.msg"}).output;
    EXPECT_EQ(text.find_first_of("\x1b\x9b\t"), std::string::npos) << text;
}

}  // namespace
