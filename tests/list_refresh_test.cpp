// The list table kept across requests by one live filter: lists that appear,
// change, vanish and come back, change detection by size, times at full precision
// and inode, and files that are not regular.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

#include "checked_run.h"
#include "server_tree.h"

namespace {

using Lines = std::vector<std::string>;

const std::string news = "Accounts/LISTS/news";

// A server with the main domain example.com, a live filter on it, and a message
// to news@example.com whose From address is jane@example.com.
class LiveFilter {
  public:
    LiveFilter() : tree({{"Settings/Main.settings", main_settings("example.com")}}) {
        tree.write("Queue/news.msg", queued_message("someone@x.net", {"news@example.com"},
                                                    "From: Jane <jane@example.com>"));
        session.emplace(tree.path());
        session->start_lines();
    }
    // The lines of one request for the message, with its number written "n".
    Lines post(const std::string& message = "Queue/news.msg") {
        const std::string number = std::to_string(++requests);
        return numbered_as_n(request_checked(*session, number + " FILE " + message), number);
    }

    ServerTree tree;
    std::optional<FilterSession> session;
    int requests = 0;
};

std::string record(const std::string& text) {
    return "* [n] " + text;
}
std::string reply(const std::string& text) {
    return "n" + text;
}
// The record before every refusal here: who was refused.
const std::string refused_by = record("Sender someone@x.net, From jane@example.com");

// Records in one directory come in the order the system lists it.
Lines sorted(Lines lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

const std::string allowed = "From header matches an address allowed to post to list ";
const std::string muted =
    "From header matches an address subscribed but not authorized to post to list ";
const std::string stranger = "From header doesn't match any address subscribed to list ";
const std::string not_allowed = " ERROR \"You are not allowed to post messages on this list\"";
const std::string not_subscribed =
    " ERROR \"You cannot post messages because you are not subscribed to this list\"";

TEST(ListRefresh, ListsAppearChangeVanishAndComeBack) {
    LiveFilter filter;
    EXPECT_EQ(filter.post(), (Lines{record("Not sent to a local list"), record("Accepting message"),
                                    reply(" OK")}));

    filter.tree.write(news + ".settings", "{ Owner = boss; Postings = \"from anybody\"; }");
    filter.tree.write(news + ".list", subscriber_line("jane@example.com"));
    EXPECT_EQ(filter.post(), (Lines{record("Reading list settings: news@example.com"),
                                    record("Reading list subscribers: news@example.com"),
                                    record("Anyone can post on list news@example.com"),
                                    record("Accepting message"), reply(" OK")}));
    EXPECT_EQ(filter.post(), (Lines{record("Anyone can post on list news@example.com"),
                                    record("Accepting message"), reply(" OK")}));

    filter.tree.write(news + ".settings", "{ Owner = boss; Postings = \"from subscribers\"; }");
    EXPECT_EQ(filter.post(), (Lines{record("Reading list settings: news@example.com"),
                                    record(allowed + "news@example.com"),
                                    record("Accepting message"), reply(" OK")}));

    filter.tree.write(news + ".list", subscriber_line("jane@example.com", "-010001"));
    Lines muted_lines = {record("Reading list subscribers: news@example.com"),
                         record(muted + "news@example.com"), refused_by,
                         record("Rejecting message"), reply(not_allowed)};
    EXPECT_EQ(filter.post(), muted_lines);

    // The settings file alone makes no list.
    filter.tree.rename(news + ".list", "news.list.saved");
    EXPECT_EQ(filter.post(), (Lines{record("Not sent to a local list"), record("Accepting message"),
                                    reply(" OK")}));

    filter.tree.rename("news.list.saved", news + ".list");
    EXPECT_EQ(filter.post(), (Lines{record("Reading list settings: news@example.com"),
                                    record("Reading list subscribers: news@example.com"),
                                    record(muted + "news@example.com"), refused_by,
                                    record("Rejecting message"), reply(not_allowed)}));
}

TEST(ListRefresh, DomainsAppearAndVanish) {
    LiveFilter filter;
    filter.tree.write("Queue/team.msg", queued_message("someone@x.net", {"Team@Example.ORG"},
                                                       "From: jane@example.com"));
    filter.tree.write("Domains/Example.org/LISTS/Team.settings",
                      "{ Owner = chief; Postings = \"from owner only\"; }");
    filter.tree.write("Domains/Example.org/LISTS/Team.list", "");
    EXPECT_EQ(filter.post("Queue/team.msg"),
              (Lines{record("Reading list settings: Team@Example.org"),
                     record("Posting is not allowed on list team@example.org"), refused_by,
                     record("Rejecting message"), reply(not_allowed)}));
    filter.tree.remove("Domains/Example.org");
    EXPECT_EQ(filter.post("Queue/team.msg"), (Lines{record("Not sent to a local list"),
                                                    record("Accepting message"), reply(" OK")}));
}

// The modification time was once compared in whole seconds and the subscriber
// file only by its size: a posting right revoked by an edit of the same size, or a
// second edit within the same second, went unseen.
TEST(ListRefresh, EditsOfTheSameSizeWithinOneSecondAreSeen) {
    LiveFilter filter;
    const long long second = 1767225600;
    // "moderate all" means subscribers only and has the length of "from anybody".
    filter.tree.write(news + ".settings", "{ Postings = \"moderate all\"; }");
    filter.tree.write(news + ".list", subscriber_line("jane@example.com", "-010000"));
    filter.tree.set_time(news + ".settings", second, 100);
    filter.tree.set_time(news + ".list", second, 100);
    const std::string unknown_postings = record(
        "List news@example.com: \"Postings\" is \"moderate all\", none of the server's values; "
        "read as \"from subscribers\"");
    Lines first = filter.post();
    ASSERT_EQ(first.size(), 6u);
    EXPECT_EQ(first[1], unknown_postings);
    EXPECT_EQ(first[3], record(allowed + "news@example.com"));

    filter.tree.write(news + ".list", subscriber_line("jane@example.com", "-010001"));
    filter.tree.set_time(news + ".list", second, 200);
    const Lines muted_lines = {record(muted + "news@example.com"), refused_by,
                               record("Rejecting message"), reply(not_allowed)};
    Lines reread = {record("Reading list subscribers: news@example.com")};
    reread.insert(reread.end(), muted_lines.begin(), muted_lines.end());
    EXPECT_EQ(filter.post(), reread);

    filter.tree.write(news + ".settings", "{ Postings = \"from anybody\"; }");
    filter.tree.set_time(news + ".settings", second, 200);
    const Lines anybody_lines = {record("Anyone can post on list news@example.com"),
                                 record("Accepting message"), reply(" OK")};
    reread = {record("Reading list settings: news@example.com")};
    reread.insert(reread.end(), anybody_lines.begin(), anybody_lines.end());
    EXPECT_EQ(filter.post(), reread);

    // A new size at the very same time is a change too.
    filter.tree.write(news + ".settings", "{ Postings = \"moderate all\";  }");
    filter.tree.set_time(news + ".settings", second, 200);
    reread = {record("Reading list settings: news@example.com"), unknown_postings};
    reread.insert(reread.end(), muted_lines.begin(), muted_lines.end());
    EXPECT_EQ(filter.post(), reread);

    // The same size and the same time, nanoseconds included, once left nothing to
    // see; the write changed the file's change time, and that is a change too.
    filter.tree.write(news + ".settings", "{ Postings = \"from anybody\";  }");
    filter.tree.set_time(news + ".settings", second, 200);
    reread = {record("Reading list settings: news@example.com")};
    reread.insert(reread.end(), anybody_lines.begin(), anybody_lines.end());
    EXPECT_EQ(filter.post(), reread);
    EXPECT_EQ(filter.post(), anybody_lines);
}

// An empty subscriber file holds nothing to read: it is read, and logged, only when
// the list had a non-empty one before.
TEST(ListRefresh, AnEmptySubscriberFileIsReadOnlyAfterANonEmptyOne) {
    LiveFilter filter;
    filter.tree.write(news + ".list", "");
    Lines first = filter.post();
    EXPECT_EQ(first, (Lines{record("Reading list settings: news@example.com"),
                            record(stranger + "news@example.com"), refused_by,
                            record("Rejecting message"), reply(not_subscribed)}));
    filter.tree.set_time(news + ".list", 1767225600, 1);
    EXPECT_EQ(filter.post().size(), 4u);

    filter.tree.write(news + ".list", subscriber_line("jane@example.com"));
    EXPECT_EQ(filter.post()[0], record("Reading list subscribers: news@example.com"));
    filter.tree.write(news + ".list", "");
    EXPECT_EQ(filter.post(), (Lines{record("Reading list subscribers: news@example.com"),
                                    record(stranger + "news@example.com"), refused_by,
                                    record("Rejecting message"), reply(not_subscribed)}));
    filter.tree.set_time(news + ".list", 1767225600, 2);
    EXPECT_EQ(filter.post().size(), 4u);
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
    LiveFilter filter;
    const std::string lists = "Accounts/LISTS/";
    filter.tree.make_fifo(lists + "fifo.list");
    filter.tree.make_directory(lists + "directory.list");
    filter.tree.make_symlink("/dev/zero", lists + "device.list");
    filter.tree.make_symlink("missing", lists + "dangling.list");
    filter.tree.write(lists + "news.list", subscriber_line("jane@example.com"));
    filter.tree.make_fifo(lists + "news.settings");
    filter.tree.make_fifo("Queue/fifo.msg");
    make_socket(filter.tree.full(lists + "socket.list"));

    EXPECT_EQ(filter.post("Queue/fifo.msg"),
              (Lines{reply(" OK \"Error: unable to open file Queue/fifo.msg\"")}));
    Lines lines = filter.post();
    EXPECT_EQ(
        sorted(lines),
        sorted({record("Reading list settings: dangling@example.com"),
                record("Reading list settings: device@example.com"),
                record("Reading list settings: directory@example.com"),
                record("Reading list settings: fifo@example.com"),
                record("Reading list settings: news@example.com"),
                record("Reading list settings: socket@example.com"),
                record("Reading list subscribers: dangling@example.com"),
                record("Reading list subscribers: device@example.com"),
                record("Reading list subscribers: directory@example.com"),
                record("Reading list subscribers: fifo@example.com"),
                record("Reading list subscribers: news@example.com"),
                record("Reading list subscribers: socket@example.com"),
                record("Not checking list news@example.com: its settings file cannot be read"),
                record("Accepting message"), reply(" OK")}));

    // A subscriber file replaced by a FIFO, or by a file whose reading fails, is
    // read again and leaves its list unjudged.
    filter.tree.remove(lists + "news.settings");
    filter.tree.write(lists + "news.settings", "{ Postings = \"from subscribers\"; }");
    for (const std::string target : {"fifo", "/proc/self/mem"}) {
        filter.tree.remove(lists + "news.list");
        filter.tree.write(lists + "news.list", subscriber_line("jane@example.com"));
        filter.post();
        filter.tree.remove(lists + "news.list");
        if (target == "fifo") {
            filter.tree.make_fifo(lists + "news.list");
        } else {
            filter.tree.make_symlink(target, lists + "news.list");
        }
        EXPECT_EQ(filter.post(),
                  (Lines{record("Reading list subscribers: news@example.com"),
                         record("Not checking list news@example.com: its subscriber file cannot "
                                "be read"),
                         record("Accepting message"), reply(" OK")}))
            << target;
    }
}

}  // namespace
