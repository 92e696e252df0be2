// The slow storage fixture itself: what is changed in the source is seen through the
// mount at once (and a name the kernel may keep missing stays missing), the program
// counts the calls it serves, each caller has the source's permissions, the filter
// takes the mount for network storage, and the real filter decides messages to lists
// kept there. Each test skips, saying why, where nothing can be mounted. The delay
// itself is not timed here: see slow_fs.cpp and the benchmarks.
#include "slow_storage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "expected_texts.h"
#include "file_system.h"
#include "live_filter.h"
#include "storage_types.h"

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return in ? content.str() : "(unreadable)";
}

bool exists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

Lines listing(const std::string& directory) {
    Lines names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(SlowStorage, ChangesInTheSourceAreSeenThroughTheMountAtOnce) {
    ServerTree tree;
    tree.write("Domains/example.org/LISTS/team.list", "one\n");
    SlowStorage storage(tree.full("Domains"));
    SKIP_UNLESS_MOUNTED(storage);
    const std::string mounted = tree.full("Domains/example.org/LISTS/");
    const std::string source = storage.source() + "/example.org/LISTS/";
    EXPECT_EQ(storage.source(), tree.full(SlowStorage::source_of("Domains")));
    EXPECT_EQ(read_file(mounted + "team.list"), "one\n");

    // Longer, then shorter: the size comes from the source each time.
    tree.write(SlowStorage::source_of("Domains") + "/example.org/LISTS/team.list", "one\ntwo\n");
    EXPECT_EQ(read_file(mounted + "team.list"), "one\ntwo\n");
    tree.write(SlowStorage::source_of("Domains") + "/example.org/LISTS/team.list", "1\n");
    EXPECT_EQ(read_file(mounted + "team.list"), "1\n");

    std::ofstream(source + "news.list") << "new\n";
    EXPECT_EQ(listing(mounted), (Lines{"news.list", "team.list"}));
    EXPECT_EQ(read_file(mounted + "news.list"), "new\n");
    fs::rename(source + "news.list", source + "old.list");
    EXPECT_EQ(listing(mounted), (Lines{"old.list", "team.list"}));
    EXPECT_FALSE(exists(mounted + "news.list"));
    fs::remove(source + "team.list");
    EXPECT_FALSE(exists(mounted + "team.list"));

    // The counts file is not listed; the mount is read-only.
    EXPECT_EQ(listing(tree.full("Domains")), (Lines{"example.org"}));
    EXPECT_FALSE(std::ofstream(mounted + "written.list"));
}

// With a negative entry cache the kernel keeps a missing name missing for its time,
// as a network file system does; without one it asks again.
TEST(SlowStorage, MissingNamesAreKeptForTheNegativeTimeout) {
    for (double timeout : {0.0, 600.0}) {
        ServerTree tree;
        tree.write("Domains/example.org/LISTS/team.list", "");
        SlowStorageOptions options;
        options.negative_timeout = timeout;
        SlowStorage storage(tree.full("Domains"), options);
        SKIP_UNLESS_MOUNTED(storage);
        EXPECT_FALSE(exists(tree.full("Domains/example.org/LISTS/news.list")));
        std::ofstream(storage.source() + "/example.org/LISTS/news.list") << "";
        EXPECT_EQ(exists(tree.full("Domains/example.org/LISTS/news.list")), timeout == 0)
            << "negative timeout " << timeout;
    }
}

// Each kind of metadata call is counted where the program serves it, and reading
// the counts costs none.
TEST(SlowStorage, MetadataCallsAreCountedByKind) {
    ServerTree tree;
    tree.write("Domains/example.org/LISTS/team.list", "x");
    tree.make_symlink("team.list", "Domains/example.org/LISTS/link.list");
    SlowStorage storage(tree.full("Domains"));
    SKIP_UNLESS_MOUNTED(storage);
    const std::string lists = tree.full("Domains/example.org/LISTS");
    struct Case {
        std::string kind;
        std::function<void()> action;
    };
    const Case cases[] = {
        {"getattr", [&] { EXPECT_TRUE(exists(lists + "/team.list")); }},
        {"open", [&] { EXPECT_EQ(read_file(lists + "/team.list"), "x"); }},
        {"opendir", [&] { listing(lists); }},
        {"readdir", [&] { listing(lists); }},
        {"access", [&] { EXPECT_EQ(access((lists + "/team.list").c_str(), R_OK), 0); }},
        {"readlink", [&] { EXPECT_EQ(fs::read_symlink(lists + "/link.list"), "team.list"); }},
        {"statfs",
         [&] {
             struct statfs file_system;
             EXPECT_EQ(statfs(lists.c_str(), &file_system), 0);
         }},
    };
    for (const Case& row : cases) {
        auto before = storage.calls();
        ASSERT_EQ(storage.calls(), before);
        row.action();
        auto after = storage.calls();
        EXPECT_GT(after[row.kind], before[row.kind]) << row.kind;
        EXPECT_GT(after["total"], before["total"]) << row.kind;
    }
}

// The program reads the source as root: unless it acts with each caller's ids, any
// user reads any file through the mount.
TEST(SlowStorage, EachCallerHasTheSourcesPermissions) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to switch to an unprivileged user";
    }
    ServerTree tree;
    chmod(tree.path().c_str(), 0755);
    tree.write("Domains/open.list", "open ");
    tree.write("Domains/closed.list", "closed ");
    tree.write("Domains/private/inner.list", "inner");
    chmod(tree.full("Domains/closed.list").c_str(), 0600);
    chmod(tree.full("Domains/private").c_str(), 0700);
    SlowStorage storage(tree.full("Domains"));
    SKIP_UNLESS_MOUNTED(storage);
    RunOptions options;
    options.arguments = {"Domains/open.list", "Domains/closed.list", "Domains/private/inner.list"};
    EXPECT_EQ(run_program("cat", tree.path(), "", options).output, "open closed inner");
    options.prefix = as_nobody;
    ProcessResult nobody = run_program("cat", tree.path(), "", options);
    EXPECT_EQ(nobody.output, "open ");
    EXPECT_NE(nobody.exit_status, 0);
    EXPECT_NE(nobody.errors.find("closed.list: Permission denied"), std::string::npos)
        << nobody.errors;
    EXPECT_NE(nobody.errors.find("inner.list: Permission denied"), std::string::npos)
        << nobody.errors;
}

// The filter watches no directory there: its change events would miss changes made
// on other machines.
TEST(SlowStorage, TheFilterTakesTheMountForNetworkStorage) {
    ServerTree tree;
    tree.write("Domains/example.org/LISTS/team.list", "");
    SlowStorage storage(tree.full("Domains"));
    SKIP_UNLESS_MOUNTED(storage);
    struct statfs file_system;
    ASSERT_EQ(statfs(tree.full("Domains/example.org").c_str(), &file_system), 0);
    EXPECT_FALSE(kel::has_local_change_events(static_cast<int64_t>(file_system.f_type)));
    EXPECT_EQ(kel::real_file_system().storage(tree.full("Domains/example.org/LISTS")),
              kel::Storage::Network);
}

// Walking, as the filter did before it read network storage off the message path
// (network_lists_test.cpp): the lists there are read at every message.
TEST(SlowStorage, TheFilterDecidesMessagesToListsOnTheMount) {
    ServerTree tree(jane_server());
    tree.write("Domains/example.org/LISTS/team.list", subscriber_line("jane@example.com"));
    SlowStorage storage(tree.full("Domains"));
    SKIP_UNLESS_MOUNTED(storage);
    LiveFilter filter(tree, full_walk);
    EXPECT_EQ(filter.post("team"),
              (Lines{record(reading_settings("team@example.org")),
                     record(reading_subscribers("team@example.org")),
                     record(from_allowed("team@example.org")), record(accepting), reply("OK")}));

    // Changed in the source between two messages.
    tree.write(SlowStorage::source_of("Domains") + "/example.org/LISTS/team.list",
               subscriber_line("jane@example.com", "-010001"));
    EXPECT_EQ(filter.post("team"),
              (Lines{record(reading_subscribers("team@example.org")),
                     record(from_muted("team@example.org")), record(jane_refused),
                     record(rejecting), reply(not_allowed)}));
    EXPECT_EQ(filter.finish(), 0);
}

}  // namespace
