// Lists whose files the filter cannot read, through the real process: such a list is
// not judged (a refusal built on what could not be read would bounce a subscriber's
// post), the decision says so, and a repaired file is seen at the next message.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "expected_texts.h"
#include "live_filter.h"

namespace {

using Lines = std::vector<std::string>;

const std::string lists = "Accounts/LISTS/";
const std::string accepted = record(accepting);
const std::string rejected = record(rejecting);
// Who was refused, in the record before: the rows below post as this.
const std::string refused_by = record(refused_sender("a@x.net", "stranger@x.net"));

// Jane subscribes to every list; the files that cannot be read are named for what
// is wrong with them.
TEST(UnreadableList, AListWithAFileThatCannotBeReadIsNotJudged) {
    const std::string jane = subscriber_line("jane@example.com");
    ServerTree tree(
        {{"Settings/Main.settings", main_settings("example.com")},
         {lists + "parse.settings", "{ Owner = boss; Postings = "},
         {lists + "parse.list", jane},
         {lists + "empty.settings", ""},
         {lists + "empty.list", jane},
         {lists + "pipe.list", jane},
         {lists + "members.settings", "{ Owner = boss; }"},
         {lists + "announce.settings", "{ Owner = boss; Postings = \"from owner only\"; }"},
         {lists + "chat.settings", "{ Postings = \"from anybody\"; }"}});
    tree.make_fifo(lists + "pipe.settings");
    for (const char* list : {"members", "announce", "chat"}) {
        tree.make_fifo(lists + list + ".list");
    }
    LiveFilter filter(tree);
    filter.post("a@x.net", {"nobody@x.net"}, "stranger@x.net");

    const struct {
        const char* situation;
        std::string sender;
        std::vector<std::string> recipients;
        Lines lines;
    } cases[] = {
        {"settings that do not parse",
         "a@x.net",
         {"parse@example.com"},
         {record(settings_unread("parse@example.com")), accepted}},
        {"an empty settings file",
         "a@x.net",
         {"empty@example.com"},
         {record(settings_unread("empty@example.com")), accepted}},
        {"a FIFO settings file",
         "a@x.net",
         {"pipe@example.com"},
         {record(settings_unread("pipe@example.com")), accepted}},
        {"no owner test without settings",
         "boss@example.com",
         {"parse@example.com"},
         {record(settings_unread("parse@example.com")), accepted}},
        {"a FIFO subscriber file on a subscribers list",
         "a@x.net",
         {"members@example.com"},
         {record(subscribers_unread("members@example.com")), accepted}},
        {"the owner passes before the subscribers are needed",
         "boss@example.com",
         {"members@example.com"},
         {record(sent_by_owner("members@example.com")), accepted}},
        {"an owner-only list needs no subscribers",
         "a@x.net",
         {"announce@example.com"},
         {record(posting_not_allowed("announce@example.com")), refused_by, rejected}},
        {"an open list needs no subscribers",
         "a@x.net",
         {"chat@example.com"},
         {record(anyone_can_post("chat@example.com")), accepted}},
        {"an unsubscribe request needs them",
         "a@x.net",
         {"chat-unsubscribe@example.com"},
         {record(unsubscribe_request("chat-unsubscribe@example.com")),
          listname_line("chat@example.com"), record(subscribers_unread("chat@example.com")),
          accepted}},
        {"the next recipient is judged",
         "a@x.net",
         {"parse@example.com", "announce@example.com"},
         {record(settings_unread("parse@example.com")),
          record(posting_not_allowed("announce@example.com")), refused_by, rejected}},
    };
    for (const auto& row : cases) {
        Lines lines = filter.post(row.sender, row.recipients, "stranger@x.net");
        ASSERT_FALSE(lines.empty()) << row.situation;
        lines.pop_back();  // the reply, which follows the verdict's record
        EXPECT_EQ(lines, row.lines) << row.situation;
    }
}

// Run as a user who may read the whole tree except the one subscriber file: the list
// is not judged until the file is made readable, and the repair is seen at the next
// message (in the watched refresh through the attribute event, in the walk through
// the file's new change time).
TEST(UnreadableList, ASubscriberFileRepairedByChmodIsReadAtTheNextMessage) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to switch to an unprivileged user";
    }
    ServerTree tree(news_server());
    chmod(tree.path().c_str(), 0755);
    tree.make_directory("Queue");
    const std::string members = tree.full(lists + "news.list");
    chmod(members.c_str(), 0);
    RunOptions options;
    options.prefix = as_nobody;
    LiveFilter filter(tree, options);

    Lines lines = filter.post("a@x.net", {"news@example.com"}, "jane@example.com");
    if (lines.empty()) {
        GTEST_SKIP() << "setpriv cannot run the filter unprivileged";
    }
    EXPECT_EQ(lines,
              (Lines{record(reading_settings("news@example.com")),
                     record(reading_subscribers("news@example.com")),
                     record(subscribers_unread("news@example.com")), accepted, reply("OK")}));

    // A permission change moves only the change time, which may move at the clock's
    // tick: repeat it until the file's status shows it.
    struct stat before, after;
    stat(members.c_str(), &before);
    do {
        chmod(members.c_str(), 0600);
        chmod(members.c_str(), 0644);
        stat(members.c_str(), &after);
    } while (after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
             after.st_ctim.tv_nsec == before.st_ctim.tv_nsec);
    EXPECT_EQ(filter.post("a@x.net", {"news@example.com"}, "jane@example.com"),
              (Lines{record(reading_subscribers("news@example.com")),
                     record(from_allowed("news@example.com")), accepted, reply("OK")}));
}

// A sparse subscriber file of 100 GiB made the filter reserve room for it: it died
// of std::bad_alloc at every start, and all filtered mail stopped. It is now too
// large to be read, and the list is not judged.
TEST(UnreadableList, AHugeSparseSubscriberFileIsAnsweredAtOnce) {
    ServerTree tree(news_server());
    ASSERT_EQ(truncate(tree.full(lists + "news.list").c_str(), off_t{100} << 30), 0);
    LiveFilter filter(tree);
    EXPECT_EQ(filter.post("a@x.net", {"news@example.com"}, "jane@example.com"),
              (Lines{record(reading_settings("news@example.com")),
                     record(reading_subscribers("news@example.com")),
                     record(subscribers_unread("news@example.com")), accepted, reply("OK")}));
}

}  // namespace
