// The posting decision as the mail server sees it: one queued message per run of
// the real filter in a server tree with lists of every policy, and the decision
// records and the reply that come back.
#include <gtest/gtest.h>

#include "checked_run.h"
#include "server_tree.h"

namespace {

using Lines = std::vector<std::string>;

const std::string accepted = "* [1] Accepting message";
const std::string rejected = "* [1] Rejecting message";
const std::string not_allowed = "1 ERROR \"You are not allowed to post messages on this list\"";
const std::string not_subscribed =
    "1 ERROR \"You cannot post messages because you are not subscribed to this list\"";
const std::string spurious = "1 ERROR \"Unsubscribe failed: you have not been subscribed\"";

// example.com is the main domain; example.org is a further domain.
std::map<std::string, std::string> server_files() {
    const std::string members =
        subscriber_line("Jane@Example.com") + subscriber_line("mute@example.com", "-010001");
    return {
        {"Settings/Main.settings", main_settings("example.com")},
        {"Accounts/LISTS/announce.settings", "{ Owner = boss; Postings = \"from owner only\"; }"},
        {"Accounts/LISTS/announce.list", members},
        {"Accounts/LISTS/chat.settings", "{ Owner = boss; Postings = \"from anybody\"; }"},
        {"Accounts/LISTS/chat.list", members},
        {"Accounts/LISTS/guests.settings", "{ Owner = boss; Postings = \"moderate guests\"; }"},
        {"Accounts/LISTS/guests.list", ""},
        {"Accounts/LISTS/members.settings", "{ Owner = boss; Postings = \"from subscribers\"; }"},
        {"Accounts/LISTS/members.list", members},
        {"Accounts/LISTS/plain.list", members},
        {"Accounts/LISTS/staff.settings", "{ Postings = \"from owner only\"; }"},
        {"Accounts/LISTS/staff.list", ""},
        {"Accounts/LISTS/news\xd0.settings", "{ Postings = \"from anybody\"; }"},
        {"Accounts/LISTS/news\xd0.list", ""},
        {"Domains/example.org/LISTS/Team.settings",
         "{ Owner = Chief; Postings = \"from owner only\"; }"},
        {"Domains/example.org/LISTS/Team.list", subscriber_line("jane@example.com")},
        {"Domains/example.org/LISTS/ownerless.settings", "{ Postings = \"from owner only\"; }"},
        {"Domains/example.org/LISTS/ownerless.list", ""},
        {"Domains/example.org/LISTS/blank.settings",
         "{ Owner = \"\"; Postings = \"from owner only\"; }"},
        {"Domains/example.org/LISTS/blank.list", ""},
        {"Domains/example.org/LISTS/odd.settings",
         "{ Owner = \"\x9f"
         "boss\"; Postings = \"from owner only\"; }"},
        {"Domains/example.org/LISTS/odd.list", ""},
    };
}

// Runs one message through a fresh filter and returns what its request produced,
// without the records of the first reading of the lists (and its settings warnings).
Lines decide(const std::string& message) {
    ServerTree tree(server_files());
    tree.write("Queue/1.msg", message);
    const std::string input = "1 FILE Queue/1.msg\n";
    ProcessResult result = run_filter_checked(tree.path(), input);
    Lines lines;
    bool started = false;
    for (const std::string& line : result.lines) {
        if (line == "* Ready to receive INTF command.") {
            started = true;
        } else if (started && line.rfind("* [1] Reading list ", 0) != 0 &&
                   line.rfind("* [1] List ", 0) != 0) {
            lines.push_back(line);
        }
    }
    return lines;
}

struct Row {
    const char* situation;
    std::string sender;
    Lines recipients;
    std::string from;
    Lines expected;
};

void check(const Row& row) {
    std::string headers = row.from.empty() ? "Subject: test" : "From: " + row.from;
    EXPECT_EQ(decide(queued_message(row.sender, row.recipients, headers)), row.expected)
        << row.situation;
}

// One row per line of the decision summary; the file that cannot be opened is
// covered beside the code, since the request layer opens it first.
TEST(PostingDecision, EveryRowOfTheDecisionSummary) {
    const Row rows[] = {
        {"no recipient is a hosted list",
         "a@x.net",
         {"friend@example.net", "other@example.com"},
         "a@x.net",
         {"* [1] Not sent to a local list", accepted, "1 OK"}},
        {"an unsubscribe suffix that leads to no list",
         "a@x.net",
         {"nobody-off@example.com"},
         "a@x.net",
         {"* [1] Unsubscribe request sent to nobody-off@example.com",
          "*  (listname: nobody@example.com)", "* [1] Not sent to a local list", accepted, "1 OK"}},
        {"envelope sender is the list owner",
         "boss@example.com",
         {"announce@example.com"},
         "stranger@x.net",
         {"* [1] Sent by list owner to list announce@example.com", accepted, "1 OK"}},
        {"unsubscribe request, From subscribed",
         "jane@example.com",
         {"members-unsubscribe@example.com"},
         "Jane <JANE@example.com>",
         {"* [1] Unsubscribe request sent to members-unsubscribe@example.com",
          "*  (listname: members@example.com)", accepted, "1 OK"}},
        {"unsubscribe request, From not subscribed",
         "a@x.net",
         {"members-unsubscribe@example.com"},
         "a@x.net",
         {"* [1] Unsubscribe request sent to members-unsubscribe@example.com",
          "*  (listname: members@example.com)",
          "* [1] Spurious unsubscribe from list members@example.com",
          "* [1] Sender a@x.net, From a@x.net", rejected, spurious}},
        {"owner-only list",
         "jane@example.com",
         {"announce@example.com"},
         "jane@example.com",
         {"* [1] Posting is not allowed on list announce@example.com",
          "* [1] Sender jane@example.com, From jane@example.com", rejected, not_allowed}},
        {"anybody list",
         "a@x.net",
         {"chat@example.com"},
         "a@x.net",
         {"* [1] Anyone can post on list chat@example.com", accepted, "1 OK"}},
        {"moderated guests count as anybody",
         "a@x.net",
         {"guests@example.com"},
         "a@x.net",
         {"* [1] Anyone can post on list guests@example.com", accepted, "1 OK"}},
        {"subscribers list, From not subscribed",
         "a@x.net",
         {"members@example.com"},
         "a@x.net",
         {"* [1] From header doesn't match any address subscribed to list members@example.com",
          "* [1] Sender a@x.net, From a@x.net", rejected, not_subscribed}},
        {"subscribers list, From without posting rights",
         "mute@example.com",
         {"members@example.com"},
         "Mute <mute@example.com>",
         {"* [1] From header matches an address subscribed but not authorized to post to list "
          "members@example.com",
          "* [1] Sender mute@example.com, From mute@example.com", rejected, not_allowed}},
        {"subscribers list, From with posting rights",
         "x@x.net",
         {"members@example.com"},
         "\"Jane\" <jane@EXAMPLE.COM>",
         {"* [1] From header matches an address allowed to post to list members@example.com",
          accepted, "1 OK"}},
        {"all hosted-list recipients passed",
         "jane@example.com",
         {"chat@example.com", "members@example.com"},
         "jane@example.com",
         {"* [1] Anyone can post on list chat@example.com",
          "* [1] From header matches an address allowed to post to list members@example.com",
          accepted, "1 OK"}},
    };
    for (const Row& row : rows) {
        check(row);
    }
}

TEST(PostingDecision, UnsubscribeAndDirectPaths) {
    const Row rows[] = {
        {"-off is an unsubscribe suffix",
         "a@x.net",
         {"members-off@example.com"},
         "a@x.net",
         {"* [1] Unsubscribe request sent to members-off@example.com",
          "*  (listname: members@example.com)",
          "* [1] Spurious unsubscribe from list members@example.com",
          "* [1] Sender a@x.net, From a@x.net", rejected, spurious}},
        {"only -unsubscribe is removed when both stand",
         "a@x.net",
         {"members-off-unsubscribe@example.com"},
         "a@x.net",
         {"* [1] Unsubscribe request sent to members-off-unsubscribe@example.com",
          "*  (listname: members-off@example.com)", "* [1] Not sent to a local list", accepted,
          "1 OK"}},
        {"a list as written wins over an unsubscribe address",
         "a@x.net",
         {"chat-unsubscribe@example.com", "chat@example.com"},
         "a@x.net",
         {"* [1] Anyone can post on list chat@example.com", accepted, "1 OK"}},
        {"the first unsubscribe address that names a list ends the search",
         "a@x.net",
         {"chat-unsubscribe@example.com", "members-unsubscribe@example.com"},
         "a@x.net",
         {"* [1] Unsubscribe request sent to chat-unsubscribe@example.com",
          "*  (listname: chat@example.com)",
          "* [1] Spurious unsubscribe from list chat@example.com",
          "* [1] Sender a@x.net, From a@x.net", rejected, spurious}},
        {"later recipients get their own listname record",
         "a@x.net",
         {"gone-off@example.com", "friend@x.net", "members-unsubscribe@example.com"},
         "jane@example.com",
         {"* [1] Unsubscribe request sent to gone-off@example.com",
          "*  (listname: gone@example.com)", "*  (listname: friend@x.net)",
          "* [1] Unsubscribe request sent to members-unsubscribe@example.com",
          "*  (listname: members@example.com)", accepted, "1 OK"}},
        {"the unsubscribe ignores the policy of an owner-only list",
         "a@x.net",
         {"announce-unsubscribe@example.com"},
         "jane@example.com",
         {"* [1] Unsubscribe request sent to announce-unsubscribe@example.com",
          "*  (listname: announce@example.com)", accepted, "1 OK"}},
        {"a subscriber without posting rights may unsubscribe",
         "a@x.net",
         {"members-unsubscribe@example.com"},
         "mute@example.com",
         {"* [1] Unsubscribe request sent to members-unsubscribe@example.com",
          "*  (listname: members@example.com)", accepted, "1 OK"}},
        {"the first refusal ends the walk",
         "a@x.net",
         {"chat@example.com", "members@example.com", "announce@example.com"},
         "a@x.net",
         {"* [1] Anyone can post on list chat@example.com",
          "* [1] From header doesn't match any address subscribed to list members@example.com",
          "* [1] Sender a@x.net, From a@x.net", rejected, not_subscribed}},
        {"a list addressed twice is examined twice",
         "a@x.net",
         {"chat@example.com", "CHAT@example.com"},
         "a@x.net",
         {"* [1] Anyone can post on list chat@example.com",
          "* [1] Anyone can post on list chat@example.com", accepted, "1 OK"}},
    };
    for (const Row& row : rows) {
        check(row);
    }
}

TEST(PostingDecision, OwnersSubscribersAndDomains) {
    const Row rows[] = {
        {"the owner test ignores letter case",
         "BOSS@example.COM",
         {"announce@example.com"},
         "a@x.net",
         {"* [1] Sent by list owner to list announce@example.com", accepted, "1 OK"}},
        {"the owner in From but not in the envelope is no owner",
         "a@x.net",
         {"announce@example.com"},
         "boss@example.com",
         {"* [1] Posting is not allowed on list announce@example.com",
          "* [1] Sender a@x.net, From boss@example.com", rejected, not_allowed}},
        {"the owner passes a subscribers list without being subscribed",
         "boss@example.com",
         {"members@example.com"},
         "someone@x.net",
         {"* [1] Sent by list owner to list members@example.com", accepted, "1 OK"}},
        {"a sender without a domain gets the main domain",
         "boss",
         {"announce@example.com"},
         "a@x.net",
         {"* [1] Sent by list owner to list announce@example.com", accepted, "1 OK"}},
        {"a list of a further domain keeps the case of its name",
         "chief@example.org",
         {"team@EXAMPLE.org"},
         "a@x.net",
         {"* [1] Sent by list owner to list team@example.org", accepted, "1 OK"}},
        {"the owner of one domain is no owner in another",
         "boss@example.org",
         {"announce@example.com"},
         "a@x.net",
         {"* [1] Posting is not allowed on list announce@example.com",
          "* [1] Sender boss@example.org, From a@x.net", rejected, not_allowed}},
        {"a list without settings takes subscribers",
         "a@x.net",
         {"plain@example.com"},
         "jane@example.com",
         {"* [1] From header matches an address allowed to post to list plain@example.com",
          accepted, "1 OK"}},
        {"a message without a From field matches no subscriber",
         "jane@example.com",
         {"members@example.com"},
         "",
         {"* [1] From header doesn't match any address subscribed to list members@example.com",
          "* [1] Sender jane@example.com, From (none)", rejected, not_subscribed}},
        // The comment once stayed in the address, and the subscriber was refused.
        {"a comment beside the From address is no part of it",
         "a@x.net",
         {"members@example.com"},
         "jane@example.com (Jane)",
         {"* [1] From header matches an address allowed to post to list members@example.com",
          accepted, "1 OK"}},
    };
    for (const Row& row : rows) {
        check(row);
    }
}

TEST(PostingDecision, MessagesWithoutAnEnvelopeGoToNoList) {
    const Lines expected = {"* [1] Not sent to a local list", accepted, "1 OK"};
    EXPECT_EQ(decide("From: jane@example.com\nTo: announce@example.com\n\nHello\n"), expected);
    EXPECT_EQ(decide(""), expected);
    EXPECT_EQ(decide("P<a@x.net>\nR W x <announce@example.com>\n\n"), expected);
}

// A list whose "Owner" is missing or empty once had the owner address "@" and its
// domain, which the null sender "<>" matches in the main domain: anyone could
// pass an owner-only list that way. Such a list now has no owner.
TEST(PostingDecision, AListWithoutAnOwnerHasNoOwner) {
    const Row rows[] = {
        {"no Owner key",
         "",
         {"ownerless@example.org"},
         "a@x.net",
         {"* [1] Posting is not allowed on list ownerless@example.org",
          "* [1] Sender @example.com, From a@x.net", rejected, not_allowed}},
        {"an empty Owner",
         "",
         {"blank@example.org"},
         "a@x.net",
         {"* [1] Posting is not allowed on list blank@example.org",
          "* [1] Sender @example.com, From a@x.net", rejected, not_allowed}},
        {"the null sender in the main domain",
         "",
         {"staff@example.com"},
         "a@x.net",
         {"* [1] Posting is not allowed on list staff@example.com",
          "* [1] Sender @example.com, From a@x.net", rejected, not_allowed}},
        {"an explicit sender equal to the old owner address",
         "@example.org",
         {"ownerless@example.org"},
         "a@x.net",
         {"* [1] Posting is not allowed on list ownerless@example.org",
          "* [1] Sender @example.org, From a@x.net", rejected, not_allowed}},
    };
    for (const Row& row : rows) {
        check(row);
    }
}

// Bytes 215, 247 and 255 once folded to 208, 240 and 223: folding was not
// idempotent, so an owner holding byte 159 (folded to 255, then to 223) never
// matched, and an address with byte 215 reached the list named with byte 208.
TEST(PostingDecision, FoldingLeavesTheMultiplicationSignAlone) {
    const Row rows[] = {
        {"owner with byte 159",
         "\x9f"
         "boss@example.org",
         {"odd@example.org"},
         "a@x.net",
         {"* [1] Sent by list owner to list odd@example.org", accepted, "1 OK"}},
        {"recipient with byte 215",
         "a@x.net",
         {"news\xd7@example.com"},
         "a@x.net",
         {"* [1] Not sent to a local list", accepted, "1 OK"}},
    };
    for (const Row& row : rows) {
        check(row);
    }
}

}  // namespace
