// A complete listing replaces what is remembered of its directory; a failed one
// is answered from the memory, each remembered entry asked whether it is gone.
#include "listing_memory.h"

#include <algorithm>

#include "list_names.h"
#include "logging.h"

namespace {

// What a failed listing may be answered with. Of a list directory ("LISTS") every
// reading takes the list files only: the settings files beside them are not kept,
// half of what a directory of lists would hold for as long as the filter runs.
std::vector<std::string> worth_keeping(const std::string& path,
                                       const std::vector<std::string>& names) {
    if (!ends_with(path, "LISTS")) {
        return names;
    }
    std::vector<std::string> kept;
    for (const std::string& name : names) {
        if (ends_with(name, list_suffix)) {
            kept.push_back(name);
        }
    }
    return kept;
}

}  // namespace

std::vector<std::string> ListingMemory::list(kel::FileSystem& file_system, const std::string& path,
                                             size_t order, const StillThere& still_there) {
    return take(path, file_system.list(path), order, still_there);
}

std::vector<std::string> ListingMemory::take(const std::string& path, kel::DirectoryListing listing,
                                             size_t order, const StillThere& still_there) {
    if (listing.complete() || listing.absent()) {
        failing_now.erase(path);
        if (listing.absent()) {
            complete.erase(path);
            return {};
        }
        complete[path] = worth_keeping(path, listing.names);
        return std::move(listing.names);
    }
    const std::string reason = kel::error_text(listing.error);
    auto [state, entered] = failing_now.try_emplace(path, reason);
    state->second = reason;
    if (entered) {
        pending.emplace_back(order,
                             "Cannot list directory " + kel::printable(path) + ": " + reason);
    }
    auto remembered = complete.find(path);
    if (remembered == complete.end()) {
        return {};
    }
    std::vector<std::string>& names = remembered->second;
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const std::string& name) { return !still_there(name); }),
                names.end());
    return names;
}

std::vector<std::string> ListingMemory::take_records() {
    std::stable_sort(pending.begin(), pending.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> records;
    for (auto& [order, record] : pending) {
        records.push_back(std::move(record));
    }
    pending.clear();
    return records;
}

void ListingMemory::forget_all_but(const std::function<bool(const std::string& path)>& keep) {
    std::erase_if(complete, [&](const auto& entry) { return !keep(entry.first); });
    std::erase_if(failing_now, [&](const auto& entry) { return !keep(entry.first); });
}

bool entry_still_there(kel::FileSystem& file_system, const std::string& directory,
                       const std::string& name) {
    return !kel::leads_nowhere(file_system.status(directory + "/" + name, false).error);
}
