// Changes between two messages that the filter must see at the next message
// although they raise no change event where it watches, or raise more events than
// the kernel keeps: links whose targets change beyond the server's tree, list
// files with other names, an overflowed event queue. And a filter that follows
// events writes, message for message, what a filter that walks the whole tree
// writes. Like every whole-process test these also run with QUORVEL_FULL_WALK=1.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <optional>

#include "checked_run.h"
#include "server_tree.h"

namespace {

using Lines = std::vector<std::string>;

const std::string allowed = "From header matches an address allowed to post to list ";
const std::string muted =
    "From header matches an address subscribed but not authorized to post to list ";

// A live filter, its request numbers written "n" in what it returns.
class LiveFilter {
  public:
    explicit LiveFilter(const std::string& directory, const RunOptions& options = {})
        : session(directory, options) {
        session.start_lines();
    }
    // The lines of one request for "Queue/<message>.msg".
    Lines post(const std::string& message) {
        const std::string number = std::to_string(++requests);
        return numbered_as_n(request_checked(session, number + " FILE Queue/" + message + ".msg"),
                             number);
    }

  private:
    FilterSession session;
    int requests = 0;
};

// A server with the main domain example.com, and messages from jane@example.com to
// each of its lists news@example.com and team@example.org, named for the list.
class LiveServer {
  public:
    LiveServer() : tree({{"Settings/Main.settings", main_settings("example.com")}}) {
        for (const char* list : {"news@example.com", "team@example.org"}) {
            tree.write("Queue/" + std::string(list) + ".msg",
                       queued_message("someone@x.net", {list}, "From: Jane <jane@example.com>"));
        }
    }
    void start() { filter.emplace(tree.path()); }
    Lines post(const std::string& message) { return filter->post(message); }
    // The decision of one message: its last log record before the verdict's, and
    // before the one that names who was refused.
    std::string decision(const std::string& message) {
        Lines lines = post(message);
        size_t at = lines.size() - 3;
        at -= lines.size() >= 4 && lines[at].rfind("* [n] Sender ", 0) == 0;
        return lines.size() >= 3 ? lines[at] : "(no decision)";
    }
    // Replaces whatever is at `relative` by a link, in one rename as tools do.
    void link(const std::string& target, const std::string& relative) {
        tree.make_symlink(target, relative + ".new");
        tree.rename(relative + ".new", relative);
    }

    ServerTree tree;
    std::optional<LiveFilter> filter;
};

std::string record(const std::string& text) {
    return "* [n] " + text;
}

TEST(ListWatch, DomainAndListDirectoriesReplacedByLinksAreFollowed) {
    LiveServer server;
    server.tree.write("Domains/example.org/LISTS/team.list", subscriber_line("jane@example.com"));
    server.tree.write("Elsewhere/org/LISTS/team.list",
                      subscriber_line("jane@example.com", "-010001"));
    server.start();
    EXPECT_EQ(server.decision("team@example.org"), record(allowed + "team@example.org"));

    server.tree.remove("Domains/example.org");
    server.link("../Elsewhere/org", "Domains/example.org");
    EXPECT_EQ(
        server.post("team@example.org"),
        (Lines{record("Reading list subscribers: team@example.org"),
               record(muted + "team@example.org"),
               record("Sender someone@x.net, From jane@example.com"), record("Rejecting message"),
               "n ERROR \"You are not allowed to post messages on this list\""}));
    // Written through the target's own path.
    server.tree.append("Elsewhere/org/LISTS/team.list", subscriber_line("joe@example.com"));
    EXPECT_EQ(server.post("team@example.org")[0],
              record("Reading list subscribers: team@example.org"));

    // The list directory of the main domain becomes a link, then the link another.
    server.tree.write("Elsewhere/one/LISTS/news.list", subscriber_line("jane@example.com"));
    server.tree.write("Elsewhere/two/LISTS/news.list",
                      subscriber_line("jane@example.com", "-010001"));
    server.tree.make_directory("Accounts");
    server.link("../Elsewhere/one/LISTS", "Accounts/LISTS");
    EXPECT_EQ(server.decision("news@example.com"), record(allowed + "news@example.com"));
    server.link("../Elsewhere/two/LISTS", "Accounts/LISTS");
    EXPECT_EQ(server.decision("news@example.com"), record(muted + "news@example.com"));
    server.tree.write("Elsewhere/two/LISTS/news.list", subscriber_line("jane@example.com"));
    EXPECT_EQ(server.decision("news@example.com"), record(allowed + "news@example.com"));
}

// A link's target can appear, vanish or be replaced by renames beyond the server's
// tree, where no watch of the filter sees them.
TEST(ListWatch, LinksWhoseTargetsChangeBeyondTheTreeAreFollowed) {
    LiveServer server;
    server.tree.make_directory("Elsewhere");
    server.tree.make_symlink("../Elsewhere/org", "Domains/example.org");
    server.start();
    EXPECT_EQ(server.decision("team@example.org"), record("Not sent to a local list"));

    server.tree.write("Elsewhere/org.new/LISTS/team.list", subscriber_line("jane@example.com"));
    server.tree.rename("Elsewhere/org.new", "Elsewhere/org");
    EXPECT_EQ(server.decision("team@example.org"), record(allowed + "team@example.org"));

    server.tree.write("Elsewhere/org.new/LISTS/team.list",
                      subscriber_line("jane@example.com", "-010001"));
    server.tree.rename("Elsewhere/org", "Elsewhere/org.old");
    server.tree.rename("Elsewhere/org.new", "Elsewhere/org");
    EXPECT_EQ(server.decision("team@example.org"), record(muted + "team@example.org"));

    server.tree.rename("Elsewhere/org", "Elsewhere/org.gone");
    EXPECT_EQ(server.decision("team@example.org"), record("Not sent to a local list"));
}

// A change through another name of a file raises no event in the list directory:
// such files are looked at for every message.
TEST(ListWatch, ListFilesThatAreLinksOrHaveOtherNamesAreLookedAtEveryTime) {
    LiveServer server;
    server.tree.write("Elsewhere/members", subscriber_line("jane@example.com"));
    server.tree.write("Elsewhere/settings", "{ Postings = \"from subscribers\"; }");
    server.tree.make_symlink(server.tree.full("Elsewhere/members"), "Accounts/LISTS/news.list");
    server.tree.write("Elsewhere/team", subscriber_line("jane@example.com"));
    server.tree.make_directory("Domains/example.org/LISTS");
    ASSERT_EQ(::link(server.tree.full("Elsewhere/team").c_str(),
                     server.tree.full("Domains/example.org/LISTS/team.list").c_str()),
              0);
    ASSERT_EQ(::link(server.tree.full("Elsewhere/settings").c_str(),
                     server.tree.full("Domains/example.org/LISTS/team.settings").c_str()),
              0);
    server.start();
    EXPECT_EQ(server.decision("news@example.com"), record(allowed + "news@example.com"));
    EXPECT_EQ(server.decision("team@example.org"), record(allowed + "team@example.org"));

    server.tree.write("Elsewhere/members", subscriber_line("jane@example.com", "-010001"));
    EXPECT_EQ(server.decision("news@example.com"), record(muted + "news@example.com"));
    // Written in place, so both names keep the one file.
    server.tree.write("Elsewhere/team", subscriber_line("jane@example.com", "-010001"));
    EXPECT_EQ(server.decision("team@example.org"), record(muted + "team@example.org"));
    server.tree.write("Elsewhere/settings", "{ Postings = \"from anybody\"; }");
    EXPECT_EQ(server.decision("team@example.org"),
              record("Anyone can post on list team@example.org"));
}

// More events than the kernel queues: those after the limit are lost, and the
// filter must make up for them.
TEST(ListWatch, EventsLostToAFullQueueAreMadeUpFor) {
    long queue_limit = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queue_limit;
    if (queue_limit <= 0 || queue_limit > 1000000) {
        GTEST_SKIP() << "event queue limit " << queue_limit;
    }
    LiveServer server;
    server.tree.write("Accounts/LISTS/news.list", subscriber_line("jane@example.com"));
    server.tree.write("Accounts/LISTS/a", "");
    server.tree.write("Accounts/LISTS/b", "");
    server.start();
    EXPECT_EQ(server.decision("news@example.com"), record(allowed + "news@example.com"));
    // Two files touched in turn, so that no event merges with the one before it.
    for (long i = 0; i <= queue_limit / 2 + 10; ++i) {
        server.tree.set_time("Accounts/LISTS/a", i);
        server.tree.set_time("Accounts/LISTS/b", i);
    }
    server.tree.write("Accounts/LISTS/news.list", subscriber_line("jane@example.com", "-010001"));
    server.tree.write("Domains/example.org/LISTS/team.list", "");
    EXPECT_EQ(
        server.post("news@example.com"),
        (Lines{record("Reading list subscribers: news@example.com"),
               record("Reading list settings: team@example.org"),
               record(muted + "news@example.com"),
               record("Sender someone@x.net, From jane@example.com"), record("Rejecting message"),
               "n ERROR \"You are not allowed to post messages on this list\""}));
    // And events are followed again afterwards.
    server.tree.write("Accounts/LISTS/news.list", subscriber_line("jane@example.com"));
    EXPECT_EQ(server.decision("news@example.com"), record(allowed + "news@example.com"));
}

// The same changes made in one tree, watched by one filter and walked by another:
// the two write the same lines for every message, in the same order, however the
// system orders the directories. Many domains, a few changed at a time, lists that
// share a key, the main domain listed twice.
TEST(ListWatch, AFilterFollowingEventsWritesWhatAWalkingFilterWrites) {
    LiveServer server;
    std::vector<std::string> domains;
    for (int i = 0; i < 40; ++i) {
        domains.push_back("d" + std::to_string(i) + ".test");
        for (const char* list : {"a", "b", "c"}) {
            server.tree.write("Domains/" + domains.back() + "/LISTS/" + list + ".list",
                              subscriber_line("jane@example.com"));
        }
    }
    server.tree.write("Accounts/LISTS/news.list", subscriber_line("jane@example.com"));
    server.tree.make_directory("Domains/example.com");
    server.tree.write("Domains/Example.com/LISTS/news.list", "");
    for (int i = 0; i < 40; ++i) {
        server.tree.write("Queue/" + std::to_string(i) + ".msg",
                          queued_message("someone@x.net", {"a@" + domains[i], "news@example.com"},
                                         "From: jane@example.com"));
    }
    LiveFilter watching(server.tree.path());
    RunOptions walking;
    walking.environment = {"QUORVEL_FULL_WALK=1"};
    LiveFilter walker(server.tree.path(), walking);
    for (int round = 0; round < 30; ++round) {
        for (int change = 0; change < 1 + round % 4; ++change) {
            const std::string& domain = domains[(round * 7 + change * 13) % domains.size()];
            const std::string list = "Domains/" + domain + "/LISTS/" + "abc"[change % 3];
            switch ((round + change) % 4) {
                case 0:
                    server.tree.append(list + ".list", subscriber_line("joe@example.com"));
                    break;
                case 1:
                    server.tree.write(list + ".settings", "{ Postings = \"from anybody\"; }");
                    break;
                case 2:
                    server.tree.remove(list + ".list");
                    break;
                default:
                    server.tree.write(list + ".list", subscriber_line("jane@example.com"));
            }
        }
        const std::string message = std::to_string(round % 40);
        EXPECT_EQ(watching.post(message), walker.post(message)) << "round " << round;
    }
}

}  // namespace
