// The posting decision as a value, in process: situations in, verdict, deciding list
// and records out, against a list table built here (no files, no output).
#include "posting_decision.h"

#include <gtest/gtest.h>

#include <sstream>
#include <utility>

#include "quorvel.h"

namespace {

using Lines = std::vector<std::string>;

const std::string not_allowed = "You are not allowed to post messages on this list";
const std::string not_subscribed =
    "You cannot post messages because you are not subscribed to this list";
const std::string spurious = "Unsubscribe failed: you have not been subscribed";

ListRecord make_list(PostingPolicy policy, const std::string& owner,
                     std::vector<std::pair<std::string, bool>> subscribers = {}) {
    ListRecord list;
    list.policy = policy;
    list.owner = owner;
    for (const auto& [address, may_post] : subscribers) {
        list.subscribers.add(address, may_post);
    }
    list.subscribers.finish();
    return list;
}

ListRecord unreadable(ListRecord list, bool settings, bool subscribers) {
    list.settings_reading.readable = !settings;
    list.subscribers_reading.readable = !subscribers;
    return list;
}

const std::unordered_map<std::string, ListRecord>& table() {
    static const std::unordered_map<std::string, ListRecord> lists = [] {
        const std::vector<std::pair<std::string, bool>> members = {{"jane@example.com", true},
                                                                   {"mute@example.com", false}};
        std::unordered_map<std::string, ListRecord> made;
        made["announce@example.com"] = make_list(OwnerOnly, "Boss@example.com", members);
        made["ownerless@example.com"] = make_list(OwnerOnly, "");
        made["open@example.com"] = make_list(Anybody, "boss@example.com", members);
        made["members@example.com"] = make_list(Subscribers, "boss@example.com", members);
        made["broken@example.com"] =
            unreadable(make_list(Subscribers, "boss@example.com"), true, false);
        made["deaf@example.com"] =
            unreadable(make_list(Subscribers, "boss@example.com"), false, true);
        made["deafopen@example.com"] =
            unreadable(make_list(Anybody, "boss@example.com"), false, true);
        return made;
    }();
    return lists;
}

// A record as the filter writes it, without the leading "* ": "[n] text" when it
// carries the request number.
Lines shown(const std::vector<DecisionRecord>& records) {
    Lines lines;
    for (const DecisionRecord& record : records) {
        lines.push_back((record.numbered ? "[n] " : "") + record.text);
    }
    return lines;
}

TEST(PostingDecision, SituationsGiveVerdictListAndRecords) {
    const struct {
        const char* situation;
        std::string sender;
        Lines recipients;     // as the envelope reader gives them: folded
        std::string from;     // as the From reader gives it: not folded
        std::string refusal;  // empty: accepted
        std::string list;
        Lines records;
    } rows[] = {
        {"no envelope, no recipient", "", {}, "", "", "", {"[n] Not sent to a local list"}},
        {"no recipient is a hosted list",
         "a@x.net",
         {"friend@example.net"},
         "a@x.net",
         "",
         "",
         {"[n] Not sent to a local list"}},
        {"envelope sender is the owner, in other letter case",
         "boss@example.com",
         {"announce@example.com"},
         "stranger@x.net",
         "",
         "announce@example.com",
         {"[n] Sent by list owner to list announce@example.com"}},
        {"From names the owner, the envelope sender does not",
         "jane@example.com",
         {"announce@example.com"},
         "boss@example.com",
         not_allowed,
         "announce@example.com",
         {"[n] Posting is not allowed on list announce@example.com",
          "[n] Sender jane@example.com, From boss@example.com"}},
        {"owner-only list without an owner, empty sender",
         "",
         {"ownerless@example.com"},
         "",
         not_allowed,
         "ownerless@example.com",
         {"[n] Posting is not allowed on list ownerless@example.com",
          "[n] Sender (none), From (none)"}},
        {"subscribed with posting rights, From in capitals",
         "x@x.net",
         {"members@example.com"},
         "JANE@Example.COM",
         "",
         "members@example.com",
         {"[n] From header matches an address allowed to post to list members@example.com"}},
        {"subscribed without posting rights",
         "x@x.net",
         {"members@example.com"},
         "mute@example.com",
         not_allowed,
         "members@example.com",
         {"[n] From header matches an address subscribed but not authorized to post to list "
          "members@example.com",
          "[n] Sender x@x.net, From mute@example.com"}},
        {"no From address on a subscribers list",
         "jane@example.com",
         {"members@example.com"},
         "",
         not_subscribed,
         "members@example.com",
         {"[n] From header doesn't match any address subscribed to list members@example.com",
          "[n] Sender jane@example.com, From (none)"}},
        {"the refused From as read: not folded, control bytes escaped",
         "x@x.net",
         {"members@example.com"},
         "Eve\x1b[2J@X.net",
         not_subscribed,
         "members@example.com",
         {"[n] From header doesn't match any address subscribed to list members@example.com",
          "[n] Sender x@x.net, From Eve\\x1b[2J@X.net"}},
        {"the first refusal ends the walk and names its list",
         "a@x.net",
         {"friend@example.net", "open@example.com", "members@example.com", "announce@example.com"},
         "a@x.net",
         not_subscribed,
         "members@example.com",
         {"[n] Anyone can post on list open@example.com",
          "[n] From header doesn't match any address subscribed to list members@example.com",
          "[n] Sender a@x.net, From a@x.net"}},
        {"unsubscribe from a subscriber: no record for the list",
         "a@x.net",
         {"members-unsubscribe@example.com"},
         "jane@example.com",
         "",
         "members@example.com",
         {"[n] Unsubscribe request sent to members-unsubscribe@example.com",
          " (listname: members@example.com)"}},
        {"unsubscribe from a stranger, on an open list: the policy is not consulted",
         "a@x.net",
         {"x-off@example.com", "friend@example.net", "open-unsubscribe@example.com"},
         "a@x.net",
         spurious,
         "open@example.com",
         {"[n] Unsubscribe request sent to x-off@example.com", " (listname: x@example.com)",
          " (listname: friend@example.net)",
          "[n] Unsubscribe request sent to open-unsubscribe@example.com",
          " (listname: open@example.com)", "[n] Spurious unsubscribe from list open@example.com",
          "[n] Sender a@x.net, From a@x.net"}},
        {"the direct path wins over an unsubscribe address",
         "a@x.net",
         {"members-unsubscribe@example.com", "open@example.com"},
         "a@x.net",
         "",
         "open@example.com",
         {"[n] Anyone can post on list open@example.com"}},
        {"both suffixes: only -unsubscribe goes",
         "a@x.net",
         {"members-off-unsubscribe@example.com"},
         "a@x.net",
         "",
         "",
         {"[n] Unsubscribe request sent to members-off-unsubscribe@example.com",
          " (listname: members-off@example.com)", "[n] Not sent to a local list"}},
        {"settings that cannot be read: the list is not judged, the next one is",
         "a@x.net",
         {"broken@example.com", "members@example.com"},
         "a@x.net",
         not_subscribed,
         "members@example.com",
         {"[n] Not checking list broken@example.com: its settings file cannot be read",
          "[n] From header doesn't match any address subscribed to list members@example.com",
          "[n] Sender a@x.net, From a@x.net"}},
        {"subscribers that cannot be read on a subscribers list",
         "a@x.net",
         {"deaf@example.com"},
         "a@x.net",
         "",
         "deaf@example.com",
         {"[n] Not checking list deaf@example.com: its subscriber file cannot be read"}},
        {"subscribers that cannot be read do not matter to an open list",
         "a@x.net",
         {"deafopen@example.com"},
         "a@x.net",
         "",
         "deafopen@example.com",
         {"[n] Anyone can post on list deafopen@example.com"}},
        {"subscribers that cannot be read do matter to an unsubscribe request",
         "a@x.net",
         {"deafopen-off@example.com"},
         "a@x.net",
         "",
         "deafopen@example.com",
         {"[n] Unsubscribe request sent to deafopen-off@example.com",
          " (listname: deafopen@example.com)",
          "[n] Not checking list deafopen@example.com: its subscriber file cannot be read"}},
        {"control bytes from the envelope are escaped in every record",
         "a@x.net",
         {"a\x1b[2J-unsubscribe@example.com"},
         "a@x.net",
         "",
         "",
         {"[n] Unsubscribe request sent to a\\x1b[2J-unsubscribe@example.com",
          " (listname: a\\x1b[2J@example.com)", "[n] Not sent to a local list"}},
    };
    for (const auto& row : rows) {
        MessageEnvelope envelope{row.sender, row.recipients};
        int reads = 0;
        PostingDecision lazy = decide_posting(
            envelope,
            [&] {
                ++reads;
                return row.from;
            },
            table());
        EXPECT_LE(reads, 1) << row.situation;
        EXPECT_EQ(shown(lazy.records), row.records) << row.situation;
        EXPECT_EQ(lazy.refusal, row.refusal) << row.situation;
        PostingDecision decision = decide_posting(envelope, row.from, table());
        EXPECT_EQ(decision.refused, !row.refusal.empty()) << row.situation;
        EXPECT_EQ(decision.refusal, row.refusal) << row.situation;
        EXPECT_EQ(decision.list, row.list) << row.situation;
        EXPECT_EQ(shown(decision.records), row.records) << row.situation;
        cgp::FilterResult result = filter_result(decision);
        EXPECT_EQ(result.verdict, row.refusal.empty() ? cgp::Accept : cgp::Reject) << row.situation;
        EXPECT_EQ(result.lines, row.refusal.empty() ? Lines{} : Lines{row.refusal})
            << row.situation;
    }
}

// The lists a tool shows for a message: those the decision judged, unsubscribe
// suffixes removed, as often as they are addressed, even after a refusal.
TEST(PostingDecision, TheHostedListsAmongTheRecipientsAsJudged) {
    const struct {
        Lines recipients;
        Lines lists;
    } rows[] = {
        {{"friend@example.net"}, {}},
        {{"members@example.com", "friend@example.net", "open@example.com", "members@example.com"},
         {"members@example.com", "open@example.com", "members@example.com"}},
        {{"friend@example.net", "open-off@example.com", "members-off@example.com"},
         {"open@example.com"}},
    };
    for (const auto& row : rows) {
        MessageEnvelope envelope{"a@x.net", row.recipients};
        EXPECT_EQ(decide_posting(envelope, "a@x.net", table()).lists, row.lists);
    }
}

// Mail to no list, and a list's owner, cost no reading of the From field: only a
// subscriber test or a refusal (whose record names it) reads it, once per message.
TEST(PostingDecision, TheFromFieldIsReadOnlyForASubscriberTestOrARefusal) {
    const struct {
        std::string sender;
        Lines recipients;
        int reads;
    } rows[] = {
        {"a@x.net", {"friend@example.net"}, 0},
        {"a@x.net", {}, 0},
        {"boss@example.com", {"members@example.com"}, 0},
        {"a@x.net", {"open@example.com"}, 0},
        {"a@x.net", {"announce@example.com"}, 1},
        {"a@x.net", {"broken@example.com"}, 0},
        {"a@x.net", {"members@example.com"}, 1},
        {"a@x.net", {"open@example.com", "members@example.com", "members@example.com"}, 1},
        {"a@x.net", {"open-off@example.com"}, 1},
    };
    for (const auto& row : rows) {
        int reads = 0;
        decide_posting(
            MessageEnvelope{row.sender, row.recipients},
            [&reads] {
                ++reads;
                return std::string("jane@example.com");
            },
            table());
        EXPECT_EQ(reads, row.reads) << testing::PrintToString(row.recipients);
    }
}

// The filter's reading of a message file decides as the reading that shows every
// field does.
TEST(PostingDecision, AMessageStreamIsDecidedAsItsFieldsAre) {
    const std::string messages[] = {
        "P I 0 <a@x.net>\nR W 0 <members@example.com>\n\nFrom: Jane <JANE@example.com>\n\nbody",
        "P I 0 <a@x.net>\nR W 0 <members@example.com>\n\nFrom: a@x.net\n",
        "P I 0 <a@x.net>\r\nR W 0 <members-off@example.com>\r\n\r\nFrom: mute@example.com\r\n",
        "P I 0 <a@x.net>\nR W 0 <friend@example.net>\n\nFrom: a@x.net\n",
        "From: jane@example.com\n\nno envelope",
    };
    for (const std::string& text : messages) {
        std::istringstream fields(text);
        QueuedMessage read = read_queued_message(fields);
        PostingDecision expected = decide_posting(read.envelope, read.from, table());
        std::istringstream stream(text);
        PostingDecision decided = decide_on_message(stream, table());
        EXPECT_EQ(decided.refusal, expected.refusal) << text;
        EXPECT_EQ(shown(decided.records), shown(expected.records)) << text;
        EXPECT_EQ(decided.lists, expected.lists) << text;
    }
}

}  // namespace
