// The mounts that concern the base directory: the table's lines picked by mount
// point, and the watch over a real mount table in a private mount namespace.
#include "mount_changes.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

#include "private_mounts.h"

namespace fs = std::filesystem;

namespace {

std::string mountinfo_line(const std::string& mount_point) {
    return "36 25 254:0 / " + mount_point + " rw,relatime shared:1 - ext4 /dev/vda rw";
}

TEST(MountChanges, MountsOnThePathToTheBaseAndBelowItConcernIt) {
    struct Case {
        const char* base;
        const char* mount_point;  // as the table writes it
        bool concerns;
    };
    const Case cases[] = {
        {"/srv/cgp", "/", true},
        {"/srv/cgp", "/srv", true},
        {"/srv/cgp", "/srv/cgp", true},
        {"/srv/cgp", "/srv/cgp/Domains/a.test/LISTS", true},
        {"/srv/cgp", "/srv/cgp/Accounts/LISTS/news.list", true},
        {"/srv/cgp", "/srv/cgpx", false},
        {"/srv/cgp", "/srv/cg", false},
        {"/srv/cgp", "/srv/other", false},
        {"/srv/cgp", "/var/lib/docker/overlay2/1f0a/merged", false},
        {"/srv/cgp", "/proc", false},
        // Blanks in paths come escaped.
        {"/srv/cgp", "/srv/cgp\\040x", false},
        {"/srv/c g", "/srv/c\\040g/Domains", true},
        {"/srv/c g", "/srv/c", false},
        {"/srv/cgp", "/srv/cgp/", true},
        {"/srv/cgp", "", false},
    };
    for (const Case& row : cases) {
        const std::string line = mountinfo_line(row.mount_point);
        const std::string table = mountinfo_line("/var/spool") + "\n" + line + "\n";
        const std::vector<std::string> expected =
            row.concerns ? std::vector<std::string>{line} : std::vector<std::string>{};
        EXPECT_EQ(kel::mounts_concerning(table, row.base), expected)
            << row.base << " with a mount on " << row.mount_point;
    }
    // Everything concerns a base directory at the root.
    EXPECT_EQ(kel::mounts_concerning(mountinfo_line("/var/spool"), "/"),
              std::vector<std::string>{mountinfo_line("/var/spool")});
    // A line cut short, and a table without a last line end.
    EXPECT_EQ(kel::mounts_concerning("36 25 254:0\n" + mountinfo_line("/srv"), "/srv/cgp"),
              std::vector<std::string>{mountinfo_line("/srv")});
}

// A mount below the working directory is a change; one elsewhere, and a table
// that has not changed since, are not.
TEST(MountChanges, OnlyMountsThatConcernTheWorkingDirectoryMoveIt) {
    const std::string& failure = enter_private_mount_namespace();
    if (!failure.empty()) {
        GTEST_SKIP() << failure;
    }
    std::string pattern = (fs::temp_directory_path() / "quorvel-mounts-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path root = pattern;
    for (const char* directory : {"base/Domains/a/LISTS", "other", "source"}) {
        fs::create_directories(root / directory);
    }
    const fs::path previous = fs::current_path();
    fs::current_path(root / "base");

    std::unique_ptr<kel::MountChanges> changes = kel::mount_table_changes();
    kel::MountChanges& watch = *changes;
    watch.take_reading();
    EXPECT_FALSE(watch.moved());
    std::string mounted = bind_mount((root / "source").string(), (root / "other").string());
    if (!mounted.empty()) {
        fs::current_path(previous);
        fs::remove_all(root);
        GTEST_SKIP() << mounted;
    }
    EXPECT_FALSE(watch.moved()) << "a mount beside the base directory";
    ASSERT_EQ(bind_mount((root / "source").string(), (root / "base/Domains/a/LISTS").string()), "");
    EXPECT_TRUE(watch.moved());
    watch.take_reading();
    EXPECT_FALSE(watch.moved());
    unmount_below((root / "base").string());
    EXPECT_TRUE(watch.moved());

    fs::current_path(previous);
    unmount_below(root.string());
    fs::remove_all(root);
}

}  // namespace
