// The list table and its refresh. A walk costs one directory listing per domain and
// one status query per list file; a file is read only when its stamp (size,
// modification and change time at full precision, inode) differs from when it was
// last read, or when it could not be read and a retry is due. The walk and its
// per-list step serve the watched tree (list_tree.h), which uses them for what
// changed; nothing here knows of the tree.
#include "list_directory.h"

#include <time.h>

#include <vector>

#include "address_folding.h"
#include "load_settings.h"
#include "logging.h"
#include "subscriber_file.h"

std::unordered_map<std::string, ListRecord> list_table;

namespace {

std::string main_domain;
bool main_domain_loaded = false;

const std::string list_suffix = ".list";
bool ends_with(const std::string& name, const std::string& suffix) {
    return name.size() >= suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

int64_t monotonic_seconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec);
}

ListClock list_clock = &monotonic_seconds;

// A file that could not be read is tried again after retry_seconds, whatever its
// stamp says.
bool retry_due(const ListFileReading& reading) {
    return !reading.readable && list_clock() - reading.read_at >= retry_seconds;
}

void read_list_settings(const std::string& path, const std::string& domain, ListRecord& record) {
    ListSettings settings = list_settings_from(read_settings_file(path), domain);
    record.policy = settings.policy;
    record.postings = std::move(settings.postings);
    record.owner = std::move(settings.owner);
    record.settings_reading = {settings.readable, std::move(settings.reason), list_clock()};
}

void read_list_subscribers(const std::string& path, ListRecord& record) {
    SubscriberFileRead read = read_subscriber_file(path, record.subscribers);
    record.subscribers_reading = {read.readable, std::move(read.reason), list_clock()};
}

}  // namespace

const std::string& main_domain_name() {
    if (main_domain_loaded) {
        return main_domain;
    }
    main_domain_loaded = true;
    cgp::DataSet settings = load_settings("Settings/Main.settings");
    if (const cgp::DataSet* name = settings.find("DomainName")) {
        main_domain = fold_lower(name->text());
    }
    return main_domain;
}

void set_list_clock(ListClock clock) {
    list_clock = clock != nullptr ? clock : &monotonic_seconds;
}

ListSettings list_settings_from(const SettingsFile& file, const std::string& domain) {
    ListSettings settings;
    auto unreadable = [&settings](std::string reason) {
        settings.readable = false;
        settings.reason = std::move(reason);
        return settings;
    };
    switch (file.state) {
        case SettingsState::Missing:
            return settings;
        case SettingsState::Unreadable:
            return unreadable(file.reason);
        case SettingsState::Loaded:
            break;
    }
    // An empty file is more likely a write caught halfway than a list's wish.
    if (file.value.kind() == cgp::Empty) {
        return unreadable("it holds no value");
    }
    if (file.value.kind() != cgp::Dictionary) {
        return unreadable("it holds no dictionary");
    }
    const cgp::DataSet* postings = file.value.find("Postings");
    if (postings != nullptr && postings->kind() != cgp::String) {
        return unreadable("its \"Postings\" is not a string");
    }
    const cgp::DataSet* owner = file.value.find("Owner");
    if (owner != nullptr && owner->kind() != cgp::String) {
        return unreadable("its \"Owner\" is not a string");
    }
    if (postings != nullptr) {
        settings.policy = policy_for(postings->text());
        settings.postings = postings->text();
    }
    if (owner != nullptr && !owner->text().empty()) {
        settings.owner = owner->text() + "@" + domain;
    }
    return settings;
}

PostingPolicy policy_for(const std::string& postings) {
    if (postings == "from owner only") {
        return OwnerOnly;
    }
    if (postings == "from anybody" || postings == "moderate guests") {
        return Anybody;
    }
    return Subscribers;
}

ListRecord& visit_list(int32_t request_number, const std::string& list_directory,
                       const std::string& domain, const std::string& name) {
    const std::string address = name + "@" + domain;
    auto [found, is_new] = list_table.try_emplace(fold_lower(address));
    ListRecord& record = found->second;

    const std::string settings_path = list_directory + "/" + name + ".settings";
    const std::string subscribers_path = list_directory + "/" + name + list_suffix;
    if (is_new) {
        record.settings_path = settings_path;
        record.subscribers_path = subscribers_path;
    }
    kel::FileStamp settings_stamp = kel::file_stamp(settings_path);
    if (is_new || settings_stamp != record.settings_stamp || retry_due(record.settings_reading)) {
        kel::logline(request_number) << "Reading list settings: " << kel::printable(address);
        read_list_settings(settings_path, domain, record);
        record.settings_stamp = settings_stamp;
    }
    record.seen = true;

    kel::FileStamp subscribers_stamp = kel::file_stamp(subscribers_path);
    if (!is_new && subscribers_stamp == record.subscribers_stamp &&
        !retry_due(record.subscribers_reading)) {
        return record;
    }
    if (subscribers_stamp.regular && subscribers_stamp.size == 0 &&
        record.subscribers_stamp.size == 0 && record.subscribers.empty() &&
        record.subscribers_reading.readable) {
        // An empty file now, and nothing before: nothing to read and nothing to
        // forget. Anything at the path that is not a regular file is read, and found
        // unreadable.
        record.subscribers_stamp = subscribers_stamp;
        return record;
    }
    kel::logline(request_number) << "Reading list subscribers: " << kel::printable(address);
    read_list_subscribers(subscribers_path, record);
    record.subscribers_stamp = subscribers_stamp;
    return record;
}

void scan_domain_lists(int32_t request_number, const std::string& domain) {
    const std::string base = domain == main_domain_name() ? "Accounts" : "Domains/" + domain;
    const std::string list_directory = base + "/LISTS";
    kel::Directory entries(list_directory);
    while (entries.next()) {
        const std::string entry = entries.name();
        if (ends_with(entry, list_suffix)) {
            visit_list(request_number, list_directory, domain,
                       entry.substr(0, entry.size() - list_suffix.size()));
        }
    }
}

void sweep_unseen_lists() {
    std::vector<std::string> vanished;
    for (auto& [key, record] : list_table) {
        if (!record.seen) {
            vanished.push_back(key);
        }
        record.seen = false;
    }
    for (const std::string& key : vanished) {
        list_table.erase(key);
    }
}

void walk_lists(int32_t request_number) {
    scan_domain_lists(request_number, main_domain_name());
    kel::Directory domains("Domains");
    while (domains.next()) {
        scan_domain_lists(request_number, domains.name());
    }
    sweep_unseen_lists();
}
