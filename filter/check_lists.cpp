// The tool's view of the lists. The list table keeps what the filter decides with;
// what only an administrator needs (the "Owner" as written, the lines that are not
// subscriber lines, the parse report, settings files without a list) is read again
// from the files here, so the filter keeps nothing for the tool.
#include "check_lists.h"

#include <algorithm>

#include "files.h"
#include "list_warnings.h"
#include "load_settings.h"
#include "subscriber_file.h"

namespace {

std::vector<std::string> reports;

// The settings as the record holds them. The record keeps the owner's address, not
// the "Owner" it was made of: that is read again, and only when there is an owner.
// Every reading here takes the filter's bound, so that the tool sees what it sees.
ListSettings settings_of(const ListRecord& list) {
    ListSettings settings;
    settings.readable = list.settings_reading.readable;
    settings.policy = list.policy;
    settings.postings = list.postings;
    settings.owner = list.owner;
    if (settings.readable && !list.owner.empty()) {
        // The domain only completes the owner's address, which is not used here.
        settings.owner_setting =
            list_settings_from(
                examine_settings_file(list.settings_path, server_settings_size_limit), "")
                .owner_setting;
    }
    return settings;
}

// The parse report of a settings file that cannot be read, read once more for it.
std::vector<std::string> settings_reports(const ListRecord& list) {
    if (list.settings_reading.readable) {
        return {};
    }
    reports.clear();
    read_settings_file(list.settings_path, server_settings_size_limit);
    std::vector<std::string> found;
    found.swap(reports);
    return found;
}

uint64_t short_lines_of(const ListRecord& list) {
    if (!list.subscribers_reading.readable) {
        return 0;
    }
    SubscriberList scratch;
    return read_subscriber_file(list.subscribers_path, scratch).short_lines;
}

bool ends_with(const std::string& name, const std::string& suffix) {
    return name.size() > suffix.size() &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The ".settings" entries of one list directory, as read, without a ".list" entry
// beside them.
void find_unlisted(const ListDirectory& directory, std::vector<SettingsWithoutList>& found) {
    const std::vector<std::string>& names = directory.names;
    for (const std::string& entry : names) {
        if (!ends_with(entry, ".settings")) {
            continue;
        }
        const std::string name = entry.substr(0, entry.size() - 9);
        if (std::find(names.begin(), names.end(), name + ".list") == names.end()) {
            found.push_back({name + "@" + directory.domain,
                             directory.path + "/" + entry,
                             {"a settings file without a subscriber file: the server has no such "
                              "list, and its mail goes through unchecked"}});
        }
    }
}

ListReport report_list(const std::string& address, const ListRecord& list) {
    ListReport report;
    report.address = address;
    report.list = &list;
    report.settings_missing = !kel::file_exists(list.settings_path);
    report.reports = settings_reports(list);
    report.short_lines = short_lines_of(list);
    report.warnings = list_warnings(list);
    if (report.short_lines != 0) {
        const bool one = report.short_lines == 1;
        report.warnings.push_back(
            std::to_string(report.short_lines) +
            (one ? " non-empty line of its subscriber file is not a subscriber line"
                 : " non-empty lines of its subscriber file are not subscriber lines") +
            " (fewer than six fields separated by TABs): nobody on " + (one ? "it" : "them") +
            " counts as subscribed");
    }
    return report;
}

}  // namespace

const char* policy_words(PostingPolicy policy) {
    switch (policy) {
        case OwnerOnly:
            return "owner only";
        case Anybody:
            return "anybody";
        case Subscribers:
            break;
    }
    return "subscribers with posting rights";
}

std::string standing_words(const ListRecord& list, const std::string& folded_from) {
    if (!list.subscribers_reading.readable) {
        return "";
    }
    switch (list.subscribers.find(folded_from)) {
        case Subscription::MayPost:
            return "subscribed, may post";
        case Subscription::MayNotPost:
            return "subscribed, may not post";
        case Subscription::NotSubscribed:
            break;
    }
    return "not subscribed";
}

std::vector<std::string> list_warnings(const ListRecord& list) {
    std::vector<std::string> warnings;
    if (!list.settings_reading.readable) {
        warnings.push_back("its settings file cannot be read: the filter does not judge this list");
    }
    for (std::string& warning : settings_warnings(settings_of(list))) {
        warnings.push_back(std::move(warning));
    }
    if (!list.subscribers_reading.readable) {
        warnings.push_back(
            "its subscriber file cannot be read: the filter does not judge what needs its "
            "subscribers");
    }
    return warnings;
}

size_t ListsReport::warning_count() const {
    size_t count = 0;
    for (const ListReport& list : lists) {
        count += list.warnings.size();
    }
    for (const SettingsWithoutList& settings : unlisted) {
        count += settings.warnings.size();
    }
    return count;
}

ListsReport report_lists(const ListTable& table, const std::vector<ListDirectory>& directories) {
    std::vector<std::string> addresses;
    for (const auto& entry : table) {
        addresses.push_back(entry.first);
    }
    std::sort(addresses.begin(), addresses.end());
    ListsReport report;
    for (const std::string& address : addresses) {
        report.lists.push_back(report_list(address, table.at(address)));
    }
    for (const ListDirectory& directory : directories) {
        find_unlisted(directory, report.unlisted);
    }
    return report;
}

void collect_report(const std::string& line) {
    std::string report = line.rfind("* ", 0) == 0 ? line.substr(2) : line;
    while (!report.empty() && report.back() == '\n') {
        report.pop_back();
    }
    reports.push_back(report);
}

std::vector<std::string>& collected_reports() {
    return reports;
}
