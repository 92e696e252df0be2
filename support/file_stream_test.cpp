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

// Seeks inside the block in hand move no data; the others read again. Either way
// the bytes at the new position are those of the file (each row reads 6 of them).
TEST(FileStream, EverySeekLandsOnTheBytesOfTheFile) {
    std::string root = temporary_directory();
    std::string content;
    for (size_t i = 0; i < 3 * kel::standard_block_size / 2; ++i) {
        content.push_back(static_cast<char>('a' + i * 7 % 26));
    }
    std::ofstream(root + "/file", std::ios::binary) << content;
    kel::ifstream in(root + "/file");
    ASSERT_TRUE(in.is_open());
    const off_t size = static_cast<off_t>(content.size());
    const off_t block = static_cast<off_t>(kel::standard_block_size);
    const struct {
        off_t offset;
        std::ios_base::seekdir from;
        off_t expected;
    } seeks[] = {
        {0, std::ios_base::beg, 0},
        {10, std::ios_base::beg, 10},
        {5, std::ios_base::cur, 21},
        {-16, std::ios_base::cur, 11},
        {block + 3, std::ios_base::beg, block + 3},
        {-7, std::ios_base::end, size - 7},
        {2, std::ios_base::beg, 2},
        {-block, std::ios_base::end, size - block},
        {block - 1, std::ios_base::beg, block - 1},
    };
    for (const auto& seek : seeks) {
        in.clear();
        in.seekg(seek.offset, seek.from);
        EXPECT_EQ(static_cast<off_t>(in.tellg()), seek.expected) << seek.offset;
        std::string read(6, '\0');
        in.read(read.data(), 6);
        EXPECT_EQ(read, content.substr(static_cast<size_t>(seek.expected), 6)) << seek.offset;
    }
    fs::remove_all(root);
}

// Blocks are reused from one file to the next: a short file read after a long one
// shows none of the long one's bytes.
TEST(FileStream, AReusedBlockHoldsNothingOfTheFileBefore) {
    std::string root = temporary_directory();
    std::ofstream(root + "/long", std::ios::binary) << std::string(kel::standard_block_size, 'L');
    std::ofstream(root + "/short", std::ios::binary) << "short";
    for (int round = 0; round < 3; ++round) {
        for (const char* name : {"long", "short"}) {
            kel::ifstream in(root + "/" + name);
            std::string read((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
            EXPECT_EQ(read.size(), name == std::string("long") ? kel::standard_block_size : 5u);
            EXPECT_EQ(read.find_first_not_of(name[0] == 'l' ? "L" : "short"), std::string::npos);
        }
    }
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
