// The posting decision as the mail server sees it: one queued message per run of
// the real filter in a server tree with lists of every policy, and the decision
// records and the reply that come back; and what --warn-only makes of a refusal.
#include <gtest/gtest.h>

#include "checked_run.h"
#include "expected_texts.h"
#include "server_tree.h"

namespace {

using Lines = std::vector<std::string>;

const std::string accepted = record(accepting);
const std::string rejected = record(rejecting);
const std::string ok = reply("OK");
const std::string refused = reply(not_allowed);
const std::string unknown = reply(not_subscribed);
const std::string spurious = reply(unsubscribe_failed);

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
// its number written "n", without the records of the first reading of the lists (and
// its settings warnings).
Lines decide(const std::string& message) {
    ServerTree tree(server_files());
    tree.write("Queue/1.msg", message);
    ProcessResult result = run_filter_checked(tree.path(), "1 FILE Queue/1.msg\n");
    Lines lines;
    bool started = false;
    for (const std::string& line : numbered_as_n(result.lines, "1")) {
        if (line == ready_line) {
            started = true;
        } else if (started && line.rfind(record("Reading list "), 0) != 0 &&
                   line.rfind(record("List "), 0) != 0) {
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
         {record(not_a_list), accepted, ok}},
        {"an unsubscribe suffix that leads to no list",
         "a@x.net",
         {"nobody-off@example.com"},
         "a@x.net",
         {record(unsubscribe_request("nobody-off@example.com")),
          listname_line("nobody@example.com"), record(not_a_list), accepted, ok}},
        {"envelope sender is the list owner",
         "boss@example.com",
         {"announce@example.com"},
         "stranger@x.net",
         {record(sent_by_owner("announce@example.com")), accepted, ok}},
        {"unsubscribe request, From subscribed",
         "jane@example.com",
         {"members-unsubscribe@example.com"},
         "Jane <JANE@example.com>",
         {record(unsubscribe_request("members-unsubscribe@example.com")),
          listname_line("members@example.com"), accepted, ok}},
        {"unsubscribe request, From not subscribed",
         "a@x.net",
         {"members-unsubscribe@example.com"},
         "a@x.net",
         {record(unsubscribe_request("members-unsubscribe@example.com")),
          listname_line("members@example.com"), record(spurious_unsubscribe("members@example.com")),
          record(refused_sender("a@x.net", "a@x.net")), rejected, spurious}},
        {"owner-only list",
         "jane@example.com",
         {"announce@example.com"},
         "jane@example.com",
         {record(posting_not_allowed("announce@example.com")),
          record(refused_sender("jane@example.com", "jane@example.com")), rejected, refused}},
        {"anybody list",
         "a@x.net",
         {"chat@example.com"},
         "a@x.net",
         {record(anyone_can_post("chat@example.com")), accepted, ok}},
        {"moderated guests count as anybody",
         "a@x.net",
         {"guests@example.com"},
         "a@x.net",
         {record(anyone_can_post("guests@example.com")), accepted, ok}},
        {"subscribers list, From not subscribed",
         "a@x.net",
         {"members@example.com"},
         "a@x.net",
         {record(from_stranger("members@example.com")),
          record(refused_sender("a@x.net", "a@x.net")), rejected, unknown}},
        {"subscribers list, From without posting rights",
         "mute@example.com",
         {"members@example.com"},
         "Mute <mute@example.com>",
         {record(from_muted("members@example.com")),
          record(refused_sender("mute@example.com", "mute@example.com")), rejected, refused}},
        {"subscribers list, From with posting rights",
         "x@x.net",
         {"members@example.com"},
         "\"Jane\" <jane@EXAMPLE.COM>",
         {record(from_allowed("members@example.com")), accepted, ok}},
        {"all hosted-list recipients passed",
         "jane@example.com",
         {"chat@example.com", "members@example.com"},
         "jane@example.com",
         {record(anyone_can_post("chat@example.com")), record(from_allowed("members@example.com")),
          accepted, ok}},
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
         {record(unsubscribe_request("members-off@example.com")),
          listname_line("members@example.com"), record(spurious_unsubscribe("members@example.com")),
          record(refused_sender("a@x.net", "a@x.net")), rejected, spurious}},
        {"only -unsubscribe is removed when both stand",
         "a@x.net",
         {"members-off-unsubscribe@example.com"},
         "a@x.net",
         {record(unsubscribe_request("members-off-unsubscribe@example.com")),
          listname_line("members-off@example.com"), record(not_a_list), accepted, ok}},
        {"a list as written wins over an unsubscribe address",
         "a@x.net",
         {"chat-unsubscribe@example.com", "chat@example.com"},
         "a@x.net",
         {record(anyone_can_post("chat@example.com")), accepted, ok}},
        {"the first unsubscribe address that names a list ends the search",
         "a@x.net",
         {"chat-unsubscribe@example.com", "members-unsubscribe@example.com"},
         "a@x.net",
         {record(unsubscribe_request("chat-unsubscribe@example.com")),
          listname_line("chat@example.com"), record(spurious_unsubscribe("chat@example.com")),
          record(refused_sender("a@x.net", "a@x.net")), rejected, spurious}},
        {"later recipients get their own listname record",
         "a@x.net",
         {"gone-off@example.com", "friend@x.net", "members-unsubscribe@example.com"},
         "jane@example.com",
         {record(unsubscribe_request("gone-off@example.com")), listname_line("gone@example.com"),
          listname_line("friend@x.net"),
          record(unsubscribe_request("members-unsubscribe@example.com")),
          listname_line("members@example.com"), accepted, ok}},
        {"the unsubscribe ignores the policy of an owner-only list",
         "a@x.net",
         {"announce-unsubscribe@example.com"},
         "jane@example.com",
         {record(unsubscribe_request("announce-unsubscribe@example.com")),
          listname_line("announce@example.com"), accepted, ok}},
        {"a subscriber without posting rights may unsubscribe",
         "a@x.net",
         {"members-unsubscribe@example.com"},
         "mute@example.com",
         {record(unsubscribe_request("members-unsubscribe@example.com")),
          listname_line("members@example.com"), accepted, ok}},
        {"the first refusal ends the walk",
         "a@x.net",
         {"chat@example.com", "members@example.com", "announce@example.com"},
         "a@x.net",
         {record(anyone_can_post("chat@example.com")), record(from_stranger("members@example.com")),
          record(refused_sender("a@x.net", "a@x.net")), rejected, unknown}},
        {"a list addressed twice is examined twice",
         "a@x.net",
         {"chat@example.com", "CHAT@example.com"},
         "a@x.net",
         {record(anyone_can_post("chat@example.com")), record(anyone_can_post("chat@example.com")),
          accepted, ok}},
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
         {record(sent_by_owner("announce@example.com")), accepted, ok}},
        {"the owner in From but not in the envelope is no owner",
         "a@x.net",
         {"announce@example.com"},
         "boss@example.com",
         {record(posting_not_allowed("announce@example.com")),
          record(refused_sender("a@x.net", "boss@example.com")), rejected, refused}},
        {"the owner passes a subscribers list without being subscribed",
         "boss@example.com",
         {"members@example.com"},
         "someone@x.net",
         {record(sent_by_owner("members@example.com")), accepted, ok}},
        {"a sender without a domain gets the main domain",
         "boss",
         {"announce@example.com"},
         "a@x.net",
         {record(sent_by_owner("announce@example.com")), accepted, ok}},
        {"a list of a further domain keeps the case of its name",
         "chief@example.org",
         {"team@EXAMPLE.org"},
         "a@x.net",
         {record(sent_by_owner("team@example.org")), accepted, ok}},
        {"the owner of one domain is no owner in another",
         "boss@example.org",
         {"announce@example.com"},
         "a@x.net",
         {record(posting_not_allowed("announce@example.com")),
          record(refused_sender("boss@example.org", "a@x.net")), rejected, refused}},
        {"a list without settings takes subscribers",
         "a@x.net",
         {"plain@example.com"},
         "jane@example.com",
         {record(from_allowed("plain@example.com")), accepted, ok}},
        {"a message without a From field matches no subscriber",
         "jane@example.com",
         {"members@example.com"},
         "",
         {record(from_stranger("members@example.com")),
          record(refused_sender("jane@example.com", "(none)")), rejected, unknown}},
        // The comment once stayed in the address, and the subscriber was refused.
        {"a comment beside the From address is no part of it",
         "a@x.net",
         {"members@example.com"},
         "jane@example.com (Jane)",
         {record(from_allowed("members@example.com")), accepted, ok}},
    };
    for (const Row& row : rows) {
        check(row);
    }
}

TEST(PostingDecision, MessagesWithoutAnEnvelopeGoToNoList) {
    const Lines expected = {record(not_a_list), accepted, ok};
    EXPECT_EQ(decide("From: jane@example.com\nTo: announce@example.com\n\nHello\n"), expected);
    EXPECT_EQ(decide(""), expected);
    EXPECT_EQ(decide("P<a@x.net>\nR W x <announce@example.com>\n\n"), expected);
}

// A list whose "Owner" is missing or empty once had the owner address "@" and its
// domain, which the null sender "<>" matches in the main domain: anyone could
// pass an owner-only list that way. Such a list now has no owner. The null sender
// is shown as "<>", never as an address made up of "@" and the main domain.
TEST(PostingDecision, AListWithoutAnOwnerHasNoOwner) {
    const Row rows[] = {
        {"no Owner key",
         "",
         {"ownerless@example.org"},
         "a@x.net",
         {record(posting_not_allowed("ownerless@example.org")),
          record(refused_sender("<>", "a@x.net")), rejected, refused}},
        {"an empty Owner",
         "",
         {"blank@example.org"},
         "a@x.net",
         {record(posting_not_allowed("blank@example.org")),
          record(refused_sender("<>", "a@x.net")), rejected, refused}},
        {"the null sender in the main domain",
         "",
         {"staff@example.com"},
         "a@x.net",
         {record(posting_not_allowed("staff@example.com")),
          record(refused_sender("<>", "a@x.net")), rejected, refused}},
        {"an explicit sender equal to the old owner address",
         "@example.org",
         {"ownerless@example.org"},
         "a@x.net",
         {record(posting_not_allowed("ownerless@example.org")),
          record(refused_sender("@example.org", "a@x.net")), rejected, refused}},
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
         {record(sent_by_owner("odd@example.org")), accepted, ok}},
        {"recipient with byte 215",
         "a@x.net",
         {"news\xd7@example.com"},
         "a@x.net",
         {record(not_a_list), accepted, ok}},
    };
    for (const Row& row : rows) {
        check(row);
    }
}

// With --warn-only the filter refuses nothing and logs what it would have refused.
TEST(PostingDecision, WarnOnlyLogsWhatItWouldRefuseAndAcceptsEverything) {
    ServerTree tree(team_server());
    RunOptions options;
    options.arguments = {"--warn-only"};
    FilterSession session(tree.path(), options);
    session.start_lines();
    request_checked(session, "1 INTF 3");
    EXPECT_EQ(numbered_as_n(request_checked(session, "2 FILE Queue/stranger.msg"), "2"),
              (Lines{record(reading_settings("team@example.com")),
                     record(reading_subscribers("team@example.com")),
                     record(from_stranger("team@example.com")),
                     record(refused_sender("eve@example.net", "eve@example.net")),
                     record(would_reject(not_subscribed_reason)), ok}));
    EXPECT_EQ(numbered_as_n(request_checked(session, "3 FILE Queue/ok.msg"), "3"),
              (Lines{record(from_allowed("team@example.com")), accepted, ok}));
    EXPECT_EQ(session.finish(), 0);
}

}  // namespace
