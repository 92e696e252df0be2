// Messages per second through the real filter, in synthetic server trees, against
// the floor: the same binary and the same messages in a tree without lists. The
// figure to quote is the ratio of the mean cost per message to the floor's. Each
// shape is run as the filter runs by default, with the refresh forced to walk the
// whole tree (the aid "--full-walk"), and, given --before, as another build of the
// filter runs (the one to compare with), then again with a list changing every
// tenth message. The cost of the status passes: the filter's CPU time per second at
// a steady 100 messages per second, with its background thread and without
// (the aid "--no-status-passes"), and as the other build.
// Usage: quorvel_bench [--standard] [--huge] [--before QUORVEL] [--domains D]
//                      [--lists L] [--subscribers S] [--requests N] [--cost SECONDS]
//        quorvel_bench --large SUBSCRIBERS
#include <sched.h>
#include <unistd.h>

#include <thread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench_process.h"
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

// The same for the threads of the process other than its first, which serves
// requests: the background thread, where there is one.
double background_cpu_seconds(int pid) {
    double sum = 0;
    std::error_code ignored;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : fs::directory_iterator(tasks, ignored)) {
        if (task.path().filename() != std::to_string(pid)) {
            sum += cpu_seconds(task.path().string() + "/stat");
        }
    }
    return sum;
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
    // `program`: the filter to run; empty for the one built here, run with the
    // refresh options `aids` (filter_process.h).
    Driven(const SyntheticTree& tree, const std::vector<std::string>& aids,
           const std::string& program = "")
        : tree(tree), session(tree.root, options_with(aids, program)) {
        session.start_lines();
    }
    int process_id() { return session.process_id(); }
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
            const LatencySummary summary = summarize_latencies(latencies);
            taken.mean_us = summary.mean_us;
            taken.p50_us = summary.p50_us;
            taken.p99_us = summary.p99_us;
            taken.per_second = 1e6 / taken.mean_us;
        }
        latencies.clear();
        figures.first_ms = 0;
        return taken;
    }

  private:
    static RunOptions options_with(const std::vector<std::string>& aids,
                                   const std::string& program) {
        RunOptions options;
        options.program = program;
        options.aids = aids;
        options.timeout_seconds = 300;
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

// Sends `requests` messages to each of the two filters, one message each in turn
// and each first every other time, so that both meet the same load on the machine;
// with `change_every`, one list of the tree changes every that many messages.
void interleave(Driven& measured, Driven& floor, int requests, const SyntheticTree& tree,
                const TreeShape& shape, int change_every) {
    for (int i = 0; i <= requests; ++i) {
        if (change_every > 0 && i % change_every == 0) {
            change_a_list(tree, shape, i / change_every);
        }
        Driven* order[] = {&measured, &floor};
        order[i % 2]->send();
        order[1 - i % 2]->send();
    }
}

// The filter's CPU time per second (all its threads) while each filter gets 100
// messages a second, sent in turn at every tick of 10 ms, for `seconds` after the
// first message of each. Status passes run every 10 seconds, so a window of a
// minute holds about six of them.
void measure_cpu_per_second(std::vector<Driven*> filters, const std::vector<const char*>& labels,
                            int seconds) {
    for (Driven* filter : filters) {
        filter->send();  // the first message: every list read, every watch set
    }
    std::vector<double> before, background_before;
    for (Driven* filter : filters) {
        before.push_back(cpu_seconds(filter->process_id()));
        background_before.push_back(background_cpu_seconds(filter->process_id()));
    }
    const auto started = Clock::now();
    const int ticks = seconds * 100;
    for (int tick = 0; tick < ticks; ++tick) {
        std::this_thread::sleep_until(started + std::chrono::milliseconds(10) * tick);
        // Each first in turn: the first after the driver's sleep meets colder caches.
        for (size_t i = 0; i < filters.size(); ++i) {
            filters[(tick + i) % filters.size()]->send();
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    std::vector<double> shares, background_shares;
    for (size_t i = 0; i < filters.size(); ++i) {
        filters[i]->take();
        const int pid = filters[i]->process_id();
        shares.push_back((cpu_seconds(pid) - before[i]) / elapsed * 100);
        background_shares.push_back((background_cpu_seconds(pid) - background_before[i]) / elapsed *
                                    100);
    }
    std::printf("  CPU per second at 100 msg/s over %.0f s, in %% of one core:\n", elapsed);
    for (size_t i = 0; i < filters.size(); ++i) {
        std::printf("    %-12s %5.2f %%, of which its background thread %5.2f %%\n", labels[i],
                    shares[i], background_shares[i]);
    }
    std::printf("    status passes (with less without): %+.2f %%\n", shares[0] - shares[1]);
    std::fflush(stdout);
}

struct ShapeRun {
    int requests = 2000;
    int walk_requests = 200;  // the walk takes long in large trees
    int cost_seconds = 0;     // the CPU measurement; 0 skips it
    std::string before;       // the other build to run beside; empty for none
};

// One shape: the filter as it runs by default (following change events), then with
// its refresh forced to walk the whole tree, then the other build, each against
// the floor (the same messages in a tree without lists) in the same phase. First
// with nothing changing, then with one list changed every tenth message.
void measure_shape(const TreeShape& shape, const ShapeRun& run) {
    std::printf("%d domain(s) x %d list(s), %d subscribers each, %d requests\n", shape.domains,
                shape.lists_per_domain, shape.subscribers_per_list, run.requests);
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
        Driven walked(tree, {"--full-walk"});
        std::optional<Driven> before;
        if (!run.before.empty()) {
            before.emplace(tree, std::vector<std::string>{}, run.before);
        }
        const int walk_requests = std::min(run.requests, run.walk_requests);
        for (int change_every : {0, 10}) {
            std::string changing =
                change_every > 0 ? ", 1 change/" + std::to_string(change_every) : "";
            interleave(watched, floor, run.requests, tree, shape, change_every);
            RunFigures floor_figures = floor.take();
            print_figures(("default" + changing).c_str(), watched.take(), floor_figures);
            print_figures(("floor" + changing).c_str(), floor_figures, floor_figures);
            if (before) {
                interleave(*before, floor, run.requests, tree, shape, change_every);
                floor_figures = floor.take();
                print_figures(("before" + changing).c_str(), before->take(), floor_figures);
            }
            if (walk_requests > 0) {
                interleave(walked, floor, walk_requests, tree, shape, change_every);
                floor_figures = floor.take();
                print_figures(("full walk" + changing).c_str(), walked.take(), floor_figures);
            }
            std::fflush(stdout);
        }
    }
    if (run.cost_seconds > 0) {
        Driven with(tree, {});
        Driven without(tree, {"--no-status-passes"});
        std::optional<Driven> before;
        std::vector<Driven*> filters = {&with, &without};
        std::vector<const char*> labels = {"with passes", "without"};
        if (!run.before.empty()) {
            before.emplace(tree, std::vector<std::string>{}, run.before);
            filters.push_back(&*before);
            labels.push_back("before");
        }
        measure_cpu_per_second(filters, labels, run.cost_seconds);
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

}  // namespace

int main(int argc, char** argv) {
    TreeShape shape;
    ShapeRun run;
    bool standard = argc == 1;
    bool huge = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--standard")
            standard = true;
        else if (word == "--huge")
            huge = true;
        else if (word == "--before" && i + 1 < argc)
            run.before = argv[++i];
        else if (word == "--cost")
            run.cost_seconds = number_after(i, argc, argv);
        else if (word == "--domains")
            shape.domains = number_after(i, argc, argv);
        else if (word == "--lists")
            shape.lists_per_domain = number_after(i, argc, argv);
        else if (word == "--subscribers")
            shape.subscribers_per_list = number_after(i, argc, argv);
        else if (word == "--requests")
            run.requests = number_after(i, argc, argv);
        else if (word == "--large") {
            measure_large_list(number_after(i, argc, argv));
            return 0;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (const int cpu = keep_to_one_cpu(); cpu >= 0) {
        std::printf("(driver and filters on CPU %d)\n", cpu);
    }
    if (!standard && !huge) {
        measure_shape(shape, run);
        return 0;
    }
    if (standard) {
        ShapeRun plain = run;
        plain.cost_seconds = 0;
        measure_shape({1, 10, 20, 200, true}, plain);
        measure_shape({100, 10, 20, 200, true}, plain);
        ShapeRun costed = run;
        costed.cost_seconds = run.cost_seconds > 0 ? run.cost_seconds : 60;
        measure_shape({1000, 10, 20, 200, true}, costed);
        measure_shape({5000, 2, 20, 200, true}, plain);
        measure_large_list(1000000);
    }
    if (huge) {
        // 100,000 lists: a walk there takes about a second a message.
        ShapeRun large = run;
        large.walk_requests = 20;
        large.cost_seconds = run.cost_seconds > 0 ? run.cost_seconds : 60;
        measure_shape({10000, 10, 20, 200, true}, large);
    }
    return 0;
}
