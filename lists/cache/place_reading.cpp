// One place read off the calling thread. The two threads share one small state held
// by both through a shared_ptr, so that a thread left waiting on a hung mount never
// touches freed memory; the caller waits on it with a deadline and takes the reading
// out only once the reading thread has put it there and let go of it.
#include "place_reading.h"

#include <condition_variable>
#include <exception>
#include <memory>
#include <thread>

#include "address_folding.h"
#include "annotated_mutex.h"
#include "tree_names.h"

namespace {

struct PlaceJob {
    kel::AnnotatedMutex lock;
    std::condition_variable_any finished;
    bool done QUORVEL_GUARDED_BY(lock) = false;
    PlaceReading reading QUORVEL_GUARDED_BY(lock);
};

// Nothing on the reading thread may end the process: what it throws becomes a failure.
PlaceReading read_caught(kel::FileSystem& file_system, const std::string& path,
                         const std::string& domain, bool lists, int64_t now) {
    try {
        return read_place(file_system, path, domain, lists, now);
    } catch (const std::exception& error) {
        PlaceReading failed;
        failed.failure = error.what();
        return failed;
    } catch (...) {
        PlaceReading failed;
        failed.failure = "an unknown exception";
        return failed;
    }
}

void run_job(const std::shared_ptr<PlaceJob>& job, kel::FileSystem& file_system,
             const std::string& path, const std::string& domain, bool lists, int64_t now) {
    PlaceReading reading = read_caught(file_system, path, domain, lists, now);
    kel::AnnotatedLock held(job->lock);
    job->reading = std::move(reading);
    job->done = true;
    job->finished.notify_all();
}

// Waits for the job until `deadline`; its reading when it is done.
std::optional<PlaceReading> wait_for(PlaceJob& job,
                                     std::chrono::steady_clock::time_point deadline) {
    kel::AnnotatedLock held(job.lock);
    while (!job.done && std::chrono::steady_clock::now() < deadline) {
        job.finished.wait_until(job.lock, deadline);
    }
    if (!job.done) {
        return std::nullopt;
    }
    return std::move(job.reading);
}

}  // namespace

PlaceReading read_place(kel::FileSystem& file_system, const std::string& path,
                        const std::string& domain, bool lists, int64_t now) {
    PlaceReading reading;
    kel::DirectoryListing listing = file_system.list(path);
    if (!listing.complete()) {
        reading.list_error = listing.absent() ? 0 : listing.error;
        return reading;
    }
    reading.names = std::move(listing.names);
    if (!lists) {
        return reading;
    }
    for (const std::string& entry : reading.names) {
        if (ends_with(entry, list_suffix)) {
            const std::string name = entry.substr(0, entry.size() - list_suffix.size());
            reading.visits.push_back(examine_list(file_system, nullptr, path, domain, name, now));
            reading.visits.back().key = fold_lower(name + "@" + domain);
        }
    }
    return reading;
}

std::optional<PlaceReading> read_place_until(kel::FileSystem& file_system, const std::string& path,
                                             const std::string& domain, bool lists, int64_t now,
                                             std::chrono::steady_clock::time_point deadline) {
    auto job = std::make_shared<PlaceJob>();
    std::thread thread;
    try {
        thread = std::thread(run_job, job, std::ref(file_system), path, domain, lists, now);
    } catch (const std::exception& error) {
        PlaceReading failed;
        failed.failure = std::string("no thread to read it: ") + error.what();
        return failed;
    }
    std::optional<PlaceReading> reading = wait_for(*job, deadline);
    // A thread that answered has only its return left; one that did not may never.
    if (reading) {
        thread.join();
    } else {
        thread.detach();
    }
    return reading;
}
