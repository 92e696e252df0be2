// The list table and its refresh. A walk costs one directory listing per domain and
// one status query per list file; a file is read only when its size or its
// modification time (at full precision) differs from when it was last read. The
// refresh of every message goes through the watched tree (list_tree.h), which
// visits only what changed, and falls back to this walk where it cannot watch.
#include "list_directory.h"

#include <cstdlib>
#include <string_view>
#include <vector>

#include "address_folding.h"
#include "list_tree.h"
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

// The settings of a list: its policy and its owner.
void read_list_settings(const std::string& path, const std::string& domain, ListRecord& record) {
    cgp::DataSet settings = load_settings(path);
    record.policy = policy_for(settings["Postings"].text());
    const std::string& owner = settings["Owner"].text();
    record.owner = owner.empty() ? std::string() : owner + "@" + domain;
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
    if (is_new || settings_stamp != record.settings_stamp) {
        kel::logline(request_number) << "Reading list settings: " << kel::printable(address);
        read_list_settings(settings_path, domain, record);
        record.settings_stamp = settings_stamp;
    }
    record.seen = true;

    kel::FileStamp subscribers_stamp = kel::file_stamp(subscribers_path);
    if (subscribers_stamp == record.subscribers_stamp) {
        return record;
    }
    if (subscribers_stamp.size == 0 && record.subscribers_stamp.size == 0 &&
        record.subscribers.empty()) {
        // Empty before and empty now (a new list, a touched empty file, or one
        // that cannot be queried): nothing to read and nothing to forget.
        record.subscribers_stamp = subscribers_stamp;
        return record;
    }
    kel::logline(request_number) << "Reading list subscribers: " << kel::printable(address);
    read_subscriber_file(subscribers_path, record.subscribers);
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

void refresh_lists(int32_t request_number) {
    // QUORVEL_FULL_WALK=1 makes every refresh a complete walk. It is a test aid, so
    // that the whole-process tests and the benchmark can run both ways; the filter
    // has no configuration of its own and chooses by itself.
    static const bool full_walk = [] {
        const char* forced = std::getenv("QUORVEL_FULL_WALK");
        return forced != nullptr && std::string_view(forced) == "1";
    }();
    if (full_walk) {
        walk_lists(request_number);
        return;
    }
    // Never destroyed: its watches end with the process.
    static ListTree& tree = *new ListTree;
    tree.refresh(request_number);
}
