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
    EXPECT_EQ(kel::file_stamp(path), (kel::FileStamp{5, 1700000000, 123456789}));
    EXPECT_EQ(kel::file_size(root + "/missing"), 0u);
    EXPECT_EQ(kel::file_time(root + "/missing"), 0);
    EXPECT_EQ(kel::file_stamp(root + "/missing"), kel::FileStamp{});
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
