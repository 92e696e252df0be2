// Soak run: a long stream of requests through the real filter against a synthetic
// tree of many lists whose files change while it runs. It checks every reply as it
// comes (one per request, in order, nothing else but "* " lines, no CR) and prints
// the filter's resident memory early and late, which must not grow with the number
// of requests. Not part of the test suite.
// Usage: quorvel_soak [--requests N] [--domains D] [--lists-per-domain L]
//                     [--subscribers S] [--change-ms MS] [--seconds LIMIT]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "filter_process.h"
#include "synthetic_tree.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    long requests = 1000000;
    TreeShape shape{10, 100, 20, 200, true};
    int change_ms = 10;
    double seconds = 0;  // 0: no limit; otherwise stop sending after this long
};

struct Memory {
    long resident_kb = 0;
    long peak_kb = 0;
};

Memory memory_of(int pid) {
    Memory memory;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            memory.resident_kb = std::stol(line.substr(6));
        } else if (line.rfind("VmHWM:", 0) == 0) {
            memory.peak_kb = std::stol(line.substr(6));
        }
    }
    return memory;
}

struct Child {
    int pid = -1;
    int input = -1;
    int output = -1;
};

Child start_filter(const std::string& directory) {
    int in_pipe[2], out_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) {
        return {};
    }
    int pid = fork();
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        if (chdir(directory.c_str()) != 0) {
            _exit(126);
        }
        std::string program = quorvel_binary();
        execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    return {pid, in_pipe[1], out_pipe[0]};
}

bool write_all(int descriptor, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = write(descriptor, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<size_t>(count);
    }
    return true;
}

// Changes the lists' files until told to stop: subscriber files grow and are
// rewritten, settings change policy, lists vanish and come back, and a list that
// exists only for a while comes and goes.
class TreeChanger {
  public:
    TreeChanger(const std::string& root, int interval_ms) : root(root), interval_ms(interval_ms) {
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.path().extension() == ".list") {
                lists.push_back(entry.path().string());
                originals.push_back(read(entry.path().string()));
            }
        }
    }
    void run(const std::atomic<bool>& stop) {
        std::mt19937 random(12345);
        static const char* policies[] = {"from owner only", "from anybody", "from subscribers",
                                         "moderate guests"};
        while (!stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
            size_t pick = random() % lists.size();
            const std::string& list = lists[pick];
            const std::string settings = list.substr(0, list.size() - 5) + ".settings";
            std::error_code ignored;
            switch (changes % 5) {
                case 0:
                    std::ofstream(list, std::ios::app)
                        << "new" << changes << "@example.net\tfeed\tx\t0\t-\tNew\n";
                    break;
                case 1:
                    std::ofstream(list, std::ios::trunc) << originals[pick];
                    break;
                case 2:
                    std::ofstream(settings, std::ios::trunc)
                        << "{ Owner = boss; Postings = \"" << policies[random() % 4] << "\"; }\n";
                    break;
                case 3:
                    fs::rename(list, list + ".away", ignored);
                    std::this_thread::sleep_for(std::chrono::milliseconds(interval_ms));
                    fs::rename(list + ".away", list, ignored);
                    break;
                case 4: {
                    std::string passing = root + "/Accounts/LISTS/passing";
                    if (fs::exists(passing + ".list")) {
                        fs::remove(passing + ".list", ignored);
                        fs::remove(passing + ".settings", ignored);
                    } else {
                        std::ofstream(passing + ".settings") << "{ Postings = \"from anybody\"; }";
                        std::ofstream(passing + ".list") << originals[pick];
                    }
                    break;
                }
            }
            ++changes;
        }
    }
    long changes = 0;

  private:
    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string root;
    int interval_ms;
    std::vector<std::string> lists;
    std::vector<std::string> originals;
};

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        double value = std::atof(argv[++i]);
        if (word == "--requests") {
            options.requests = static_cast<long>(value);
        } else if (word == "--domains") {
            options.shape.domains = static_cast<int>(value);
        } else if (word == "--lists-per-domain") {
            options.shape.lists_per_domain = static_cast<int>(value);
        } else if (word == "--subscribers") {
            options.shape.subscribers_per_list = static_cast<int>(value);
        } else if (word == "--change-ms") {
            options.change_ms = static_cast<int>(value);
        } else if (word == "--seconds") {
            options.seconds = value;
        } else {
            return false;
        }
    }
    return options.requests > 0 && options.shape.domains > 0 && options.change_ms > 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: %s [--requests N] [--domains D] [--lists-per-domain L] "
                     "[--subscribers S] [--change-ms MS] [--seconds LIMIT]\n",
                     argv[0]);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string root = (fs::temp_directory_path() / "quorvel-soak-XXXXXX").string();
    if (mkdtemp(root.data()) == nullptr) {
        return 1;
    }
    fs::remove(root);
    SyntheticTree tree = make_synthetic_tree(root, options.shape);
    std::printf(
        "tree: %d domains x %d lists, %d subscribers each, %zu messages; a change "
        "every %d ms\n",
        options.shape.domains, options.shape.lists_per_domain, options.shape.subscribers_per_list,
        tree.messages.size(), options.change_ms);

    Child child = start_filter(root);
    if (child.pid < 0) {
        return 1;
    }
    const auto start = Clock::now();
    const auto deadline =
        start + std::chrono::duration<double>(options.seconds > 0 ? options.seconds : 1e9);
    std::atomic<long> sent{0};
    std::thread sender([&] {
        std::string batch;
        for (long n = 1; n <= options.requests; ++n) {
            batch += std::to_string(n);
            batch +=
                n % 100 == 0 ? " KEY\n" : " FILE " + tree.messages[n % tree.messages.size()] + "\n";
            if (n % 64 == 0 || n == options.requests) {
                if (!write_all(child.input, batch)) {
                    break;
                }
                batch.clear();
                sent = n;
                if (Clock::now() > deadline) {
                    break;
                }
            }
        }
        close(child.input);
    });
    std::atomic<bool> stop{false};
    TreeChanger changer(root, options.change_ms);
    std::thread changing([&] { changer.run(stop); });

    // Reads and checks every line; memory is sampled at fixed reply counts.
    long replies = 0, log_lines = 0, breaches = 0;
    std::vector<std::pair<long, Memory>> samples;
    long next_sample = 1000;
    auto next_timed_sample = start + std::chrono::seconds(60);
    std::string pending;
    char block[65536];
    bool started = false;
    for (;;) {
        ssize_t count = read(child.output, block, sizeof block);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        pending.append(block, static_cast<size_t>(count));
        size_t begin = 0, end;
        while ((end = pending.find('\n', begin)) != std::string::npos) {
            std::string_view line(pending.data() + begin, end - begin);
            begin = end + 1;
            if (line.find('\r') != std::string_view::npos) {
                ++breaches;
            }
            if (line.substr(0, 2) == "* ") {
                ++log_lines;
                continue;
            }
            std::string expected = std::to_string(replies + 1) + " ";
            if (line.substr(0, expected.size()) != expected) {
                if (++breaches <= 5) {
                    std::printf("breach: reply %ld is \"%.80s\"\n", replies + 1,
                                std::string(line).c_str());
                }
            }
            ++replies;
            if (!started) {
                started = true;
                samples.push_back({replies, memory_of(working_process(child.pid))});
            }
            if (replies == next_sample || replies == sent.load()) {
                samples.push_back({replies, memory_of(working_process(child.pid))});
                next_sample *= replies == next_sample ? 10 : 1;
            } else if (replies % 1000 == 0 && Clock::now() > next_timed_sample) {
                samples.push_back({replies, memory_of(working_process(child.pid))});
                next_timed_sample += std::chrono::seconds(60);
            }
        }
        pending.erase(0, begin);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    stop = true;
    sender.join();
    changing.join();
    int status = 0;
    waitpid(child.pid, &status, 0);
    fs::remove_all(root);

    for (const auto& [at, memory] : samples) {
        std::printf("after %9ld replies: resident %6ld kB, peak %6ld kB\n", at, memory.resident_kb,
                    memory.peak_kb);
    }
    std::printf(
        "requests sent %ld, replies %ld, log lines %ld, tree changes %ld, breaches %ld, "
        "exit status %d\n",
        sent.load(), replies, log_lines, changer.changes, breaches,
        WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    std::printf("time %.1f s, %.0f requests per second\n", seconds, replies / seconds);
    bool sound = breaches == 0 && replies == sent && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return sound ? 0 : 1;
}
