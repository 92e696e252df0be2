// The reading of lists on network storage, off the message path. A directory on a
// file system whose changes raise no event here (NFS, SMB, FUSE and the like) would
// have to be listed, and its lists' files queried, for every message: over a
// network, seconds per message. Instead a background job passes over those
// directories and their lists in the walk's order with the walk's own per-list step
// as a value (list_reading.h), many calls in flight at once (parallel_calls.h), and
// hands what changed to the serving thread as it goes, domain by domain, through one
// lock-protected exchange. It reads only files, keeps its own copy of what it knows
// of each list, writes nothing and never touches the list table.
//
// Most passes look at each list directory's own stamp first and read again only the
// directories whose stamp changed: a list created, removed or replaced (the server
// writes a list file to a new name and renames it into place) changes its directory.
// Now and then a complete pass queries every list's files, for a file changed in
// place; complete passes cost at most about 4 % of one core, the others about 6 %.
//
// What happens on NFS: a change made on another machine raises no event here; it is
// seen by the next pass (one starts every ten seconds or so while messages arrive),
// a file changed in place by the next complete pass, and each only once the NFS
// client's own attribute cache lets it through (its acregmax, acdirmax or actimeo
// mount options); a hung server holds a pass, never a message.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "annotated_mutex.h"
#include "background_thread.h"
#include "file_system.h"
#include "list_reading.h"
#include "listing_memory.h"
#include "parallel_calls.h"

// One place the passes read, in the walk's order: a list directory, or "Domains"
// itself, whose every entry but the main domain is then read ("Domains/<d>/LISTS").
struct NetworkPlace {
    bool domains = false;
    std::string path;    // the list directory as the walk names it; "Domains"
    std::string domain;  // the list directory's domain, as the walk passes it
    bool operator==(const NetworkPlace&) const = default;
};

// What passes found, for the serving thread to apply in this order.
struct NetworkPass {
    // A list whose record changes (`gone` false: the visit to apply, its key set),
    // or a key that no list on network storage gives any more (`gone` true).
    struct Item {
        bool gone = false;
        ListVisit visit;
    };
    std::vector<Item> items;
    // The records of directories that entered the state that they cannot be listed,
    // in the walk's order; written after those of the lists.
    std::vector<std::string> records;
    // Whether the passes had places to read.
    bool had_places = false;
    // Set when the items end a pass over every place: when it ended. A pass hands
    // over what it has read as it goes, domain by domain, in the walk's order. By
    // the seam's clock, as the serving thread judges its age.
    std::optional<std::chrono::steady_clock::time_point> completed;
    // With `completed`: the directories whose listings the passes remember.
    size_t listings_remembered = 0;

    // Adds what was read later, keeping one subscriber list per key: an earlier
    // reading that a later one replaces gives its memory back at once.
    void append(NetworkPass&& later);

  private:
    // Key to the place of its latest item, kept from the first append on: a first
    // reading appends thousands of times while no message takes what it read.
    std::unordered_map<std::string, size_t> latest;
    size_t indexed = 0;  // items the index covers
};

// The time from the start of a pass that took `took`, and `cpu` of the processors, to
// the start of the next: ten seconds, or the pass's own length when it is longer, or,
// when the passes would cost more than about 6 % of one core, long enough that they
// do not; but no later than `complete_due` from its start (never before it ended),
// when a complete pass is due then: an edit in place waits for that one, and waits
// its spacing only, not the spacing and a period more.
std::chrono::nanoseconds pass_period(
    std::chrono::nanoseconds took, std::chrono::nanoseconds cpu,
    std::chrono::nanoseconds complete_due = std::chrono::nanoseconds::max());
// The time from the start of a complete pass that used `cpu` to the next complete
// one: long enough that complete passes cost at most about 4 % of one core, and at
// most five minutes. A pass that read most of the lists it met whole (`read_whole`
// of `met`: the first reading, or a reading after a failure) costs far more than a
// check of their files, which an edit in place waits for: the next pass is then
// complete (zero), and its own cost sets the spacing.
std::chrono::nanoseconds complete_pass_spacing(std::chrono::nanoseconds cpu, size_t read_whole = 0,
                                               size_t met = 0);

class NetworkReading : public kel::BackgroundJob {
  public:
    // Passes stop after five minutes without messages.
    static constexpr std::chrono::minutes idle_after{5};

    // `main_domain`: the folded main domain name, whose "Domains" entry the passes
    // leave to the main domain's own list directory. `idle`: the idle limit (only
    // tests shorten it). `width`: the calls in flight at most. Every call on the
    // files goes through `file_system`, which outlives the passes.
    NetworkReading(kel::FileSystem& file_system, std::string main_domain,
                   std::chrono::nanoseconds idle = idle_after,
                   size_t width = kel::ParallelCalls::default_width);

    // On the serving thread, each under the lock for a moment: the places to read
    // from the next pass on; a list to read again as if never met (its record was
    // written over by a local one).
    void set_places(std::vector<NetworkPlace> places);
    void read_again(const std::string& key);

    // On the serving thread: takes what the passes read since the last exchange, if
    // anything. One lock, held for a swap.
    std::optional<NetworkPass> exchange();

    // One pass over the places, on the background thread (or the caller's, for
    // tests). Returns the time from this pass's start to the next one's.
    std::chrono::nanoseconds run_pass() override;
    std::chrono::nanoseconds idle_limit() const override { return idle; }
    // Takes every list it knows for one it never read: the next pass reads each
    // again and hands over a complete reading of it (and still reports what is gone).
    void discard() override;

  private:
    // A list directory of the pass, in the walk's order.
    struct Directory {
        std::string path;
        std::string domain;
        size_t order;
    };
    // A list directory as the last pass that listed it found it: its stamp, taken
    // before the listing, and the keys of its lists.
    struct Shape {
        kel::FileStamp stamp;
        std::vector<std::string> keys;
    };
    // A directory's listing, with its lists' stamps taken beside it.
    struct Listed {
        kel::DirectoryListing listing;
        std::unordered_map<std::string, ListStamps> stamps;
    };
    // One list of a pass: examined with many in flight, taken in in the walk's order.
    struct Task {
        std::string key;
        size_t directory;
        std::string name;
        std::optional<ListKnown> known;
        std::optional<ListStamps> stamps;
        // Its key was met earlier in this pass: examined after that one is taken in.
        bool after_earlier = false;
        ListVisit visit;
    };

    void take_handed();
    std::vector<Directory> directories_of_places(bool complete);
    std::vector<std::string> domain_names(const NetworkPlace& place, size_t order, bool complete);
    void read_directories(const std::vector<Directory>& directories, size_t from, size_t to,
                          bool complete);
    Listed listed(const std::string& path, bool with_stamps);
    bool unchanged(const Directory& directory, const kel::FileStamp& stamp);
    std::vector<Task> tasks_of(const std::vector<Directory>& directories,
                               const std::vector<size_t>& changed, std::vector<Listed>& found);
    void forget_shapes_but(const std::vector<Directory>& directories);
    void keep_shapes(const std::vector<Directory>& directories, size_t from,
                     const std::vector<size_t>& changed, const std::vector<kel::FileStamp>& stamps,
                     const std::vector<Task>& tasks);
    std::chrono::nanoseconds next_start(bool complete,
                                        std::chrono::steady_clock::time_point started,
                                        std::chrono::nanoseconds cpu);
    void take_in(std::vector<Task>& tasks, const std::vector<Directory>& directories,
                 NetworkPass& part);
    void report_gone(NetworkPass& part);
    void hand_over(NetworkPass&& part);

    kel::FileSystem& file_system;
    const std::string main_domain;
    const std::chrono::nanoseconds idle;

    // The exchange, under its lock.
    kel::AnnotatedMutex lock;
    std::optional<std::vector<NetworkPlace>> handed_places QUORVEL_GUARDED_BY(lock);
    std::vector<std::string> handed_again QUORVEL_GUARDED_BY(lock);
    std::optional<NetworkPass> finished QUORVEL_GUARDED_BY(lock);

    // The passes' own, touched only by run_pass.
    struct Known {
        ListKnown list;
        uint64_t seen = 0;  // the last pass that met the list
    };
    std::vector<NetworkPlace> places;
    std::unordered_map<std::string, Known> known;
    std::unordered_set<std::string> met;  // keys met in this pass
    size_t read_whole = 0;                // lists of this pass not known before
    ListingMemory listings;
    std::unordered_map<std::string, Shape> shapes;
    // When the next complete pass is due; one is due at once after a failure.
    std::chrono::steady_clock::time_point next_complete{};
    uint64_t passes = 0;
    kel::ParallelCalls calls;
};
