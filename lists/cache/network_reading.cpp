// A pass: the places in their order, each list directory listed as the walk lists
// it and each list examined against what the passes know of it; then every list
// the pass did not meet is reported gone. The directories go in chunks: a chunk's
// listings are made side by side, then its lists are examined side by side, then
// taken in in the walk's order and handed over, so that the serving thread knows
// the first domains long before the last are read. Only what changes a record is
// handed over. What the serving thread has not taken yet is added to, so it always
// applies every reading, in order. Everything the pass touches belongs to this
// object, which the background thread holds: the process may exit while a pass runs.
#include "network_reading.h"

#include <time.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "address_folding.h"
#include "tree_names.h"

namespace {

using Clock = std::chrono::steady_clock;

// Nothing to read and nothing known: the passes wait until the serving thread
// hands them places and asks the thread to run them.
constexpr std::chrono::hours nothing_to_do{1};

// Directories listed side by side before their lists are examined; leftover lists
// examined side by side before they are handed over.
constexpr size_t directories_per_chunk = 16;
constexpr size_t leftovers_per_chunk = 256;

std::chrono::nanoseconds thread_cpu() {
    timespec used;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

}  // namespace

NetworkReading::NetworkReading(kel::FileSystem& file_system, std::string main_domain,
                               std::chrono::nanoseconds idle, size_t width)
    : file_system(file_system), main_domain(std::move(main_domain)), idle(idle), calls(width) {}

void NetworkReading::set_places(std::vector<NetworkPlace> given) {
    pending_places = std::move(given);
}

void NetworkReading::read_again(const std::string& key) {
    pending_again.push_back(key);
}

void NetworkReading::read_leftovers(uint64_t reading, std::vector<LeftoverList> lists) {
    pending_leftovers.emplace(reading, std::move(lists));
}

std::optional<NetworkPass> NetworkReading::exchange() {
    std::optional<NetworkPass> taken;
    kel::AnnotatedLock held(lock);
    if (pending_places) {
        handed_places = std::move(pending_places);
        pending_places.reset();
    }
    if (!pending_again.empty()) {
        handed_again.insert(handed_again.end(), std::make_move_iterator(pending_again.begin()),
                            std::make_move_iterator(pending_again.end()));
        pending_again.clear();
    }
    if (pending_leftovers) {
        handed_leftovers = std::move(pending_leftovers);
        pending_leftovers.reset();
    }
    taken.swap(finished);
    return taken;
}

void NetworkReading::hand_over(NetworkPass&& part) {
    kel::AnnotatedLock held(lock);
    if (finished) {
        finished->append(std::move(part));
    } else {
        finished = std::move(part);
    }
}

void NetworkReading::take_handed() {
    std::vector<std::string> again;
    {
        kel::AnnotatedLock held(lock);
        if (handed_places) {
            places = std::move(*handed_places);
            handed_places.reset();
        }
        again.swap(handed_again);
        if (handed_leftovers) {
            leftovers = std::move(handed_leftovers);
            handed_leftovers.reset();
        }
    }
    for (const std::string& key : again) {
        known.erase(key);
    }
}

std::chrono::nanoseconds NetworkReading::run_pass() {
    const Clock::time_point started = Clock::now();
    const std::chrono::nanoseconds cpu_before = thread_cpu() + calls.cpu();
    take_handed();
    read_leftover_lists();
    if (places.empty() && known.empty()) {
        return nothing_to_do;
    }
    ++passes;
    met.clear();
    const std::vector<Directory> directories = directories_of_places();
    for (size_t from = 0; from < directories.size(); from += directories_per_chunk) {
        read_directories(directories, from,
                         std::min(directories.size(), from + directories_per_chunk));
    }
    NetworkPass last;
    report_gone(last);
    last.had_places = !places.empty();
    last.records = listings.take_records();
    last.completed = Clock::now();
    hand_over(std::move(last));
    return pass_period(Clock::now() - started, thread_cpu() + calls.cpu() - cpu_before);
}

// The leftovers of a first reading, examined side by side and handed over in their
// order, a chunk at a time.
void NetworkReading::read_leftover_lists() {
    if (!leftovers) {
        return;
    }
    const uint64_t reading = leftovers->first;
    std::vector<LeftoverList>& lists = leftovers->second;
    for (size_t from = 0; from < lists.size() || from == 0; from += leftovers_per_chunk) {
        const size_t to = std::min(lists.size(), from + leftovers_per_chunk);
        NetworkPass part;
        part.leftovers_of = reading;
        part.leftovers.resize(to - from);
        calls.run(to - from, [&](size_t i) {
            const LeftoverList& list = lists[from + i];
            part.leftovers[i] =
                examine_list(file_system, list.known ? &*list.known : nullptr, list.directory,
                             list.domain, list.name, list_clock_now());
        });
        part.leftovers_done = to == lists.size();
        hand_over(std::move(part));
    }
    leftovers.reset();
}

// The list directories of the places, in the walk's order; "Domains" is listed here.
std::vector<NetworkReading::Directory> NetworkReading::directories_of_places() {
    std::vector<Directory> directories;
    size_t order = 0;
    for (const NetworkPlace& place : places) {
        if (!place.domains) {
            directories.push_back({place.path, place.domain, order++});
            continue;
        }
        const auto domain_there = [&](const std::string& name) {
            return entry_still_there(file_system, place.path, name);
        };
        for (const std::string& domain :
             listings.list(file_system, place.path, order++, domain_there)) {
            // The walk reads the main domain's lists from "Accounts" there too, which
            // is read in its own place.
            if (domain != main_domain) {
                directories.push_back({place.path + "/" + domain + "/LISTS", domain, order++});
            }
        }
    }
    return directories;
}

void NetworkReading::read_directories(const std::vector<Directory>& directories, size_t from,
                                      size_t to) {
    std::vector<kel::DirectoryListing> found(to - from);
    calls.run(to - from,
              [&](size_t i) { found[i] = file_system.list(directories[from + i].path); });
    std::vector<Task> tasks = tasks_of(directories, from, found);
    calls.run(tasks.size(), [&](size_t i) {
        Task& task = tasks[i];
        if (!task.after_earlier) {
            task.visit = examine_list(
                file_system, task.known ? &*task.known : nullptr, directories[task.directory].path,
                directories[task.directory].domain, task.name, list_clock_now());
        }
    });
    NetworkPass part;
    part.had_places = true;
    take_in(tasks, directories, part);
    hand_over(std::move(part));
}

// The lists of the chunk's directories, each with a copy of what is known of it: the
// calls side by side touch nothing shared.
std::vector<NetworkReading::Task> NetworkReading::tasks_of(
    const std::vector<Directory>& directories, size_t from,
    std::vector<kel::DirectoryListing>& found) {
    std::vector<Task> tasks;
    for (size_t i = 0; i < found.size(); ++i) {
        const Directory& directory = directories[from + i];
        const auto still_there = [&](const std::string& name) {
            return entry_still_there(file_system, directory.path, name);
        };
        for (const std::string& entry :
             listings.take(directory.path, std::move(found[i]), directory.order, still_there)) {
            if (!ends_with(entry, list_suffix)) {
                continue;
            }
            Task task;
            task.name = entry.substr(0, entry.size() - list_suffix.size());
            task.key = fold_lower(task.name + "@" + directory.domain);
            task.directory = from + i;
            task.after_earlier = !met.insert(task.key).second;
            auto known_one = known.find(task.key);
            if (!task.after_earlier && known_one != known.end()) {
                task.known = known_one->second.list;
            }
            tasks.push_back(std::move(task));
        }
    }
    return tasks;
}

// In the walk's order: what each list's reading changes goes into the pass, and into
// what the passes know. A key met twice in one pass is examined the second time only
// now, against what the first reading left, as the walk reads it.
void NetworkReading::take_in(std::vector<Task>& tasks, const std::vector<Directory>& directories,
                             NetworkPass& part) {
    for (Task& task : tasks) {
        auto [found, fresh] = known.try_emplace(task.key);
        if (task.after_earlier) {
            if (!fresh) {
                task.known = found->second.list;
            }
            const Directory& directory = directories[task.directory];
            task.visit =
                examine_list(file_system, task.known ? &*task.known : nullptr, directory.path,
                             directory.domain, task.name, list_clock_now());
        }
        const bool changes = visit_changes(task.known ? &*task.known : nullptr, task.visit);
        apply_list_visit(task.visit, found->second.list);
        found->second.seen = passes;
        if (changes) {
            task.visit.key = std::move(task.key);
            part.items.push_back({false, std::move(task.visit)});
        }
    }
}

void NetworkReading::report_gone(NetworkPass& part) {
    for (auto entry = known.begin(); entry != known.end();) {
        if (entry->second.seen == passes) {
            ++entry;
            continue;
        }
        NetworkPass::Item gone;
        gone.gone = true;
        gone.visit.key = entry->first;
        part.items.push_back(std::move(gone));
        entry = known.erase(entry);
    }
}

void NetworkReading::discard() {
    for (auto& [key, entry] : known) {
        entry.list = ListKnown{};
        // Not known to be empty: an empty file is then read, not taken as unchanged.
        entry.list.has_subscribers = true;
    }
}
