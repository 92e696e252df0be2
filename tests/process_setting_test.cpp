// The filter in the setting a server gives it: in a plain chroot, as Debian's build
// roots run it, and started at a low priority. In the chroot the mount table shows no
// mount for the chroot's own root, and the lists must still be read on the message's
// path and followed by the kernel's events, never taken for network storage (which
// would leave the first messages unchecked). Started at nice 19, no thread of the
// filter may run at a higher priority than the one it was started with.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "expected_texts.h"
#include "filter_process.h"
#include "live_filter.h"

namespace {

namespace fs = std::filesystem;

// Copies `binary` to `root`/quorvel and each library ldd names to its own path there.
bool copy_with_libraries(const std::string& binary, const std::string& root) {
    const std::string copy = "cp '" + binary + "' '" + root + "/quorvel' && ldd '" + binary +
                             "' | grep -o '/[^ ]*' | xargs -I{} cp -L --parents {} '" + root + "'";
    return std::system(copy.c_str()) == 0;
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

// The nice value of every thread of process `pid`: the 17th field after the command's
// closing parenthesis in each task's stat line.
std::vector<int> thread_nice_values(int pid) {
    std::vector<int> values;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream stat(task.path() / "stat");
        stat.ignore(4096, ')');
        std::string field;
        for (int at = 0; at < 17; ++at) {
            stat >> field;
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
