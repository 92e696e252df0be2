// Messages per second through the real filter, in synthetic server trees, against
// the floor: the same binary and the same messages in a tree without lists. The
// figure to quote is the ratio of the mean cost per message to the floor's. Each
// shape is run as the filter runs by default, with the refresh forced to walk the
// whole tree (QUORVEL_FULL_WALK=1), and with a list changing every tenth message.
// Usage: quorvel_bench [--standard] [--domains D] [--lists L] [--subscribers S]
//                      [--requests N] | --large SUBSCRIBERS
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

// One live filter driven one request at a time, with its latencies.
class Driven {
  public:
    Driven(const SyntheticTree& tree, const std::vector<std::string>& environment)
        : tree(tree), session(tree.root, options_with(environment)) {
        session.start_lines();
    }
    // Sends the next message and times it until its reply.
    void send() {
        if (figures.failed) {
            return;
        }
        const std::string& message = tree.messages[sent % tree.messages.size()];
        auto started = Clock::now();
        if (session.request(std::to_string(sent) + " FILE " + message).empty()) {
            figures.failed = true;
            return;
        }
        double elapsed = std::chrono::duration<double, std::micro>(Clock::now() - started).count();
        if (sent++ == 0) {
            figures.first_ms = elapsed / 1000;
        } else {
            latencies.push_back(elapsed);
        }
    }
    // The figures of the messages sent since the last call (the first one apart).
    RunFigures take() {
        RunFigures taken = figures;
        taken.resident_kb = resident_kilobytes(session.process_id());
        if (!latencies.empty()) {
            std::vector<double> sorted = latencies;
            std::sort(sorted.begin(), sorted.end());
            double sum = 0;
            for (double latency : sorted) {
                sum += latency;
            }
            taken.mean_us = sum / static_cast<double>(sorted.size());
            taken.p50_us = sorted[sorted.size() / 2];
            taken.p99_us = sorted[sorted.size() * 99 / 100];
            taken.per_second = 1e6 / taken.mean_us;
        }
        latencies.clear();
        figures.first_ms = 0;
        return taken;
    }

  private:
    static RunOptions options_with(const std::vector<std::string>& environment) {
        RunOptions options;
        options.environment = environment;
        options.timeout_seconds = 120;
        return options;
    }

    const SyntheticTree& tree;
    FilterSession session;
    RunFigures figures;
    std::vector<double> latencies;
    size_t sent = 0;
};

// Messages per second of the filter alone: one over its mean latency.
void print_figures(const char* label, const RunFigures& figures, const RunFigures& floor) {
    if (figures.failed) {
        std::printf("  %-22s FAILED (no reply)\n", label);
        return;
    }
    char first[32] = "";
    if (figures.first_ms > 0) {
        std::snprintf(first, sizeof first, "first %7.1f ms", figures.first_ms);
    }
    std::printf("  %-22s %7.0f msg/s  p50 %9.1f us  p99 %9.1f us  %-16s  ratio %7.2f\n", label,
                figures.per_second, figures.p50_us, figures.p99_us, first,
                floor.mean_us > 0 ? figures.mean_us / floor.mean_us : 0.0);
}

// Rewrites one list file of the tree, in turn a subscriber file (a line more) and a
// settings file (a new time), as the server does when a list changes.
void change_a_list(const SyntheticTree& tree, const TreeShape& shape, int change) {
    int domain = (change * 7919) % shape.domains;
    int list = change % shape.lists_per_domain;
    std::string base =
        tree.root + "/" + synthetic_list_directory(domain) + "/list" + std::to_string(list);
    if (change % 2 == 0) {
        std::ofstream(base + ".list", std::ios::binary | std::ios::app)
            << "added" << change << "@example.net\tfeed\t08-12-2026_10:00:00\t0\t-\tAdded\n";
    } else {
        std::error_code ignored;
        fs::last_write_time(base + ".settings", fs::file_time_type::clock::now(), ignored);
    }
}

// One shape. The filter in the tree as it runs by default (following change
// events), the filter forced to walk the whole tree, and the floor (the same
// messages in a tree without lists) are driven in turn, one message each, so that
// the three meet the same load on the machine. First with nothing changing, then
// with one list changed every `change_every` messages.
void measure_shape(const TreeShape& shape, int requests, int change_every) {
    std::printf("%d domain(s) x %d list(s), %d subscribers each, %d requests\n", shape.domains,
                shape.lists_per_domain, shape.subscribers_per_list, requests);
    std::fflush(stdout);
    std::string root = temporary_root("tree");
    std::string floor_root = temporary_root("floor");
    SyntheticTree tree = make_synthetic_tree(root, shape);
    TreeShape floor_shape = shape;
    floor_shape.with_lists = false;
    SyntheticTree floor_tree = make_synthetic_tree(floor_root, floor_shape);
    {
        Driven floor(floor_tree, {});
        Driven watched(tree, {});
        Driven walked(tree, {"QUORVEL_FULL_WALK=1"});
        // The walk takes long in large trees; it is timed on fewer messages.
        const int walk_every = std::max(1, requests / 200);
        for (int phase = 0; phase < 2; ++phase) {
            for (int i = 0; i <= requests; ++i) {
                if (phase == 1 && i % change_every == 0) {
                    change_a_list(tree, shape, i / change_every);
                }
                // In turn, each first in its round: the first after the driver's
                // own work meets colder caches.
                Driven* order[] = {&floor, &watched, &walked};
                for (int k = 0; k < 3; ++k) {
                    Driven* next = order[(i + k) % 3];
                    if (next != &walked || i % walk_every == 0) {
                        next->send();
                    }
                }
            }
            RunFigures floor_figures = floor.take();
            if (phase == 0) {
                print_figures("default", watched.take(), floor_figures);
                print_figures("full walk", walked.take(), floor_figures);
                print_figures("floor", floor_figures, floor_figures);
            } else {
                std::string label = "changing 1/" + std::to_string(change_every) + ", default";
                print_figures(label.c_str(), watched.take(), floor_figures);
                label = "changing 1/" + std::to_string(change_every) + ", walk";
                print_figures(label.c_str(), walked.take(), floor_figures);
            }
            std::fflush(stdout);
        }
    }
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
    RunFigures floor, loaded;
    {
        Driven floor_filter(floor_tree, {});
        Driven loading(tree, {});
        for (int i = 0; i < 20; ++i) {
            floor_filter.send();
            loading.send();
        }
        floor = floor_filter.take();
        loaded = loading.take();
    }
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
        measure_shape(shape, requests, 10);
        return 0;
    }
    measure_shape({1, 10, 20, 200, true}, requests, 10);
    measure_shape({100, 10, 20, 200, true}, requests, 10);
    measure_shape({1000, 10, 20, 200, true}, requests / 4, 10);
    measure_shape({5000, 2, 20, 200, true}, requests / 4, 10);
    measure_large_list(1000000);
    return 0;
}
