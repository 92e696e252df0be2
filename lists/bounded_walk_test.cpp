// The bounded walk over the fake file system, a tree with every kind of place the
// tool must survive: places that hold their call for good (a hung mount), one on the
// same mount, one that cannot be listed, twin folders of one domain, and the main
// domain's own entry under "Domains".
#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <thread>

#include "fake_file_system.h"
#include "list_record.h"
#include "list_refresh.h"
#include "logging.h"

namespace {

using Call = kel::FakeFileSystem::Call;
using Why = UnreadPlace::Why;

std::string subscriber(const std::string& address) {
    return address + "\tfeed\t01-01-2026_00:00:00\t0\t-\tName\n";
}

// Four hung mounts once used up a shared budget and left the local places after them
// untried; each place now has its own bound and each mount its own thread.
TEST(BoundedWalk, EachHungMountCostsItsOwnPlacesAndEveryOtherPlaceIsRead) {
    // The readings left holding their calls use the fake until the process ends.
    static kel::FakeFileSystem& fake = *new kel::FakeFileSystem;
    fake.write("Accounts/LISTS/news.list", subscriber("ann@x.net"));
    fake.write("Domains/example.com/LISTS/ghost.list", "");  // the main domain's: not read
    fake.write("Domains/X.net/LISTS/team.list", subscriber("ann@x.net"));
    fake.write("Domains/x.net/LISTS/team.list", subscriber("ann@x.net") + subscriber("bob@x.net"));
    fake.fail(Call::List, "Domains/c.org/LISTS", EIO);
    // Mounts 1 to 4 hang, two places each; the "u" places are not judged (-1): the
    // first hangs, the second is not skipped with it.
    for (const char* domain :
         {"1a", "2a", "3a", "4a", "u1", "1b", "2b", "3b", "4b", "u2", "c", "local"}) {
        fake.write("Domains/" + std::string(domain) + ".org/LISTS/crew.list", subscriber("a@b.c"));
    }
    for (const char* hung : {"1a", "2a", "3a", "4a", "u1"}) {
        fake.hold(Call::List, "Domains/" + std::string(hung) + ".org/LISTS");
    }
    const PlaceMount mount_of = [](const std::string& place) {
        const char mark = place.size() > 8 ? place[8] : ' ';
        return mark >= '1' && mark <= '4' ? mark - '0' : mark == 'u' ? -1 : 0;
    };
    std::ostringstream log;
    kel::set_output(&log);
    const auto start = std::chrono::steady_clock::now();
    const std::chrono::milliseconds bound(400);
    const BoundedWalk walk =
        walk_lists_bounded(fake, mount_of, "example.com", 0, {bound, std::chrono::seconds(5)});
    const auto spent = std::chrono::steady_clock::now() - start;
    fake.release();
    kel::set_output(nullptr);

    // One bound for all the hung mounts, side by side (one after another: four).
    EXPECT_LT(spent, 2 * bound);
    const auto no_answer = [](const std::string& domain) {
        return UnreadPlace{Why::NoAnswer, "Domains/" + domain + ".org/LISTS", ""};
    };
    const auto skipped = [](const std::string& domain, const std::string& with) {
        return UnreadPlace{Why::SameMount, "Domains/" + domain + ".org/LISTS",
                           "Domains/" + with + ".org/LISTS"};
    };
    EXPECT_EQ(walk.unread, (std::vector<UnreadPlace>{
                               no_answer("1a"),
                               no_answer("2a"),
                               no_answer("3a"),
                               no_answer("4a"),
                               no_answer("u1"),
                               skipped("1b", "1a"),
                               skipped("2b", "2a"),
                               skipped("3b", "3a"),
                               skipped("4b", "4a"),
                               {Why::CannotList, "Domains/c.org/LISTS", "Input/output error"}}));
    EXPECT_TRUE(walk.abandoned);
    ASSERT_EQ(walk.table.size(), 4u);
    EXPECT_EQ(walk.table.count("news@example.com"), 1u);
    EXPECT_EQ(walk.table.count("crew@u2.org"), 1u);
    EXPECT_EQ(walk.table.count("crew@local.org"), 1u);
    // Of the twin folders, the one later in the walk gives the list.
    EXPECT_EQ(walk.table.at("team@x.net").subscribers.size(), 2u);
    EXPECT_EQ(walk.table.at("team@x.net").subscribers_path, "Domains/x.net/LISTS/team.list");
    // Each reading's records once, in the walk's order; the main domain's entry is
    // not read again.
    EXPECT_EQ(log.str(),
              "* Reading list settings: news@example.com\n"
              "* Reading list subscribers: news@example.com\n"
              "* Reading list settings: team@X.net\n"
              "* Reading list subscribers: team@X.net\n"
              "* Reading list settings: team@x.net\n"
              "* Reading list subscribers: team@x.net\n"
              "* Reading list settings: crew@u2.org\n"
              "* Reading list subscribers: crew@u2.org\n"
              "* Reading list settings: crew@local.org\n"
              "* Reading list subscribers: crew@local.org\n");
}

// A place that answers once given up comes too late: what it read is not taken, and
// the place of no known mount after it is read all the same, with a bound of its own.
TEST(BoundedWalk, AnAnswerAfterThePlaceWasGivenUpIsNotTaken) {
    static kel::FakeFileSystem& fake = *new kel::FakeFileSystem;
    for (const char* domain : {"late", "next"}) {
        fake.write("Domains/" + std::string(domain) + ".org/LISTS/crew.list", subscriber("a@b.c"));
        fake.hold(Call::List, "Domains/" + std::string(domain) + ".org/LISTS");
    }
    // Slow, so that the late answer comes in before the walk can end.
    fake.set_latency("Domains/next.org", std::chrono::milliseconds(100));
    // Both wait only once the first was given up: the second's turn comes after it.
    std::ostringstream log;
    kel::set_output(&log);
    std::thread releaser([] {
        fake.wait_for_waiting(2, std::chrono::seconds(10));
        fake.release();
    });
    const BoundedWalk walk =
        walk_lists_bounded(fake, [](const std::string&) { return -1; }, "example.com", 0,
                           {std::chrono::seconds(1), std::chrono::seconds(10)});
    releaser.join();
    kel::set_output(nullptr);

    EXPECT_EQ(walk.unread,
              (std::vector<UnreadPlace>{{Why::NoAnswer, "Domains/late.org/LISTS", ""}}));
    EXPECT_TRUE(walk.abandoned);
    EXPECT_EQ(walk.table.count("crew@late.org"), 0u);
    EXPECT_EQ(walk.table.count("crew@next.org"), 1u);
}

}  // namespace
