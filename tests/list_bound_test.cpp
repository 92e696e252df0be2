// Changes that raise no change event where the filter watches, made between two
// messages, with a filter that follows events beside one that walks the whole tree
// (QUORVEL_FULL_WALK=1): a mount over a list directory is seen at the next
// message; a write through a second name given later to a list file, and a change
// at the source of a file mounted over a list file, are seen within the bound (a
// status pass at least every 10 seconds). Its own executable: it moves into a
// mount namespace of its own, and it runs both ways itself, so it is not run again
// with the walk forced.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>

#include "live_filter.h"
#include "private_mounts.h"
#include "server_tree.h"

namespace {

using Lines = std::vector<std::string>;

const std::string allowed = "* [n] From header matches an address allowed to post to list ";
const std::string muted =
    "* [n] From header matches an address subscribed but not authorized to post to list ";

// A server with the main domain example.com and a message from jane@example.com to
// each of the lists news@example.com and team@example.org, named for the list;
// mounts below it are undone before it is removed.
class BoundServer {
  public:
    BoundServer() : tree({{"Settings/Main.settings", main_settings("example.com")}}) {
        for (const char* list : {"news@example.com", "team@example.org"}) {
            tree.write("Queue/" + std::string(list) + ".msg",
                       queued_message("someone@x.net", {list}, "From: Jane <jane@example.com>"));
        }
    }
    ~BoundServer() { unmount_below(tree.path()); }
    // Starts the two filters, the one that follows events first.
    void start() {
        watching.emplace(tree.path(), std::vector<std::string>{});
        walking.emplace(tree.path(), std::vector<std::string>{"QUORVEL_FULL_WALK=1"});
    }
    // Both filters write the same lines for the message; returns its decision.
    std::string agreed(const std::string& message) {
        Lines by_watching = watching->post(message);
        EXPECT_EQ(by_watching, walking->post(message)) << message;
        // The decision record, before the verdict's and the refused sender's.
        size_t at = by_watching.size() - 3;
        at -= by_watching.size() >= 4 && by_watching[at].rfind("* [n] Sender ", 0) == 0;
        return by_watching.size() >= 3 ? by_watching[at] : "(no decision)";
    }
    // Asks the filter that follows events once a second until its decision for the
    // message is `expected`; false after `limit` seconds. The bound is 10 seconds
    // and one pass; the limit leaves room for a loaded machine.
    bool seen_within(const std::string& message, const std::string& expected, int limit = 30) {
        for (int second = 0; second < limit; ++second) {
            if (watching->decision(message) == expected) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        return false;
    }
    void mount(const std::string& source, const std::string& target) {
        ASSERT_EQ(bind_mount(tree.full(source), tree.full(target)), "");
    }

    ServerTree tree;
    std::optional<LiveFilter> watching, walking;
};

TEST(ListBound, AMountOverAListDirectoryIsSeenAtTheNextMessage) {
    const std::string& failure = enter_private_mount_namespace();
    if (!failure.empty()) {
        GTEST_SKIP() << failure;
    }
    BoundServer server;
    server.tree.write("Domains/example.org/LISTS/team.list", subscriber_line("jane@example.com"));
    server.tree.write("Elsewhere/org/LISTS/team.list",
                      subscriber_line("jane@example.com", "-010001"));
    server.start();
    EXPECT_EQ(server.agreed("team@example.org"), allowed + "team@example.org");

    server.mount("Elsewhere/org/LISTS", "Domains/example.org/LISTS");
    EXPECT_EQ(server.agreed("team@example.org"), muted + "team@example.org");
    ASSERT_EQ(umount2(server.tree.full("Domains/example.org/LISTS").c_str(), 0), 0);
    EXPECT_EQ(server.agreed("team@example.org"), allowed + "team@example.org");
}

// Backups made with "cp -al" and snapshot tools give list files such names.
TEST(ListBound, AWriteThroughASecondNameGivenLaterIsSeenWithinTheBound) {
    BoundServer server;
    server.tree.write("Domains/example.org/LISTS/team.list", subscriber_line("jane@example.com"));
    server.tree.make_directory("Backup");
    server.start();
    EXPECT_EQ(server.agreed("team@example.org"), allowed + "team@example.org");

    ASSERT_EQ(link(server.tree.full("Domains/example.org/LISTS/team.list").c_str(),
                   server.tree.full("Backup/team.list").c_str()),
              0);
    // Written in place, so both names keep the one file.
    server.tree.write("Backup/team.list", subscriber_line("jane@example.com", "-010001"));
    EXPECT_EQ(server.walking->decision("team@example.org"), muted + "team@example.org");
    EXPECT_TRUE(server.seen_within("team@example.org", muted + "team@example.org"));
    EXPECT_EQ(server.agreed("team@example.org"), muted + "team@example.org");
    // The end of input ends the filter as before, its background thread or not.
    EXPECT_EQ(server.watching->finish(), 0);
}

TEST(ListBound, AChangeAtTheSourceOfAFileMountedOverAListFileIsSeenWithinTheBound) {
    const std::string& failure = enter_private_mount_namespace();
    if (!failure.empty()) {
        GTEST_SKIP() << failure;
    }
    BoundServer server;
    server.tree.write("Accounts/LISTS/news.list", subscriber_line("jane@example.com"));
    server.tree.write("Elsewhere/news", subscriber_line("jane@example.com"));
    server.start();
    EXPECT_EQ(server.agreed("news@example.com"), allowed + "news@example.com");
    server.mount("Elsewhere/news", "Accounts/LISTS/news.list");
    EXPECT_EQ(server.agreed("news@example.com"), allowed + "news@example.com");

    server.tree.write("Elsewhere/news", subscriber_line("jane@example.com", "-010001"));
    EXPECT_EQ(server.walking->decision("news@example.com"), muted + "news@example.com");
    EXPECT_TRUE(server.seen_within("news@example.com", muted + "news@example.com"));
    EXPECT_EQ(server.agreed("news@example.com"), muted + "news@example.com");
}

}  // namespace
