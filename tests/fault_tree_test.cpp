// The server's tree as a hostile or busy place, through the real process: files and
// directories that vanish or change kind between two messages or while a request
// runs, files the filter's user may not read, and files whose reading fails. The
// filter must answer every request by the rules and pick up the tree's final state.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "expected_texts.h"
#include "live_filter.h"

namespace {

using Lines = std::vector<std::string>;

const std::string lists = "Accounts/LISTS/";
const std::string allowed = "OK";

// A main domain example.com with the list news, to which jane@example.com may post,
// and a message from her to it ("Queue/news.msg").
std::map<std::string, std::string> good_tree() {
    std::map<std::string, std::string> files = jane_server();
    files[lists + "news.list"] = subscriber_line("jane@example.com");
    files[lists + "news.settings"] = "{ Postings = \"from subscribers\"; Owner = boss; }";
    return files;
}

// The list's settings before a change, when the change is to the settings file: the
// list is owner-only, so a reply that lets Jane through shows that the list is not
// judged after the change (its settings cannot be read) and that the settings were
// not kept from before it.
void owner_only(ServerTree& tree) {
    tree.write(lists + "news.settings", "{ Postings = \"from owner only\"; Owner = boss; }");
}

// Each change is made after the list was read; the next message must get the reply
// of the changed tree, and once the tree is whole again the message after that is
// let through again. A subscriber file that is there but cannot be read (a
// directory, a link to nothing or to itself) once read as a list without
// subscribers and refused Jane; such a list is now not judged, and Jane is let
// through.
TEST(FaultTree, PathsThatVanishOrChangeKindBetweenMessages) {
    const std::function<void(ServerTree&)> nothing = [](ServerTree&) {};
    const struct {
        const char* change;
        std::function<void(ServerTree&)> before, apply;
        std::string reply;
    } cases[] = {
        {"subscriber file removed", nothing, [](ServerTree& t) { t.remove(lists + "news.list"); },
         "OK"},
        {"subscriber file becomes a directory", nothing,
         [](ServerTree& t) {
             t.remove(lists + "news.list");
             t.make_directory(lists + "news.list/inner");
         },
         allowed},
        {"subscriber file becomes a dangling link", nothing,
         [](ServerTree& t) {
             t.remove(lists + "news.list");
             t.make_symlink("gone", lists + "news.list");
         },
         allowed},
        {"subscriber file becomes a link to itself", nothing,
         [](ServerTree& t) {
             t.remove(lists + "news.list");
             t.make_symlink("news.list", lists + "news.list");
         },
         allowed},
        {"settings file becomes a directory", owner_only,
         [](ServerTree& t) {
             t.remove(lists + "news.settings");
             t.make_directory(lists + "news.settings");
         },
         allowed},
        {"settings file becomes a FIFO", owner_only,
         [](ServerTree& t) {
             t.remove(lists + "news.settings");
             t.make_fifo(lists + "news.settings");
         },
         allowed},
        {"settings file whose reading fails", owner_only,
         [](ServerTree& t) {
             t.remove(lists + "news.settings");
             t.make_symlink("/proc/self/mem", lists + "news.settings");
         },
         allowed},
        {"list directory becomes a file", nothing,
         [](ServerTree& t) {
             t.remove("Accounts/LISTS");
             t.write("Accounts/LISTS", "not a directory");
         },
         "OK"},
        {"list directory becomes a dangling link", nothing,
         [](ServerTree& t) {
             t.remove("Accounts/LISTS");
             t.make_symlink("/nonexistent", "Accounts/LISTS");
         },
         "OK"},
        {"Domains becomes a file", nothing, [](ServerTree& t) { t.write("Domains", "x"); },
         allowed},
        {"message removed", nothing, [](ServerTree& t) { t.remove("Queue/news.msg"); },
         "OK \"Error: File Not Found Queue/news.msg\""},
        {"message becomes a directory", nothing,
         [](ServerTree& t) {
             t.remove("Queue/news.msg");
             t.make_directory("Queue/news.msg");
         },
         "OK \"Error: File Not Found Queue/news.msg\""},
        {"message becomes a dangling link", nothing,
         [](ServerTree& t) {
             t.remove("Queue/news.msg");
             t.make_symlink("gone", "Queue/news.msg");
         },
         "OK \"Error: File Not Found Queue/news.msg\""},
        {"message whose reading fails", nothing,
         [](ServerTree& t) {
             t.remove("Queue/news.msg");
             t.make_symlink("/proc/self/mem", "Queue/news.msg");
         },
         "OK"},
    };
    LiveFilter filter(good_tree());
    ServerTree& tree = filter.tree();
    ASSERT_EQ(filter.reply("news"), reply(allowed));
    for (const auto& row : cases) {
        row.before(tree);
        filter.post("news");
        row.apply(tree);
        EXPECT_EQ(filter.reply("news"), reply(row.reply)) << row.change;
        tree.remove("Domains");
        tree.remove("Accounts/LISTS");
        tree.remove("Queue/news.msg");
        tree.write(good_tree());
        EXPECT_EQ(filter.reply("news"), reply(allowed)) << "after: " << row.change;
    }
}

// A settings file that cannot be read is named in one log record, and its list is
// not judged (it once read as a list without settings).
TEST(FaultTree, ASettingsReadThatFailsIsLogged) {
    LiveFilter filter(good_tree());
    filter.tree().remove(lists + "news.settings");
    filter.tree().make_symlink("/proc/self/mem", lists + "news.settings");
    Lines lines = filter.post("news");
    EXPECT_TRUE(has_line(lines,
                         "* Cannot read settings file \"Accounts/LISTS/news.settings\": "
                         "Input/output error"))
        << testing::PrintToString(lines);
    EXPECT_TRUE(has_line(lines, record(settings_unread("news@example.com"))))
        << testing::PrintToString(lines);
    EXPECT_EQ(lines.back(), reply(allowed));
}

// A writer changes the tree as fast as it can while messages are served, so that
// files vanish and change between the directory listing, the status query and the
// read. Every message gets one of the replies the tree could give, and once the
// writer stops the filter sees the final tree.
TEST(FaultTree, ATreeChangingWhileMessagesAreServed) {
    LiveFilter filter(good_tree());
    ServerTree& tree = filter.tree();
    tree.write("Domains/example.org/LISTS/team.list", subscriber_line("jane@example.com"));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const std::string settings[] = {"{ Postings = \"from owner only\"; }",
                                        "{ Postings = \"from anybody\"; Owner = x; }", "{ (", ""};
        const std::string members[] = {
            subscriber_line("jane@example.com"),
            subscriber_line("jane@example.com", "-010001") + subscriber_line("a@b.c"), "",
            std::string(100000, '\t')};
        for (unsigned step = 0; !stop; ++step) {
            switch (step % 8) {
                case 0:
                    tree.write(lists + "news.list", members[step / 8 % 4]);
                    break;
                case 1:
                    tree.write(lists + "news.settings", settings[step / 8 % 4]);
                    break;
                case 2:
                    tree.rename(lists + "news.list", lists + "news.saved");
                    break;
                case 3:
                    tree.rename(lists + "news.saved", lists + "news.list");
                    break;
                case 4:
                    tree.remove("Domains/example.org");
                    break;
                case 5:
                    tree.write("Domains/example.org/LISTS/team.list", members[step / 8 % 4]);
                    break;
                case 6:
                    tree.remove(lists + "news.settings");
                    tree.make_fifo(lists + "news.settings");
                    break;
                case 7:
                    tree.remove(lists + "news.settings");
                    break;
            }
        }
    });
    const Lines possible = {reply(allowed), reply(not_allowed), reply(not_subscribed)};
    for (int i = 0; i < 300; ++i) {
        const std::string answer = filter.reply("news");
        EXPECT_TRUE(has_line(possible, answer)) << answer;
    }
    stop = true;
    writer.join();

    tree.remove("Accounts/LISTS");
    tree.write(lists + "news.list", subscriber_line("jane@example.com", "-010001"));
    tree.write(lists + "news.settings", "{ Postings = \"from subscribers\"; }");
    EXPECT_EQ(filter.reply("news"), reply(not_allowed));
    tree.write(good_tree());
    EXPECT_EQ(filter.reply("news"), reply(allowed));
}

// The filter may run as a user who cannot read everything in the tree.
class Unprivileged : public testing::Test {
  protected:
    RunOptions options;
    void SetUp() override {
        options.prefix = as_nobody;
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to switch to an unprivileged user";
        }
        ServerTree probe;
        chmod(probe.path().c_str(), 0755);
        ProcessResult result = run_filter(probe.path(), "1 KEY\n", options);
        if (replies(result) != Lines{"1 OK"}) {
            GTEST_SKIP() << "setpriv cannot run the filter unprivileged: " << result.errors;
        }
    }
};

// A subscriber file or a settings file the filter may not read leaves its list
// unjudged: Jane's message to the owner-only list, or to the list whose subscribers
// cannot be read, is let through. The subscriber file once read as empty and
// refused her.
TEST_F(Unprivileged, FilesItMayNotReadReadAsMissingOrEmpty) {
    const struct {
        const char* situation;
        std::string path;
        mode_t mode;
        std::string reply;
    } cases[] = {
        {"subscriber file", lists + "news.list", 0, allowed},
        {"settings file", lists + "news.settings", 0, allowed},
        {"list directory", "Accounts/LISTS", 0, "OK"},
        {"list directory not listable", "Accounts/LISTS", 0311, "OK"},
        {"message", "Queue/news.msg", 0, "OK \"Error: unable to open file Queue/news.msg\""},
        {"main settings", "Settings/Main.settings", 0, "OK"},
    };
    for (const auto& row : cases) {
        ServerTree tree(good_tree());
        if (row.path == lists + "news.settings") {
            owner_only(tree);
        }
        chmod(tree.path().c_str(), 0755);
        chmod(tree.full(row.path).c_str(), row.mode);
        const std::string input = "1 FILE Queue/news.msg\n2 KEY\n";
        ProcessResult result = run_filter_checked(tree.path(), input, options);
        EXPECT_EQ(replies(result), (Lines{reply(row.reply, "1"), "2 OK"})) << row.situation;
        chmod(tree.full(row.path).c_str(), 0755);
    }
}

}  // namespace
