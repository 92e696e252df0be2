// The server's tree as a hostile or busy place, through the real process: files and
// directories that vanish or change kind between two messages or while a request
// runs, files the filter's user may not read, and files whose reading fails. The
// filter must answer every request by the rules and pick up the tree's final state.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "checked_run.h"
#include "server_tree.h"

namespace {

using Lines = std::vector<std::string>;

const std::string lists = "Accounts/LISTS/";
const std::string allowed = " OK";
const std::string not_allowed = " ERROR \"You are not allowed to post messages on this list\"";
const std::string not_subscribed =
    " ERROR \"You cannot post messages because you are not subscribed to this list\"";

// A main domain example.com with the list news, to which jane@example.com may post,
// and a message from her to it.
void write_good_tree(ServerTree& tree) {
    tree.write("Settings/Main.settings", main_settings("example.com"));
    tree.write("Queue/news.msg", queued_message("someone@x.net", {"news@example.com"},
                                                "From: Jane <jane@example.com>"));
    tree.remove(lists + "news.list");
    tree.remove(lists + "news.settings");
    tree.write(lists + "news.list", subscriber_line("jane@example.com"));
    tree.write(lists + "news.settings", "{ Postings = \"from subscribers\"; Owner = boss; }");
}

// The reply to a request for the message, without its number.
std::string reply_of(const Lines& lines) {
    if (lines.empty()) {
        return "<no reply>";
    }
    const std::string& reply = lines.back();
    size_t space = reply.find(' ');
    return space == std::string::npos ? reply : reply.substr(space);
}

class LiveFilter {
  public:
    explicit LiveFilter(const RunOptions& options = {}) {
        write_good_tree(tree);
        session.emplace(tree.path(), options);
        session->start_lines();
    }
    Lines post(const std::string& message = "Queue/news.msg") {
        return request_checked(*session, std::to_string(++requests) + " FILE " + message);
    }
    std::string reply(const std::string& message = "Queue/news.msg") {
        return reply_of(post(message));
    }

    ServerTree tree;
    std::optional<FilterSession> session;
    int requests = 0;
};

bool has_line(const Lines& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
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
         " OK"},
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
         " OK"},
        {"list directory becomes a dangling link", nothing,
         [](ServerTree& t) {
             t.remove("Accounts/LISTS");
             t.make_symlink("/nonexistent", "Accounts/LISTS");
         },
         " OK"},
        {"Domains becomes a file", nothing, [](ServerTree& t) { t.write("Domains", "x"); },
         allowed},
        {"message removed", nothing, [](ServerTree& t) { t.remove("Queue/news.msg"); },
         " OK \"Error: File Not Found Queue/news.msg\""},
        {"message becomes a directory", nothing,
         [](ServerTree& t) {
             t.remove("Queue/news.msg");
             t.make_directory("Queue/news.msg");
         },
         " OK \"Error: File Not Found Queue/news.msg\""},
        {"message becomes a dangling link", nothing,
         [](ServerTree& t) {
             t.remove("Queue/news.msg");
             t.make_symlink("gone", "Queue/news.msg");
         },
         " OK \"Error: File Not Found Queue/news.msg\""},
        {"message whose reading fails", nothing,
         [](ServerTree& t) {
             t.remove("Queue/news.msg");
             t.make_symlink("/proc/self/mem", "Queue/news.msg");
         },
         " OK"},
    };
    LiveFilter filter;
    ASSERT_EQ(filter.reply(), allowed);
    for (const auto& row : cases) {
        row.before(filter.tree);
        filter.post();
        row.apply(filter.tree);
        EXPECT_EQ(filter.reply(), row.reply) << row.change;
        filter.tree.remove("Domains");
        filter.tree.remove("Accounts/LISTS");
        filter.tree.remove("Queue/news.msg");
        write_good_tree(filter.tree);
        EXPECT_EQ(filter.reply(), allowed) << "after: " << row.change;
    }
}

// A settings file that cannot be read is named in one log record, and its list is
// not judged (it once read as a list without settings).
TEST(FaultTree, ASettingsReadThatFailsIsLogged) {
    LiveFilter filter;
    filter.tree.remove(lists + "news.settings");
    filter.tree.make_symlink("/proc/self/mem", lists + "news.settings");
    Lines lines = filter.post();
    EXPECT_TRUE(has_line(lines,
                         "* Cannot read settings file \"Accounts/LISTS/news.settings\": "
                         "Input/output error"))
        << testing::PrintToString(lines);
    EXPECT_TRUE(has_line(lines, "* [" + std::to_string(filter.requests) +
                                    "] Not checking list news@example.com: its settings file "
                                    "cannot be read"))
        << testing::PrintToString(lines);
    EXPECT_EQ(reply_of(lines), allowed);
}

// A writer changes the tree as fast as it can while messages are served, so that
// files vanish and change between the directory listing, the status query and the
// read. Every message gets one of the replies the tree could give, and once the
// writer stops the filter sees the final tree.
TEST(FaultTree, ATreeChangingWhileMessagesAreServed) {
    LiveFilter filter;
    filter.tree.write("Domains/example.org/LISTS/team.list", subscriber_line("jane@example.com"));
    ServerTree& tree = filter.tree;
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
    const std::string possible[] = {allowed, not_allowed, not_subscribed};
    for (int i = 0; i < 300; ++i) {
        std::string reply = filter.reply();
        EXPECT_NE(std::find(std::begin(possible), std::end(possible), reply), std::end(possible))
            << reply;
    }
    stop = true;
    writer.join();

    tree.remove("Accounts/LISTS");
    tree.write(lists + "news.list", subscriber_line("jane@example.com", "-010001"));
    tree.write(lists + "news.settings", "{ Postings = \"from subscribers\"; }");
    EXPECT_EQ(filter.reply(), not_allowed);
    write_good_tree(tree);
    EXPECT_EQ(filter.reply(), allowed);
}

// The filter may run as a user who cannot read everything in the tree.
class Unprivileged : public testing::Test {
  protected:
    RunOptions options;
    void SetUp() override {
        options.prefix = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
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
        {"list directory", "Accounts/LISTS", 0, " OK"},
        {"list directory not listable", "Accounts/LISTS", 0311, " OK"},
        {"message", "Queue/news.msg", 0, " OK \"Error: unable to open file Queue/news.msg\""},
        {"main settings", "Settings/Main.settings", 0, " OK"},
    };
    for (const auto& row : cases) {
        ServerTree tree;
        write_good_tree(tree);
        if (row.path == lists + "news.settings") {
            owner_only(tree);
        }
        chmod(tree.path().c_str(), 0755);
        chmod(tree.full(row.path).c_str(), row.mode);
        const std::string input = "1 FILE Queue/news.msg\n2 KEY\n";
        ProcessResult result = run_filter_checked(tree.path(), input, options);
        EXPECT_EQ(replies(result), (Lines{"1" + row.reply, "2 OK"})) << row.situation;
        chmod(tree.full(row.path).c_str(), 0755);
    }
}

}  // namespace
