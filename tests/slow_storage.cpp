// Mounting and unmounting slow_fs for a test. The program runs in the foreground as
// a child of the test, so that the test knows when it ends; three things make sure
// no mount outlives a test: this object's destructor, the child's parent-death
// signal (the test process killed or crashed), and the watcher the program leaves
// behind (the program killed, alone or with the test, as ctest does on a timeout).
#include "slow_storage.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

#ifdef SLOW_FS_BINARY
const char* const program_path = SLOW_FS_BINARY;
#else
const char* const program_path = nullptr;  // not built
#endif

constexpr long fuse_super_magic = 0x65735546;
const char* const calls_name = ".slow_fs-calls";

// Asks `done` every few milliseconds until it answers true or `seconds` pass.
bool wait_for(const std::function<bool()>& done, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string parent_of(const std::string& path) {
    fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

// Whether something is mounted at `path`, a dead FUSE mount ("transport endpoint is
// not connected") included.
bool mount_present(const std::string& path) {
    struct stat own, parent;
    if (stat(path.c_str(), &own) != 0) {
        return errno != ENOENT;
    }
    return stat(parent_of(path).c_str(), &parent) == 0 && own.st_dev != parent.st_dev;
}

bool fuse_mounted(const std::string& path) {
    struct statfs file_system;
    return mount_present(path) && statfs(path.c_str(), &file_system) == 0 &&
           file_system.f_type == fuse_super_magic;
}

// A file that vanishes with its last descriptor, for the program's standard error:
// unlike a pipe it never fills, and never breaks when the reader is gone.
int anonymous_file() {
    std::string pattern = (fs::temp_directory_path() / "slow_fs-errors-XXXXXX").string();
    int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) {
        unlink(pattern.c_str());
    }
    return fd;
}

// What the program wrote to standard error, on one line.
std::string written(int fd) {
    std::string text(4096, '\0');
    ssize_t length = fd < 0 ? -1 : pread(fd, text.data(), text.size(), 0);
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    for (char& c : text) {
        c = c == '\n' ? ';' : c;
    }
    return text;
}

std::string exit_description(int status) {
    if (WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status));
    }
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

// Whether every thread of process `pid` is stopped by a signal (state T).
bool all_stopped(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* directory = opendir(tasks.c_str());
    if (directory == nullptr) {
        return false;
    }
    bool stopped = true;
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream file(tasks + "/" + entry->d_name + "/stat");
        std::string line;
        std::getline(file, line);
        // The state follows the command's name, which is in parentheses.
        const size_t name_end = line.rfind(')');
        stopped = stopped && name_end != std::string::npos && name_end + 2 < line.size() &&
                  line[name_end + 2] == 'T';
    }
    closedir(directory);
    return stopped;
}

// Runs a program to its end; true when it exits with 0.
bool run(const std::vector<std::string>& words) {
    std::vector<char*> argv;
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

}  // namespace

std::string SlowStorage::source_of(const std::string& path) {
    size_t slash = path.rfind('/');
    size_t name = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(0, name) + "." + path.substr(name) + ".source";
}

SlowStorage::SlowStorage(const std::string& directory, const SlowStorageOptions& options)
    : mount_point(directory), source_path(directory) {
    std::error_code error;
    fs::create_directories(directory, error);
    if (program_path == nullptr) {
        reason =
            "slow_fs was not built: pkg-config found no fuse3 when the build was configured"
            " (Debian packages libfuse3-dev and fuse3)";
        return;
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        reason = std::string("/dev/fuse cannot be used: ") + std::strerror(errno);
        return;
    }
    const std::string hidden = source_of(directory);
    if (std::rename(directory.c_str(), hidden.c_str()) != 0 ||
        mkdir(directory.c_str(), 0755) != 0) {
        reason = "cannot move " + directory + " aside: " + std::strerror(errno);
        return;
    }
    source_path = hidden;
    if (!mount(options)) {
        unmount();
    }
}

SlowStorage::~SlowStorage() {
    if (source_path != mount_point) {
        unmount();
    }
}

bool SlowStorage::mount(const SlowStorageOptions& options) {
    const std::vector<std::string> words = {program_path,
                                            "--delay-us",
                                            std::to_string(options.delay_us),
                                            "--entry-timeout",
                                            std::to_string(options.entry_timeout),
                                            "--negative-timeout",
                                            std::to_string(options.negative_timeout),
                                            source_path,
                                            mount_point,
                                            "-f"};
    std::vector<char*> argv;
    for (const std::string& word : words) {
        argv.push_back(const_cast<char*>(word.c_str()));
    }
    argv.push_back(nullptr);
    const int errors = anonymous_file();
    const pid_t parent = getpid();
    program = fork();
    if (program == 0) {
        // Ends with the thread that started it; checked again in case that thread
        // ended before the request was made.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(1);
        }
        int nothing = open("/dev/null", O_RDWR);
        dup2(nothing, 0);
        dup2(nothing, 1);
        dup2(errors >= 0 ? errors : nothing, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (program < 0) {
        close(errors);
        reason = std::string("cannot start slow_fs: ") + std::strerror(errno);
        return false;
    }
    int status = 0;
    bool ended = false;
    bool live = wait_for(
        [&] {
            ended = waitpid(program, &status, WNOHANG) == program;
            return ended || fuse_mounted(mount_point);
        },
        10);
    if (ended) {
        program = -1;
        reason =
            "slow_fs ended before mounting (" + exit_description(status) + "): " + written(errors);
    } else if (!live) {
        reason = "the mount of slow_fs did not answer within 10 s";
    }
    close(errors);
    if (!reason.empty()) {
        return false;
    }
    if (!open_calls()) {
        reason = "cannot open the counts of slow_fs: " + std::string(std::strerror(errno));
        return false;
    }
    return true;
}

bool SlowStorage::open_calls() {
    calls_fd = open((mount_point + "/" + calls_name).c_str(), O_RDONLY | O_CLOEXEC);
    return calls_fd >= 0;
}

// The counts file is closed first: a process forked meanwhile would inherit it, and
// its exec would close it with a flush that the stopped program never answers,
// which leaves that process stuck, unkillable, before it runs. Then the program is
// waited for until every thread of it has stopped: a thread woken by the signal that
// finds a call queued takes it before it stops, and a call taken and never answered
// holds its caller for good, even against SIGKILL. On a busy machine that thread may
// wait long for a processor, and the call of the process under test come first.
void SlowStorage::stall() {
    if (program > 0 && !stalled) {
        if (calls_fd >= 0) {
            close(calls_fd);
            calls_fd = -1;
        }
        stalled = kill(program, SIGSTOP) == 0;
        if (stalled) {
            wait_for([this] { return all_stopped(program); }, 10);
        }
    }
}

void SlowStorage::resume() {
    if (program > 0 && stalled) {
        kill(program, SIGCONT);
        stalled = false;
        open_calls();
    }
}

void SlowStorage::unmount() {
    resume();
    if (calls_fd >= 0) {
        close(calls_fd);
        calls_fd = -1;
    }
    if (program > 0) {
        // On SIGTERM the program unmounts (lazily, should the mount be in use) and ends.
        kill(program, SIGTERM);
        int status;
        if (!wait_for([&] { return waitpid(program, &status, WNOHANG) == program; }, 10)) {
            kill(program, SIGKILL);
            waitpid(program, &status, 0);
        }
        program = -1;
    }
    // Killed, the program leaves the unmounting to its watcher, which follows at
    // once; a last resort for a mount neither of them removed.
    if (!wait_for([&] { return !mount_present(mount_point); }, 2) &&
        umount2(mount_point.c_str(), MNT_DETACH) != 0) {
        run({"fusermount3", "-u", "-z", mount_point});
    }
    if (mount_present(mount_point)) {
        if (reason.empty()) {
            reason = "slow_fs is still mounted at " + mount_point;
        }
        return;
    }
    std::error_code error;
    fs::remove(mount_point, error);
    fs::rename(source_path, mount_point, error);
    source_path = mount_point;
}

std::map<std::string, unsigned long long> SlowStorage::calls() const {
    std::map<std::string, unsigned long long> counts;
    char buffer[4096];
    ssize_t length = calls_fd < 0 ? -1 : pread(calls_fd, buffer, sizeof buffer, 0);
    if (length <= 0) {
        return counts;
    }
    std::istringstream lines(std::string(buffer, static_cast<size_t>(length)));
    std::string kind;
    unsigned long long count;
    while (lines >> kind >> count) {
        counts[kind] = count;
    }
    return counts;
}
