// Messages per second through the real filter, in synthetic server trees, against
// the floor: the same binary and the same messages in a tree without lists. The
// figure to quote is the ratio of the mean cost per message to the floor's.
// Usage: quorvel_bench [--standard] [--domains D] [--lists L] [--subscribers S]
//                      [--requests N]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "filter_process.h"
#include "synthetic_tree.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

struct RunFigures {
    double first_ms = 0;  // the first message: every list is read
    double mean_us = 0, p50_us = 0, p99_us = 0;
    double per_second = 0;
    long resident_kb = 0;
    bool failed = false;
};

long resident_kilobytes(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

std::string temporary_root(const char* label) {
    std::string pattern =
        (fs::temp_directory_path() / ("quorvel-bench-" + std::string(label) + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return "";
    }
    fs::remove(pattern);
    return pattern;
}

RunFigures drive(const SyntheticTree& tree, int requests, const std::vector<std::string>& env) {
    RunOptions options;
    options.environment = env;
    options.timeout_seconds = 120;
    FilterSession session(tree.root, options);
    session.start_lines();
    RunFigures figures;
    auto started = Clock::now();
    if (session.request("0 FILE " + tree.messages[0]).empty()) {
        figures.failed = true;
        return figures;
    }
    figures.first_ms = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    std::vector<double> latencies;
    latencies.reserve(static_cast<size_t>(requests));
    auto all_started = Clock::now();
    for (int i = 1; i <= requests; ++i) {
        const std::string& message = tree.messages[static_cast<size_t>(i) % tree.messages.size()];
        auto sent = Clock::now();
        if (session.request(std::to_string(i) + " FILE " + message).empty()) {
            figures.failed = true;
            return figures;
        }
        latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    }
    double total = std::chrono::duration<double>(Clock::now() - all_started).count();
    figures.resident_kb = resident_kilobytes(session.process_id());
    session.finish();
    std::sort(latencies.begin(), latencies.end());
    double sum = 0;
    for (double latency : latencies) {
        sum += latency;
    }
    figures.mean_us = sum / static_cast<double>(latencies.size());
    figures.p50_us = latencies[latencies.size() / 2];
    figures.p99_us = latencies[latencies.size() * 99 / 100];
    figures.per_second = static_cast<double>(requests) / total;
    return figures;
}

void print_figures(const char* label, const RunFigures& figures, const RunFigures& floor) {
    if (figures.failed) {
        std::printf("  %-10s FAILED (no reply)\n", label);
        return;
    }
    std::printf("  %-10s %9.0f msg/s  p50 %8.1f us  p99 %8.1f us  first %8.1f ms  ratio %5.2f\n",
                label, figures.per_second, figures.p50_us, figures.p99_us, figures.first_ms,
                floor.mean_us > 0 ? figures.mean_us / floor.mean_us : 0.0);
}

// One shape: the default (watched) run, a forced full walk, and the floor.
void measure_shape(const TreeShape& shape, int requests) {
    std::printf("%d domain(s) x %d list(s), %d subscribers each, %d requests\n", shape.domains,
                shape.lists_per_domain, shape.subscribers_per_list, requests);
    std::fflush(stdout);
    std::string root = temporary_root("tree");
    std::string floor_root = temporary_root("floor");
    SyntheticTree tree = make_synthetic_tree(root, shape);
    TreeShape floor_shape = shape;
    floor_shape.with_lists = false;
    SyntheticTree floor_tree = make_synthetic_tree(floor_root, floor_shape);
    RunFigures floor = drive(floor_tree, requests, {});
    RunFigures watched = drive(tree, requests, {});
    RunFigures walked = drive(tree, requests, {"QUORVEL_FULL_WALK=1"});
    print_figures("default", watched, floor);
    print_figures("full walk", walked, floor);
    print_figures("floor", floor, floor);
    std::fflush(stdout);
    fs::remove_all(root);
    fs::remove_all(floor_root);
}

// One list of many subscribers: how long the first message takes to load it, and
// the memory it holds beyond its address bytes.
void measure_large_list(int subscribers) {
    std::printf("1 list of %d subscribers\n", subscribers);
    std::fflush(stdout);
    TreeShape shape{1, 1, subscribers, 10, true};
    std::string root = temporary_root("large");
    std::string floor_root = temporary_root("large-floor");
    SyntheticTree tree = make_synthetic_tree(root, shape);
    shape.with_lists = false;
    SyntheticTree floor_tree = make_synthetic_tree(floor_root, shape);
    RunFigures floor = drive(floor_tree, 20, {});
    RunFigures loaded = drive(tree, 20, {});
    double file_bytes = static_cast<double>(fs::file_size(root + "/Accounts/LISTS/list0.list"));
    double address_bytes = 0;
    for (int member = 0; member < subscribers; ++member) {
        address_bytes +=
            static_cast<double>(("member" + std::to_string(member) + "@example.net").size());
    }
    double load_ms = loaded.first_ms - floor.first_ms;
    double held = static_cast<double>(loaded.resident_kb - floor.resident_kb) * 1024.0;
    std::printf(
        "  load %.0f ms (%.0f MB/s of a %.1f MB file), resident +%.1f MB, "
        "%.1f bytes per subscriber beyond its %.1f address bytes\n",
        load_ms, file_bytes / 1e6 / (load_ms / 1000.0), file_bytes / 1e6, held / 1e6,
        (held - address_bytes) / subscribers, address_bytes / subscribers);
    std::fflush(stdout);
    fs::remove_all(root);
    fs::remove_all(floor_root);
}

int number_after(int& index, int argc, char** argv) {
    return index + 1 < argc ? std::atoi(argv[++index]) : 0;
}

}  // namespace

int main(int argc, char** argv) {
    TreeShape shape;
    int requests = 2000;
    bool standard = argc == 1;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--standard")
            standard = true;
        else if (word == "--domains")
            shape.domains = number_after(i, argc, argv);
        else if (word == "--lists")
            shape.lists_per_domain = number_after(i, argc, argv);
        else if (word == "--subscribers")
            shape.subscribers_per_list = number_after(i, argc, argv);
        else if (word == "--requests")
            requests = number_after(i, argc, argv);
        else if (word == "--large") {
            measure_large_list(number_after(i, argc, argv));
            return 0;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (!standard) {
        measure_shape(shape, requests);
        return 0;
    }
    measure_shape({1, 10, 20, 200, true}, requests);
    measure_shape({100, 10, 20, 200, true}, requests);
    measure_shape({1000, 10, 20, 200, true}, requests / 4);
    measure_shape({5000, 2, 20, 200, true}, requests / 4);
    measure_large_list(1000000);
    return 0;
}
