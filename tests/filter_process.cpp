// Process plumbing for the whole-process tests: fork, exec, pipes and a deadline.
#include "filter_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Child {
    int pid = -1;
    int input = -1;   // our end of its standard input
    int output = -1;  // our end of its standard output
    int errors = -1;  // our end of its standard error
};

Child spawn(const std::string& program, const std::string& directory, const RunOptions& options) {
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
        pipe2(err_pipe, O_CLOEXEC) != 0) {
        return {};
    }
    std::vector<std::string> words = options.prefix;
    words.push_back(program);
    words.insert(words.end(), options.arguments.begin(), options.arguments.end());
    int pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        if (options.nonblocking_input) {
            fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
        }
        if (options.nonblocking_output) {
            fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
        }
        if (chdir(directory.c_str()) != 0) {
            _exit(126);
        }
        for (const std::string& entry : options.environment) {
            putenv(const_cast<char*>(entry.c_str()));
        }
        std::vector<char*> argv;
        for (std::string& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    return {pid, in_pipe[1], out_pipe[0], err_pipe[0]};
}

int wait_status(int pid, bool kill_first) {
    if (kill_first) {
        kill(pid, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
}

std::vector<std::string> split_lines(const std::string& output) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(output.substr(start));
            break;
        }
        lines.push_back(output.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace

std::string quorvel_binary() {
    return QUORVEL_BINARY;
}

std::string quorvel_check_binary() {
    return QUORVEL_CHECK_BINARY;
}

namespace {

// The run of a filter: the one built here, or another build given; with refresh
// options, the aided start of the one built here, which takes them first.
RunOptions filter_run(const RunOptions& options) {
    RunOptions run = options;
    const char* walking = std::getenv("QUORVEL_TEST_WALKING");
    if (walking != nullptr && std::string(walking) == "1") {
        run.aids.push_back("--full-walk");
    }
    if (run.program.empty()) {
        run.program = run.aids.empty() ? quorvel_binary() : QUORVEL_AIDED_BINARY;
        run.arguments.insert(run.arguments.begin(), run.aids.begin(), run.aids.end());
    }
    return run;
}

}  // namespace

ProcessResult run_filter(const std::string& directory, const std::string& input,
                         const RunOptions& options) {
    const RunOptions run = filter_run(options);
    return run_program(run.program, directory, input, run);
}

ProcessResult run_program(const std::string& program, const std::string& directory,
                          const std::string& input, const RunOptions& options) {
    ProcessResult result;
    signal(SIGPIPE, SIG_IGN);
    Child child = spawn(program, directory, options);
    if (child.pid < 0) {
        return result;
    }
    if (options.close_output) {
        close(child.output);
        child.output = -1;
    }
    fcntl(child.input, F_SETFL, O_NONBLOCK);
    size_t written = 0;
    if (input.empty()) {
        close(child.input);
        child.input = -1;
    }
    auto deadline = Clock::now() + std::chrono::duration<double>(options.timeout_seconds);
    char block[65536];
    while (child.output >= 0 || child.errors >= 0) {
        std::vector<pollfd> watched;
        if (child.output >= 0)
            watched.push_back({child.output, POLLIN, 0});
        if (child.errors >= 0)
            watched.push_back({child.errors, POLLIN, 0});
        if (child.input >= 0)
            watched.push_back({child.input, POLLOUT, 0});
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            result.timed_out = true;
            break;
        }
        if (poll(watched.data(), watched.size(), static_cast<int>(left.count())) < 0 &&
            errno != EINTR) {
            break;
        }
        for (const pollfd& entry : watched) {
            if (entry.revents == 0) {
                continue;
            }
            if (entry.fd == child.input) {
                ssize_t count = write(child.input, input.data() + written, input.size() - written);
                if (count > 0) {
                    written += static_cast<size_t>(count);
                }
                if (written == input.size() || (count < 0 && errno != EAGAIN)) {
                    close(child.input);
                    child.input = -1;
                }
                continue;
            }
            int& descriptor = entry.fd == child.output ? child.output : child.errors;
            std::string& sink = entry.fd == child.output ? result.output : result.errors;
            ssize_t count = read(descriptor, block, sizeof block);
            if (count > 0) {
                sink.append(block, static_cast<size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                close(descriptor);
                descriptor = -1;
            }
        }
    }
    for (int descriptor : {child.input, child.output, child.errors}) {
        if (descriptor >= 0) {
            close(descriptor);
        }
    }
    if (!result.timed_out && options.close_output) {
        // Nothing can be read to tell that it ended; wait for it against the deadline.
        while (Clock::now() < deadline) {
            int status;
            int done = waitpid(child.pid, &status, WNOHANG);
            if (done == child.pid) {
                result.exit_status =
                    WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                result.lines = split_lines(result.output);
                return result;
            }
            usleep(10000);
        }
        result.timed_out = true;
    }
    result.exit_status = wait_status(child.pid, result.timed_out);
    result.lines = split_lines(result.output);
    return result;
}

std::vector<std::string> replies(const ProcessResult& result) {
    std::vector<std::string> found;
    for (const std::string& line : result.lines) {
        if (line.rfind("* ", 0) != 0) {
            found.push_back(line);
        }
    }
    return found;
}

std::vector<std::string> log_lines(const ProcessResult& result) {
    std::vector<std::string> found;
    for (const std::string& line : result.lines) {
        if (line.rfind("* ", 0) == 0) {
            found.push_back(line.substr(2));
        }
    }
    return found;
}

int working_process(int pid) {
    const std::string children =
        "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    do {
        int child = -1;
        if (std::ifstream(children) >> child) {
            return child;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } while (Clock::now() < deadline);
    return pid;
}

int FilterSession::process_id() {
    if (worker < 0) {
        worker = working_process(pid);
    }
    return worker;
}

FilterSession::FilterSession(const std::string& directory, const RunOptions& options)
    : timeout_seconds(options.timeout_seconds) {
    signal(SIGPIPE, SIG_IGN);
    const RunOptions run = filter_run(options);
    Child child = spawn(run.program, directory, run);
    pid = child.pid;
    to_filter = child.input;
    from_filter = child.output;
    if (child.errors >= 0) {
        close(child.errors);
    }
}

FilterSession::~FilterSession() {
    if (pid > 0) {
        finish();
    }
}

bool FilterSession::read_line(std::string& line) {
    auto deadline = Clock::now() + std::chrono::duration<double>(timeout_seconds);
    while (true) {
        size_t end = pending.find('\n');
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || from_filter < 0) {
            return false;
        }
        pollfd watched{from_filter, POLLIN, 0};
        if (poll(&watched, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char block[65536];
        ssize_t count = read(from_filter, block, sizeof block);
        if (count <= 0) {
            return false;
        }
        pending.append(block, static_cast<size_t>(count));
    }
}

std::vector<std::string> FilterSession::read_until_reply(bool stop_at_ready) {
    std::vector<std::string> lines;
    std::string line;
    while (read_line(line)) {
        lines.push_back(line);
        bool is_log = line.rfind("* ", 0) == 0;
        if (stop_at_ready ? line == "* Ready to receive INTF command." : !is_log) {
            break;
        }
    }
    return lines;
}

std::vector<std::string> FilterSession::start_lines() {
    return read_until_reply(true);
}

std::vector<std::string> FilterSession::request(const std::string& line) {
    std::string sent = line + "\n";
    if (write(to_filter, sent.data(), sent.size()) != static_cast<ssize_t>(sent.size())) {
        return {};
    }
    return read_until_reply(false);
}

int FilterSession::finish() {
    if (pid <= 0) {
        return -1;
    }
    close(to_filter);
    std::string line;
    while (read_line(line)) {
    }
    close(from_filter);
    auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (Clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        usleep(5000);
    }
    int killed = wait_status(pid, true);
    pid = -1;
    return killed;
}
