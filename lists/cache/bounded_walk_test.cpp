// The bounded walk over the fake file system, a tree with every kind of place the
// tool must survive: places that hold their call for good (a hung mount), one on the
// same mount, one that cannot be listed, twin folders of one domain, and the main
// domain's own entry under "Domains".
#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>

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

TEST(BoundedWalk, AHungPlaceCostsItsBoundAndTheRestIsStillRead) {
    // The readings left holding their calls use the fake until the process ends.
    static kel::FakeFileSystem& fake = *new kel::FakeFileSystem;
    fake.write("Accounts/LISTS/news.list", subscriber("ann@x.net"));
    fake.write("Domains/example.com/LISTS/ghost.list", "");  // the main domain's: not read
    fake.write("Domains/X.net/LISTS/team.list", subscriber("ann@x.net"));
    fake.write("Domains/x.net/LISTS/team.list", subscriber("ann@x.net") + subscriber("bob@x.net"));
    for (const char* domain : {"a.org", "b.org", "c.org", "d.org"}) {
        fake.write("Domains/" + std::string(domain) + "/LISTS/crew.list", "");
    }
    fake.hold(Call::List, "Domains/a.org/LISTS");
    fake.hold(Call::List, "Domains/d.org/LISTS");
    fake.fail(Call::List, "Domains/c.org/LISTS", EIO);
    // a.org and b.org share a mount; d.org's place gets only what is left of the total.
    const PlaceMount mount_of = [](const std::string& place) {
        return place.find("a.org") != std::string::npos || place.find("b.org") != std::string::npos
                   ? 1
               : place.find("d.org") != std::string::npos ? 2
                                                          : 0;
    };
    std::ostringstream log;
    kel::set_output(&log);
    const BoundedWalk walk =
        walk_lists_bounded(fake, mount_of, "example.com", 0,
                           {std::chrono::milliseconds(400), std::chrono::milliseconds(700)});
    fake.release();
    kel::set_output(nullptr);

    EXPECT_EQ(walk.unread, (std::vector<UnreadPlace>{
                               {Why::NoAnswer, "Domains/a.org/LISTS", ""},
                               {Why::SameMount, "Domains/b.org/LISTS", "Domains/a.org/LISTS"},
                               {Why::CannotList, "Domains/c.org/LISTS", "Input/output error"},
                               {Why::OutOfTime, "Domains/d.org/LISTS", ""},
                           }));
    EXPECT_TRUE(walk.abandoned);
    ASSERT_EQ(list_table.size(), 2u);
    EXPECT_EQ(list_table.count("news@example.com"), 1u);
    // Of the twin folders, the one later in the walk gives the list.
    EXPECT_EQ(list_table.at("team@x.net").subscribers.size(), 2u);
    EXPECT_EQ(list_table.at("team@x.net").subscribers_path, "Domains/x.net/LISTS/team.list");
    // Each reading's records once, in the walk's order; the main domain's entry is
    // not read again.
    EXPECT_EQ(log.str(),
              "* Reading list settings: news@example.com\n"
              "* Reading list subscribers: news@example.com\n"
              "* Reading list settings: team@X.net\n"
              "* Reading list subscribers: team@X.net\n"
              "* Reading list settings: team@x.net\n"
              "* Reading list subscribers: team@x.net\n");
    list_table.clear();
}

}  // namespace
