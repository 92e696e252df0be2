// Lists at hosting scale: the figures of the targets for lists on network storage and
// for first readings, for this build and beside it another (--before), in one run.
// For each shape it writes the synthetic tree and its floor (the same domains and
// messages, no lists, all local); times the first reading on local disk, warm and
// cold; then, for each delay, puts "Domains" on the slow pass-through of the tests
// (tests/slow_storage.h; the queue and the main domain's lists stay local) and runs
// each build in turn: every list known after start, the time a new and a changed
// list take to be seen, the cost per message against the floor, and the CPU while
// idle. It ends with the table of those figures. It trusts the tree it writes; it
// skips the slow storage, saying why, where it cannot be mounted.
// Usage: quorvel_network_bench [--binary QUORVEL] [--before QUORVEL] [--quick]
//            [--shapes DxL,...] [--delays-us N,...] [--changes N] [--before-changes N]
//            [--cap S] [--before-cap S] [--ratio-seconds S] [--idle-seconds S]
//            [--entry-timeout S] [--negative-timeout S] [--no-local] [--no-cold]
//            [--one-cpu]
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_process.h"
#include "filter_process.h"
#include "list_edits.h"
#include "network_table.h"
#include "pass_watch.h"
#include "reading_figures.h"
#include "slow_storage.h"
#include "synthetic_tree.h"
#include "timed_filter.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
constexpr double reply_timeout = 600;  // one reply; an old build's walk over slow storage is long

using Settings = NetworkSettings;

// One build measured: its executable, its cap on every wait, its samples of each edit.
struct Build {
    const char* label;
    std::string program;
    double cap;
    int changes;
};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string temporary_root(const char* label) {
    std::string pattern =
        (fs::temp_directory_path() / ("quorvel-network-" + std::string(label) + "-XXXXXX"))
            .string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return "";
    }
    fs::remove(pattern);
    return pattern;
}

std::string load_average() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Empties the page cache, the names and the inodes, as after a reboot; the reason
// when it cannot (not root, or /proc/sys read-only).
std::string drop_caches() {
    sync();
    const int fd = open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    const bool done = fd >= 0 && write(fd, "3\n", 2) == 2;
    const std::string reason = done ? "" : std::strerror(errno);
    if (fd >= 0) {
        close(fd);
    }
    return reason;
}

// Keeps the driver and the filters it starts from now on to one CPU while it lives,
// when asked; the pass-through, started before, may use any.
class CpuChoice {
  public:
    explicit CpuChoice(bool one) : pinned(one && sched_getaffinity(0, sizeof saved, &saved) == 0) {
        if (pinned) {
            std::printf("  (driver and filters on CPU %d)\n", keep_to_one_cpu());
        }
    }
    ~CpuChoice() {
        if (pinned) {
            sched_setaffinity(0, sizeof saved, &saved);
        }
    }

  private:
    cpu_set_t saved;
    bool pinned;
};

// The domain of sample `index` of `count`, spread over the domains on the slow
// storage (1 to domains - 1); `third` (1 or 2) sets new and changed lists apart.
int spread_domain(int index, int count, int domains, int third) {
    const double place = (index + third / 3.0) / count * (domains - 1);
    return 1 + std::min(domains - 2, static_cast<int>(place));
}

void print_reading(const char* what, const FirstReading& reading, double cap) {
    if (!reading.known.reached) {
        std::printf("  %s: over %.0f s (still being read when given up; messages sent: %d)\n", what,
                    cap, reading.messages);
        return;
    }
    std::printf(
        "  %s: %.2f s (first reply %.1f ms; messages sent: %d, one every 50 ms; longest "
        "reply %.1f ms)\n",
        what, reading.known.seconds, reading.first_reply_seconds * 1e3, reading.messages,
        reading.longest_reply_seconds * 1e3);
    std::fflush(stdout);
}

// The pause before the next edit: a varying share of the filter's period from the
// start of one run of calls to the next since `since` (10 s until two runs are seen),
// so that edits meet the passes at varying points of their cycle.
double pause_before(int index, bool is_new, const PassWatch& watch, Clock::time_point since) {
    const double period = pace_of(watch.runs(true, since)).median_period;
    const double spread = period > 0 ? std::clamp(period, 2.0, 30.0) : 10;
    return spread * ((index * 7 + (is_new ? 0 : 5)) % 10) / 10.0;
}

// Times each edit: new and changed lists in turn, the first new one as soon as the
// first reading has ended (when a pause that grows with the first reading hurts most);
// a kind stops at its first sample not seen within the cap.
void time_edits(TimedFilter& filter, ListEdits& edits, const Build& build, int domains,
                const PassWatch& watch, Clock::time_point read, NetworkFigures& figures) {
    for (int index = 0; index < build.changes && !filter.failed(); ++index) {
        for (const bool is_new : {true, false}) {
            bool& cut = is_new ? figures.new_cut : figures.changed_cut;
            if (cut) {
                continue;
            }
            const double pause = pause_before(index, is_new, watch, read);
            std::this_thread::sleep_for(std::chrono::duration<double>(pause));
            const int domain = spread_domain(index, build.changes, domains, is_new ? 1 : 2);
            const ListEdit edit =
                is_new ? edits.new_list(domain) : edits.change_list(domain, index % 2 == 0);
            const EditSeen seen = time_edit(filter, edit, build.cap);
            std::printf(
                "  %s (after a pause of %.1f s): %s%.2f s, %d requests; \"%.40s\" then "
                "\"%.40s\"\n",
                edit.what.c_str(), pause, seen.wait.reached ? "seen after " : "over ",
                seen.wait.seconds, seen.requests, seen.before.c_str(), seen.after.c_str());
            std::fflush(stdout);
            (is_new ? figures.new_seen : figures.changed_seen).push_back(seen.wait.seconds);
            cut = !seen.wait.reached;
        }
    }
    edits.undo_all();
}

// After the edits: the cost per message against the floor, then the CPU while idle.
void measure_steady(TimedFilter& filter, TimedFilter& floor, const SyntheticTree& tree,
                    const PassWatch& watch, const Settings& settings, NetworkFigures& figures) {
    const auto ratio_from = Clock::now();
    figures.ratio = compare_with_floor(filter, floor, tree.messages, settings.ratio_seconds);
    figures.ratio_busy = watch.share_busy(ratio_from, Clock::now());
    std::printf(
        "  message vs local floor: %.2f (median %.1f µs against %.1f µs; p99 %.1f / %.1f µs; "
        "%zu pairs over %.0f s; the filter's calls on the storage ran %.0f %% of it)\n",
        figures.ratio.ratio(), figures.ratio.median_us, figures.ratio.floor_median_us,
        figures.ratio.p99_us, figures.ratio.floor_p99_us, figures.ratio.pairs,
        settings.ratio_seconds, figures.ratio_busy * 100);
    std::fflush(stdout);
    const auto idle_from = Clock::now();
    figures.idle_percent = cpu_percent_over(filter.process_id(), settings.idle_seconds);
    figures.idle_busy = watch.share_busy(idle_from, Clock::now());
    std::printf(
        "  filter CPU while idle: %.2f %% of one core over %.0f s (its calls on the storage "
        "ran %.0f %% of it)\n",
        figures.idle_percent, settings.idle_seconds, figures.idle_busy * 100);
    std::fflush(stdout);
}

// One build over the tree with "Domains" on `storage`.
NetworkFigures measure_network(const Build& build, const SyntheticTree& tree,
                               const SyntheticTree& floor_tree, int domains,
                               const SlowStorage& storage, ListEdits& edits,
                               const Settings& settings) {
    NetworkFigures figures;
    std::printf(" %s (%s), load average %s:\n", build.label, build.program.c_str(),
                load_average().c_str());
    TimedFilter floor(floor_tree.root, build.program, reply_timeout);
    floor.send(floor_tree.messages.front());  // its first reading, apart
    PassWatch watch(storage, std::chrono::milliseconds(20), std::chrono::milliseconds(500));
    TimedFilter filter(tree.root, build.program, reply_timeout);
    figures.first = time_first_reading(filter, tree.messages, build.cap);
    print_reading("every list known after start", figures.first, build.cap);
    if (figures.first.known.reached) {
        const auto read = Clock::now();
        time_edits(filter, edits, build, domains, watch, read, figures);
        measure_steady(filter, floor, tree, watch, settings, figures);
        const std::vector<PassWatch::Run> all = watch.runs();
        const PassPace pace = pace_of(watch.runs(false, read));
        std::printf(
            "  the filter's calls on the storage: first run %.2f s; after the first reading %zu "
            "runs, median %.2f s, one starting every %.2f s (median)\n",
            all.empty() ? 0.0 : all.front().seconds(), pace.runs, pace.median_seconds,
            pace.median_period);
    }
    figures.failed = filter.failed() || floor.failed();
    if (figures.failed) {
        std::printf("  (a request got no reply)\n");
    }
    std::fflush(stdout);
    return figures;
}

// One build's first reading with the whole tree on local disk, warm or cold.
FirstReading measure_local(const Build& build, const SyntheticTree& tree, const char* what) {
    TimedFilter filter(tree.root, build.program, reply_timeout);
    const FirstReading reading = time_first_reading(filter, tree.messages, build.cap);
    std::printf(" %s, %s:\n", build.label, what);
    print_reading("every list known after start", reading, build.cap);
    return reading;
}

LocalFigures local_row(const std::vector<Build>& builds, const SyntheticTree& tree,
                       const Settings& settings, size_t build) {
    LocalFigures figures;
    figures.warm = measure_local(builds[build], tree, "warm (files in the page cache)");
    if (!settings.cold) {
        figures.cold_note = "not measured (--no-cold)";
        return figures;
    }
    const std::string failure = drop_caches();
    if (!failure.empty()) {
        figures.cold_note = "not measured (cannot drop caches: " + failure + ")";
        return figures;
    }
    figures.cold = measure_local(builds[build], tree, "cold (after dropping caches)");
    return figures;
}

// The items of a comma-separated list, each read by `read`; false when one fails.
template <typename Read>
bool parse_list(const std::string& text, Read read) {
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        if (!read(text.substr(start, comma - start))) {
            return false;
        }
        start = comma + 1;
    }
    return true;
}

bool parse_shape(const std::string& item, std::vector<TreeShape>& shapes) {
    int domains = 0, lists = 0;
    char end = 0;
    if (std::sscanf(item.c_str(), "%dx%d%c", &domains, &lists, &end) != 2 || domains < 2 ||
        lists < 4) {
        return false;
    }
    shapes.push_back({domains, lists, 20, 200, true});
    return true;
}

bool parse_delay(const std::string& item, std::vector<unsigned>& delays) {
    int delay = -1;
    char end = 0;
    if (std::sscanf(item.c_str(), "%d%c", &delay, &end) != 1 || delay < 0) {
        return false;
    }
    delays.push_back(static_cast<unsigned>(delay));
    return true;
}

double decimal_after(int& index, int argc, char** argv) {
    return index + 1 < argc ? std::atof(argv[++index]) : 0;
}

bool parse(int argc, char** argv, Settings& s) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        const bool value = i + 1 < argc;
        if (word == "--binary" && value) {
            s.binary = argv[++i];
        } else if (word == "--before" && value) {
            s.before = argv[++i];
        } else if (word == "--quick") {
            s.shapes = {{1000, 10, 20, 200, true}};
            s.delays_us = {100};
            s.changes = 3;
            s.ratio_seconds = 10;
        } else if (word == "--shapes" && value) {
            s.shapes.clear();
            if (!parse_list(argv[++i],
                            [&](const std::string& item) { return parse_shape(item, s.shapes); })) {
                return false;
            }
        } else if (word == "--delays-us" && value) {
            s.delays_us.clear();
            if (!parse_list(argv[++i], [&](const std::string& item) {
                    return parse_delay(item, s.delays_us);
                })) {
                return false;
            }
        } else if (word == "--changes") {
            s.changes = number_after(i, argc, argv);
        } else if (word == "--before-changes") {
            s.before_changes = number_after(i, argc, argv);
        } else if (word == "--cap") {
            s.cap = decimal_after(i, argc, argv);
        } else if (word == "--before-cap") {
            s.before_cap = decimal_after(i, argc, argv);
        } else if (word == "--ratio-seconds") {
            s.ratio_seconds = decimal_after(i, argc, argv);
        } else if (word == "--idle-seconds") {
            s.idle_seconds = decimal_after(i, argc, argv);
        } else if (word == "--entry-timeout") {
            s.entry_timeout = decimal_after(i, argc, argv);
        } else if (word == "--negative-timeout") {
            s.negative_timeout = decimal_after(i, argc, argv);
        } else if (word == "--no-local") {
            s.local = false;
        } else if (word == "--no-cold") {
            s.cold = false;
        } else if (word == "--one-cpu") {
            s.one_cpu = true;
        } else {
            std::fprintf(stderr, "unknown or incomplete argument %s\n", argv[i]);
            return false;
        }
    }
    if (s.shapes.empty() || s.changes < 0 || s.before_changes < 0 || s.cap <= 0 ||
        s.before_cap <= 0 || s.ratio_seconds <= 0 || s.idle_seconds <= 0) {
        std::fprintf(stderr,
                     "shapes are DOMAINSxLISTS with 2 domains and 4 lists or more; counts 0 or "
                     "more; times above 0\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    if (!parse(argc, argv, settings)) {
        return 2;
    }
    std::vector<Build> builds = {{"this build",
                                  settings.binary.empty() ? quorvel_binary() : settings.binary,
                                  settings.cap, settings.changes}};
    if (!settings.before.empty()) {
        builds.push_back({"before", settings.before, settings.before_cap, settings.before_changes});
    }
    print_header(settings, builds.front().program);
    std::printf("Load average at start: %s\n", load_average().c_str());
    const auto run_started = Clock::now();
    std::vector<TableRow> rows;
    int status = 0;
    for (const TreeShape& shape : settings.shapes) {
        const auto writing = Clock::now();
        const SyntheticTree tree = make_synthetic_tree(temporary_root("tree"), shape);
        TreeShape floor_shape = shape;
        floor_shape.with_lists = false;
        const SyntheticTree floor_tree = make_synthetic_tree(temporary_root("floor"), floor_shape);
        std::printf("\n== %s: trees written in %.1f s ==\n", shape_label(shape).c_str(),
                    seconds_since(writing));
        if (settings.local) {
            std::printf("Local disk (every list and the queue):\n");
            CpuChoice cpu(settings.one_cpu);
            TableRow row{shape, std::nullopt, {}, {}};
            for (size_t build = 0; build < builds.size(); ++build) {
                row.local.push_back(local_row(builds, tree, settings, build));
            }
            rows.push_back(row);
        }
        for (unsigned delay : settings.delays_us) {
            std::printf("\"Domains\" on slow storage, %u µs added to each metadata call:\n", delay);
            SlowStorage storage(tree.root + "/Domains",
                                {delay, settings.entry_timeout, settings.negative_timeout});
            if (!storage.mounted()) {
                std::printf("  SKIPPED: no slow storage: %s\n", storage.failure().c_str());
                break;
            }
            CpuChoice cpu(settings.one_cpu);
            ListEdits edits(tree.root, tree.root + "/" + SlowStorage::source_of("Domains"));
            TableRow row{shape, delay, {}, {}};
            for (const Build& build : builds) {
                row.network.push_back(measure_network(build, tree, floor_tree, shape.domains,
                                                      storage, edits, settings));
            }
            status = row.network.front().failed ? 1 : status;
            rows.push_back(row);
        }
        fs::remove_all(tree.root);
        fs::remove_all(floor_tree.root);
    }
    std::printf("\nThe whole run took %.0f s; load average at the end: %s\n\n",
                seconds_since(run_started), load_average().c_str());
    print_table(rows, settings);
    return status;
}
