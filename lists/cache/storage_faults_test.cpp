// The list cache on storage that fails or hangs, in-process over the in-memory file
// system: the walk, the watched tree and the passes over network storage must keep
// the lists of a directory that cannot be listed, and no message may wait on a
// place that hangs. In the list cache's own executable, for its main domain name.
#include <errno.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <sstream>
#include <thread>

#include "cache_fakes.h"
#include "list_cache.h"
#include "list_walk.h"
#include "logging.h"
#include "scratch_directory.h"

namespace {

using Call = kel::FakeFileSystem::Call;

std::string subscribers(const std::string& address) {
    return address + "\tfeed\tt\t0\t-\tName\n";
}

// The main domain "main.test" from a real settings file; the lists in a fake.
class StorageFaults : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch.made());
        ScratchDirectory::write("Settings/Main.settings", "{ DomainName = Main.Test; }\n");
        ASSERT_EQ(main_domain_name(), "main.test");
    }
    void TearDown() override { kel::set_output(nullptr); }
    // The records one refresh wrote.
    template <typename Refresh>
    static std::string lines_of(Refresh refresh) {
        std::ostringstream captured;
        kel::set_output(&captured);
        refresh();
        kel::set_output(nullptr);
        return captured.str();
    }

    ScratchDirectory scratch{"quorvel-faults"};
};

// One way of keeping the table over a fake: the walk, the watched tree, or the
// passes over network storage (all of "Domains" there).
struct Way {
    const char* name;
    bool walk;
    bool network;
};

class Refresher {
  public:
    Refresher(const Way& way, kel::FakeFileSystem& fake) : way(way), fake(fake) {
        if (way.network) {
            fake.set_storage("Domains", kel::Storage::Network);
        }
        if (!way.walk) {
            cache.emplace(ListCacheOptions{.passes = ListCacheOptions::Passes::OnDemand,
                                           .status_passes = false},
                          fake, std::make_unique<FakeKernelEvents>(fake),
                          std::make_unique<FakeMountChanges>());
        }
        if (way.network) {
            // The passes learn where to read at the first refresh.
            std::ostringstream ignored;
            kel::set_output(&ignored);
            cache->refresh(0);
            kel::set_output(nullptr);
        }
    }
    void refresh(int32_t number, bool with_pass = true) {
        if (way.walk) {
            walk_lists(fake, walked, number);
            return;
        }
        if (way.network && with_pass) {
            cache->run_network_pass();
        }
        cache->refresh(number);
    }
    const ListTable& table() const { return way.walk ? walked : cache->table(); }
    // The directories whose listings are remembered.
    uint64_t remembered() const {
        return way.walk ? walk_listings().size() : cache->counts().listings_remembered;
    }

  private:
    const Way way;  // a copy: a test may name its way in place
    kel::FakeFileSystem& fake;
    std::optional<ListCache> cache;
    ListTable walked;  // the walk's
};

// NFS in a fail-over lets opendir or readdir fail with EIO or ESTALE: every list
// there was dropped and its mail let through as "Not sent to a local list", and
// every list was read again when the error ended. Now the lists a directory held
// keep their records and are examined as usual, a list whose ".list" file is gone
// is still dropped, a list it never listed stays unknown, the record is written once,
// and once it can be listed again only what changed is read.
TEST_F(StorageFaults, ADirectoryThatCannotBeListedKeepsItsLists) {
    const Way ways[] = {{"walk", true, false}, {"tree", false, false}, {"network", false, true}};
    for (const Way& way : ways) {
        for (int error : {EIO, ESTALE}) {
            SCOPED_TRACE(std::string(way.name) + ", " + kel::error_text(error));
            kel::FakeFileSystem fake;
            const std::string lists = "Domains/a.test/LISTS/";
            for (const char* list : {"kept", "changed", "gone"}) {
                fake.write(lists + list + ".list", subscribers("jane@example.org"));
            }
            fake.write("Domains/b.test/LISTS/other.list", subscribers("jane@example.org"));
            Refresher refresher(way, fake);
            lines_of([&] { refresher.refresh(1); });
            ASSERT_EQ(refresher.table().size(), 4u);

            fake.fail(Call::List, "Domains/a.test/LISTS", error);
            fake.remove(lists + "gone.list");
            fake.write(lists + "new.list", subscribers("jane@example.org"));
            fake.write(lists + "changed.settings", "{ Postings = \"from anybody\"; }\n");
            const std::string failed =
                "* [2] Cannot list directory Domains/a.test/LISTS: " + kel::error_text(error) +
                "\n";
            EXPECT_EQ(lines_of([&] { refresher.refresh(2); }),
                      "* [2] Reading list settings: changed@a.test\n" + failed);
            EXPECT_EQ(
                refresher.table().count("kept@a.test") + refresher.table().count("changed@a.test"),
                2u);
            EXPECT_EQ(
                refresher.table().count("gone@a.test") + refresher.table().count("new@a.test"), 0u);
            EXPECT_EQ(refresher.table().at("changed@a.test").policy, Anybody);
            EXPECT_EQ(lines_of([&] { refresher.refresh(3); }), "") << "told once";

            fake.fail(Call::List, "Domains/a.test/LISTS", 0);
            EXPECT_EQ(lines_of([&] { refresher.refresh(4); }),
                      "* [4] Reading list settings: new@a.test\n"
                      "* [4] Reading list subscribers: new@a.test\n");
            EXPECT_EQ(refresher.table().size(), 4u);
        }
    }
}

// "Domains" itself that cannot be listed keeps every domain's lists.
TEST_F(StorageFaults, ADomainsDirectoryThatCannotBeListedKeepsEveryDomain) {
    const Way ways[] = {{"walk", true, false}, {"tree", false, false}, {"network", false, true}};
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        kel::FakeFileSystem fake;
        fake.write("Domains/a.test/LISTS/one.list", subscribers("jane@example.org"));
        fake.write("Domains/b.test/LISTS/two.list", subscribers("jane@example.org"));
        Refresher refresher(way, fake);
        lines_of([&] { refresher.refresh(1); });
        fake.fail(Call::List, "Domains", EIO);
        fake.write("Domains/c.test/LISTS/three.list", "");
        EXPECT_EQ(lines_of([&] { refresher.refresh(2); }),
                  "* [2] Cannot list directory Domains: Input/output error\n");
        EXPECT_EQ(refresher.table().size(), 2u);
    }
}

// What is remembered of a directory's listing, for when it cannot be listed, stayed
// after its domain was removed: a provider's domains that came and went for years
// grew the filter without bound. Now a domain gone takes it along, one whose lists
// could not be listed too, and a list gone from the main domain leaves nothing.
TEST_F(StorageFaults, ADomainGoneLeavesNoListingBehind) {
    const Way ways[] = {{"walk", true, false}, {"tree", false, false}, {"network", false, true}};
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        kel::FakeFileSystem fake;
        fake.write("Accounts/LISTS/news.list", subscribers("jane@example.org"));
        fake.write("Domains/a.test/LISTS/one.list", subscribers("jane@example.org"));
        Refresher refresher(way, fake);
        lines_of([&] { refresher.refresh(1); });
        const uint64_t at_rest = refresher.remembered();
        for (int round = 0; round < 3; ++round) {
            const std::string name = "gone" + std::to_string(round);
            const std::string domain = "Domains/" + name + ".test";
            fake.write(domain + "/LISTS/list.list", subscribers("jane@example.org"));
            fake.write("Accounts/LISTS/" + name + ".list", subscribers("jane@example.org"));
            lines_of([&] { refresher.refresh(2); });
            ASSERT_EQ(refresher.table().size(), 4u);
            if (round == 1) {
                fake.fail(Call::List, domain + "/LISTS", EIO);
                lines_of([&] { refresher.refresh(3); });
            }
            fake.remove(domain);
            fake.remove("Accounts/LISTS/" + name + ".list");
            fake.fail(Call::List, domain + "/LISTS", 0);
            lines_of([&] { refresher.refresh(4); });
            EXPECT_EQ(refresher.table().size(), 2u);
            EXPECT_EQ(refresher.remembered(), at_rest) << name;
        }
    }
}

// A network file system that hangs stalled every message: a refresh after a start
// or a change of the mounts made status calls on the hung place. No call of the
// serving thread may reach it; the lists there are unknown until a pass ends.
TEST_F(StorageFaults, NoMessageWaitsOnNetworkStorageThatHangs) {
    kel::FakeFileSystem fake;
    fake.write("Accounts/LISTS/news.list", subscribers("jane@example.org"));
    fake.write("Domains/a.test/LISTS/one.list", subscribers("jane@example.org"));
    fake.set_storage("Domains", kel::Storage::Network);
    for (Call call : {Call::Status, Call::List, Call::Open}) {
        fake.hold(call, "Domains");
    }
    auto mounts = std::make_unique<FakeMountChanges>();
    FakeMountChanges& mount_table = *mounts;
    {
        ListCache cache({}, fake, std::make_unique<FakeKernelEvents>(fake), std::move(mounts));
        const std::string still = "Lists on network storage are still being read, not checked yet";
        for (int32_t number : {1, 2}) {
            auto refreshed = std::async(std::launch::async,
                                        [&] { return lines_of([&] { cache.refresh(number); }); });
            ASSERT_EQ(refreshed.wait_for(std::chrono::seconds(60)), std::future_status::ready)
                << "refresh " << number << " waits on the hung place";
            EXPECT_NE(refreshed.get().find(still), std::string::npos);
            EXPECT_EQ(cache.table().count("news@main.test"), 1u);
            mount_table.move();
        }
        fake.release();
    }
}

// A reading of network storage older than five minutes of arriving messages (a hung
// mount holds the passes) is not used, and every message says so, until a pass ends.
TEST_F(StorageFaults, AReadingPastItsLimitIsNotUsedUntilAPassEnds) {
    kel::FakeFileSystem fake;
    fake.write("Domains/a.test/LISTS/one.list", subscribers("jane@example.org"));
    Refresher refresher({"network", false, true}, fake);
    lines_of([&] { refresher.refresh(1); });
    fake.advance(std::chrono::minutes(4));
    EXPECT_EQ(lines_of([&] { refresher.refresh(2, false); }), "");
    fake.advance(std::chrono::seconds(61));
    EXPECT_EQ(lines_of([&] { refresher.refresh(3, false); }),
              "* [3] Lists on network storage not read for 301 s, not checked\n");
    EXPECT_EQ(refresher.table().count("one@a.test"), 0u);
    EXPECT_EQ(lines_of([&] { refresher.refresh(4); }), "");
    EXPECT_EQ(refresher.table().count("one@a.test"), 1u);
}

// A pass held by one hung mount held every background job: the lists of another
// mount were never read, nor the local lists that a first reading (here the one
// after a change of the mounts) left over, and a stranger's posting to them went
// unchecked for as long as the hang lasted. Each mount has its own passes now, and
// local lists are read beside them.
TEST_F(StorageFaults, AHungMountHoldsNoOtherReading) {
    kel::FakeFileSystem fake;
    for (const char* domain : {"a.test", "b.test", "c.test", "far.test", "near.test"}) {
        fake.write("Domains/" + std::string(domain) + "/LISTS/crew.list",
                   subscribers("jane@example.org"));
    }
    fake.set_storage("Domains/far.test", kel::Storage::Network);
    fake.set_storage("Domains/near.test", kel::Storage::Network);
    for (Call call : {Call::Status, Call::List}) {
        fake.hold(call, "Domains/far.test/LISTS");
    }
    auto mounts = std::make_unique<FakeMountChanges>();
    FakeMountChanges& mount_table = *mounts;
    {
        ListCache cache({.first_reading_budget = std::chrono::nanoseconds(0)}, fake,
                        std::make_unique<FakeKernelEvents>(fake), std::move(mounts));
        const std::string still = "Lists are still being read, not checked yet";
        const auto known = [&cache] {
            return cache.table().count("crew@c.test") + cache.table().count("crew@near.test") == 2;
        };
        for (int32_t number : {1, 2}) {
            if (number == 2) {
                ASSERT_TRUE(fake.wait_for_waiting(1, std::chrono::seconds(30)));
                mount_table.move();
            }
            std::string lines = lines_of([&] { cache.refresh(number); });
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while ((!known() || lines.find(still) != std::string::npos) &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                lines = lines_of([&] { cache.refresh(number); });
            }
            EXPECT_TRUE(known()) << "reading " << number;
            EXPECT_EQ(lines.find(still), std::string::npos) << "reading " << number;
            EXPECT_EQ(cache.table().count("crew@far.test"), 0u);
        }
        fake.release();
    }
}

// Two "Domains" entries that fold to one domain, one local, one on network storage:
// a partial reading of one folder applied over the other's record gave a list one
// folder's policy with the other's subscribers, and a list gone from one folder
// could leave the record without subscribers: wrongful refusals. Whatever happens
// to either folder, the record is always one folder's whole reading.
TEST_F(StorageFaults, TwinFoldersNeverMixInOneRecord) {
    kel::FakeFileSystem fake;
    const std::string local = "Domains/Twin.test/LISTS/x", away = "Domains/twin.test/LISTS/x";
    const auto write_list = [&](const std::string& stem, const std::string& postings,
                                const std::string& subscriber) {
        fake.write(stem + ".settings", "{ Postings = \"" + postings + "\"; }\n");
        fake.write(stem + ".list", subscribers(subscriber));
    };
    write_list(local, "from anybody", "local@example.org");
    write_list(away, "from owner only", "away@example.org");
    fake.set_storage("Domains/twin.test", kel::Storage::Network);
    ListCache cache({.passes = ListCacheOptions::Passes::OnDemand, .status_passes = false}, fake,
                    std::make_unique<FakeKernelEvents>(fake), std::make_unique<FakeMountChanges>());
    // A record is whole when its policy and its subscribers come from one folder.
    const auto whole = [&](const std::string& step) {
        auto found = cache.table().find("x@twin.test");
        ASSERT_NE(found, cache.table().end()) << step;
        const ListRecord& record = found->second;
        const bool from_local = record.subscribers_path == local + ".list";
        EXPECT_EQ(record.subscribers.size(), 1u) << step;
        EXPECT_NE(record.subscribers.find(from_local ? "local@example.org" : "away@example.org"),
                  Subscription::NotSubscribed)
            << step;
        EXPECT_EQ(record.policy, from_local ? Anybody : OwnerOnly) << step;
        EXPECT_EQ(record.settings_path, (from_local ? local : away) + ".settings") << step;
    };
    int32_t number = 0;
    const auto pass_and_refresh = [&](const std::string& step) {
        fake.advance(std::chrono::minutes(5));  // every pass complete: a change in place seen
        cache.run_network_pass();
        lines_of([&] { cache.refresh(++number); });
        whole(step);
    };
    lines_of([&] { cache.refresh(++number); });
    pass_and_refresh("both read");
    pass_and_refresh("nothing changed");
    fake.write(away + ".list", subscribers("away@example.org") + "# more\n");
    pass_and_refresh("the network folder's subscribers changed");
    fake.write(local + ".settings", "{ Postings = \"from anybody\"; Owner = o; }\n");
    pass_and_refresh("the local folder's settings changed");
    fake.write(away + ".settings", "{ Postings = \"from owner only\"; Owner = o; }\n");
    pass_and_refresh("the network folder's settings changed");
    fake.remove(away + ".list");
    pass_and_refresh("gone from the network folder");
    write_list(away, "from owner only", "away@example.org");
    pass_and_refresh("back in the network folder");
    fake.remove(local + ".list");
    pass_and_refresh("gone from the local folder");
    write_list(local, "from anybody", "local@example.org");
    pass_and_refresh("back in the local folder");
}

// Records and table of a walk over the fake, on a table of its own.
std::pair<std::string, std::unordered_map<std::string, ListRecord>> walked(
    kel::FakeFileSystem& fake, int32_t number) {
    std::unordered_map<std::string, ListRecord> mine;
    std::ostringstream captured;
    kel::set_output(&captured);
    walk_lists(fake, mine, number);
    kel::set_output(nullptr);
    return {captured.str(), std::move(mine)};
}

std::vector<std::string> keys_of(const std::unordered_map<std::string, ListRecord>& table) {
    std::vector<std::string> keys;
    for (const auto& [key, record] : table) {
        keys.push_back(key + " " + record.subscribers_path + " " + record.owner);
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

// 10,000 domains on local disk took the first message 4 s warm and 15 s cold, past
// the server's time-out. Once the first reading has spent its time, it leaves the
// rest to the network reading, which reads them side by side and hands them over in
// the walk's order: the records of both, one after the other, are the walk's; so
// is the table; a list changed meanwhile is read again.
TEST_F(StorageFaults, AFirstReadingOutOfTimeLeavesTheRestInTheWalksOrder) {
    kel::FakeFileSystem fake;
    for (int domain = 0; domain < 12; ++domain) {
        for (const char* list : {"a", "b", "c"}) {
            fake.write("Domains/d" + std::to_string(domain) + ".test/LISTS/" + list + ".list",
                       subscribers("jane@example.org"));
        }
    }
    // The default second runs out a few lists into the first reading.
    fake.set_call_time(std::chrono::milliseconds(8));
    ListCache cache({.passes = ListCacheOptions::Passes::OnDemand, .status_passes = false}, fake,
                    std::make_unique<FakeKernelEvents>(fake), std::make_unique<FakeMountChanges>());
    const std::string still = "* [1] Lists are still being read, not checked yet\n";
    std::string first = lines_of([&] { cache.refresh(1); });
    ASSERT_GE(first.size(), still.size());
    ASSERT_EQ(first.substr(first.size() - still.size()), still);
    first.resize(first.size() - still.size());
    EXPECT_LT(cache.table().size(), 36u);
    cache.run_network_pass();
    fake.write("Domains/d11.test/LISTS/c.settings", "{ Owner = o; }\n");
    const std::string second = lines_of([&] { cache.refresh(1); });
    const auto [walk_lines, walk_table] = walked(fake, 1);
    // The change came after the leftover was read: it is read on top.
    EXPECT_EQ(first + second, walk_lines + "* [1] Reading list settings: c@d11.test\n");
    EXPECT_EQ(keys_of(cache.table()), keys_of(walk_table));
    EXPECT_EQ(lines_of([&] { cache.refresh(2); }), "");
}

// Passes over network storage made one call at a time. Now many are in flight, at
// most sixteen, and what a pass has read is handed over domain by domain while it
// runs: a message meanwhile knows the first domains, and still says the lists are
// being read until the pass ends; the records of all hand-overs are the walk's.
TEST_F(StorageFaults, ANetworkPassReadsSideBySideAndHandsOverAsItGoes) {
    kel::FakeFileSystem fake;
    for (int domain = 0; domain < 40; ++domain) {
        fake.write("Domains/d" + std::to_string(domain) + ".test/LISTS/l.list",
                   subscribers("jane@example.org"));
    }
    fake.set_storage("Domains", kel::Storage::Network);
    ListCache cache({.passes = ListCacheOptions::Passes::OnDemand, .status_passes = false}, fake,
                    std::make_unique<FakeKernelEvents>(fake), std::make_unique<FakeMountChanges>());
    lines_of([&] { cache.refresh(1); });
    // The pass is held on the second chunk of sixteen directories, all in flight.
    for (int domain = 16; domain < 32; ++domain) {
        fake.hold(Call::Status, "Domains/d" + std::to_string(domain) + ".test/LISTS");
    }
    auto pass = std::async(std::launch::async, [&] { cache.run_network_pass(); });
    EXPECT_TRUE(fake.wait_for_waiting(16, std::chrono::seconds(30)));
    const std::string still =
        "* [1] Lists on network storage are still being read, not checked yet\n";
    std::string records = lines_of([&] { cache.refresh(1); });
    EXPECT_TRUE(records.ends_with(still));
    EXPECT_EQ(cache.table().size(), 16u) << "no hand-over before the pass ended";
    fake.release();
    pass.get();
    records.resize(records.size() - std::min(records.size(), still.size()));
    EXPECT_EQ(records + lines_of([&] { cache.refresh(1); }), walked(fake, 1).first);
    EXPECT_EQ(cache.table().size(), 40u);
    EXPECT_LE(fake.most_in_flight(), 16u + 1u);  // and this thread's own call
}

}  // namespace
