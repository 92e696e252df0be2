// Path queries and directory listing.
#include "files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

namespace {

namespace fs = std::filesystem;

class FilesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quorvel-files-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
    }
    void TearDown() override { fs::remove_all(root); }
    std::string touch(const std::string& name, const std::string& content = "") {
        std::ofstream(root + "/" + name) << content;
        return root + "/" + name;
    }
    std::set<std::string> listing(const std::string& pattern = "") {
        std::set<std::string> names;
        kel::Directory directory(root, pattern);
        while (directory.next()) {
            names.insert(directory.name());
        }
        EXPECT_EQ(directory.name(), "");
        return names;
    }
    std::string root;
};

TEST_F(FilesTest, ExistsOnlyForWhatIsNotADirectory) {
    EXPECT_TRUE(kel::file_exists(touch("plain")));
    EXPECT_FALSE(kel::file_exists(root));
    EXPECT_TRUE(kel::is_directory(root));
    EXPECT_FALSE(kel::file_exists(root + "/missing"));
    EXPECT_FALSE(kel::is_directory(root + "/missing"));
    mkfifo((root + "/fifo").c_str(), 0600);
    EXPECT_TRUE(kel::file_exists(root + "/fifo"));
}

TEST_F(FilesTest, SizeTimeAndStampOfFileAndOfMissingPath) {
    std::string path = touch("sized", "12345");
    EXPECT_EQ(kel::file_size(path), 5u);
    timespec times[2] = {{1700000000, 123456789}, {1700000000, 123456789}};
    utimensat(AT_FDCWD, path.c_str(), times, 0);
    EXPECT_EQ(kel::file_time(path), 1700000000);
    const kel::FileStamp stamp = kel::file_stamp(path);
    EXPECT_EQ(stamp.size, 5u);
    EXPECT_EQ(stamp.seconds, 1700000000);
    EXPECT_EQ(stamp.nanoseconds, 123456789);
    EXPECT_NE(stamp.inode, 0u);
    EXPECT_TRUE(stamp.regular);
    EXPECT_EQ(kel::file_size(root + "/missing"), 0u);
    EXPECT_EQ(kel::file_time(root + "/missing"), 0);
    EXPECT_EQ(kel::file_stamp(root + "/missing"), kel::FileStamp{});
}

// A list file repaired by chmod, or replaced by rename with a file of the same size
// and time, once looked unchanged: only the size and the modification time were
// compared. The change time and the inode number now tell both.
TEST_F(FilesTest, StampChangesWithPermissionsAndWithAReplacementByRename) {
    timespec times[2] = {{1700000000, 5}, {1700000000, 5}};
    const std::string path = touch("list", "12345");
    utimensat(AT_FDCWD, path.c_str(), times, 0);
    const kel::FileStamp before = kel::file_stamp(path);

    // The change time may move only at the clock's tick: repeat until it does.
    kel::FileStamp after = before;
    for (int tries = 0; tries < 10000000 && after == before; ++tries) {
        chmod(path.c_str(), tries % 2 == 0 ? 0600 : 0644);
        after = kel::file_stamp(path);
    }
    EXPECT_NE(after, before);
    EXPECT_EQ(after.size, before.size);
    EXPECT_EQ(after.seconds, before.seconds);
    EXPECT_EQ(after.nanoseconds, before.nanoseconds);

    const std::string replacement = touch("list.new", "54321");
    utimensat(AT_FDCWD, replacement.c_str(), times, 0);
    const kel::FileStamp replaced_before = kel::file_stamp(path);
    fs::rename(replacement, path);
    const kel::FileStamp replaced = kel::file_stamp(path);
    EXPECT_NE(replaced.inode, replaced_before.inode);
    EXPECT_NE(replaced, replaced_before);

    mkfifo((root + "/fifo").c_str(), 0600);
    EXPECT_FALSE(kel::file_stamp(root + "/fifo").regular);
}

TEST_F(FilesTest, ListingSkipsHiddenNamesAndMissingDirectoriesAreEmpty) {
    EXPECT_TRUE(listing().empty());
    touch("a.list");
    touch(".hidden.list");
    fs::create_directory(root + "/sub");
    EXPECT_EQ(listing(), (std::set<std::string>{"a.list", "sub"}));
    kel::Directory missing(root + "/missing");
    EXPECT_FALSE(missing.next());
    EXPECT_EQ(missing.name(), "");
}

TEST_F(FilesTest, PatternSelectsNamesCaseSensitively) {
    for (const char* name : {"a.list", "b.LIST", "c.settings", "d", "xlist"}) {
        touch(name);
    }
    EXPECT_EQ(listing("*.list"), (std::set<std::string>{"a.list"}));
    EXPECT_EQ(listing("?"), (std::set<std::string>{"d"}));
}

TEST(Pattern, MatchesWithBacktrackingStars) {
    const struct {
        const char *name, *pattern;
        bool matches;
    } cases[] = {
        {"abc", "abc", true},     {"abc", "a*", true},       {"abc", "*c", true},
        {"abc", "*b", false},     {"abcbc", "a*bc", true},   {"ab", "a?", true},
        {"a", "a?", false},       {"", "*", true},           {"abab", "*ab*ab", true},
        {"aXbYc", "a*b*c", true}, {"aXbYd", "a*b*c", false}, {"x.list.list", "*.list", true},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(kel::matches_pattern(row.name, row.pattern), row.matches)
            << row.name << " against " << row.pattern;
    }
}

}  // namespace
