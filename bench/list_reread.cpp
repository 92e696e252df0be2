// The reread of one large subscriber list through the real filter: after a one-line
// change, the next message waits for the whole list to be read again. Prints that
// wait and the filter's resident memory after the first load and after each reread.
// Given several quorvel executables, it runs them side by side on the same tree,
// message by message in turns, so that each figure has its counterpart measured in
// the same moment (the first executable is the one the ratios divide by).
// Usage: quorvel_reread_bench [--subscribers N] [--rereads R] [QUORVEL ...]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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

// Time the process has run on a CPU, in milliseconds: unlike the wait, what other
// work on the machine takes from it does not count.
double cpu_milliseconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/schedstat");
    double nanoseconds = 0;
    stat >> nanoseconds;
    return nanoseconds / 1e6;
}

struct Filter {
    std::string binary;
    std::unique_ptr<FilterSession> session;
    int sent = 0;
    double first_ms = 0;
    long first_kb = 0;
    std::vector<double> waits_ms;
    std::vector<double> cpu_ms;
    std::vector<long> resident_kb;
    bool failed = false;
};

// Times one message until its reply.
double send(Filter& filter, const SyntheticTree& tree) {
    const std::string& message = tree.messages[filter.sent % tree.messages.size()];
    auto started = Clock::now();
    if (filter.session->request(std::to_string(filter.sent) + " FILE " + message).empty()) {
        filter.failed = true;
    }
    ++filter.sent;
    return std::chrono::duration<double, std::milli>(Clock::now() - started).count();
}

}  // namespace

int main(int argc, char** argv) {
    int subscribers = 1000000;
    int rereads = 5;
    std::vector<std::string> binaries;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--subscribers" && i + 1 < argc) {
            subscribers = std::atoi(argv[++i]);
        } else if (word == "--rereads" && i + 1 < argc) {
            rereads = std::atoi(argv[++i]);
        } else {
            binaries.push_back(fs::absolute(word).string());
        }
    }
    if (binaries.empty()) {
        binaries.push_back(quorvel_binary());
    }

    std::string root = (fs::temp_directory_path() / "quorvel-reread-XXXXXX").string();
    if (mkdtemp(root.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    fs::remove(root);
    SyntheticTree tree = make_synthetic_tree(root, {1, 1, subscribers, 10, true});
    const std::string list_file = root + "/Accounts/LISTS/list0.list";
    std::printf("1 list of %d subscribers (%.1f MB file), %d rereads after a one-line change\n",
                subscribers, static_cast<double>(fs::file_size(list_file)) / 1e6, rereads);

    std::vector<Filter> filters(binaries.size());
    for (size_t i = 0; i < binaries.size(); ++i) {
        filters[i].binary = binaries[i];
        RunOptions options;
        options.timeout_seconds = 120;
        // The session runs the test build's quorvel; the shell puts the chosen
        // executable in its place, under the same process id.
        options.prefix = {"/bin/sh", "-c", "exec \"$0\"", binaries[i]};
        filters[i].session = std::make_unique<FilterSession>(tree.root, options);
        filters[i].session->start_lines();
    }
    for (Filter& filter : filters) {
        filter.first_ms = send(filter, tree);
        filter.first_kb = resident_kilobytes(filter.session->process_id());
    }
    for (int round = 0; round < rereads; ++round) {
        {
            std::ofstream out(list_file, std::ios::app | std::ios::binary);
            out << "reread" << round << "@example.net\tfeed\t08-12-2026_10:00:00\t0\t-\tMember\n";
        }
        // Each filter in turn goes first, so none always meets the colder cache.
        for (size_t turn = 0; turn < filters.size(); ++turn) {
            Filter& filter = filters[(turn + static_cast<size_t>(round)) % filters.size()];
            double cpu_before = cpu_milliseconds(filter.session->process_id());
            filter.waits_ms.push_back(send(filter, tree));
            filter.cpu_ms.push_back(cpu_milliseconds(filter.session->process_id()) - cpu_before);
            filter.resident_kb.push_back(resident_kilobytes(filter.session->process_id()));
        }
    }

    for (Filter& filter : filters) {
        std::printf("#%zu %s\n", static_cast<size_t>(&filter - filters.data()) + 1,
                    filter.binary.c_str());
        if (filter.failed || filter.waits_ms.empty()) {
            std::printf("  FAILED (no reply)\n");
            continue;
        }
        std::printf("  first load %8.1f ms                   resident %7.1f MB\n", filter.first_ms,
                    static_cast<double>(filter.first_kb) / 1024);
        for (size_t round = 0; round < filter.waits_ms.size(); ++round) {
            std::printf("  reread %zu   %8.1f ms (cpu %6.1f ms)   resident %7.1f MB\n", round + 1,
                        filter.waits_ms[round], filter.cpu_ms[round],
                        static_cast<double>(filter.resident_kb[round]) / 1024);
        }
        std::printf(
            "  median wait %.1f ms (cpu %.1f ms); resident after the last reread %.3f "
            "times that after the first load\n",
            median(filter.waits_ms), median(filter.cpu_ms),
            static_cast<double>(filter.resident_kb.back()) / static_cast<double>(filter.first_kb));
    }
    for (size_t i = 1; i < filters.size(); ++i) {
        if (filters[i].waits_ms.empty() || filters[0].waits_ms.empty()) {
            continue;
        }
        std::printf(
            "#%zu against #1: median wait %.2f times (cpu %.2f times), resident after the "
            "last reread %.2f times\n",
            i + 1, median(filters[i].waits_ms) / median(filters[0].waits_ms),
            median(filters[i].cpu_ms) / median(filters[0].cpu_ms),
            static_cast<double>(filters[i].resident_kb.back()) /
                static_cast<double>(filters[0].resident_kb.back()));
    }
    for (Filter& filter : filters) {
        filter.session.reset();
    }
    fs::remove_all(root);
    return 0;
}
