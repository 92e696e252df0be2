// A pass: the places in their order, each list directory listed as the walk lists
// it and each list examined against what the passes know of it; then every list
// the pass did not meet is reported gone. The directories go in chunks: a chunk's
// listings are made side by side, then its lists are examined side by side, then
// taken in in the walk's order and handed over, so that the serving thread knows
// the first domains long before the last are read. Only what changes a record is
// handed over. What the serving thread has not taken yet is added to, so it always
// applies every reading, in order (a later reading of a key that read the
// subscribers again frees the earlier list). Everything the pass touches belongs to
// this object, which the background thread holds: the process may exit while a pass
// runs.
#include "network_reading.h"

#include <time.h>

#include <algorithm>
#include <string_view>
#include <utility>

#include "address_folding.h"
#include "list_names.h"
#include "list_walk.h"

namespace {

using Clock = std::chrono::steady_clock;

// Nothing to read and nothing known: the passes wait until the serving thread
// hands them places and asks the thread to run them.
constexpr std::chrono::hours nothing_to_do{1};

// Directories listed side by side before their lists are examined.
constexpr size_t directories_per_chunk = 16;

constexpr std::chrono::seconds shortest_period{10};
// The passes' share of one core, kept under a tenth with some room: the passes that
// look at the directories' stamps, and the complete ones.
constexpr int64_t most_cpu_percent = 6;
constexpr int64_t most_complete_cpu_percent = 4;
constexpr std::chrono::minutes longest_complete_spacing{5};

std::chrono::nanoseconds thread_cpu() {
    timespec used;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return std::chrono::seconds(used.tv_sec) + std::chrono::nanoseconds(used.tv_nsec);
}

}  // namespace

void NetworkPass::append(NetworkPass&& later) {
    for (; indexed < items.size(); ++indexed) {
        latest[items[indexed].visit.key] = indexed;
    }
    for (Item& item : later.items) {
        auto found = latest.find(item.visit.key);
        if (found != latest.end() && item.visit.subscribers_read) {
            // Applied first and replaced at once: the list it read is never used. (A
            // list gone from here is no such case: where a local list gives the key,
            // the record stays until that list is read again.)
            items[found->second].visit.subscribers.clear();
        }
        latest[item.visit.key] = items.size();
        items.push_back(std::move(item));
    }
    indexed = items.size();
    records.insert(records.end(), std::make_move_iterator(later.records.begin()),
                   std::make_move_iterator(later.records.end()));
    had_places = had_places || later.had_places;
    completed = later.completed ? later.completed : completed;
    listings_remembered = later.completed ? later.listings_remembered : listings_remembered;
}

std::chrono::nanoseconds pass_period(std::chrono::nanoseconds took, std::chrono::nanoseconds cpu,
                                     std::chrono::nanoseconds complete_due) {
    const std::chrono::nanoseconds period =
        std::max({std::chrono::nanoseconds(shortest_period), took, cpu * 100 / most_cpu_percent});
    return std::min(period, std::max(took, complete_due));
}

std::chrono::nanoseconds complete_pass_spacing(std::chrono::nanoseconds cpu, size_t read_whole,
                                               size_t met) {
    if (read_whole * 10 > met) {
        return std::chrono::nanoseconds(0);
    }
    return std::min<std::chrono::nanoseconds>(longest_complete_spacing,
                                              cpu * 100 / most_complete_cpu_percent);
}

NetworkReading::NetworkReading(kel::FileSystem& file_system, std::string main_domain,
                               std::chrono::nanoseconds idle, size_t width)
    : file_system(file_system), main_domain(std::move(main_domain)), idle(idle), calls(width) {}

void NetworkReading::set_places(std::vector<NetworkPlace> given) {
    kel::AnnotatedLock held(lock);
    handed_places = std::move(given);
}

void NetworkReading::read_again(const std::string& key) {
    kel::AnnotatedLock held(lock);
    handed_again.push_back(key);
}

std::optional<NetworkPass> NetworkReading::exchange() {
    std::optional<NetworkPass> taken;
    kel::AnnotatedLock held(lock);
    taken.swap(finished);
    return taken;
}

void NetworkReading::hand_over(NetworkPass&& part) {
    kel::AnnotatedLock held(lock);
    if (!finished) {
        finished.emplace();
    }
    finished->append(std::move(part));
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
    }
    for (const std::string& key : again) {
        known.erase(key);
    }
    if (!again.empty()) {
        // Lists to read again lie in directories that may not have changed.
        next_complete = {};
    }
}

std::chrono::nanoseconds NetworkReading::run_pass() {
    const Clock::time_point started = file_system.now();
    const std::chrono::nanoseconds cpu_before = thread_cpu() + calls.cpu();
    take_handed();
    if (places.empty() && known.empty()) {
        return nothing_to_do;
    }
    ++passes;
    met.clear();
    read_whole = 0;
    const bool complete = started >= next_complete;
    const std::vector<Directory> directories = directories_of_places(complete);
    for (size_t from = 0; from < directories.size(); from += directories_per_chunk) {
        read_directories(directories, from,
                         std::min(directories.size(), from + directories_per_chunk), complete);
    }
    // Both hold only paths of these directories and of the places: more of them
    // tells that a directory went (a domain removed), which must leave nothing.
    const size_t bound = directories.size() + places.size();
    if (complete || shapes.size() > bound || listings.size() > bound) {
        forget_shapes_but(directories);
    }
    NetworkPass last;
    report_gone(last);
    last.had_places = !places.empty();
    last.records = listings.take_records();
    last.completed = file_system.now();
    last.listings_remembered = listings.size();
    hand_over(std::move(last));
    return next_start(complete, started, thread_cpu() + calls.cpu() - cpu_before);
}

// A complete pass's processor time goes to the spacing of complete passes; the
// others keep to their own share. Times are the seam's, so that a test moves them.
std::chrono::nanoseconds NetworkReading::next_start(bool complete, Clock::time_point started,
                                                    std::chrono::nanoseconds cpu) {
    const std::chrono::nanoseconds took = file_system.now() - started;
    if (!complete) {
        return pass_period(took, cpu, next_complete - started);
    }
    next_complete = started + complete_pass_spacing(cpu, read_whole, met.size());
    return pass_period(took, std::chrono::nanoseconds(0));
}

// The list directories of the places, in the walk's order; "Domains" is listed here.
std::vector<NetworkReading::Directory> NetworkReading::directories_of_places(bool complete) {
    std::vector<Directory> directories;
    size_t order = 0;
    for (const NetworkPlace& place : places) {
        if (!place.domains) {
            directories.push_back({place.path, place.domain, order++});
            continue;
        }
        // The walk reads the main domain's lists from "Accounts" there too, which is
        // read in its own place.
        for (const WalkPlace& at :
             domain_places(domain_names(place, order++, complete), main_domain)) {
            if (!at.main) {
                directories.push_back({at.path, at.domain, order++});
            }
        }
    }
    return directories;
}

// The entries of "Domains", listed again only when its stamp changed.
std::vector<std::string> NetworkReading::domain_names(const NetworkPlace& place, size_t order,
                                                      bool complete) {
    const kel::FileStamp stamp = file_system.status(place.path).stamp;
    const std::vector<std::string>* remembered = listings.remembered(place.path);
    auto shape = shapes.find(place.path);
    if (!complete && remembered != nullptr && shape != shapes.end() &&
        shape->second.stamp == stamp && stamp != kel::FileStamp{}) {
        return *remembered;
    }
    shapes[place.path].stamp = stamp;
    return listings.list(file_system, place.path, order, [&](const std::string& name) {
        return entry_still_there(file_system, place.path, name);
    });
}

// A directory listed, and its lists' two files queried beside it: through one
// descriptor of the directory, the fewest calls on the storage.
NetworkReading::Listed NetworkReading::listed(const std::string& path, bool with_stamps) {
    Listed found;
    found.listing = file_system.list(path);
    if (!with_stamps) {
        return found;
    }
    std::vector<std::string> names;
    for (const std::string& entry : found.listing.names) {
        if (ends_with(entry, list_suffix)) {
            const std::string name = entry.substr(0, entry.size() - list_suffix.size());
            names.push_back(name + std::string(settings_suffix));
            names.push_back(entry);
        }
    }
    const std::vector<kel::PathStatus> statuses = file_system.statuses_in(path, names);
    for (size_t i = 0; i + 1 < statuses.size(); i += 2) {
        const std::string& entry = names[i + 1];
        found.stamps[entry.substr(0, entry.size() - list_suffix.size())] = {statuses[i].stamp,
                                                                            statuses[i + 1].stamp};
    }
    return found;
}

// A directory whose stamp is the one it had when last listed holds the same lists:
// they are met without a look at their files.
bool NetworkReading::unchanged(const Directory& directory, const kel::FileStamp& stamp) {
    auto shape = shapes.find(directory.path);
    if (shape == shapes.end() || !(shape->second.stamp == stamp) || stamp == kel::FileStamp{} ||
        listings.is_failing(directory.path)) {
        return false;
    }
    for (const std::string& key : shape->second.keys) {
        auto found = known.find(key);
        if (found != known.end()) {
            found->second.seen = passes;
        }
        met.insert(key);
    }
    return true;
}

void NetworkReading::read_directories(const std::vector<Directory>& directories, size_t from,
                                      size_t to, bool complete) {
    // Taken before the listings: a change in between shows at the next pass.
    std::vector<kel::FileStamp> stamps(to - from);
    calls.run(to - from,
              [&](size_t i) { stamps[i] = file_system.status(directories[from + i].path).stamp; });
    std::vector<size_t> changed;
    for (size_t i = from; i < to; ++i) {
        if (complete || !unchanged(directories[i], stamps[i - from])) {
            changed.push_back(i);
        }
    }
    // A directory listed for the first time holds lists not met: each has its files
    // read, and their stamps come with the openings.
    std::vector<bool> met_before(changed.size());
    for (size_t i = 0; i < changed.size(); ++i) {
        met_before[i] = shapes.count(directories[changed[i]].path) != 0;
    }
    std::vector<Listed> found(changed.size());
    calls.run(changed.size(),
              [&](size_t i) { found[i] = listed(directories[changed[i]].path, met_before[i]); });
    std::vector<Task> tasks = tasks_of(directories, changed, found);
    calls.run(tasks.size(), [&](size_t i) {
        Task& task = tasks[i];
        if (!task.after_earlier) {
            task.visit = examine_list(
                file_system, task.known ? &*task.known : nullptr, directories[task.directory].path,
                directories[task.directory].domain, task.name, list_clock_now(), nullptr,
                task.stamps ? &*task.stamps : nullptr);
        }
    });
    keep_shapes(directories, from, changed, stamps, tasks);
    NetworkPass part;
    part.had_places = true;
    take_in(tasks, directories, part);
    if (!part.items.empty()) {
        hand_over(std::move(part));
    }
}

// The lists of the directories read again, each with a copy of what is known of it:
// the calls side by side touch nothing shared.
std::vector<NetworkReading::Task> NetworkReading::tasks_of(
    const std::vector<Directory>& directories, const std::vector<size_t>& changed,
    std::vector<Listed>& found) {
    std::vector<Task> tasks;
    for (size_t i = 0; i < found.size(); ++i) {
        const Directory& directory = directories[changed[i]];
        const auto still_there = [&](const std::string& name) {
            return entry_still_there(file_system, directory.path, name);
        };
        const bool complete = found[i].listing.complete();
        for (const std::string& entry : listings.take(directory.path, std::move(found[i].listing),
                                                      directory.order, still_there)) {
            if (!ends_with(entry, list_suffix)) {
                continue;
            }
            Task task;
            task.name = entry.substr(0, entry.size() - list_suffix.size());
            task.key = fold_lower(task.name + "@" + directory.domain);
            task.directory = changed[i];
            task.after_earlier = !met.insert(task.key).second;
            auto known_one = known.find(task.key);
            if (!task.after_earlier && known_one != known.end()) {
                task.known = known_one->second.list;
            }
            auto stamped = found[i].stamps.find(task.name);
            if (complete && stamped != found[i].stamps.end()) {
                task.stamps = stamped->second;
            }
            tasks.push_back(std::move(task));
        }
    }
    return tasks;
}

// Directories no longer among the places are forgotten, with their listings.
void NetworkReading::forget_shapes_but(const std::vector<Directory>& directories) {
    std::unordered_set<std::string> kept;
    for (const Directory& directory : directories) {
        kept.insert(directory.path);
    }
    for (const NetworkPlace& place : places) {
        kept.insert(place.path);
    }
    for (auto shape = shapes.begin(); shape != shapes.end();) {
        shape = kept.count(shape->first) != 0 ? std::next(shape) : shapes.erase(shape);
    }
    listings.forget_all_but([&](const std::string& path) { return kept.count(path) != 0; });
}

// What the directories read again look like now, for the next pass.
void NetworkReading::keep_shapes(const std::vector<Directory>& directories, size_t from,
                                 const std::vector<size_t>& changed,
                                 const std::vector<kel::FileStamp>& stamps,
                                 const std::vector<Task>& tasks) {
    for (size_t index : changed) {
        Shape& shape = shapes[directories[index].path];
        shape.stamp = stamps[index - from];
        shape.keys.clear();
    }
    for (const Task& task : tasks) {
        shapes[directories[task.directory].path].keys.push_back(task.key);
    }
}

// In the walk's order: what each list's reading changes goes into the pass, and into
// what the passes know. A key met twice in one pass is examined the second time only
// now, against what the first reading left, as the walk reads it.
void NetworkReading::take_in(std::vector<Task>& tasks, const std::vector<Directory>& directories,
                             NetworkPass& part) {
    for (Task& task : tasks) {
        auto [found, fresh] = known.try_emplace(task.key);
        read_whole += fresh ? 1 : 0;
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
    shapes.clear();
    next_complete = {};
    for (auto& [key, entry] : known) {
        entry.list = ListKnown{};
        // Not known to be empty: an empty file is then read, not taken as unchanged.
        entry.list.has_subscribers = true;
    }
}
