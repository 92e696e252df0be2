// The filter in the setting a server gives it: in a plain chroot, as Debian's build
// roots run it, and started at a low priority. In the chroot the mount table shows no
// mount for the chroot's own root, and the lists must still be read on the message's
// path and followed by the kernel's events, never taken for network storage (which
// would leave the first messages unchecked). Started at nice 19, no thread of the
// filter may run at a higher priority than the one it was started with.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "expected_texts.h"
#include "filter_process.h"
#include "live_filter.h"

namespace {

namespace fs = std::filesystem;

// Copies `binary` to `root`/quorvel and each library it loads to its own path under
// `root`; false when ldd cannot say which.
bool copy_with_libraries(const std::string& binary, const std::string& root) {
    fs::copy_file(binary, root + "/quorvel");
    std::unique_ptr<FILE, int (*)(FILE*)> ldd(popen(("ldd '" + binary + "'").c_str(), "r"), pclose);
    if (!ldd) {
        return false;
    }
    const std::regex library(R"((^|\s)(/\S+) \()");
    char line[4096];
    int copied = 0;
    while (fgets(line, sizeof line, ldd.get()) != nullptr) {
        std::cmatch found;
        if (std::regex_search(line, found, library)) {
            const fs::path path = found[2].str();
            fs::create_directories(root + path.parent_path().string());
            fs::copy_file(fs::canonical(path), root + path.string());
            ++copied;
        }
    }
    return copied > 0;
}

// The root holds the filter, its shared libraries (as ldd names them) and the server's
// tree under /base; /proc is mounted in a mount namespace of the run's own. Skips
// where unshare cannot do that.
TEST(ProcessSetting, InAChrootListsAreReadOnTheMessagesPathAndFollowedByEvents) {
    std::map<std::string, std::string> files;
    for (auto& [path, content] : team_server()) {
        files["base/" + path] = content;
    }
    ServerTree root(files);
    ASSERT_TRUE(copy_with_libraries(quorvel_binary(), root.path()));
    root.make_directory("proc");
    RunOptions chrooted;
    chrooted.prefix = {"unshare", "--mount", "--root=" + root.path(), "--wd=/base", "--mount-proc"};
    chrooted.program = "/quorvel";
    if (run_program("/quorvel", root.path(), "", chrooted).exit_status != 0) {
        GTEST_SKIP() << "unshare cannot run the filter in a chroot with /proc here";
    }
    LiveFilter filter(root, chrooted);

    // The first message is checked: a stranger is refused at once.
    EXPECT_EQ(LiveFilter::decision_of(filter.post("stranger")),
              record(from_stranger("team@example.com")));
    // A subscriber added is seen by the very next message, through the kernel's event.
    root.append("base/Accounts/LISTS/team.list", subscriber_line("eve@example.net"));
    EXPECT_EQ(LiveFilter::decision_of(filter.post("stranger")),
              record(from_allowed("team@example.com")));
}

// The nice value of every thread of process `pid`, as the kernel shows it (the 19th
// field of each task's stat line, counted after the command's closing parenthesis).
std::vector<int> thread_nice_values(int pid) {
    std::vector<int> values;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream stat(task.path() / "stat");
        std::string line;
        std::getline(stat, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        for (int at = 3; at <= 19 && fields >> field; ++at) {
        }
        values.push_back(std::stoi(field));
    }
    return values;
}

TEST(ProcessSetting, StartedAtTheLowestPriorityNoThreadRunsAboveIt) {
    RunOptions lowest;
    lowest.prefix = {"nice", "-n", "19"};
    LiveFilter filter(team_server(), lowest);
    filter.post("stranger");
    const std::vector<int> nice = thread_nice_values(filter.process_id());
    EXPECT_GE(nice.size(), 2u) << "the background thread runs";
    for (int value : nice) {
        EXPECT_EQ(value, 19);
    }
}

}  // namespace
