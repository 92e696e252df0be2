// Changes that raise no change event where the filter watches, made between two
// messages, with a filter that follows events beside one that walks the whole tree
// (the aid "--full-walk"): a mount over a list directory is seen at the next
// message; a write through a second name given later to a list file, and a change
// at the source of a file mounted over a list file, are seen within the bound (a
// status pass at least every 10 seconds). Its own executable: it moves into a
// mount namespace of its own, and it runs both ways itself, so it is not run again
// with the walk forced.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "expected_texts.h"
#include "live_filter.h"
#include "private_mounts.h"

namespace {

const std::string news = "news@example.com";
const std::string team = "team@example.org";

// A server tree (jane_server) whose mounts are undone before it is removed.
struct MountingTree : ServerTree {
    MountingTree() : ServerTree(jane_server()) {}
    ~MountingTree() { unmount_below(path()); }
    void mount(const std::string& source, const std::string& target) {
        ASSERT_EQ(bind_mount(full(source), full(target)), "");
    }
};

// The filter that follows events and the one that walks write the same lines for the
// message; its decision.
std::string agreed(LiveFilter& watching, LiveFilter& walking, const std::string& message) {
    return LiveFilter::decision_of(post_to_both(watching, walking, message));
}

// Asks the filter once a second until its decision for the message is `expected`;
// false after `limit` seconds. The bound is 10 seconds and one pass; the limit
// leaves room for a loaded machine.
bool seen_within(LiveFilter& filter, const std::string& message, const std::string& expected,
                 int limit = 30) {
    for (int second = 0; second < limit; ++second) {
        if (filter.decision(message) == expected) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    return false;
}

TEST(ListBound, AMountOverAListDirectoryIsSeenAtTheNextMessage) {
    const std::string& failure = enter_private_mount_namespace();
    if (!failure.empty()) {
        GTEST_SKIP() << failure;
    }
    MountingTree tree;
    tree.write("Domains/example.org/LISTS/team.list", subscriber_line("jane@example.com"));
    tree.write("Elsewhere/org/LISTS/team.list", subscriber_line("jane@example.com", "-010001"));
    LiveFilter watching(tree), walking(tree, full_walk);
    EXPECT_EQ(agreed(watching, walking, "team"), record(from_allowed(team)));

    tree.mount("Elsewhere/org/LISTS", "Domains/example.org/LISTS");
    EXPECT_EQ(agreed(watching, walking, "team"), record(from_muted(team)));
    ASSERT_EQ(umount2(tree.full("Domains/example.org/LISTS").c_str(), 0), 0);
    EXPECT_EQ(agreed(watching, walking, "team"), record(from_allowed(team)));
}

// Backups made with "cp -al" and snapshot tools give list files such names.
TEST(ListBound, AWriteThroughASecondNameGivenLaterIsSeenWithinTheBound) {
    MountingTree tree;
    tree.write("Domains/example.org/LISTS/team.list", subscriber_line("jane@example.com"));
    tree.make_directory("Backup");
    LiveFilter watching(tree), walking(tree, full_walk);
    EXPECT_EQ(agreed(watching, walking, "team"), record(from_allowed(team)));

    ASSERT_EQ(link(tree.full("Domains/example.org/LISTS/team.list").c_str(),
                   tree.full("Backup/team.list").c_str()),
              0);
    // Written in place, so both names keep the one file.
    tree.write("Backup/team.list", subscriber_line("jane@example.com", "-010001"));
    EXPECT_EQ(walking.decision("team"), record(from_muted(team)));
    EXPECT_TRUE(seen_within(watching, "team", record(from_muted(team))));
    EXPECT_EQ(agreed(watching, walking, "team"), record(from_muted(team)));
    // The end of input ends the filter as before, its background thread or not.
    EXPECT_EQ(watching.finish(), 0);
}

TEST(ListBound, AChangeAtTheSourceOfAFileMountedOverAListFileIsSeenWithinTheBound) {
    const std::string& failure = enter_private_mount_namespace();
    if (!failure.empty()) {
        GTEST_SKIP() << failure;
    }
    MountingTree tree;
    tree.write("Accounts/LISTS/news.list", subscriber_line("jane@example.com"));
    tree.write("Elsewhere/news", subscriber_line("jane@example.com"));
    LiveFilter watching(tree), walking(tree, full_walk);
    EXPECT_EQ(agreed(watching, walking, "news"), record(from_allowed(news)));
    tree.mount("Elsewhere/news", "Accounts/LISTS/news.list");
    EXPECT_EQ(agreed(watching, walking, "news"), record(from_allowed(news)));

    tree.write("Elsewhere/news", subscriber_line("jane@example.com", "-010001"));
    EXPECT_EQ(walking.decision("news"), record(from_muted(news)));
    EXPECT_TRUE(seen_within(watching, "news", record(from_muted(news))));
    EXPECT_EQ(agreed(watching, walking, "news"), record(from_muted(news)));
}

}  // namespace
