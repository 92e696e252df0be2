// Requests per second through the real filter with the requests pipelined, as a busy
// server sends them: a batch of "file" request lines is written to the filter's
// standard input at once and the replies are read back as they come. The figure is
// the filter's fixed cost of a message, with nothing in the tree changing.
// With --compare, a second quorvel runs in the same tree, batch by batch in turn with
// the first (each first every other time), and must write the very same output.
// Usage: quorvel_pipelined [--domains D] [--lists L] [--subscribers S] [--batch N]
//                          [--seconds T] [--binary PATH] [--compare PATH] [--one-cpu]
//        quorvel_pipelined [shape options] --make-tree DIR
// --make-tree writes the tree and one batch of request lines (DIR/requests) and
// stops, for a profiler run: cd DIR && valgrind --tool=callgrind quorvel <requests
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_process.h"
#include "filter_process.h"
#include "synthetic_tree.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

std::string temporary_root() {
    std::string pattern = (fs::temp_directory_path() / "quorvel-pipelined-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return "";
    }
    fs::remove(pattern);
    return pattern;
}

// Nanoseconds the process has run on a CPU so far (the first field of schedstat):
// the filter's own cost, whatever else runs on the machine.
double cpu_nanoseconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
    double nanoseconds = 0;
    stat >> nanoseconds;
    return nanoseconds;
}

// One live filter fed batches of request lines through its pipes.
class Filter {
  public:
    Filter(const std::string& program, const std::string& directory) : program(program) {
        int in_pipe[2], out_pipe[2];
        if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0) {
            return;
        }
        pid = fork();
        if (pid == 0) {
            dup2(in_pipe[0], 0);
            dup2(out_pipe[1], 1);
            if (chdir(directory.c_str()) != 0) {
                _exit(126);
            }
            execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(in_pipe[0]);
        close(out_pipe[1]);
        to_filter = in_pipe[1];
        from_filter = out_pipe[0];
        fcntl(to_filter, F_SETFL, O_NONBLOCK);
        // Up to the ready line; the batch reader counts replies from there.
        const std::string ready = "* Ready to receive INTF command.\n";
        size_t none = 0;
        while (output.find(ready) == std::string::npos && pump("", none)) {
        }
        worker = working_process(pid);
    }
    ~Filter() {
        if (to_filter >= 0) {
            close(to_filter);
        }
        if (from_filter >= 0) {
            close(from_filter);
        }
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    // Writes the whole batch and reads until it has `replies` reply lines; false when
    // the filter stopped answering. The output of the batch is kept in `output`.
    bool run_batch(const std::string& batch, size_t replies) {
        output.clear();
        scanned = 0;
        reply_count = 0;
        double cpu_before = cpu_nanoseconds(worker);
        auto started = Clock::now();
        size_t written = 0;
        while (reply_count < replies) {
            size_t now_written = written;
            if (!pump(batch, now_written)) {
                return false;
            }
            written = now_written;
        }
        seconds += std::chrono::duration<double>(Clock::now() - started).count();
        cpu += cpu_nanoseconds(worker) - cpu_before;
        requests += replies;
        return true;
    }

    std::string program;
    std::string output;
    double seconds = 0;
    double cpu = 0;  // nanoseconds
    size_t requests = 0;

  private:
    // One round of poll: writes what the pipe takes of batch[written..], reads what is
    // there and counts the reply lines in it.
    bool pump(const std::string& batch, size_t& written) {
        pollfd watched[2] = {{from_filter, POLLIN, 0}, {to_filter, POLLOUT, 0}};
        nfds_t count = written < batch.size() ? 2 : 1;
        if (poll(watched, count, 60000) <= 0) {
            return false;
        }
        if (count == 2 && watched[1].revents != 0) {
            ssize_t put = write(to_filter, batch.data() + written, batch.size() - written);
            if (put > 0) {
                written += static_cast<size_t>(put);
            }
        }
        if (watched[0].revents != 0) {
            char block[65536];
            ssize_t got = read(from_filter, block, sizeof block);
            if (got <= 0) {
                return false;
            }
            output.append(block, static_cast<size_t>(got));
            size_t end;
            while ((end = output.find('\n', scanned)) != std::string::npos) {
                if (output.compare(scanned, 2, "* ") != 0) {
                    ++reply_count;
                }
                scanned = end + 1;
            }
        }
        return true;
    }

    int pid = -1;
    int worker = -1;  // the process that does the filter's work
    int to_filter = -1;
    int from_filter = -1;
    size_t scanned = 0;
    size_t reply_count = 0;
};

void print_figures(const Filter& filter) {
    double per_second = static_cast<double>(filter.requests) / filter.seconds;
    double cpu_us = filter.cpu / 1000.0 / static_cast<double>(filter.requests);
    std::printf("  %-40s %8.0f req/s  %6.2f us CPU/req  (%zu requests in %.2f s)\n",
                filter.program.c_str(), per_second, cpu_us, filter.requests, filter.seconds);
}

}  // namespace

int main(int argc, char** argv) {
    TreeShape shape{1000, 10, 20, 200, true};
    int batch_size = 1000;
    double seconds = 5;
    std::string binary = quorvel_binary();
    std::string compare;
    std::string make_tree;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--domains")
            shape.domains = number_after(i, argc, argv);
        else if (word == "--lists")
            shape.lists_per_domain = number_after(i, argc, argv);
        else if (word == "--subscribers")
            shape.subscribers_per_list = number_after(i, argc, argv);
        else if (word == "--batch")
            batch_size = number_after(i, argc, argv);
        else if (word == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (word == "--binary" && i + 1 < argc)
            binary = argv[++i];
        else if (word == "--compare" && i + 1 < argc)
            compare = argv[++i];
        else if (word == "--make-tree" && i + 1 < argc)
            make_tree = argv[++i];
        else if (word == "--one-cpu") {
            if (const int cpu = keep_to_one_cpu(); cpu >= 0) {
                std::printf("(driver and filters on CPU %d)\n", cpu);
            }
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (shape.domains < 1 || shape.lists_per_domain < 0 || batch_size < 1) {
        std::fprintf(stderr, "nothing to measure\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string root = make_tree.empty() ? temporary_root() : make_tree;
    SyntheticTree tree = make_synthetic_tree(root, shape);
    // The same numbers in every batch, so that the outputs of two binaries compare.
    std::string batch;
    for (int i = 0; i < batch_size; ++i) {
        batch += std::to_string(i + 1) + " FILE " + tree.messages[i % tree.messages.size()] + "\n";
    }
    if (!make_tree.empty()) {
        std::ofstream(root + "/requests", std::ios::binary) << batch;
        return 0;
    }
    std::printf("%d domain(s) x %d list(s), %d subscribers each, batches of %d requests\n",
                shape.domains, shape.lists_per_domain, shape.subscribers_per_list, batch_size);
    std::fflush(stdout);

    std::vector<std::unique_ptr<Filter>> filters;
    filters.push_back(std::make_unique<Filter>(binary, root));
    if (!compare.empty()) {
        filters.push_back(std::make_unique<Filter>(compare, root));
    }
    // The first batch reads every list; it is not counted.
    for (auto& filter : filters) {
        if (!filter->run_batch(batch, batch_size)) {
            std::printf("  %s: no reply\n", filter->program.c_str());
            return 1;
        }
        filter->seconds = filter->cpu = 0;
        filter->requests = 0;
    }
    bool same_output = true;
    for (int round = 0; filters[0]->seconds < seconds; ++round) {
        for (size_t turn = 0; turn < filters.size(); ++turn) {
            Filter& filter = *filters[(turn + round) % filters.size()];
            if (!filter.run_batch(batch, batch_size)) {
                std::printf("  %s: no reply\n", filter.program.c_str());
                return 1;
            }
        }
        if (filters.size() == 2 && filters[0]->output != filters[1]->output) {
            same_output = false;
        }
    }
    for (const auto& filter : filters) {
        print_figures(*filter);
    }
    if (filters.size() == 2) {
        const Filter& first = *filters[0];
        const Filter& second = *filters[1];
        std::printf("  ratio (first / second): %.3f req/s, %.3f CPU per request; output %s\n",
                    (first.requests / first.seconds) / (second.requests / second.seconds),
                    (first.cpu / first.requests) / (second.cpu / second.requests),
                    same_output ? "identical" : "DIFFERS");
    }
    filters.clear();
    fs::remove_all(root);
    return same_output ? 0 : 1;
}
