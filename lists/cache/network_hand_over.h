// The serving thread's side of the reading of lists on network storage
// (network_reading.h): at the end of every refresh, after the records of the local
// lists, it applies to the cache's list table what the passes finished since the last refresh
// and writes their records in the walk's order, with the request number of the
// message at hand. Each mount has a reading of its own (the places on it, in the
// walk's order), so that a mount that hangs holds its own passes and no other's.
// Until a mount's first pass has finished, and while its reading in use is too old
// (a pass stuck on a hung mount), its lists are unknown and every message says so
// in a record of its own.
//
// A key given both by a local list directory and by one on network storage holds
// whichever reading was applied last, as a walk lets the later of two visits read
// over the other; when either side stops giving the key, the other reads its own
// files again.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "list_record.h"
#include "network_reading.h"

// What a message is told about the lists on network storage.
struct NetworkStatus {
    enum Kind {
        Current,       // the reading in use is recent enough; nothing to tell
        StillReading,  // no pass has finished yet: the lists are unknown
        NotReadFor,    // the reading in use is too old: the lists are unknown
    } kind = Current;
    int64_t seconds = 0;  // for NotReadFor: since the reading in use finished
    bool operator==(const NetworkStatus&) const = default;
};

// The status at `now`: with no place on network storage there is nothing to tell;
// before a first pass has finished the lists are still being read; and once the
// reading in use (finished at `finished`) is older than `limit` while messages
// arrive, it is not used. Messages arrive since `resumed`: a reading that aged
// while no message came (the passes sleep then) is used until a pass finishes.
NetworkStatus network_status(bool has_places, bool have_reading,
                             std::chrono::steady_clock::time_point finished,
                             std::chrono::steady_clock::time_point resumed,
                             std::chrono::steady_clock::time_point now,
                             std::chrono::nanoseconds limit);
// Since when messages arrive without a pause of `limit` or longer: `resumed` as it
// was, or `now` when the message before this one came `limit` or more ago.
std::chrono::steady_clock::time_point messages_resumed(
    std::chrono::steady_clock::time_point resumed,
    std::chrono::steady_clock::time_point last_message, std::chrono::steady_clock::time_point now,
    std::chrono::nanoseconds limit);
// The record that tells the status; empty for Current.
std::string network_status_record(const NetworkStatus& status);

class NetworkHandOver {
  public:
    // `table`: the cache's list table, which outlives it. `limit`: how old the
    // reading in use may grow while messages arrive, and how long the passes run on
    // without messages (five minutes; only tests shorten it).
    NetworkHandOver(kel::FileSystem& file_system, ListTable& table, std::string main_domain,
                    std::chrono::nanoseconds limit = NetworkReading::idle_after);

    // The readings of the mounts met so far, one each, for a background thread each
    // or for a test to run on demand. A mount's reading stays once made: a pass of
    // it may be held by a hung mount, and must never be waited for.
    size_t reading_count() const { return readers.size(); }
    const std::shared_ptr<NetworkReading>& reading(size_t index) const {
        return readers[index].passes;
    }

    // The places on network storage, in the walk's order, as the refresh found
    // them; each goes to the reading of its mount. True when they differ from the
    // last ones given: the passes should then run soon.
    bool set_places(std::vector<NetworkPlace> places);

    // The local side no longer gives `key`, whose record is `record`. True when the
    // record stays because the passes give the key too; they then read it again if
    // a local visit wrote it last.
    bool keeps(const std::string& key, const ListRecord& record);

    // Whether a local list directory gives a key.
    using LocalGives = std::function<bool(const std::string& key)>;
    // At the end of a refresh, after its local records: applies the passes finished
    // since the last call and writes their records, then the status record (ages
    // told by the seam's clock), with `request_number`. A key that the passes no
    // longer give but a local list does, and whose record they wrote last, goes to
    // `revisit`: the local side reads its own files again at its next refresh.
    void refresh(int32_t request_number, const LocalGives& local,
                 std::vector<std::string>& revisit);

    // Complete passes applied so far, for tests and benchmarks.
    uint64_t passes_applied() const { return applied; }
    // The directories whose listings the passes remembered at the last pass applied.
    size_t listings_remembered() const { return remembered; }

  private:
    // The reading of one mount, and what the serving thread knows of its passes.
    struct Reader {
        int mount = -1;
        std::shared_ptr<NetworkReading> passes;
        bool has_places = false;
        bool have_reading = false;  // a pass over its places has finished
        std::chrono::steady_clock::time_point finished;
        // The records of its lists while they are unknown, until a pass finishes.
        std::unordered_map<std::string, ListRecord> aside;
    };

    void apply(NetworkPass& pass, size_t reader, int32_t request_number, const LocalGives& local,
               std::vector<std::string>& revisit);
    void set_aside(size_t reader, const LocalGives& local);
    void restore(size_t reader);
    size_t reader_of(int mount);
    void tell_status(int32_t request_number, std::chrono::steady_clock::time_point now,
                     const LocalGives& local);

    kel::FileSystem& file_system;
    ListTable& table;
    const std::string main_domain;
    const std::chrono::nanoseconds limit;
    std::vector<Reader> readers;
    std::vector<NetworkPlace> places;

    // The keys the passes put in the table, each with the reader whose passes did.
    std::unordered_map<std::string, size_t> placed;

    bool any_message = false;
    std::chrono::steady_clock::time_point last_message;
    std::chrono::steady_clock::time_point resumed;
    uint64_t applied = 0;
    size_t remembered = 0;
};
