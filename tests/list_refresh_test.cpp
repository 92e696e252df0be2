// The list table kept across requests by one live filter: lists that appear,
// change, vanish and come back, change detection by size, times at full precision
// and inode, and files that are not regular.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>

#include "expected_texts.h"
#include "live_filter.h"

namespace {

using Lines = std::vector<std::string>;

const std::string news = "Accounts/LISTS/news";
const std::string news_address = "news@example.com";
// The record before every refusal here: who was refused.
const std::string refused_by = record(jane_refused);

// Records in one directory come in the order the system lists it.
Lines sorted(Lines lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(ListRefresh, ListsAppearChangeVanishAndComeBack) {
    LiveFilter filter(jane_server());
    ServerTree& tree = filter.tree();
    const Lines no_list = {record(not_a_list), record(accepting), reply("OK")};
    EXPECT_EQ(filter.post("news"), no_list);

    tree.write_list(news, "{ Owner = boss; Postings = \"from anybody\"; }",
                    subscriber_line("jane@example.com"));
    EXPECT_EQ(
        filter.post("news"),
        (Lines{record(reading_settings(news_address)), record(reading_subscribers(news_address)),
               record(anyone_can_post(news_address)), record(accepting), reply("OK")}));
    EXPECT_EQ(filter.post("news"),
              (Lines{record(anyone_can_post(news_address)), record(accepting), reply("OK")}));

    tree.write(news + ".settings", "{ Owner = boss; Postings = \"from subscribers\"; }");
    EXPECT_EQ(filter.post("news"),
              (Lines{record(reading_settings(news_address)), record(from_allowed(news_address)),
                     record(accepting), reply("OK")}));

    tree.write(news + ".list", subscriber_line("jane@example.com", "-010001"));
    EXPECT_EQ(filter.post("news"),
              (Lines{record(reading_subscribers(news_address)), record(from_muted(news_address)),
                     refused_by, record(rejecting), reply(not_allowed)}));

    // The settings file alone makes no list.
    tree.rename(news + ".list", "news.list.saved");
    EXPECT_EQ(filter.post("news"), no_list);

    tree.rename("news.list.saved", news + ".list");
    EXPECT_EQ(filter.post("news"),
              (Lines{record(reading_settings(news_address)),
                     record(reading_subscribers(news_address)), record(from_muted(news_address)),
                     refused_by, record(rejecting), reply(not_allowed)}));
}

TEST(ListRefresh, DomainsAppearAndVanish) {
    LiveFilter filter(jane_server());
    ServerTree& tree = filter.tree();
    tree.write("Queue/team.msg",
               queued_message("someone@x.net", {"Team@Example.ORG"}, "From: jane@example.com"));
    tree.write_list("Domains/Example.org/LISTS/Team",
                    "{ Owner = chief; Postings = \"from owner only\"; }", "");
    EXPECT_EQ(filter.post("team"), (Lines{record(reading_settings("Team@Example.org")),
                                          record(posting_not_allowed("team@example.org")),
                                          refused_by, record(rejecting), reply(not_allowed)}));
    tree.remove("Domains/Example.org");
    EXPECT_EQ(filter.post("team"), (Lines{record(not_a_list), record(accepting), reply("OK")}));
}

// The modification time was once compared in whole seconds and the subscriber
// file only by its size: a posting right revoked by an edit of the same size, or a
// second edit within the same second, went unseen.
TEST(ListRefresh, EditsOfTheSameSizeWithinOneSecondAreSeen) {
    LiveFilter filter(jane_server());
    ServerTree& tree = filter.tree();
    const long long second = 1767225600;
    // "moderate all" means subscribers only and has the length of "from anybody".
    tree.write_list(news, "{ Postings = \"moderate all\"; }",
                    subscriber_line("jane@example.com", "-010000"));
    tree.set_time(news + ".settings", second, 100);
    tree.set_time(news + ".list", second, 100);
    const std::string moderate_all = record(unknown_postings(news_address, "moderate all"));
    Lines first = filter.post("news");
    ASSERT_EQ(first.size(), 6u);
    EXPECT_EQ(first[1], moderate_all);
    EXPECT_EQ(first[3], record(from_allowed(news_address)));

    tree.write(news + ".list", subscriber_line("jane@example.com", "-010001"));
    tree.set_time(news + ".list", second, 200);
    const Lines muted_lines = {record(from_muted(news_address)), refused_by, record(rejecting),
                               reply(not_allowed)};
    Lines reread = {record(reading_subscribers(news_address))};
    reread.insert(reread.end(), muted_lines.begin(), muted_lines.end());
    EXPECT_EQ(filter.post("news"), reread);

    tree.write(news + ".settings", "{ Postings = \"from anybody\"; }");
    tree.set_time(news + ".settings", second, 200);
    const Lines anybody_lines = {record(anyone_can_post(news_address)), record(accepting),
                                 reply("OK")};
    reread = {record(reading_settings(news_address))};
    reread.insert(reread.end(), anybody_lines.begin(), anybody_lines.end());
    EXPECT_EQ(filter.post("news"), reread);

    // A new size at the very same time is a change too.
    tree.write(news + ".settings", "{ Postings = \"moderate all\";  }");
    tree.set_time(news + ".settings", second, 200);
    reread = {record(reading_settings(news_address)), moderate_all};
    reread.insert(reread.end(), muted_lines.begin(), muted_lines.end());
    EXPECT_EQ(filter.post("news"), reread);

    // The same size and the same time, nanoseconds included, once left nothing to
    // see; the write changed the file's change time, and that is a change too.
    tree.write(news + ".settings", "{ Postings = \"from anybody\";  }");
    tree.set_time(news + ".settings", second, 200);
    reread = {record(reading_settings(news_address))};
    reread.insert(reread.end(), anybody_lines.begin(), anybody_lines.end());
    EXPECT_EQ(filter.post("news"), reread);
    EXPECT_EQ(filter.post("news"), anybody_lines);
}

// An empty subscriber file holds nothing to read: it is read, and logged, only when
// the list had a non-empty one before.
TEST(ListRefresh, AnEmptySubscriberFileIsReadOnlyAfterANonEmptyOne) {
    LiveFilter filter(jane_server());
    ServerTree& tree = filter.tree();
    tree.write(news + ".list", "");
    const Lines refused = {record(from_stranger(news_address)), refused_by, record(rejecting),
                           reply(not_subscribed)};
    Lines first = {record(reading_settings(news_address))};
    first.insert(first.end(), refused.begin(), refused.end());
    EXPECT_EQ(filter.post("news"), first);
    tree.set_time(news + ".list", 1767225600, 1);
    EXPECT_EQ(filter.post("news").size(), 4u);

    tree.write(news + ".list", subscriber_line("jane@example.com"));
    EXPECT_EQ(filter.post("news")[0], record(reading_subscribers(news_address)));
    tree.write(news + ".list", "");
    Lines emptied = {record(reading_subscribers(news_address))};
    emptied.insert(emptied.end(), refused.begin(), refused.end());
    EXPECT_EQ(filter.post("news"), emptied);
    tree.set_time(news + ".list", 1767225600, 2);
    EXPECT_EQ(filter.post("news").size(), 4u);
}

void make_socket(const std::string& path) {
    int descriptor = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    close(descriptor);
}

// Nothing at a list or message path may stall the filter: FIFOs, sockets, devices,
// directories and files whose reading fails are read at once and found unreadable,
// and their list is not judged; a message path of that kind cannot be opened. Such
// subscriber files once read as lists without subscribers (or, when empty, were
// not read at all) and refused every subscriber; a FIFO settings file read as
// settings without keys.
TEST(ListRefresh, FilesThatAreNotRegularNeverStallTheFilter) {
    LiveFilter filter(jane_server());
    ServerTree& tree = filter.tree();
    const std::string lists = "Accounts/LISTS/";
    tree.make_fifo(lists + "fifo.list");
    tree.make_directory(lists + "directory.list");
    tree.make_symlink("/dev/zero", lists + "device.list");
    tree.make_symlink("missing", lists + "dangling.list");
    tree.write(lists + "news.list", subscriber_line("jane@example.com"));
    tree.make_fifo(lists + "news.settings");
    tree.make_fifo("Queue/fifo.msg");
    make_socket(tree.full(lists + "socket.list"));

    EXPECT_EQ(filter.post("fifo"),
              (Lines{reply("OK \"Error: unable to open file Queue/fifo.msg\"")}));
    Lines expected = {record(settings_unread(news_address)), record(accepting), reply("OK")};
    for (const char* list : {"dangling", "device", "directory", "fifo", "news", "socket"}) {
        expected.push_back(record(reading_settings(list + std::string("@example.com"))));
        expected.push_back(record(reading_subscribers(list + std::string("@example.com"))));
    }
    EXPECT_EQ(sorted(filter.post("news")), sorted(expected));

    // A subscriber file replaced by a FIFO, or by a file whose reading fails, is
    // read again and leaves its list unjudged.
    tree.remove(lists + "news.settings");
    tree.write(lists + "news.settings", "{ Postings = \"from subscribers\"; }");
    for (const std::string target : {"fifo", "/proc/self/mem"}) {
        tree.remove(lists + "news.list");
        tree.write(lists + "news.list", subscriber_line("jane@example.com"));
        filter.post("news");
        tree.remove(lists + "news.list");
        if (target == "fifo") {
            tree.make_fifo(lists + "news.list");
        } else {
            tree.make_symlink(target, lists + "news.list");
        }
        EXPECT_EQ(filter.post("news"),
                  (Lines{record(reading_subscribers(news_address)),
                         record(subscribers_unread(news_address)), record(accepting), reply("OK")}))
            << target;
    }
}

}  // namespace
