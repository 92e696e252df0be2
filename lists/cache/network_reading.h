// The reading of list directories on network storage, off the message path. A
// directory on a file system whose changes raise no event here (NFS, SMB, FUSE and
// the like) would have to be listed, and its lists' files queried, for every
// message: over a network, seconds per message. Instead a background job passes
// over those directories and their lists in the walk's order with the walk's own
// per-list step as a value (list_reading.h), and hands what changed to the
// serving thread through one lock-protected exchange. It reads only files, keeps
// its own copy of what it knows of each list, writes nothing and never touches the
// list table.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "annotated_mutex.h"
#include "background_thread.h"
#include "file_system.h"
#include "list_reading.h"
#include "listing_memory.h"

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
    // Whether the passes had places to read; when the last of them finished.
    bool had_places = false;
    std::chrono::steady_clock::time_point finished;

    // Adds a later pass, keeping one subscriber list per key: an earlier reading
    // that a later one replaces gives its memory back at once.
    void append(NetworkPass&& later);
};

class NetworkReading : public BackgroundJob {
  public:
    // Passes repeat after a pause of one second, or of the last pass's duration
    // when that is longer, and stop after five minutes without messages.
    static constexpr std::chrono::seconds shortest_pause{1};
    static constexpr std::chrono::minutes idle_after{5};

    // `main_domain`: the folded main domain name, whose "Domains" entry the passes
    // leave to the main domain's own list directory. `idle`: the idle limit (only
    // tests shorten it).
    // Every call on the files goes through `file_system`, which outlives the passes.
    NetworkReading(kel::FileSystem& file_system, std::string main_domain,
                   std::chrono::nanoseconds idle = idle_after);

    // On the serving thread, kept until the next exchange: the places to read from
    // the next pass on, and a list to read again as if never met (its record was
    // written over by a local one).
    void set_places(std::vector<NetworkPlace> places);
    void read_again(const std::string& key);

    // On the serving thread: hands the above to the passes and takes what the
    // passes finished since the last exchange, if any. One lock, held for swaps.
    std::optional<NetworkPass> exchange();

    // One pass over the places, on the background thread (or the caller's, for
    // tests). Returns the time from this pass's start to the next one's.
    std::chrono::nanoseconds run_pass() override;
    std::chrono::nanoseconds idle_limit() const override { return idle; }
    // Takes every list it knows for one it never read: the next pass reads each
    // again and hands over a complete reading of it (and still reports what is gone).
    void discard() override;

  private:
    void read_place(const NetworkPlace& place, NetworkPass& pass, size_t& order);
    void read_directory(const std::string& path, const std::string& domain, NetworkPass& pass,
                        size_t order);

    kel::FileSystem& file_system;
    const std::string main_domain;
    const std::chrono::nanoseconds idle;

    // The serving thread's changes since the last exchange.
    std::optional<std::vector<NetworkPlace>> pending_places;
    std::vector<std::string> pending_again;

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
    ListingMemory listings;
    uint64_t passes = 0;
};

// The pause after a pass that took `duration`.
std::chrono::nanoseconds pause_after_pass(std::chrono::nanoseconds duration);
