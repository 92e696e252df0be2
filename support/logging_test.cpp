// Reply lines and log records as they reach standard output.
#include "logging.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

namespace {

class LoggingTest : public ::testing::Test {
  protected:
    void SetUp() override { kel::set_output(&captured); }
    void TearDown() override { kel::set_output(nullptr); }
    std::string written() {
        std::string text = captured.str();
        captured.str("");
        return text;
    }
    std::ostringstream captured;
};

TEST_F(LoggingTest, RecordPrefixCarriesNumberAndTag) {
    kel::logline() << "";
    kel::logline() << "Ready to receive INTF command.";
    kel::logline(12) << "Accepting message";
    kel::logline(0) << "no number";
    kel::logline(4294967295u) << "big";
    kel::logline(std::string("9")) << "Filter is shutting down...";
    EXPECT_EQ(written(),
              "* \n"
              "* Ready to receive INTF command.\n"
              "* [12] Accepting message\n"
              "* no number\n"
              "* [4294967295] big\n"
              "* 9: Filter is shutting down...\n");
}

TEST_F(LoggingTest, EveryPieceOfAMultiLineRecordCarriesTheFullPrefix) {
    kel::logline(3) << "a\nb\n\n";
    kel::logline(3) << "\n\n";
    kel::logline(std::string("t-multi")) << "x\ny";
    EXPECT_EQ(written(), "* [3] a\n* [3] b\n* [3] \n* t-multi: x\n* t-multi: y\n");
}

// An ESC from a hostile envelope address reached the server's log raw, and then C1
// controls and TABs did: outside text cannot split a record, and no control
// character reaches it raw, whether or not the caller made the text printable.
TEST_F(LoggingTest, ControlBytesFromOutsideAreWrittenAsHexEscapes) {
    const std::string hostile = std::string("a\x1b[2Jb\tc\r\n\0\x7f\x9b\xc2\x9d", 15);
    kel::logline(7) << "list " << kel::printable(hostile);
    kel::logline(7) << "raw \x01\x1b\t\x9b\xc2\x9d\xc3\xa9 end";
    kel::logline(std::string("\x1b") + "9") << "tag";
    EXPECT_EQ(written(),
              "* [7] list a\\x1b[2Jb\\x09c\\x0d\\x0a\\x00\\x7f\\x9b\\xc2\\x9d\n"
              "* [7] raw \\x01\\x1b\\x09\\x9b\\xc2\\x9d\xc3\xa9 end\n"
              "* \\x1b9: tag\n");
}

TEST_F(LoggingTest, CarriageReturnsSplitARecordLikeLineFeeds) {
    // Otherwise a CR from a file could end the line for the server mid-record.
    kel::logline(5) << "from a\rfile\r\nend\r";
    EXPECT_EQ(written(), "* [5] from a\n* [5] file\n* [5] \n* [5] end\n");
}

TEST_F(LoggingTest, RepeatedTaggedRecordsAreCountedAndReportedOnChange) {
    for (const char* text : {"A", "A", "A", "B", "B", "C", "D"}) {
        kel::logline(std::string("t-repeat")) << text;
    }
    EXPECT_EQ(written(),
              "* t-repeat: A\n"
              "* t-repeat: (Last message repeated 3 times)\n"
              "* t-repeat: B\n"
              "* t-repeat: (Last message repeated 2 times)\n"
              "* t-repeat: C\n"
              "* t-repeat: D\n");
}

TEST_F(LoggingTest, SuppressionIsPerTagAndNeverForUntaggedRecords) {
    kel::logline(std::string("t-one")) << "same";
    kel::logline(std::string("t-two")) << "same";
    kel::logline() << "same";
    kel::logline() << "same";
    kel::logline(std::string("t-one")) << "same\n";  // differs by its line feed
    EXPECT_EQ(written(), "* t-one: same\n* t-two: same\n* same\n* same\n* t-one: same\n");
}

TEST_F(LoggingTest, PlainLineEndsWithExactlyOneLineFeed) {
    kel::outline() << "5 OK\n\n\n";
    kel::outline();
    EXPECT_EQ(written(), "5 OK\n\n");
}

TEST_F(LoggingTest, LinesOfConcurrentThreadsStayWhole) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 500; ++i) {
                kel::logline(static_cast<uint32_t>(t + 1)) << std::string(100, 'a' + t);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    std::istringstream lines(written());
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        ASSERT_EQ(line.size(), 106u) << line;
        char body = line.back();
        EXPECT_EQ(line, "* [" + std::to_string(body - 'a' + 1) + "] " + std::string(100, body));
    }
    EXPECT_EQ(count, 2000);
}

}  // namespace
