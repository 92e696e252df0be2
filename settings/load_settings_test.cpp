// Loading settings files: the one-value unwrap, and that every failure (missing,
// not a regular file, unreadable, too large, not in the notation) loads as Empty
// at once, with a report or a log record only where one belongs.
#include "load_settings.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "logging.h"
#include "test_rendering.h"

namespace {

namespace fs = std::filesystem;

class LoadSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quorvel-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root = pattern;
        kel::set_output(&log);
    }
    void TearDown() override {
        kel::set_output(nullptr);
        fs::remove_all(root);
    }
    std::string write(const std::string& name, const std::string& content) {
        std::string path = root + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    struct Loaded {
        std::string value;
        std::string report;
        std::string log;
    };
    Loaded load(const std::string& path) {
        log.str("");
        testing::internal::CaptureStdout();
        cgp::DataSet value = load_settings(path);
        std::string report = testing::internal::GetCapturedStdout();
        return {render(value), report, log.str()};
    }

    std::string root;
    std::ostringstream log;
};

TEST_F(LoadSettingsTest, OneTopLevelValueIsUnwrappedOnce) {
    struct Case {
        std::string content;
        std::string value;
    };
    const Case cases[] = {
        {"{ Postings = \"from owner only\"; Owner = boss; }\n",
         "{Owner=\"boss\";Postings=\"from owner only\";}"},
        {"\xef\xbb\xbf{DomainName = example.com;}\r\n", "{DomainName=\"example.com\";}"},
        {"(a)", "(\"a\")"},
        {"((a))", "((\"a\"))"},
        {"word", "\"word\""},
        {"[SGVsbG8=]", "[Hello]"},
        {"a, (b), c", "(\"a\",(\"b\"),\"c\")"},
    };
    for (const Case& row : cases) {
        Loaded loaded = load(write("list.settings", row.content));
        EXPECT_EQ(loaded.value, row.value) << "content: " << render_bytes(row.content);
        EXPECT_EQ(loaded.report, "") << "content: " << render_bytes(row.content);
    }
}

TEST_F(LoadSettingsTest, FailuresLoadAsEmpty) {
    // A FIFO opened for reading waits for a writer; a broken load would hang here.
    alarm(20);
    std::string fifo = root + "/fifo.settings";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string dangling = root + "/dangling.settings";
    fs::create_symlink(root + "/nowhere", dangling);
    std::string large = write("large.settings", "");
    ASSERT_EQ(truncate(large.c_str(), off_t{65} << 20), 0);
    fs::create_directory(root + "/dir.settings");
    std::string odd_name = root + "/odd\r\n* name";
    fs::create_symlink("/proc/self/mem", odd_name);

    // The state tells a file that may be ignored (missing, or holding no value) from
    // one that is there but cannot be used; the fault, for what it holds or for access.
    const SettingsFault Access = SettingsFault::Access, Content = SettingsFault::Content;
    const SettingsState Missing = SettingsState::Missing;
    const SettingsState Unreadable = SettingsState::Unreadable;
    const SettingsState Readable = SettingsState::Loaded;
    struct Case {
        std::string path;
        std::string report;
        std::string log;
        SettingsState state;
        SettingsFault fault = SettingsFault::None;
    };
    const Case cases[] = {
        {root + "/missing.settings", "", "", Missing},
        {root + "/missing/dir/x.settings", "", "", Missing},
        {root + "/dir.settings", "", "", Unreadable, Access},
        {fifo, "", "", Unreadable, Access},
        {dangling, "", "", Missing},
        {write("empty.settings", ""), "", "", Readable},
        {write("blank.settings", " \t\r\n\n"), "", "", Readable},
        {write("bad.settings", "{ a = b;; }"),
         "* while parsing \"" + root + "/bad.settings\" file: syntax error : near \";\" (0:9)\n",
         "", Unreadable, Content},
        {"/proc/self/mem", "",
         "* Cannot read settings file \"/proc/self/mem\": Input/output error\n", Unreadable,
         Access},
        {odd_name, "",
         "* Cannot read settings file \"" + root + "/odd\\x0d\\x0a* name\": Input/output error\n",
         Unreadable, Access},
        {large, "", "* Settings file \"" + large + "\" is larger than 64 MiB; ignored\n",
         Unreadable, Content},
        {write("nul", "x") + std::string("\0.settings", 10), "", "", Missing},
    };
    for (const Case& row : cases) {
        Loaded loaded = load(row.path);
        EXPECT_EQ(loaded.value, "-") << "path: " << render_bytes(row.path);
        EXPECT_EQ(loaded.report, row.report) << "path: " << render_bytes(row.path);
        EXPECT_EQ(loaded.log, row.log) << "path: " << render_bytes(row.path);
        testing::internal::CaptureStdout();
        SettingsFile file = read_settings_file(row.path);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(file.state, row.state) << "path: " << render_bytes(row.path);
        EXPECT_EQ(file.fault, row.fault) << "path: " << render_bytes(row.path);
        EXPECT_EQ(file.state == Unreadable, !file.reason.empty())
            << "path: " << render_bytes(row.path);
    }
    alarm(0);
}

// What one file may cost is bounded twice, each bound a fault of its content: by its
// size, which the caller chooses, and by the values it makes, where the parse stops
// at the first value past the bound without scanning what follows.
TEST_F(LoadSettingsTest, FilesPastTheSizeOrValueBoundCannotBeRead) {
    auto values = [](size_t count) {  // "(a,...,a)": count - 2 words and two arrays
        std::string text = "(a";
        while (text.size() < 2 * (count - 2)) {
            text += ",a";
        }
        return text + ")";
    };
    const size_t MiB = server_settings_size_limit;
    struct Case {
        std::string content;
        size_t largest;
        std::string reason;  // empty when the file is read
        std::string report;  // from the message on
    };
    const Case cases[] = {
        {values(100000), settings_size_limit, "", ""},
        {values(100001), settings_size_limit, "it makes more than 100000 values",
         "more than 100000 values : near \"\" (0:199999)"},
        // The 100,000th word is the value past the bound; the ";;" after it is never seen.
        {values(100003).substr(0, 200002) + ";;", settings_size_limit,
         "it makes more than 100000 values", "more than 100000 values : near \"a\" (0:200000)"},
        {std::string(MiB, 'a'), MiB, "", ""},
        {std::string(MiB + 1, 'a'), MiB, "it is larger than 1 MiB", ""},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.content.substr(0, 20) + "... " + std::to_string(row.largest));
        std::string path = write("bound.settings", row.content);
        SettingsFile file = examine_settings_file(path, row.largest);
        const bool refused = !row.reason.empty();
        EXPECT_EQ(file.reason, row.reason);
        EXPECT_EQ(file.state, refused ? SettingsState::Unreadable : SettingsState::Loaded);
        EXPECT_EQ(file.fault, refused ? SettingsFault::Content : SettingsFault::None);
        EXPECT_EQ(file.report, row.report.empty()
                                   ? ""
                                   : "* while parsing \"" + path + "\" file: " + row.report + "\n");
    }
}

TEST_F(LoadSettingsTest, FileAndTextGiveTheSameReport) {
    const std::string contents[] = {
        "{\r\nPostings = all;\r\n;}\r\n",
        "{ Owner = \"unterminated }",
        std::string(12000, '('),
    };
    for (const std::string& content : contents) {
        std::string path = write("same.settings", content);
        Loaded from_file = load(path);
        testing::internal::CaptureStdout();
        cgp::DataSet from_text = parse_settings_text(content, path);
        EXPECT_EQ(render(from_text), "-");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), from_file.report)
            << "content: " << render_bytes(content.substr(0, 40));
        EXPECT_NE(from_file.report, "");
    }
    EXPECT_EQ(
        load(write("crlf.settings", contents[0])).report,
        "* while parsing \"" + root + "/crlf.settings\" file: syntax error : near \";\" (4:1)\n");
}

TEST_F(LoadSettingsTest, EachLoadYieldsAnIndependentValue) {
    std::string path = write("list.settings", "{ Owner = boss; }");
    cgp::DataSet first = load_settings(path);
    cgp::DataSet second = load_settings(path);
    first["Owner"] = cgp::DataSet(std::string("changed"));
    first["Postings"];
    EXPECT_EQ(second["Owner"].text(), "boss");
    EXPECT_EQ(second.find("Postings"), nullptr);
    EXPECT_TRUE(first.is_unique());
}

// Parses on two threads used to wait for each other (one parser state for the
// process); each now has its own and writes nothing from the other thread.
TEST_F(LoadSettingsTest, ExaminingAFileWritesNothingAndReturnsWhatItWouldWrite) {
    const std::string bad = write("bad.settings", "{ a = b;; }");
    testing::internal::CaptureStdout();
    SettingsFile broken = examine_settings_file(bad);
    SettingsFile failing = examine_settings_file("/proc/self/mem");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(log.str(), "");
    EXPECT_EQ(broken.report,
              "* while parsing \"" + bad + "\" file: syntax error : near \";\" (0:9)\n");
    EXPECT_EQ(failing.records,
              std::vector<std::string>{
                  "Cannot read settings file \"/proc/self/mem\": Input/output error"});
    testing::internal::CaptureStdout();
    write_settings_notes(broken);
    write_settings_notes(failing);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), broken.report);
    EXPECT_EQ(log.str(), "* Cannot read settings file \"/proc/self/mem\": Input/output error\n");
}

TEST_F(LoadSettingsTest, LoadsOnSeveralThreadsGiveEachItsOwnValue) {
    std::vector<std::string> paths;
    for (int i = 0; i < 4; ++i) {
        paths.push_back(write("list" + std::to_string(i) + ".settings",
                              "{ Owner = owner" + std::to_string(i) + "; Members = (a, b, c); }"));
    }
    std::vector<int> wrong(paths.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < paths.size(); ++i) {
        threads.emplace_back([&, i] {
            for (int round = 0; round < 200; ++round) {
                cgp::DataSet value = load_settings(paths[i]);
                if (value["Owner"].text() != "owner" + std::to_string(i) ||
                    value["Members"].size() != 3) {
                    ++wrong[i];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(paths.size(), 0));
}

}  // namespace
