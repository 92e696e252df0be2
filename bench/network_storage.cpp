// Lists on network storage: the synthetic tree with "Domains" on slow storage
// (tests/slow_storage.h: every metadata call waits, no attributes are cached), the
// queue and the main domain's lists on local disk. In one run it prints a pass over
// the lists there timed in this process; the filter's first pass (from its first
// message to the first reply that knows those lists); the mean cost per message once
// that pass has finished, against the floor (the same messages in a tree without
// lists, all local), message by message in turn; the time from a change of a list
// file there to the first reply that reflects it, beside the filter's own passes,
// which the pass-through's call counts show; and, given --before, another build of
// the filter against the same floor, which walks the lists there for every message
// and so is timed on a few messages only. --binary names the filter to measure, when
// not the one built here. It trusts the tree it writes.
// It skips, saying why, where slow storage cannot be mounted.
// Usage: quorvel_network_bench [--binary QUORVEL] [--before QUORVEL] [--domains D]
//                              [--lists L] [--delay-us N] [--entry-timeout S]
//                              [--negative-timeout S] [--requests N] [--before-requests N]
//                              [--changes N]
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "address_folding.h"
#include "bench_process.h"
#include "filter_process.h"
#include "network_reading.h"
#include "slow_storage.h"
#include "synthetic_tree.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

const std::string still_reading = "Lists on network storage are still being read, not checked yet";

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

std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

// Replaces a file as a server does, by renaming a complete new one over it, so that
// a pass never meets it half written. The temporary name does not end in ".list".
void replace_file(const std::string& path, const std::string& content) {
    const std::string temporary = path + ".new";
    std::ofstream(temporary, std::ios::binary) << content;
    fs::rename(temporary, path);
}

// The reply line of a request without its number, "OK" or "ERROR ...".
std::string verdict(const Lines& lines) {
    if (lines.empty()) {
        return "(no reply)";
    }
    const std::string& reply = lines.back();
    const size_t blank = reply.find(' ');
    return blank == std::string::npos ? reply : reply.substr(blank + 1);
}

bool tells_still_reading(const Lines& lines) {
    return std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.size() > still_reading.size() &&
               line.compare(line.size() - still_reading.size(), still_reading.size(),
                            still_reading) == 0;
    });
}

// One live filter driven one request at a time, timing each until its reply.
class Timed {
  public:
    Timed(const std::string& root, const std::string& program = "")
        : session(root, options(program)) {
        session.start_lines();
    }
    // Sends a request for the message at `relative` (under the root); its lines,
    // empty when no reply came in time.
    Lines send(const std::string& relative) {
        const auto started = Clock::now();
        Lines lines = session.request(std::to_string(++sent) + " FILE " + relative);
        last_us = std::chrono::duration<double, std::micro>(Clock::now() - started).count();
        failed = failed || lines.empty();
        return lines;
    }
    // Sends and keeps the latency among those to sum up.
    void send_counted(const std::string& relative) {
        send(relative);
        latencies.push_back(last_us);
    }
    double last_us = 0;
    bool failed = false;
    std::vector<double> latencies;

  private:
    static RunOptions options(const std::string& program) {
        RunOptions options;
        options.program = program;
        options.timeout_seconds = 600;  // a walk over slow storage takes long
        return options;
    }
    FilterSession session;
    int sent = 0;
};

// Sends `requests` messages to each filter, one each in turn and each first every
// other time, so that both meet the same load on the machine.
void interleave(Timed& measured, Timed& floor, int requests, const SyntheticTree& tree) {
    for (int i = 0; i < requests; ++i) {
        const std::string& message = tree.messages[static_cast<size_t>(i) % tree.messages.size()];
        Timed* order[] = {&measured, &floor};
        order[i % 2]->send_counted(message);
        order[1 - i % 2]->send_counted(message);
    }
}

void print_against_floor(const char* label, Timed& measured, Timed& floor) {
    const LatencySummary figures = summarize_latencies(measured.latencies);
    const LatencySummary floor_figures = summarize_latencies(floor.latencies);
    std::printf("  %-8s %6zu msgs  mean %12.1f us  p50 %12.1f us  p99 %12.1f us  ratio %9.2f%s\n",
                label, measured.latencies.size(), figures.mean_us, figures.p50_us, figures.p99_us,
                floor_figures.mean_us > 0 ? figures.mean_us / floor_figures.mean_us : 0.0,
                measured.failed ? "  (a request got no reply)" : "");
    std::printf("  %-8s %6zu msgs  mean %12.1f us  p50 %12.1f us  p99 %12.1f us\n", "floor",
                floor.latencies.size(), floor_figures.mean_us, floor_figures.p50_us,
                floor_figures.p99_us);
    std::fflush(stdout);
    measured.latencies.clear();
    floor.latencies.clear();
}

// Passes over the lists under `domains`, as the filter's background thread runs
// them, timed here: the first reads every list, the others find nothing changed.
std::vector<double> time_passes(const std::string& domains, int passes) {
    NetworkReading reading(kel::real_file_system(), fold_lower("main.test"));
    reading.set_places({NetworkPlace{true, domains, ""}});
    reading.exchange();
    std::vector<double> durations;
    for (int i = 0; i < passes; ++i) {
        const auto started = Clock::now();
        reading.run_pass();
        durations.push_back(seconds_since(started));
        reading.exchange();  // what the serving thread would take; dropped here
    }
    return durations;
}

// The filter's own passes, seen from the pass-through: its serving thread makes no
// call there, so calls come in runs, one run a pass, with the pause between them
// silent. Samples the call count every `interval` from before the filter starts; a
// run ends at a silence of `silence` or longer.
class PassWatch {
  public:
    struct Run {
        Clock::time_point began, ended;
        double seconds() const { return std::chrono::duration<double>(ended - began).count(); }
    };

    PassWatch(const SlowStorage& storage, std::chrono::milliseconds interval,
              std::chrono::milliseconds silence)
        : sampler([this, &storage, interval, silence] { sample(storage, interval, silence); }) {}
    ~PassWatch() {
        stop = true;
        sampler.join();
    }
    // The runs that ended so far.
    std::vector<Run> runs() const {
        std::lock_guard<std::mutex> held(lock);
        return ended;
    }

  private:
    void sample(const SlowStorage& storage, std::chrono::milliseconds interval,
                std::chrono::milliseconds silence) {
        unsigned long long last_total = storage.calls()["total"];
        Clock::time_point last_sample = Clock::now(), last_call = last_sample, began;
        bool in_run = false;
        while (!stop.load()) {
            std::this_thread::sleep_for(interval);
            const Clock::time_point now = Clock::now();
            const unsigned long long total = storage.calls()["total"];
            if (total != last_total) {
                if (!in_run) {
                    in_run = true;
                    began = last_sample;
                }
                last_call = now;
            } else if (in_run && now - last_call >= silence) {
                std::lock_guard<std::mutex> held(lock);
                ended.push_back({began, last_call});
                in_run = false;
            }
            last_total = total;
            last_sample = now;
        }
    }

    mutable std::mutex lock;
    std::vector<Run> ended;
    std::atomic<bool> stop{false};
    std::thread sampler;
};

// One list on the slow storage, changed in turn so that the reply to a posting by
// its first subscriber flips: its settings allow only the owner, then as they were;
// its subscriber file loses that subscriber, then as it was.
struct ChangingList {
    std::string settings_path, list_path;
    std::string settings, subscribers;

    std::string change(int index) const {
        switch (index % 4) {
            case 0: {
                std::string owner_only = settings;
                const std::string from = "\"from subscribers\"";
                const size_t at = owner_only.find(from);
                if (at != std::string::npos) {
                    owner_only.replace(at, from.size(), "\"from owner only\"");
                }
                replace_file(settings_path, owner_only);
                return "settings: from owner only";
            }
            case 1:
                replace_file(settings_path, settings);
                return "settings: as they were";
            case 2:
                replace_file(list_path, subscribers.substr(subscribers.find('\n') + 1));
                return "subscribers: the poster removed";
            default:
                replace_file(list_path, subscribers);
                return "subscribers: as they were";
        }
    }
};

// Writes a posting by the list's first subscriber to the queue (local disk).
std::string write_posting(const std::string& root, const std::string& list_address) {
    const std::string relative = "Queue/network-change.msg";
    const std::string member = "member0@example.net";
    std::ofstream(root + "/" + relative, std::ios::binary)
        << "P I 08-12-2026_10:00:00 0000 ____ <" << member << ">\n"
        << "R W 08-12-2026_10:00:00 0000 ____ <" << list_address << ">\n\n"
        << "From: Member <" << member << ">\nTo: " << list_address
        << "\nSubject: benchmark\n\nBody.\n";
    return relative;
}

// Changes the list `changes` times; after each, sends the posting every
// `interval_ms` until its reply differs from the one before the change. The time
// from each change to that reply, in seconds. A change comes a varying while after
// the last one was seen, up to `spread` seconds, so that changes meet the passes at
// varying points of their cycle.
std::vector<double> time_changes(Timed& filter, const ChangingList& list,
                                 const std::string& posting, int changes, int interval_ms,
                                 double spread, double give_up) {
    std::vector<double> seen_after;
    std::string before = verdict(filter.send(posting));
    for (int index = 0; index < changes; ++index) {
        const double wait = spread * ((index * 7 + 3) % 10) / 10.0;
        std::this_thread::sleep_for(std::chrono::duration<double>(wait));
        const std::string what = list.change(index);
        const auto changed = Clock::now();
        std::string now = before;
        int requests = 0;
        while (now == before && seconds_since(changed) < give_up && !filter.failed) {
            std::this_thread::sleep_until(changed +
                                          std::chrono::milliseconds(interval_ms) * requests++);
            now = verdict(filter.send(posting));
        }
        const double took = seconds_since(changed);
        std::printf(
            "  change %d (%s, %.1f s after the last was seen): seen after %6.2f s, "
            "%d requests; reply now \"%s\"\n",
            index + 1, what.c_str(), wait, took, requests, now.c_str());
        std::fflush(stdout);
        if (now == before) {
            break;  // not seen in time: the next change would not flip the reply
        }
        seen_after.push_back(took);
        before = now;
    }
    return seen_after;
}

struct Settings {
    TreeShape shape{1000, 10, 20, 200, true};
    SlowStorageOptions storage{100, 1, 1};
    std::string binary;  // the filter measured; empty for the one built here
    std::string before;
    int requests = 2000;
    int before_requests = 3;
    int changes = 8;
    int passes = 4;
};

double decimal_after(int& index, int argc, char** argv) {
    return index + 1 < argc ? std::atof(argv[++index]) : 0;
}

bool parse(int argc, char** argv, Settings& settings) {
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--binary" && i + 1 < argc)
            settings.binary = argv[++i];
        else if (word == "--before" && i + 1 < argc)
            settings.before = argv[++i];
        else if (word == "--domains")
            settings.shape.domains = number_after(i, argc, argv);
        else if (word == "--lists")
            settings.shape.lists_per_domain = number_after(i, argc, argv);
        else if (word == "--delay-us")
            settings.storage.delay_us = static_cast<unsigned>(number_after(i, argc, argv));
        else if (word == "--entry-timeout")
            settings.storage.entry_timeout = decimal_after(i, argc, argv);
        else if (word == "--negative-timeout")
            settings.storage.negative_timeout = decimal_after(i, argc, argv);
        else if (word == "--requests")
            settings.requests = number_after(i, argc, argv);
        else if (word == "--before-requests")
            settings.before_requests = number_after(i, argc, argv);
        else if (word == "--changes")
            settings.changes = number_after(i, argc, argv);
        else {
            std::fprintf(stderr, "unknown argument %s\n", argv[i]);
            return false;
        }
    }
    // The changing list is the fourth of a domain on the slow storage, which the
    // synthetic tree lets its subscribers post to.
    if (settings.shape.domains < 2 || settings.shape.lists_per_domain < 4 ||
        settings.requests < 1 || settings.before_requests < 1) {
        std::fprintf(stderr, "needs 2 domains or more, 4 lists or more, 1 request or more\n");
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
    const TreeShape& shape = settings.shape;
    std::printf(
        "%d domain(s) x %d list(s), %d subscribers each; \"Domains\" on slow storage: "
        "%u us added to each metadata call, names kept %g s, missing names %g s, no "
        "attributes kept\n",
        shape.domains, shape.lists_per_domain, shape.subscribers_per_list,
        settings.storage.delay_us, settings.storage.entry_timeout,
        settings.storage.negative_timeout);
    std::fflush(stdout);
    const std::string root = temporary_root("tree");
    const std::string floor_root = temporary_root("floor");
    const SyntheticTree tree = make_synthetic_tree(root, shape);
    TreeShape floor_shape = shape;
    floor_shape.with_lists = false;
    const SyntheticTree floor_tree = make_synthetic_tree(floor_root, floor_shape);

    const int domain = shape.domains / 2;
    const std::string list_directory = synthetic_list_directory(domain);
    const std::string list_address = "list3@d" + std::to_string(domain) + ".test";
    const std::string posting = write_posting(root, list_address);
    int status = 0;
    double floor_mean_us = 0;  // over the many messages timed beside the default run
    {
        SlowStorage storage(root + "/Domains", settings.storage);
        if (!storage.mounted()) {
            std::printf("SKIPPED: no slow storage: %s\n", storage.failure().c_str());
            fs::remove_all(root);
            fs::remove_all(floor_root);
            return 0;
        }
        if (const int cpu = keep_to_one_cpu(); cpu >= 0) {
            std::printf(
                "(driver and filters on CPU %d; the pass-through, started before, on any)\n", cpu);
        }
        // "Domains/dN.test/LISTS" through the mount; its source beside it.
        const std::string source_lists = root + "/" + SlowStorage::source_of("Domains") +
                                         list_directory.substr(std::string("Domains").size()) +
                                         "/list3";
        const ChangingList changing{source_lists + ".settings", source_lists + ".list",
                                    read_file(source_lists + ".settings"),
                                    read_file(source_lists + ".list")};

        std::printf("Passes over the lists there, timed in this process (no filter running):\n");
        const std::vector<double> passes = time_passes(root + "/Domains", settings.passes);
        std::vector<double> later(passes.begin() + 1, passes.end());
        const double pass = median(later);
        std::printf("  first %.2f s (reads every list); then", passes.front());
        for (double duration : later) {
            std::printf(" %.2f", duration);
        }
        std::printf(" s: median %.2f s\n", pass);
        std::fflush(stdout);

        Timed floor(floor_root);
        {
            PassWatch watch(storage, std::chrono::milliseconds(20), std::chrono::milliseconds(500));
            Timed watched(root, settings.binary);
            // The first pass as the filter runs it; messages are answered meanwhile.
            const auto first_sent = Clock::now();
            Lines lines = watched.send(tree.messages.front());
            int waiting = 0;
            while (tells_still_reading(lines) && !watched.failed) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                lines = watched.send(
                    tree.messages[static_cast<size_t>(++waiting) % tree.messages.size()]);
                watched.latencies.push_back(watched.last_us);
            }
            const double first_pass = seconds_since(first_sent);
            // The last message applied the pass and wrote its records: apart.
            watched.latencies.pop_back();
            const LatencySummary meanwhile = summarize_latencies(watched.latencies);
            std::printf(
                "First pass of the filter, from its first message to the first reply that "
                "knows the lists there: %.2f s\n"
                "  %zu messages answered meanwhile: mean %.1f us, p50 %.1f us, max %.1f us\n"
                "  the message that applied it: %.1f ms, %zu lines written\n",
                first_pass, watched.latencies.size(), meanwhile.mean_us, meanwhile.p50_us,
                watched.latencies.empty()
                    ? 0.0
                    : *std::max_element(watched.latencies.begin(), watched.latencies.end()),
                watched.last_us / 1000, lines.size());
            watched.latencies.clear();
            floor.send(floor_tree.messages.front());  // its first message reads the tree

            std::printf(
                "Cost per message once the first pass has finished (passes running), "
                "against the floor:\n");
            interleave(watched, floor, settings.requests, tree);
            floor_mean_us = summarize_latencies(floor.latencies).mean_us;
            print_against_floor("default", watched, floor);

            std::printf(
                "A change of a list file there (%s), then a posting to it every 50 ms "
                "until its reply changes:\n",
                list_address.c_str());
            // The pause after a pass lasts as long as the pass, and the first, which
            // reads every list, is the longest: changes are timed from the end of the
            // next pass that begins, when the passes keep their steady pace.
            const auto waited = Clock::now();
            const auto second_pass_ended = [&] {
                const std::vector<PassWatch::Run> runs = watch.runs();
                return std::any_of(runs.begin(), runs.end(),
                                   [&](const PassWatch::Run& run) { return run.began > waited; });
            };
            while (!second_pass_ended() && seconds_since(waited) < 600) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            const size_t steady_from = watch.runs().size();
            std::printf(
                "  (from the end of the next pass that began, %.1f s later)\n"
                "  the filter's calls there so far, in runs (start after its first "
                "message, duration):",
                seconds_since(waited));
            for (const PassWatch::Run& run : watch.runs()) {
                // A run is taken to begin at the sample before its first calls: up
                // to one interval early.
                std::printf(
                    " %.1f s %.2f s;",
                    std::max(0.0, std::chrono::duration<double>(run.began - first_sent).count()),
                    run.seconds());
            }
            std::printf("\n");
            const std::vector<double> seen =
                time_changes(watched, changing, posting, settings.changes, 50, 2 * pass, 180);
            std::vector<double> filter_passes;
            const std::vector<PassWatch::Run> runs = watch.runs();
            std::printf("  the filter's passes meanwhile, from the pass-through's call counts:");
            for (size_t i = steady_from; i < runs.size(); ++i) {
                filter_passes.push_back(runs[i].seconds());
                std::printf(" %.2f", runs[i].seconds());
            }
            const double own_pass = median(filter_passes);
            std::printf(" s: median %.2f s\n", own_pass);
            const double worst = seen.empty() ? 0 : *std::max_element(seen.begin(), seen.end());
            const double bound = 2 * own_pass + 1;
            const int within = static_cast<int>(std::count_if(
                seen.begin(), seen.end(), [&](double took) { return took <= bound; }));
            std::printf(
                "  seen after: median %.2f s, longest %.2f s; two of the filter's passes "
                "plus one second: %.2f s, met by %d of %d changes (two passes timed in "
                "this process plus one second: %.2f s)\n",
                median(seen), worst, bound, within, settings.changes, 2 * pass + 1);
            if (watched.failed || static_cast<int>(seen.size()) != settings.changes) {
                status = 1;
            }
        }
        if (!settings.before.empty()) {
            std::printf("%s, which walks the lists there for every message:\n",
                        settings.before.c_str());
            std::fflush(stdout);
            Timed before(root, settings.before);
            const auto started = Clock::now();
            before.send(tree.messages.front());
            std::printf("  first message %.2f s\n", seconds_since(started));
            interleave(before, floor, settings.before_requests, tree);
            const double before_mean_us = summarize_latencies(before.latencies).mean_us;
            print_against_floor("before", before, floor);
            std::printf(
                "  before: %.2f s per message, %.0f times the floor of the default run's "
                "%d messages\n",
                before_mean_us / 1e6, floor_mean_us > 0 ? before_mean_us / floor_mean_us : 0.0,
                settings.requests);
            status = before.failed ? 1 : status;
        }
    }
    fs::remove_all(root);
    fs::remove_all(floor_root);
    return status;
}
