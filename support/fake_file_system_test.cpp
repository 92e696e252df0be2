// The in-memory file system the list cache is tested against: it must answer as the
// kernel does (listing order, stamps that move, errnos), fail where told, and hold a
// call until released, or the cache's tests would prove nothing.
#include "fake_file_system.h"

#include <errno.h>
#include <gtest/gtest.h>

#include <future>

namespace {

using Call = kel::FakeFileSystem::Call;

TEST(FakeFileSystem, AnswersAsTheKernelDoes) {
    kel::FakeFileSystem fake;
    fake.write("Domains/b/LISTS/x.list", "abc");
    fake.write("Domains/a/LISTS/.hidden", "");
    fake.make_fifo("Domains/a/LISTS/pipe.list");
    const kel::FileStamp before = fake.status("Domains/b/LISTS/x.list").stamp;
    fake.write("Domains/b/LISTS/x.list", "abd");

    EXPECT_EQ(fake.list("Domains").names, (std::vector<std::string>{"b", "a"}));
    EXPECT_EQ(fake.list("./Domains/a/LISTS/").names, std::vector<std::string>{"pipe.list"});
    EXPECT_TRUE(fake.list("Domains/c").absent());
    EXPECT_NE(fake.status("Domains/b/LISTS/x.list").stamp, before);
    EXPECT_EQ(fake.status("Domains/b/LISTS/x.list").stamp.size, 3u);
    EXPECT_EQ(fake.status("nothing").error, ENOENT);
    EXPECT_EQ(kel::read_file(fake, "Domains/b/LISTS/x.list", 10).bytes, "abd");
    EXPECT_EQ(kel::read_file(fake, "Domains/b/LISTS/x.list", 2).outcome, kel::FileBytes::TooLarge);
    EXPECT_EQ(kel::read_file(fake, "Domains/a/LISTS/pipe.list", 10).outcome,
              kel::FileBytes::NotRegular);
    EXPECT_EQ(kel::read_file(fake, "Domains", 10).outcome, kel::FileBytes::NotRegular);
    fake.rename("Domains/b", "Domains/c");
    EXPECT_EQ(fake.list("Domains/c/LISTS").names, std::vector<std::string>{"x.list"});
    fake.remove("Domains/c");
    EXPECT_EQ(fake.list("Domains").names, std::vector<std::string>{"a"});
}

TEST(FakeFileSystem, FailsAChosenCallWithAChosenError) {
    kel::FakeFileSystem fake;
    fake.write("d/one", "0123456789");
    fake.write("d/two", "");
    fake.set_storage("d", kel::Storage::Network);
    fake.fail(Call::List, "d", EIO);
    fake.fail(Call::Status, "d/two", ESTALE);
    fake.fail(Call::Open, "d/two", EACCES);
    fake.fail_read_after("d/one", 4, EIO);

    const kel::DirectoryListing listing = fake.list("d");
    EXPECT_EQ(listing.error, EIO);
    EXPECT_FALSE(listing.complete() || listing.absent());
    EXPECT_EQ(fake.status("d/two").error, ESTALE);
    EXPECT_EQ(fake.open("d/two").error, EACCES);
    const kel::FileBytes half = kel::read_file(fake, "d/one", 100);
    EXPECT_EQ(half.outcome, kel::FileBytes::Failed);
    EXPECT_EQ(half.error, EIO);
    EXPECT_EQ(fake.storage("d/one"), kel::Storage::Network);
    EXPECT_EQ(fake.storage("."), kel::Storage::Local);
    fake.fail(Call::List, "d", 0);
    EXPECT_TRUE(fake.list("d").complete());
}

TEST(FakeFileSystem, HoldsACallUntilReleased) {
    kel::FakeFileSystem fake;
    fake.make_directory("hung");
    fake.hold(Call::List, "hung");
    auto listing = std::async(std::launch::async, [&] { return fake.list("hung"); });
    ASSERT_TRUE(fake.wait_for_waiting(1, std::chrono::seconds(10)));
    EXPECT_EQ(listing.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_TRUE(fake.status("hung").found()) << "only the held call waits";
    fake.release();
    EXPECT_TRUE(listing.get().complete());
    EXPECT_EQ(fake.waiting(), 0u);
    EXPECT_GE(fake.calls_below("hung"), 2u);
}

}  // namespace
