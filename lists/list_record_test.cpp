// The list table's refresh and the subscriber file reader, in a temporary server
// tree that the tests make the working directory.
#include "list_record.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "list_refresh.h"
#include "load_settings.h"
#include "logging.h"
#include "scratch_directory.h"
#include "subscriber_file.h"

namespace fs = std::filesystem;

namespace {

const std::string lists = "Domains/example.org/LISTS/";

class ListDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(scratch.made());
        kel::set_output(&captured);
    }
    void TearDown() override { kel::set_output(nullptr); }

    static void write(const std::string& path, const std::string& content) {
        ScratchDirectory::write(path, content);
    }
    // The log lines of one refresh.
    std::vector<std::string> refresh() {
        captured.str("");
        table = &refresh_lists(7);
        std::vector<std::string> lines;
        std::istringstream text(captured.str());
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    ScratchDirectory scratch{"quorvel-lists"};
    std::ostringstream captured;
    const ListTable* table = nullptr;  // the process's, as the last refresh left it
};

using Lines = std::vector<std::string>;

std::string line(const std::string& address, const std::string& posting = "-") {
    return address + "\tfeed\t01-01-2026_00:00:00\t0\t" + posting + "\tName\n";
}

TEST(PostingPolicy, ComesFromThePostingsSettingByteForByte) {
    const struct {
        std::string postings;
        PostingPolicy policy;
    } cases[] = {
        {"from owner only", OwnerOnly},   {"from anybody", Anybody},
        {"moderate guests", Anybody},     {"", Subscribers},
        {"From owner only", Subscribers}, {"from owner only ", Subscribers},
        {"moderate all", Subscribers},    {"from subscribers", Subscribers},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(policy_for(row.postings), row.policy) << "Postings: " << row.postings;
    }
}

// Hidden names are never read, a settings file alone makes no list, and names keep
// their case in the records while the table key is folded.
TEST_F(ListDirectoryTest, WhatTheWalkReads) {
    write(lists + ".hidden.list", line("jane@example.org"));
    write(lists + "orphan.settings", "{}\n");
    write("Domains/.hidden/LISTS/secret.list", line("jane@example.org"));
    write("Domains/Example.NET/LISTS/Staff.list", "");
    EXPECT_EQ(refresh(), Lines{"* [7] Reading list settings: Staff@Example.NET"});
    EXPECT_EQ(table->size(), 1u);
    EXPECT_EQ(table->count("staff@example.net"), 1u);
}

// What a list takes from its settings. A file that is there but gives no usable
// dictionary once read as settings without keys (policy Subscribers, no owner), so
// the list refused every non-subscriber; it now makes the settings unreadable. A
// missing file and a dictionary without the keys keep the server's defaults.
TEST(ListSettings, UsableOnlyFromADictionaryOfStrings) {
    const auto loaded = [](const std::string& text) {
        SettingsFile file;
        file.state = SettingsState::Loaded;
        file.value = parse_settings_text(text, "list.settings");
        return file;
    };
    SettingsFile missing;
    SettingsFile unreadable;
    unreadable.state = SettingsState::Unreadable;
    unreadable.reason = "it is not a regular file";
    const struct {
        const char* situation;
        SettingsFile file;
        bool readable;
        std::string reason;
        PostingPolicy policy;
        std::string owner;
    } cases[] = {
        {"missing", missing, true, "", Subscribers, ""},
        {"unreadable", unreadable, false, "it is not a regular file", Subscribers, ""},
        {"empty", loaded(""), false, "it holds no value", Subscribers, ""},
        {"blanks only", loaded(" \r\n\t\n"), false, "it holds no value", Subscribers, ""},
        {"a word", loaded("word"), false, "it holds no dictionary", Subscribers, ""},
        {"an array", loaded("(a, b)"), false, "it holds no dictionary", Subscribers, ""},
        {"Postings an array", loaded("{ Postings = (\"from anybody\"); Owner = boss; }"), false,
         "its \"Postings\" is not a string", Subscribers, ""},
        {"Owner a dictionary", loaded("{ Owner = { Name = boss; }; }"), false,
         "its \"Owner\" is not a string", Subscribers, ""},
        {"Owner data", loaded("{ Owner = [Ym9zcw==]; }"), false, "its \"Owner\" is not a string",
         Subscribers, ""},
        {"no keys", loaded("{}"), true, "", Subscribers, ""},
        {"an empty Owner", loaded("{ Owner = \"\"; Postings = \"from anybody\"; }"), true, "",
         Anybody, ""},
        {"both keys", loaded("{ Owner = Boss; Postings = \"from owner only\"; }"), true, "",
         OwnerOnly, "Boss@Example.org"},
        {"a Postings outside the table", loaded("{ Postings = \"moderate all\"; }"), true, "",
         Subscribers, ""},
    };
    for (const auto& row : cases) {
        ListSettings settings = list_settings_from(row.file, "Example.org");
        EXPECT_EQ(settings.readable, row.readable) << row.situation;
        EXPECT_EQ(settings.reason, row.reason) << row.situation;
        EXPECT_EQ(settings.policy, row.policy) << row.situation;
        EXPECT_EQ(settings.owner, row.owner) << row.situation;
    }
}

}  // namespace
