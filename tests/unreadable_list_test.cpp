// Lists whose files the filter cannot read, through the real process: such a list is
// not judged (a refusal built on what could not be read would bounce a subscriber's
// post), the decision says so, and a repaired file is seen at the next message.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "checked_run.h"
#include "server_tree.h"

namespace {

using Lines = std::vector<std::string>;

const std::string lists = "Accounts/LISTS/";
const std::string accepted = "* [n] Accepting message";
const std::string rejected = "* [n] Rejecting message";
// Who was refused, in the record before: the rows below post as this.
const std::string refused_by = "* [n] Sender a@x.net, From stranger@x.net";

std::string record(const std::string& text) {
    return "* [n] " + text;
}
std::string settings_unread(const std::string& list) {
    return record("Not checking list " + list + ": its settings file cannot be read");
}
std::string members_unread(const std::string& list) {
    return record("Not checking list " + list + ": its subscriber file cannot be read");
}

// A live filter on `tree`; each message is written to the queue and sent, and its
// lines come back with the request number written "n".
class LiveFilter {
  public:
    LiveFilter(ServerTree& tree, const RunOptions& options = {}) : tree(tree) {
        session.emplace(tree.path(), options);
        session->start_lines();
    }
    Lines post(const std::string& sender, const std::vector<std::string>& recipients,
               const std::string& from = "stranger@x.net") {
        const std::string number = std::to_string(++requests);
        const std::string path = "Queue/" + number + ".msg";
        tree.write(path, queued_message(sender, recipients, "From: " + from));
        return numbered_as_n(request_checked(*session, number + " FILE " + path), number);
    }

    ServerTree& tree;
    std::optional<FilterSession> session;
    int requests = 0;
};

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
    filter.post("a@x.net", {"nobody@x.net"});

    const struct {
        const char* situation;
        std::string sender;
        std::vector<std::string> recipients;
        Lines lines;
    } cases[] = {
        {"settings that do not parse",
         "a@x.net",
         {"parse@example.com"},
         {settings_unread("parse@example.com"), accepted}},
        {"an empty settings file",
         "a@x.net",
         {"empty@example.com"},
         {settings_unread("empty@example.com"), accepted}},
        {"a FIFO settings file",
         "a@x.net",
         {"pipe@example.com"},
         {settings_unread("pipe@example.com"), accepted}},
        {"no owner test without settings",
         "boss@example.com",
         {"parse@example.com"},
         {settings_unread("parse@example.com"), accepted}},
        {"a FIFO subscriber file on a subscribers list",
         "a@x.net",
         {"members@example.com"},
         {members_unread("members@example.com"), accepted}},
        {"the owner passes before the subscribers are needed",
         "boss@example.com",
         {"members@example.com"},
         {record("Sent by list owner to list members@example.com"), accepted}},
        {"an owner-only list needs no subscribers",
         "a@x.net",
         {"announce@example.com"},
         {record("Posting is not allowed on list announce@example.com"), refused_by, rejected}},
        {"an open list needs no subscribers",
         "a@x.net",
         {"chat@example.com"},
         {record("Anyone can post on list chat@example.com"), accepted}},
        {"an unsubscribe request needs them",
         "a@x.net",
         {"chat-unsubscribe@example.com"},
         {record("Unsubscribe request sent to chat-unsubscribe@example.com"),
          "*  (listname: chat@example.com)", members_unread("chat@example.com"), accepted}},
        {"the next recipient is judged",
         "a@x.net",
         {"parse@example.com", "announce@example.com"},
         {settings_unread("parse@example.com"),
          record("Posting is not allowed on list announce@example.com"), refused_by, rejected}},
    };
    for (const auto& row : cases) {
        Lines lines = filter.post(row.sender, row.recipients);
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
    ServerTree tree({{"Settings/Main.settings", main_settings("example.com")},
                     {lists + "news.settings", "{ Postings = \"from subscribers\"; }"},
                     {lists + "news.list", subscriber_line("jane@example.com")}});
    chmod(tree.path().c_str(), 0755);
    tree.make_directory("Queue");
    const std::string members = tree.full(lists + "news.list");
    chmod(members.c_str(), 0);
    RunOptions options;
    options.prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    LiveFilter filter(tree, options);

    Lines lines = filter.post("a@x.net", {"news@example.com"}, "jane@example.com");
    if (lines.empty()) {
        GTEST_SKIP() << "setpriv cannot run the filter unprivileged";
    }
    EXPECT_EQ(lines, (Lines{record("Reading list settings: news@example.com"),
                            record("Reading list subscribers: news@example.com"),
                            members_unread("news@example.com"), accepted, "n OK"}));

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
    EXPECT_EQ(
        filter.post("a@x.net", {"news@example.com"}, "jane@example.com"),
        (Lines{record("Reading list subscribers: news@example.com"),
               record("From header matches an address allowed to post to list news@example.com"),
               accepted, "n OK"}));
}

// A sparse subscriber file of 100 GiB made the filter reserve room for it: it died
// of std::bad_alloc at every start, and all filtered mail stopped. It is now too
// large to be read, and the list is not judged.
TEST(UnreadableList, AHugeSparseSubscriberFileIsAnsweredAtOnce) {
    ServerTree tree({{"Settings/Main.settings", main_settings("example.com")},
                     {lists + "news.settings", "{ Postings = \"from subscribers\"; }"},
                     {lists + "news.list", subscriber_line("jane@example.com")}});
    ASSERT_EQ(truncate(tree.full(lists + "news.list").c_str(), off_t{100} << 30), 0);
    LiveFilter filter(tree);
    EXPECT_EQ(filter.post("a@x.net", {"news@example.com"}, "jane@example.com"),
              (Lines{record("Reading list settings: news@example.com"),
                     record("Reading list subscribers: news@example.com"),
                     members_unread("news@example.com"), accepted, "n OK"}));
}

}  // namespace
