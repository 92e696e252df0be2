// Lists and domains that come and go, as on a hosting provider's server: each round
// creates a distinct domain with one list and a distinct list of the main domain,
// then removes both, with one message after each change, and the filter's resident
// memory is printed as the rounds go by. Nothing is kept for what is gone, so the
// figure must stay flat. Not part of the test suite.
// Usage: quorvel_churn [--rounds N] [--every N] [--binary PATH]
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "bench_process.h"
#include "synthetic_tree.h"
#include "timed_filter.h"

namespace fs = std::filesystem;

namespace {

void write_file(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

void write_list(const fs::path& base) {
    write_file(base.string() + ".settings", "{ Owner = boss; Postings = \"from subscribers\"; }\n");
    write_file(base.string() + ".list", "member@example.net\tfeed\t08-12-2026_10:00:00\t0\t-\tM\n");
}

// A posting by a stranger to `address`, which the filter answers after bringing its
// table up to date.
std::string posting(const std::string& root, const std::string& address) {
    const std::string relative = "Queue/churn.msg";
    write_file(fs::path(root) / relative,
               "P I 08-12-2026_10:00:00 0000 ____ <mallory@example.org>\n"
               "R W 08-12-2026_10:00:00 0000 ____ <" +
                   address + ">\n\nFrom: <mallory@example.org>\nTo: " + address +
                   "\nSubject: churn\n\nBody.\n");
    return relative;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 5000, every = 1000;
    std::string binary;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--rounds") {
            rounds = number_after(i, argc, argv);
        } else if (word == "--every") {
            every = number_after(i, argc, argv);
        } else if (word == "--binary" && i + 1 < argc) {
            binary = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--rounds N] [--every N] [--binary PATH]\n", argv[0]);
            return 2;
        }
    }
    if (rounds <= 0 || every <= 0) {
        return 2;
    }
    // Line by line, so that a run followed from another terminal shows its figures.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::string root = (fs::temp_directory_path() / "quorvel-churn-XXXXXX").string();
    if (mkdtemp(root.data()) == nullptr) {
        return 1;
    }
    fs::remove(root);
    make_synthetic_tree(root, TreeShape{10, 10, 20, 10, true});
    TimedFilter filter(root, binary, 30);
    std::printf(
        "each round: a domain with a list and a list of the main domain, created and\n"
        "removed, one message after each of the four changes\n");
    std::printf("filter process %d\n", filter.process_id());
    std::printf("rounds %7d: resident %6ld kB\n", 0, resident_kilobytes(filter.process_id()));
    const long first = resident_kilobytes(filter.process_id());
    long after_first_batch = 0;
    for (int round = 1; round <= rounds && !filter.failed(); ++round) {
        const std::string domain = "gone" + std::to_string(round) + ".test";
        const fs::path domain_lists = fs::path(root) / "Domains" / domain / "LISTS";
        const fs::path main_list =
            fs::path(root) / "Accounts/LISTS" / ("gone" + std::to_string(round));
        write_list(domain_lists / "news");
        filter.send(posting(root, "news@" + domain));
        write_list(main_list);
        filter.send(posting(root, "gone" + std::to_string(round) + "@main.test"));
        fs::remove_all(fs::path(root) / "Domains" / domain);
        filter.send(posting(root, "news@" + domain));
        fs::remove(main_list.string() + ".list");
        fs::remove(main_list.string() + ".settings");
        filter.send(posting(root, "gone" + std::to_string(round) + "@main.test"));
        if (round % every == 0) {
            const long now = resident_kilobytes(filter.process_id());
            after_first_batch = after_first_batch == 0 ? now : after_first_batch;
            std::printf("rounds %7d: resident %6ld kB\n", round, now);
        }
    }
    // The status passes take what the tree handed them at their next pass: one more
    // message after it, so that nothing merely queued counts as kept.
    std::this_thread::sleep_for(std::chrono::seconds(11));
    filter.send(posting(root, "news@main.test"));
    const long last = resident_kilobytes(filter.process_id());
    if (rounds > every && after_first_batch != 0) {
        std::printf("growth after the first %d rounds: %.0f bytes a round\n", every,
                    (last - after_first_batch) * 1024.0 / (rounds / every * every - every));
    }
    std::printf("from %ld kB to %ld kB%s\n", first, last,
                filter.failed() ? " (a reply was lost)" : "");
    fs::remove_all(root);
    return filter.failed() ? 1 : 0;
}
