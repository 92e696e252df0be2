// Lists on network storage, read off the message path: "Domains" on slow storage
// (slow_storage.h), the queue and the main domain's lists on local disk. Messages are
// answered at once while a pass reads the lists there; until the first pass has
// finished, and while the reading in use is too old (the storage hung), those lists
// are unknown and every message says so; a change there is seen within about two
// passes; a pass's records come with the next message, with its number, and never
// on their own; the end of input waits for no pass. Its own executable: each case
// runs the filter its own way, so it is not run again with the walk forced.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "expected_texts.h"
#include "live_filter.h"
#include "private_mounts.h"
#include "slow_storage.h"

namespace {

using Lines = std::vector<std::string>;

const std::string still_reading = record(network_still_reading);
const std::string team_allowed = record(from_allowed("team@example.org"));
const std::string news_allowed = record(from_allowed("news@example.com"));
const Lines no_list = {record(not_a_list), record(accepting), reply("OK")};

// The main domain example.com keeps "news" on local disk; example.org keeps "team"
// under "Domains", which goes on slow storage. Jane may post to both.
std::map<std::string, std::string> server_files() {
    std::map<std::string, std::string> files = jane_server();
    files["Accounts/LISTS/news.list"] = subscriber_line("jane@example.com");
    files["Domains/example.org/LISTS/team.list"] = subscriber_line("jane@example.com");
    return files;
}

// Each metadata call takes a tenth of a second: the first pass takes seconds, and
// every message meanwhile is answered without it.
TEST(NetworkLists, MessagesAreAnsweredWhileAPassReadsTheLists) {
    ServerTree tree(server_files());
    SlowStorage storage(tree.full("Domains"), {.delay_us = 100000});
    SKIP_UNLESS_MOUNTED(storage);
    LiveFilter filter(tree);

    // The local lists are read on the message's path as always, those on network
    // storage are not known yet.
    EXPECT_EQ(filter.post("team"),
              (Lines{record(reading_settings("news@example.com")),
                     record(reading_subscribers("news@example.com")), still_reading,
                     record(not_a_list), record(accepting), reply("OK")}));
    EXPECT_EQ(filter.post("news"),
              (Lines{still_reading, news_allowed, record(accepting), reply("OK")}));
    EXPECT_EQ(filter.post("team"),
              (Lines{still_reading, record(not_a_list), record(accepting), reply("OK")}));

    // The message after the pass gets its records, then its decision.
    Lines read = filter.post_until(
        "team", [](const Lines& lines) { return !has_line(lines, still_reading); });
    EXPECT_EQ(read, (Lines{record(reading_settings("team@example.org")),
                           record(reading_subscribers("team@example.org")), team_allowed,
                           record(accepting), reply("OK")}));
    EXPECT_EQ(filter.finish(), 0);
}

// A pass starts every ten seconds and takes a few milliseconds on this small tree;
// the first message after the pass that saw a change carries the change's records,
// with its number: nothing was written in between. (Messages are posted until the
// change shows, not after a fixed wait: a pass may start late on a loaded machine.)
TEST(NetworkLists, AChangeIsSeenWithinTenSecondsAndItsRecordsComeWithAMessage) {
    ServerTree tree(server_files());
    SlowStorage storage(tree.full("Domains"));
    SKIP_UNLESS_MOUNTED(storage);
    LiveFilter filter(tree);
    filter.post_until("team", [](const Lines& lines) { return has_line(lines, team_allowed); });
    const std::string lists = SlowStorage::source_of("Domains") + "/example.org/LISTS/";
    const auto once_seen = [&](const std::string& message, const std::string& shows_change) {
        return filter.post_until(
            message, [&](const Lines& lines) { return has_line(lines, shows_change); }, 60);
    };

    tree.write(lists + "team.list", subscriber_line("jane@example.com", "-010001"));
    EXPECT_EQ(once_seen("team", record(from_muted("team@example.org"))),
              (Lines{record(reading_subscribers("team@example.org")),
                     record(from_muted("team@example.org")), record(jane_refused),
                     record(rejecting), reply(not_allowed)}));

    tree.write(lists + "team.settings", "{ Postings = \"from anybody\"; }\n");
    EXPECT_EQ(once_seen("team", record(anyone_can_post("team@example.org"))),
              (Lines{record(reading_settings("team@example.org")),
                     record(anyone_can_post("team@example.org")), record(accepting), reply("OK")}));

    // A list gone there is gone for the decision; one that comes is read.
    tree.remove(lists + "team.list");
    tree.write(SlowStorage::source_of("Domains") + "/example.net/LISTS/crew.list",
               subscriber_line("jane@example.com"));
    EXPECT_EQ(once_seen("team", record(not_a_list)),
              (Lines{record(reading_settings("crew@example.net")),
                     record(reading_subscribers("crew@example.net")), record(not_a_list),
                     record(accepting), reply("OK")}));
    EXPECT_EQ(filter.post("news"), (Lines{news_allowed, record(accepting), reply("OK")}));
    EXPECT_EQ(filter.finish(), 0);
}

// One pass over every place on network storage stopped at the first mount that hung:
// a list new on a healthy second mount was never seen. Each mount has its own passes
// now: with example.org's mount hung from the start, a list that comes on example.net's
// is read, and the local lists are checked as ever.
TEST(NetworkLists, AHungMountHoldsNoOtherMount) {
    std::map<std::string, std::string> files = server_files();
    files["Domains/example.net/LISTS/crew.list"] = subscriber_line("jane@example.com");
    for (const char* list : {"crew", "fresh"}) {
        files["Queue/" + std::string(list) + ".msg"] = queued_message(
            "jane@example.com", {std::string(list) + "@example.net"}, "From: jane@example.com");
    }
    ServerTree tree(files);
    SlowStorage hung(tree.full("Domains/example.org"));
    SKIP_UNLESS_MOUNTED(hung);
    SlowStorage healthy(tree.full("Domains/example.net"));
    SKIP_UNLESS_MOUNTED(healthy);
    hung.stall();
    LiveFilter filter(tree, with_environment({"ASAN_OPTIONS=detect_leaks=0"}));
    const auto shows = [](const std::string& record_text) {
        return [=](const Lines& lines) { return has_line(lines, record(record_text)); };
    };
    EXPECT_TRUE(has_line(filter.post_until("crew", shows(from_allowed("crew@example.net"))),
                         still_reading));

    tree.write(SlowStorage::source_of("Domains/example.net") + "/LISTS/fresh.list",
               subscriber_line("ann@example.com"));
    EXPECT_EQ(LiveFilter::decision_of(
                  filter.post_until("fresh", shows(from_stranger("fresh@example.net")))),
              record(from_stranger("fresh@example.net")));
    EXPECT_EQ(filter.post("news"),
              (Lines{still_reading, news_allowed, record(accepting), reply("OK")}));
    EXPECT_EQ(filter.finish(), 0);
}

// The storage hangs (its server stopped): no pass finishes. With the limit cut to
// two seconds (the aid "--network-limit"), messages that keep arriving are
// told the reading is too old, and the lists there are unknown until a pass
// finishes again. The end of input waits for no pass. (In the sanitizer build the
// leak check at exit must stop every thread, which one waiting on a hung mount
// never does: the leak check is left to the other tests here.)
TEST(NetworkLists, AReadingGrownTooOldIsNotUsedAndTheEndOfInputWaitsForNoPass) {
    ServerTree tree(server_files());
    SlowStorage storage(tree.full("Domains"));
    SKIP_UNLESS_MOUNTED(storage);
    RunOptions options = with_environment({"ASAN_OPTIONS=detect_leaks=0"});
    options.aids = {"--network-limit=2"};
    LiveFilter filter(tree, options);
    filter.post_until("team", [](const Lines& lines) { return has_line(lines, team_allowed); });

    const std::string stale_start = record(network_not_read_for);
    const auto not_read = [&](const Lines& lines) {
        return !lines.empty() && lines.front().rfind(stale_start, 0) == 0;
    };
    storage.stall();
    Lines stale = filter.post_until("team", not_read);
    ASSERT_TRUE(not_read(stale)) << stale.front();
    // The age in whole seconds: above the limit.
    const std::string age = stale.front().substr(stale_start.size());
    EXPECT_GE(std::stoi(age), 2) << stale.front();
    EXPECT_EQ(age.substr(age.find(' ')), " s, not checked");
    EXPECT_EQ(Lines(stale.begin() + 1, stale.end()), no_list);
    // Local lists are judged as ever.
    Lines news = filter.post("news");
    ASSERT_FALSE(news.empty());
    EXPECT_TRUE(not_read(news)) << news.front();
    EXPECT_EQ(Lines(news.begin() + 1, news.end()),
              (Lines{news_allowed, record(accepting), reply("OK")}));

    // A pass that finishes brings the lists back, as they were.
    storage.resume();
    EXPECT_EQ(filter.post_until("team", [&](const Lines& lines) { return !not_read(lines); }),
              (Lines{team_allowed, record(accepting), reply("OK")}));

    // Hung again, until a pass is surely stuck; then the input ends.
    storage.stall();
    ASSERT_TRUE(not_read(filter.post_until("team", not_read)));
    EXPECT_EQ(filter.finish(), 0);
}

}  // namespace

namespace {

// A hung network file system stalled every message: a filter started while the
// mount hung never answered its first message, and one that was serving stalled
// at the next change of the mounts, which made it look at the hung place again.
// Neither touches it now: the mount table says where network storage lies.
TEST(NetworkLists, AHungMountHoldsNoMessageAtStartOrAfterAMountChange) {
    const std::string refusal = enter_private_mount_namespace();
    ServerTree tree(server_files());
    SlowStorage storage(tree.full("Domains"));
    SKIP_UNLESS_MOUNTED(storage);
    storage.stall();
    LiveFilter filter(tree, with_environment({"ASAN_OPTIONS=detect_leaks=0"}));
    const Lines news_read = {record(reading_settings("news@example.com")),
                             record(reading_subscribers("news@example.com")),
                             still_reading,
                             news_allowed,
                             record(accepting),
                             reply("OK")};
    EXPECT_EQ(filter.post("news"), news_read);
    if (!refusal.empty()) {
        GTEST_SKIP() << "no mount namespace of our own: " << refusal;
    }
    tree.make_directory("Queue/held");
    ASSERT_EQ(bind_mount(tree.full("Settings"), tree.full("Queue/held")), "");
    EXPECT_EQ(filter.post("news"),
              (Lines{still_reading, news_allowed, record(accepting), reply("OK")}));
    unmount_below(tree.full("Queue"));
    EXPECT_EQ(filter.finish(), 0);
}

// NFS in a fail-over fails to list a directory: the lists it held were dropped and
// their mail let through. They keep their records; the failure is told once.
TEST(NetworkLists, ADirectoryThatCannotBeListedThereKeepsItsLists) {
    ServerTree tree(server_files());
    SlowStorage storage(tree.full("Domains"));
    SKIP_UNLESS_MOUNTED(storage);
    LiveFilter filter(tree);
    filter.post_until("team", [](const Lines& lines) { return has_line(lines, team_allowed); });
    const std::string lists = SlowStorage::source_of("Domains") + "/example.org/LISTS/";
    tree.write(lists + ".slow_fs-eio", "");
    const std::string failed =
        record("Cannot list directory Domains/example.org/LISTS: Input/output error");
    Lines told =
        filter.post_until("team", [&](const Lines& lines) { return has_line(lines, failed); });
    EXPECT_EQ(told, (Lines{failed, team_allowed, record(accepting), reply("OK")}));
    EXPECT_EQ(filter.post("team"), (Lines{team_allowed, record(accepting), reply("OK")}));
    EXPECT_EQ(filter.finish(), 0);
}

}  // namespace

namespace {

// A first pass over many domains on network storage left every list unknown until
// its end. What it has read is now handed over domain by domain: a list early in
// the walk is checked while the lists there are still being read.
TEST(NetworkLists, AListEarlyInTheWalkIsCheckedBeforeTheFirstReadingEnds) {
    ServerTree tree(jane_server());
    for (int domain = 0; domain < 64; ++domain) {
        tree.write("Domains/d" + std::to_string(domain) + ".test/LISTS/l.list",
                   subscriber_line("jane@example.com"));
    }
    SlowStorage storage(tree.full("Domains"), {.delay_us = 20000});
    SKIP_UNLESS_MOUNTED(storage);
    // The first domain of the walk: the first the system lists.
    std::string first;
    for (const auto& entry :
         std::filesystem::directory_iterator(tree.full(SlowStorage::source_of("Domains")))) {
        first = entry.path().filename().string();
        break;
    }
    const std::string list = "l@" + first;
    tree.write("Queue/early.msg",
               queued_message("jane@example.com", {list}, "From: jane@example.com"));
    LiveFilter filter(tree);
    const auto checked = [&](const Lines& lines) {
        return has_line(lines, record(from_allowed(list)));
    };
    const Lines lines = filter.post_until("early", checked);
    EXPECT_TRUE(checked(lines));
    EXPECT_TRUE(has_line(lines, still_reading)) << "known only once the first pass ended";
    EXPECT_EQ(filter.finish(), 0);
}

// A listing the storage took and never answers (its server stopped in the middle)
// held the filter's end and its standard output with it, even against SIGKILL: the
// server never saw the output end, nor the process it started end, and could start no
// other. Both end with the input now (finish reads the output to its end first).
TEST(NetworkLists, TheFilterEndsWithTheInputThoughAPassIsHeldInACallTheStorageTook) {
    ServerTree tree(server_files());
    auto storage = std::make_unique<SlowStorage>(tree.full("Domains"));
    SKIP_UNLESS_MOUNTED(*storage);
    LiveFilter filter(tree, with_environment({"ASAN_OPTIONS=detect_leaks=0"}));
    filter.post_until("team", [](const Lines& lines) { return has_line(lines, team_allowed); });
    tree.write(SlowStorage::source_of("Domains") + "/example.org/LISTS/.slow_fs-hang", "");
    const unsigned long long listings = storage->calls()["readdir"];
    filter.post_until("team", [&](const Lines&) { return storage->calls()["readdir"] > listings; });
    std::atomic<int> status{-1};
    std::thread finisher([&] { status = filter.finish(); });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (status < 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(status, 0) << "the filter did not end within 10 s of its input";
    storage.reset();  // lets the call go, and with it what is left of the work
    finisher.join();
}

}  // namespace
