// The subscriber file reader: the lines it takes, the files it refuses, and the
// bounds that keep a hostile or damaged file from taking the process's memory.
#include "subscriber_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "scratch_directory.h"

namespace fs = std::filesystem;

namespace {

class SubscriberFileTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(scratch.made()); }

    static void write(const std::string& path, const std::string& content) {
        ScratchDirectory::write(path, content);
    }

    ScratchDirectory scratch{"quorvel-subscribers"};
};

std::string line(const std::string& address, const std::string& posting = "-") {
    return address + "\tfeed\t01-01-2026_00:00:00\t0\t" + posting + "\tName\n";
}

// A subscriber line of `length` bytes before its line end; the address pads it out.
std::string line_of_length(size_t length, const std::string& domain) {
    const std::string rest = "@" + domain + "\tfeed\tt\t0\t-\tN";
    return std::string(length - rest.size(), 'x') + rest;
}

TEST_F(SubscriberFileTest, SubscriberLines) {
    const struct {
        std::string line;
        std::string address;
        Subscription found;
        uint64_t short_lines = 0;  // lines with fewer than six fields
    } cases[] = {
        {line("Jane@Example.org"), "jane@example.org", Subscription::MayPost},
        {line("jane@example.org", "-010001"), "jane@example.org", Subscription::MayNotPost},
        {line("jane@example.org", "-010000"), "jane@example.org", Subscription::MayPost},
        {line("jane@example.org", "-0100011"), "jane@example.org", Subscription::MayPost},
        // A quoted local part and a domain literal, as the From reader spells them.
        {line("\"Jo\\;Nguyen\"@x.io"), "\"jo;nguyen\"@x.io", Subscription::MayPost},
        {line("\"kim.x\"@[192.0.2.149 ]"), "kim.x@[192.0.2.149]", Subscription::MayPost},
        {"jane@example.org\tdigest\tt\t0\t-010001\tName\n", "jane@example.org",
         Subscription::MayNotPost},
        {"a@b\tindex\tt\t0\t-\tN\n", "a@b", Subscription::MayPost},
        {"a@b\tnull\tt\t0\t-\tN\n", "a@b", Subscription::MayPost},
        {"a@b\tFeed\tt\t0\t-\tN\n", "a@b", Subscription::NotSubscribed},
        {"a@b\tbanned\tt\t0\t-\tN\n", "a@b", Subscription::NotSubscribed},
        {"a@b\tfeed\tt\t0\t-\n", "a@b", Subscription::NotSubscribed, 1},
        {"a@b\t\tfeed\t\tt\t0\t\t-010001\tN\n", "a@b", Subscription::MayNotPost},
        {"\t\ta@b\tfeed\tt\t0\t-010001\tN\n", "a@b", Subscription::MayNotPost},
        {"a@b feed t 0 - N\n", "a@b", Subscription::NotSubscribed, 1},
        {"a@b\tfeed\tt\t0\t-010001\tN\tmore\tfields\n", "a@b", Subscription::MayNotPost},
        {line("a@b") + line("A@B", "-010001"), "a@b", Subscription::MayPost},
        {line("A@B", "-010001") + line("a@b"), "a@b", Subscription::MayNotPost},
        {"a@b\tfeed\tt\t0\t-010001\tN", "a@b", Subscription::MayNotPost},
        {"x\r\na@b\tfeed\tt\t0\t-010001\tN\n\rc@d\tfeed\tt\t0\t-\tN\r", "a@b",
         Subscription::MayNotPost, 1},
        {"x\r\na@b\tfeed\tt\t0\t-\tN\n\rc@d\tfeed\tt\t0\t-010001\tN\r", "c@d",
         Subscription::MayNotPost, 1},
    };
    for (const auto& row : cases) {
        write("subscribers.list", row.line);
        // Read whole, and a byte or three at a time, so that lines and the pairs of
        // line ends are cut across reads.
        for (size_t read_bytes : {SubscriberFileLimits().read_bytes, size_t{1}, size_t{3}}) {
            SubscriberFileLimits limits;
            limits.read_bytes = read_bytes;
            SubscriberList subscribers;
            SubscriberFileRead read = read_subscriber_file("subscribers.list", subscribers, limits);
            EXPECT_TRUE(read.readable);
            EXPECT_EQ(read.short_lines, row.short_lines) << row.line;
            EXPECT_EQ(subscribers.find(row.address), row.found)
                << "file: " << row.line << ", read " << read_bytes << " bytes at a time";
        }
    }
}

// A list is read again into the storage of its previous reading; nothing of that
// reading may show through, whether the new file is smaller, unreadable or larger.
TEST_F(SubscriberFileTest, ReadingAgainKeepsNothingOfTheLastReading) {
    std::string many;
    for (int i = 0; i < 5000; ++i) {
        many += line("old" + std::to_string(i) + "@example.org");
    }
    write("many.list", many);
    write("few.list", line("new@example.org") + line("old7@example.org", "-010001"));
    mkfifo("fifo.list", 0644);
    SubscriberList subscribers;
    ASSERT_TRUE(read_subscriber_file("many.list", subscribers).readable);
    EXPECT_EQ(subscribers.size(), 5000u);
    ASSERT_TRUE(read_subscriber_file("few.list", subscribers).readable);
    EXPECT_EQ(subscribers.size(), 2u);
    EXPECT_EQ(subscribers.find("old8@example.org"), Subscription::NotSubscribed);
    EXPECT_EQ(subscribers.find("old7@example.org"), Subscription::MayNotPost);
    EXPECT_EQ(subscribers.find("new@example.org"), Subscription::MayPost);
    EXPECT_FALSE(read_subscriber_file("fifo.list", subscribers).readable);
    EXPECT_TRUE(subscribers.empty());
    ASSERT_TRUE(read_subscriber_file("many.list", subscribers).readable);
    EXPECT_EQ(subscribers.size(), 5000u);
    EXPECT_EQ(subscribers.find("old4999@example.org"), Subscription::MayPost);
    EXPECT_EQ(subscribers.find("new@example.org"), Subscription::NotSubscribed);
}

// None of these may block or yield anyone: a FIFO with no writer, a directory, a
// dangling link, and a regular file whose reading fails at once.
TEST_F(SubscriberFileTest, SubscriberFilesThatCannotBeReadYieldNoSubscribers) {
    mkfifo("fifo.list", 0644);
    fs::create_directory("directory.list");
    fs::create_symlink("missing.list", "dangling.list");
    fs::create_symlink("/proc/self/mem", "memory.list");
    for (const char* path : {"fifo.list", "directory.list", "dangling.list", "memory.list"}) {
        SubscriberList subscribers;
        subscribers.add("left@over", true);
        subscribers.finish();
        SubscriberFileRead read = read_subscriber_file(path, subscribers);
        EXPECT_FALSE(read.readable) << path;
        EXPECT_FALSE(read.reason.empty()) << path;
        EXPECT_TRUE(subscribers.empty()) << path;
    }
}

// A file's size is only a claim: a sparse file of 100 GiB costs nothing to make.
// Memory was once set aside from that claim before a byte was read, so such a file
// threw std::bad_alloc out of the refresh and every restart of the filter died on
// it again. A file over the limit is now refused before it is read, and nothing
// about a file is ever reserved before its bytes have come in.
TEST_F(SubscriberFileTest, FilesOverTheLimitAreRefusedUnread) {
    const uint64_t limit = SubscriberFileLimits().largest_file;
    ASSERT_EQ(limit, uint64_t{512} << 20);
    for (uint64_t size : {uint64_t{100} << 30, limit + 1}) {
        write("sparse.list", line("jane@example.org"));
        ASSERT_EQ(truncate("sparse.list", static_cast<off_t>(size)), 0);
        SubscriberList subscribers;
        subscribers.add("left@over", true);
        subscribers.finish();
        SubscriberFileRead read = read_subscriber_file("sparse.list", subscribers);
        EXPECT_FALSE(read.readable) << size;
        EXPECT_EQ(read.reason, "it is larger than 512 MiB") << size;
        EXPECT_TRUE(subscribers.empty()) << size;
    }
}

// A line longer than the limit is no subscriber line, whatever its fields; the lines
// on either side of it still count, and a line of exactly the limit is read.
TEST_F(SubscriberFileTest, LinesOverTheLimitAreSkipped) {
    const size_t limit = SubscriberFileLimits().longest_line;
    ASSERT_EQ(limit, size_t{64} << 10);
    const struct {
        std::string ends;
        size_t length;
        Subscription found;
    } cases[] = {
        {"\n", limit, Subscription::MayPost},
        {"\n", limit + 1, Subscription::NotSubscribed},
        {"\r\n", limit, Subscription::MayPost},
        {"\r", limit + 1, Subscription::NotSubscribed},
        {"\n", 4 * limit, Subscription::NotSubscribed},
    };
    // Whole in one read, and in reads of 4 KiB, so that the long line is cut.
    for (size_t read_bytes : {SubscriberFileLimits().read_bytes, size_t{4096}}) {
        SubscriberFileLimits limits;
        limits.read_bytes = read_bytes;
        for (const auto& row : cases) {
            const std::string at = std::to_string(row.length) + " bytes, read " +
                                   std::to_string(read_bytes) + " at a time";
            write("long.list", line("before@example.org") + line_of_length(row.length, "long") +
                                   row.ends + line("after@example.org"));
            SubscriberList subscribers;
            EXPECT_TRUE(read_subscriber_file("long.list", subscribers, limits).readable);
            std::string address = line_of_length(row.length, "long");
            address.resize(address.find('\t'));
            EXPECT_EQ(subscribers.find(address), row.found) << at;
            EXPECT_EQ(subscribers.find("before@example.org"), Subscription::MayPost) << at;
            EXPECT_EQ(subscribers.find("after@example.org"), Subscription::MayPost) << at;
            // The last line of a file, with no line end.
            write("last.list", line("before@example.org") + line_of_length(row.length, "long"));
            read_subscriber_file("last.list", subscribers, limits);
            EXPECT_EQ(subscribers.find(address), row.found) << at;
            EXPECT_EQ(subscribers.size(), row.found == Subscription::MayPost ? 2u : 1u) << at;
        }
    }
}

}  // namespace
