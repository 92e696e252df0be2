// The engine over an injected input: the implied INTF, the threaded mode's
// admission rules, and that threaded runs return only after every reply.
#include "helper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "logging.h"

namespace {

class RecordingHelper : public cgp::Helper {
  public:
    explicit RecordingHelper(bool threaded) : cgp::Helper(threaded, "REJECTED") {}
    int interface_version(int version) override {
        versions.push_back(version);
        return cgp::Helper::interface_version(version);
    }
    bool accepts_command(const std::string& command) override { return command == "file"; }
    void process_request(int32_t number, const std::string& command,
                         const std::string& arguments) override {
        while (hold_requests) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (delay_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        }
        kel::outline() << number << " OK " << command << ":" << arguments;
    }
    std::vector<int> versions;
    std::atomic<bool> hold_requests{false};
    int delay_ms = 0;
};

class HelperTest : public ::testing::Test {
  protected:
    void SetUp() override { kel::set_output(&captured); }
    void TearDown() override { kel::set_output(nullptr); }
    std::vector<std::string> run(cgp::Helper& helper, const std::string& input) {
        std::istringstream in(input);
        helper.run(in);
        std::vector<std::string> lines;
        std::istringstream out(captured.str());
        for (std::string line; std::getline(out, line);) {
            lines.push_back(line);
        }
        return lines;
    }
    std::ostringstream captured;
};

TEST_F(HelperTest, FirstServedRequestWithoutIntfImpliesVersionThreeOnce) {
    RecordingHelper helper(false);
    auto lines = run(helper, "1 FILE a b\n2 File c\n");
    EXPECT_EQ(helper.versions, std::vector<int>{3});
    EXPECT_EQ(lines, (std::vector<std::string>{"* Ready to receive INTF command.", "1 OK file:a b",
                                               "2 OK file:c"}));
}

TEST_F(HelperTest, IntfPassesTheServersVersionOrOneOrZero) {
    RecordingHelper helper(false);
    run(helper, "1 INTF 7\n2 INTF\n3 INTF abc\n4 FILE x\n");
    EXPECT_EQ(helper.versions, (std::vector<int>{7, 1, 0}));
}

TEST(RequestNumber, ReadsLeadingDigitsWithinSigned32Bits) {
    const struct {
        const char* field;
        int32_t number;
    } cases[] = {{"12abc", 12},
                 {"-3", -3},
                 {"abc", 0},
                 {" 5", 5},
                 {"+8", 8},
                 {"007", 7},
                 {"2147483647", 2147483647},
                 {"-2147483648", INT32_MIN},
                 {"2147483648", 0},
                 {"99999999999999999999", 0},
                 {"-", 0}};
    for (const auto& row : cases) {
        EXPECT_EQ(cgp::request_number_of(row.field), row.number) << row.field;
    }
}

TEST_F(HelperTest, ThreadedRunReturnsOnlyAfterEveryAdmittedRequestReplied) {
    RecordingHelper helper(true);
    helper.delay_ms = 20;
    std::string input;
    for (int i = 1; i <= 20; ++i) {
        input += std::to_string(i) + " FILE m" + std::to_string(i) + "\n";
    }
    auto lines = run(helper, input);
    int replies = 0, started = 0, done = 0;
    for (const std::string& line : lines) {
        replies += line.find(" OK file:m") != std::string::npos;
        started += line.find("Thread processing started") != std::string::npos;
        done += line.find("Thread processing done") != std::string::npos;
    }
    EXPECT_EQ(replies, 20);
    EXPECT_EQ(started, 20);
    EXPECT_EQ(done, 20);
}

TEST_F(HelperTest, ThreadedModeRefusesABusyIdAndAFullQueue) {
    RecordingHelper helper(true);
    helper.hold_requests = true;
    int saved = cgp::Helper::max_queued_requests;
    cgp::Helper::max_queued_requests = 2;
    std::thread release([&helper] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        helper.hold_requests = false;
    });
    auto lines = run(helper, "1 FILE a\n1 FILE b\n2 FILE c\n3 FILE d\n");
    release.join();
    cgp::Helper::max_queued_requests = saved;
    auto contains = [&lines](const std::string& wanted) {
        return std::find(lines.begin(), lines.end(), wanted) != lines.end();
    };
    EXPECT_TRUE(contains(
        "1 REJECTED \"This request ID is already in use (1), try again in a few seconds.\""));
    EXPECT_TRUE(
        contains("3 REJECTED \"Too many requests in queue (2), try again in a few seconds.\""));
    EXPECT_TRUE(contains("1 OK file:a"));
    EXPECT_TRUE(contains("2 OK file:c"));
}

}  // namespace
