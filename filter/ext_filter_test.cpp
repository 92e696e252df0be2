// Verdicts turned into log records and reply lines.
#include "ext_filter.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "file_stream.h"
#include "logging.h"

namespace {

class FixedFilter : public cgp::ExtFilter {
  public:
    FixedFilter() : cgp::ExtFilter(false) {}
    cgp::FilterResult filter_file(int32_t, const std::string&) override {
        ++calls;
        return result;
    }
    cgp::FilterResult result = cgp::accept_result;
    int calls = 0;
};

// Reads the message from the stream the request layer opened, and refuses with its
// first line.
class ReadingFilter : public cgp::ExtFilter {
  public:
    ReadingFilter() : cgp::ExtFilter(false) {}
    cgp::FilterResult filter_file(int32_t, const std::string&) override {
        ++by_path;
        return cgp::accept_result;
    }
    cgp::FilterResult filter_opened_file(int32_t, const std::string&,
                                         kel::ifstream& file) override {
        std::string line;
        std::getline(file, line);
        return {cgp::Reject, {line}};
    }
    int by_path = 0;
};

TEST(Verdict, RepliesAndLogTextsOfEveryVerdict) {
    const struct {
        cgp::FilterResult result;
        const char *log, *reply;
    } cases[] = {
        {{cgp::Accept, {"ignored"}}, "Accepting message", "7 OK"},
        {{cgp::Postpone, {"later"}}, "Postponing message", "7 REJECTED \"later\""},
        {{cgp::Postpone, {}}, "Postponing message", "7 REJECTED \"\""},
        {{cgp::Reject, {"no"}}, "Rejecting message", "7 ERROR \"no\""},
        {{cgp::Reject, {}}, "Rejecting message", "7 ERROR \"\""},
        {{cgp::Reject, {"one", "two"}}, "Rejecting message", "7 ERROR \"one\\etwo\""},
        {{cgp::Reject, {"a\"b\\c\td\r"}}, "Rejecting message", "7 ERROR \"a\\\"b\\\\c\\td\""},
        {{cgp::Discard, {"x"}}, "Discarding message", "7 DISCARD"},
        {{cgp::AddHeader, {"X-A: 1", "X-B: 2"}},
         "Adding Header(s) to message",
         "7 ADDHEADER \"X-A: 1\\eX-B: 2\""},
        {{cgp::AddHeader, {}}, "Accepting message", "7 OK"},
        {{cgp::AddHeader, {"", ""}}, "Adding Header(s) to message", "7 ADDHEADER \"\\e\""},
        {{cgp::AddHeader, {"\r"}}, "Accepting message", "7 OK"},
        {{static_cast<cgp::FilterVerdict>(9), {"x"}}, "Accepting message", "7 OK"},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(cgp::verdict_log_text(cgp::effective_verdict(row.result)), std::string(row.log))
            << row.reply;
        EXPECT_EQ(cgp::verdict_reply(7, row.result), row.reply);
    }
}

class FileRequestTest : public ::testing::Test {
  protected:
    void SetUp() override { kel::set_output(&captured); }
    void TearDown() override { kel::set_output(nullptr); }
    std::string serve(const std::string& path) {
        captured.str("");
        filter.process_request(4, "file", path);
        return captured.str();
    }
    std::ostringstream captured;
    FixedFilter filter;
};

TEST_F(FileRequestTest, MissingOrUnopenableFilesAreLetThroughWithoutAVerdict) {
    std::string fifo = std::filesystem::temp_directory_path() / "quorvel-ext-filter-fifo";
    mkfifo(fifo.c_str(), 0600);
    EXPECT_EQ(serve("/no/such/file"), "4 OK \"Error: File Not Found /no/such/file\"\n");
    EXPECT_EQ(serve("/tmp"), "4 OK \"Error: File Not Found /tmp\"\n");
    EXPECT_EQ(serve(fifo), "4 OK \"Error: unable to open file " + fifo + "\"\n");
    EXPECT_EQ(filter.calls, 0);
    std::filesystem::remove(fifo);
}

TEST_F(FileRequestTest, LogRecordPrecedesTheReply) {
    std::string path = std::filesystem::temp_directory_path() / "quorvel-ext-filter-message";
    std::ofstream(path) << "message";
    filter.result = {cgp::Reject, {"You are not allowed to post messages on this list"}};
    EXPECT_EQ(serve(path),
              "* [4] Rejecting message\n"
              "4 ERROR \"You are not allowed to post messages on this list\"\n");
    EXPECT_EQ(filter.calls, 1);
    std::filesystem::remove(path);
}

// The file opened for the check is the one the filter reads, from its start; the
// replies for missing and unopenable files do not change for such a filter.
TEST(FileRequest, AFilterReadsTheFileOpenedForTheCheck) {
    std::ostringstream captured;
    kel::set_output(&captured);
    ReadingFilter filter;
    std::string path = std::filesystem::temp_directory_path() / "quorvel-ext-filter-read";
    std::ofstream(path) << "first line\nsecond line\n";
    filter.process_request(5, "file", path);
    filter.process_request(6, "file", "/no/such/file");
    filter.process_request(7, "file", "/tmp");
    kel::set_output(nullptr);
    EXPECT_EQ(captured.str(),
              "* [5] Rejecting message\n"
              "5 ERROR \"first line\"\n"
              "6 OK \"Error: File Not Found /no/such/file\"\n"
              "7 OK \"Error: File Not Found /tmp\"\n");
    EXPECT_EQ(filter.by_path, 0);
    std::filesystem::remove(path);
}

}  // namespace
