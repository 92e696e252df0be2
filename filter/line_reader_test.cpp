// Line ends on files and on standard input, the end-of-input states, and the bound.
#include "line_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "file_stream.h"

namespace {

std::vector<std::string> lines_of(std::istream& in, LineEnds ends, size_t limit) {
    std::vector<std::string> lines;
    std::string line;
    while (in.good()) {
        read_line(in, line, ends, limit);
        if (!in.fail()) {
            lines.push_back(line);
        }
    }
    return lines;
}

// Reads the same bytes through a string stream and through a file on disk, which
// takes the block-scanning path.
void expect_lines(const std::string& input, LineEnds ends, std::vector<std::string> expected,
                  size_t limit = max_line_length) {
    std::istringstream text(input);
    EXPECT_EQ(lines_of(text, ends, limit), expected) << "string stream: " << input;
    // One name per process, so that two runs of these tests at once share no file.
    std::string path = std::filesystem::temp_directory_path() /
                       ("quorvel-line-reader-test-" + std::to_string(getpid()));
    std::ofstream(path, std::ios::binary) << input;
    kel::ifstream file(path);
    EXPECT_EQ(lines_of(file, ends, limit), expected) << "file: " << input;
    std::filesystem::remove(path);
}

TEST(ReadLine, FilesTakeBothPairsAsOneLineEnd) {
    expect_lines("a\r\nb\n\rc\rd\ne", LineEnds::Pairs, {"a", "b", "c", "d", "e"});
    expect_lines("a\n\n", LineEnds::Pairs, {"a", ""});
    expect_lines("a\r\n\r\nb", LineEnds::Pairs, {"a", "", "b"});
    expect_lines("\n\r\n", LineEnds::Pairs, {"", ""});
    expect_lines("", LineEnds::Pairs, {});
}

TEST(ReadLine, StandardInputEndsALineAtEveryCarriageReturnAndLineFeed) {
    expect_lines("a\r\nb\n\rc", LineEnds::Single, {"a", "", "b", "", "c"});
}

TEST(ReadLine, LastLineWithoutLineEndSetsEndButNotFail) {
    std::istringstream in("last");
    std::string line;
    read_line(in, line);
    EXPECT_EQ(line, "last");
    EXPECT_TRUE(in.eof());
    EXPECT_FALSE(in.fail());
    read_line(in, line);
    EXPECT_EQ(line, "");
    EXPECT_TRUE(in.fail());
}

TEST(ReadLine, BytesBeyondTheBoundAreDroppedUpToTheLineEnd) {
    expect_lines(std::string(100000, 'x') + "\nnext\n", LineEnds::Pairs,
                 {std::string(10, 'x'), "next"}, 10);
}

TEST(ReadLine, KeepsEveryOtherByte) {
    std::string bytes;
    for (int byte = 0; byte < 256; ++byte) {
        if (byte != '\n' && byte != '\r') {
            bytes.push_back(static_cast<char>(byte));
        }
    }
    expect_lines(bytes + "\n" + bytes, LineEnds::Pairs, {bytes, bytes});
}

}  // namespace
