// The filter in a plain chroot, as Debian's build roots run it: the mount table there
// shows no mount for the chroot's own root, and the lists must still be read on the
// message's path and followed by the kernel's events, never taken for network storage
// (which would leave the first messages unchecked). The root holds the filter, its
// shared libraries (as ldd names them) and the server's tree under /base; /proc is
// mounted in a mount namespace of the run's own. Skips where unshare cannot do that.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>

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

TEST(Chroot, ListsAreReadOnTheMessagesPathAndFollowedByEvents) {
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

}  // namespace
