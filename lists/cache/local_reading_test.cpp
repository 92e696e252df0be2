// The local reading's status passes: what they report after changes that raise no
// event, and what they stop watching.
#include "local_reading.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "scratch_directory.h"

namespace fs = std::filesystem;

namespace {

using Changes = std::vector<LocalReading::Change>;

}  // namespace

// For the failure messages.
void PrintTo(const LocalReading::Change& change, std::ostream* out) {
    *out << change.directory << " " << (change.name.empty() ? "(itself)" : change.name);
}

namespace {

const std::string lists = "Domains/a.test/LISTS";

class StatusPassesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch.made());
        fs::create_directories(lists);
        for (const char* file : {"news.list", "news.settings", "team.list", "team.settings"}) {
            write(lists + "/" + file, "first\n");
        }
    }
    static void write(const std::string& path, const std::string& content) {
        ScratchDirectory::write(path, content);
    }
    // Watches a list with the stamps its files have now, as the tree does after a
    // visit, or with `digest`; the tree hands the directory over whole each time.
    void watch(const std::string& name, std::optional<uint64_t> digest = std::nullopt) {
        forget_list(name);
        watched.lists.emplace_back(
            name, digest.value_or(stamp_digest(kel::file_stamp(lists + "/" + name + ".list"),
                                               kel::file_stamp(lists + "/" + name + ".settings"))));
        stamps.watch(lists, watched);
    }
    void watch_itself() {
        watched.itself = stamp_digest(kel::file_stamp(lists));
        stamps.watch(lists, watched);
    }
    void forget_list(const std::string& name) {
        std::erase_if(watched.lists, [&](const auto& list) { return list.first == name; });
        stamps.watch(lists, watched);
    }
    // One pass between two exchanges; what it found.
    Changes pass() {
        Changes before = stamps.exchange().changes;
        EXPECT_EQ(before, Changes{}) << "found without a pass";
        stamps.status_pass();
        return stamps.exchange().changes;
    }

    ScratchDirectory scratch{"quorvel-stamps"};
    LocalReading stamps{kel::real_file_system()};
    LocalReading::Directory watched;
};

TEST_F(StatusPassesTest, ListsAndDirectoriesWhoseStampsChangedAreReportedOnce) {
    watch("news");
    watch("team");
    watch_itself();
    EXPECT_EQ(pass(), Changes{});

    // A write through another name: the list directory hears nothing of it.
    ASSERT_EQ(link((lists + "/news.list").c_str(), "second-name"), 0);
    write("second-name", "second\n");
    EXPECT_EQ(pass(), (Changes{{lists, "news"}}));
    EXPECT_EQ(pass(), Changes{});

    // Either file of a list.
    write(lists + "/team.settings", "{}");
    EXPECT_EQ(pass(), (Changes{{lists, "team"}}));

    // The directory itself: an entry made or removed in it, until its times move
    // (they may move only at the clock's tick).
    const kel::FileStamp before = kel::file_stamp(lists);
    for (int tries = 0; tries < 10000000 && kel::file_stamp(lists) == before; ++tries) {
        write(lists + "/other", "");
        fs::remove(lists + "/other");
    }
    EXPECT_EQ(pass(), (Changes{{lists, ""}}));
}

// A pass looks each directory up again: what is at its path now is what counts,
// whether another directory, a file or nothing.
TEST_F(StatusPassesTest, ADirectoryReplacedOrGoneIsReportedWithItsLists) {
    watch("news");
    watch("team");
    watch_itself();
    EXPECT_EQ(pass(), Changes{});
    const auto sorted = [](Changes found) {
        std::sort(found.begin(), found.end(),
                  [](const auto& a, const auto& b) { return a.name < b.name; });
        return found;
    };
    const Changes all = {{lists, ""}, {lists, "news"}, {lists, "team"}};

    // Another directory with files of the same content.
    fs::rename(lists, "old");
    fs::copy("old", lists);
    EXPECT_EQ(sorted(pass()), all);
    EXPECT_EQ(pass(), Changes{});

    // A file where the directory was: its lists are gone.
    fs::remove_all(lists);
    write(lists, "");
    EXPECT_EQ(sorted(pass()), all);

    // Nothing there any more.
    fs::remove(lists);
    EXPECT_EQ(pass(), (Changes{{lists, ""}}));
    EXPECT_EQ(pass(), Changes{});
}

TEST_F(StatusPassesTest, WhatIsForgottenIsNoLongerReported) {
    watch("news");
    watch("team");
    watch_itself();
    forget_list("news");
    EXPECT_EQ(pass(), Changes{});
    write(lists + "/news.list", "changed\n");
    write(lists + "/team.settings", "{}");
    watch("team");  // the tree's new stamps, for the list now where "news" was
    EXPECT_EQ(pass(), Changes{});

    stamps.forget(lists);
    write(lists + "/team.list", "changed\n");
    write(lists + "/other", "");
    EXPECT_EQ(pass(), Changes{});

    watch("team");
    stamps.forget_all();
    write(lists + "/team.list", "changed again\n");
    EXPECT_EQ(pass(), Changes{});
}

// The tree hands over at every refresh, whether a pass ran since or not: nothing
// handed may be lost, and a later change of the same list wins.
TEST_F(StatusPassesTest, ChangesHandedOverAcrossSeveralExchangesAllReachThePass) {
    watch("news", stamp_digest({}, {}));
    EXPECT_EQ(stamps.exchange().changes, Changes{});
    watch("team");
    EXPECT_EQ(stamps.exchange().changes, Changes{});
    watch("news");
    EXPECT_EQ(pass(), Changes{});
    write(lists + "/news.list", "changed\n");
    write(lists + "/team.list", "changed\n");
    Changes found = pass();
    std::sort(found.begin(), found.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    EXPECT_EQ(found, (Changes{{lists, "news"}, {lists, "team"}}));
}

// Every change waited for the next pass, and on a busy machine passes come late:
// domains created and removed meanwhile grew the filter by every change. What waits
// now is one copy of each directory watched and one forgetting per directory gone,
// and the pass finds what it would have found.
TEST_F(StatusPassesTest, ListsAndDirectoriesGoneBeforeAPassAreNotKeptForIt) {
    watch("news");
    for (int round = 0; round < 5000; ++round) {
        const std::string gone = "Domains/gone" + std::to_string(round) + ".test/LISTS";
        stamps.watch(gone, {1, {{"list", 2}}});
        watch("gone", 3);
        stamps.exchange();
        stamps.forget(gone);
        forget_list("gone");
        watch("team");
        stamps.exchange();
    }
    EXPECT_EQ(stamps.waiting_changes(), 5000u + 1u);
    write(lists + "/news.list", "changed\n");
    EXPECT_EQ(pass(), (Changes{{lists, "news"}}));
}

TEST_F(StatusPassesTest, PassesAreTenSecondsApartOrTwentyTimesTheirDuration) {
    EXPECT_EQ(LocalReading(kel::real_file_system()).status_pass(), std::chrono::seconds(10));
    EXPECT_EQ(stamps.idle_limit(), std::chrono::minutes(1));
}

}  // namespace
