// Opening files without blocking, and reading them back in blocks.
#include "file_stream.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

namespace fs = std::filesystem;

std::string temporary_directory() {
    std::string pattern = (fs::temp_directory_path() / "quorvel-stream-XXXXXX").string();
    return mkdtemp(pattern.data()) ? pattern : "";
}

TEST(FileStream, RefusesWhatIsNotARegularFileWithoutBlocking) {
    std::string root = temporary_directory();
    mkfifo((root + "/fifo").c_str(), 0600);
    fs::create_symlink(root + "/nowhere", root + "/dangling");
    for (std::string path :
         {root + "/fifo", root, root + "/dangling", root + "/missing", std::string("/dev/null")}) {
        kel::ifstream in(path);
        EXPECT_FALSE(in.is_open()) << path;
        EXPECT_TRUE(in.fail()) << path;
    }
    fs::remove_all(root);
}

TEST(FileStream, ReadsAcrossBlocksAndSeeksBackToTheStart) {
    std::string root = temporary_directory();
    std::string content(200000, 'x');
    for (size_t i = 0; i < content.size(); i += 997) {
        content[i] = static_cast<char>('a' + i % 26);
    }
    std::ofstream(root + "/big", std::ios::binary) << content;
    kel::ifstream in(root + "/big");
    ASSERT_TRUE(in.is_open());
    std::string read((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(read, content);
    in.clear();
    in.seekg(0);
    EXPECT_EQ(in.get(), 'a');
    EXPECT_FALSE(in.read_failed());
    fs::remove_all(root);
}

TEST(FileStream, AFailingReadEndsTheInputAndIsReported) {
    // Reads of this file fail at offset 0 even for root.
    kel::ifstream in("/proc/self/mem");
    if (!in.is_open()) {
        GTEST_SKIP() << "/proc/self/mem is not a regular file here";
    }
    EXPECT_EQ(in.get(), std::char_traits<char>::eof());
    EXPECT_TRUE(in.read_failed());
}

}  // namespace
