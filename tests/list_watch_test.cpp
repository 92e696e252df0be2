// Changes between two messages that the filter must see at the next message
// although they raise no change event where it watches, or raise more events than
// the kernel keeps: links whose targets change beyond the server's tree, list
// files with other names, an overflowed event queue. And a filter that follows
// events writes, message for message, what a filter that walks the whole tree
// writes. Like every whole-process test that reads lists, these also run with
// the aid "--full-walk".
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "expected_texts.h"
#include "live_filter.h"

namespace {

using Lines = std::vector<std::string>;

const std::string news = "news@example.com";
const std::string team = "team@example.org";

// Replaces whatever is at `relative` by a link, in one rename as tools do.
void link_in_one_rename(ServerTree& tree, const std::string& target, const std::string& relative) {
    tree.make_symlink(target, relative + ".new");
    tree.rename(relative + ".new", relative);
}

TEST(ListWatch, DomainAndListDirectoriesReplacedByLinksAreFollowed) {
    ServerTree tree(jane_server());
    tree.write("Domains/example.org/LISTS/team.list", subscriber_line("jane@example.com"));
    tree.write("Elsewhere/org/LISTS/team.list", subscriber_line("jane@example.com", "-010001"));
    LiveFilter filter(tree);
    EXPECT_EQ(filter.decision("team"), record(from_allowed(team)));

    tree.remove("Domains/example.org");
    link_in_one_rename(tree, "../Elsewhere/org", "Domains/example.org");
    EXPECT_EQ(filter.post("team"),
              (Lines{record(reading_subscribers(team)), record(from_muted(team)),
                     record(jane_refused), record(rejecting), reply(not_allowed)}));
    // Written through the target's own path.
    tree.append("Elsewhere/org/LISTS/team.list", subscriber_line("joe@example.com"));
    EXPECT_EQ(filter.post("team")[0], record(reading_subscribers(team)));

    // The list directory of the main domain becomes a link, then the link another.
    tree.write("Elsewhere/one/LISTS/news.list", subscriber_line("jane@example.com"));
    tree.write("Elsewhere/two/LISTS/news.list", subscriber_line("jane@example.com", "-010001"));
    tree.make_directory("Accounts");
    link_in_one_rename(tree, "../Elsewhere/one/LISTS", "Accounts/LISTS");
    EXPECT_EQ(filter.decision("news"), record(from_allowed(news)));
    link_in_one_rename(tree, "../Elsewhere/two/LISTS", "Accounts/LISTS");
    EXPECT_EQ(filter.decision("news"), record(from_muted(news)));
    tree.write("Elsewhere/two/LISTS/news.list", subscriber_line("jane@example.com"));
    EXPECT_EQ(filter.decision("news"), record(from_allowed(news)));
}

// A link's target can appear, vanish or be replaced by renames beyond the server's
// tree, where no watch of the filter sees them.
TEST(ListWatch, LinksWhoseTargetsChangeBeyondTheTreeAreFollowed) {
    ServerTree tree(jane_server());
    tree.make_directory("Elsewhere");
    tree.make_symlink("../Elsewhere/org", "Domains/example.org");
    LiveFilter filter(tree);
    EXPECT_EQ(filter.decision("team"), record(not_a_list));

    tree.write("Elsewhere/org.new/LISTS/team.list", subscriber_line("jane@example.com"));
    tree.rename("Elsewhere/org.new", "Elsewhere/org");
    EXPECT_EQ(filter.decision("team"), record(from_allowed(team)));

    tree.write("Elsewhere/org.new/LISTS/team.list", subscriber_line("jane@example.com", "-010001"));
    tree.rename("Elsewhere/org", "Elsewhere/org.old");
    tree.rename("Elsewhere/org.new", "Elsewhere/org");
    EXPECT_EQ(filter.decision("team"), record(from_muted(team)));

    tree.rename("Elsewhere/org", "Elsewhere/org.gone");
    EXPECT_EQ(filter.decision("team"), record(not_a_list));
}

// A change through another name of a file raises no event in the list directory:
// such files are looked at for every message.
TEST(ListWatch, ListFilesThatAreLinksOrHaveOtherNamesAreLookedAtEveryTime) {
    ServerTree tree(jane_server());
    tree.write("Elsewhere/members", subscriber_line("jane@example.com"));
    tree.write("Elsewhere/settings", "{ Postings = \"from subscribers\"; }");
    tree.make_symlink(tree.full("Elsewhere/members"), "Accounts/LISTS/news.list");
    tree.write("Elsewhere/team", subscriber_line("jane@example.com"));
    tree.make_directory("Domains/example.org/LISTS");
    ASSERT_EQ(::link(tree.full("Elsewhere/team").c_str(),
                     tree.full("Domains/example.org/LISTS/team.list").c_str()),
              0);
    ASSERT_EQ(::link(tree.full("Elsewhere/settings").c_str(),
                     tree.full("Domains/example.org/LISTS/team.settings").c_str()),
              0);
    LiveFilter filter(tree);
    EXPECT_EQ(filter.decision("news"), record(from_allowed(news)));
    EXPECT_EQ(filter.decision("team"), record(from_allowed(team)));

    tree.write("Elsewhere/members", subscriber_line("jane@example.com", "-010001"));
    EXPECT_EQ(filter.decision("news"), record(from_muted(news)));
    // Written in place, so both names keep the one file.
    tree.write("Elsewhere/team", subscriber_line("jane@example.com", "-010001"));
    EXPECT_EQ(filter.decision("team"), record(from_muted(team)));
    tree.write("Elsewhere/settings", "{ Postings = \"from anybody\"; }");
    EXPECT_EQ(filter.decision("team"), record(anyone_can_post(team)));
}

// More events than the kernel queues: those after the limit are lost, and the
// filter must make up for them.
TEST(ListWatch, EventsLostToAFullQueueAreMadeUpFor) {
    long queue_limit = 0;
    std::ifstream("/proc/sys/fs/inotify/max_queued_events") >> queue_limit;
    if (queue_limit <= 0 || queue_limit > 1000000) {
        GTEST_SKIP() << "event queue limit " << queue_limit;
    }
    ServerTree tree(jane_server());
    tree.write("Accounts/LISTS/news.list", subscriber_line("jane@example.com"));
    tree.write("Accounts/LISTS/a", "");
    tree.write("Accounts/LISTS/b", "");
    LiveFilter filter(tree);
    EXPECT_EQ(filter.decision("news"), record(from_allowed(news)));
    // Two files touched in turn, so that no event merges with the one before it.
    for (long i = 0; i <= queue_limit / 2 + 10; ++i) {
        tree.set_time("Accounts/LISTS/a", i);
        tree.set_time("Accounts/LISTS/b", i);
    }
    tree.write("Accounts/LISTS/news.list", subscriber_line("jane@example.com", "-010001"));
    tree.write("Domains/example.org/LISTS/team.list", "");
    EXPECT_EQ(filter.post("news"),
              (Lines{record(reading_subscribers(news)), record(reading_settings(team)),
                     record(from_muted(news)), record(jane_refused), record(rejecting),
                     reply(not_allowed)}));
    // And events are followed again afterwards.
    tree.write("Accounts/LISTS/news.list", subscriber_line("jane@example.com"));
    EXPECT_EQ(filter.decision("news"), record(from_allowed(news)));
}

// The same changes made in one tree, watched by one filter and walked by another:
// the two write the same lines for every message, in the same order, however the
// system orders the directories. Many domains, a few changed at a time, lists that
// share a key, the main domain listed twice.
TEST(ListWatch, AFilterFollowingEventsWritesWhatAWalkingFilterWrites) {
    ServerTree tree(jane_server());
    std::vector<std::string> domains;
    for (int i = 0; i < 40; ++i) {
        domains.push_back("d" + std::to_string(i) + ".test");
        for (const char* list : {"a", "b", "c"}) {
            tree.write("Domains/" + domains.back() + "/LISTS/" + list + ".list",
                       subscriber_line("jane@example.com"));
        }
    }
    tree.write("Accounts/LISTS/news.list", subscriber_line("jane@example.com"));
    tree.make_directory("Domains/example.com");
    tree.write("Domains/Example.com/LISTS/news.list", "");
    for (int i = 0; i < 40; ++i) {
        tree.write("Queue/" + std::to_string(i) + ".msg",
                   queued_message("someone@x.net", {"a@" + domains[i], "news@example.com"},
                                  "From: jane@example.com"));
    }
    LiveFilter watching(tree);
    LiveFilter walking(tree, full_walk);
    for (int round = 0; round < 30; ++round) {
        for (int change = 0; change < 1 + round % 4; ++change) {
            const std::string& domain = domains[(round * 7 + change * 13) % domains.size()];
            const std::string list = "Domains/" + domain + "/LISTS/" + "abc"[change % 3];
            switch ((round + change) % 4) {
                case 0:
                    tree.append(list + ".list", subscriber_line("joe@example.com"));
                    break;
                case 1:
                    tree.write(list + ".settings", "{ Postings = \"from anybody\"; }");
                    break;
                case 2:
                    tree.remove(list + ".list");
                    break;
                default:
                    tree.write(list + ".list", subscriber_line("jane@example.com"));
            }
        }
        SCOPED_TRACE("round " + std::to_string(round));
        post_to_both(watching, walking, std::to_string(round % 40));
    }
}

}  // namespace
