// The main domain name read once, the list clock, and what a list's settings file
// gives: its policy and its owner.
#include "list_record.h"

#include <time.h>

#include "address_folding.h"

namespace {

std::string main_domain;
bool main_domain_loaded = false;

int64_t monotonic_seconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec);
}

ListClock list_clock = &monotonic_seconds;

}  // namespace

const std::string& main_domain_name() {
    if (main_domain_loaded) {
        return main_domain;
    }
    main_domain_loaded = true;
    const cgp::DataSet settings =
        read_settings_file("Settings/Main.settings", server_settings_size_limit).value;
    if (const cgp::DataSet* name = settings.find("DomainName")) {
        main_domain = fold_lower(name->text());
    }
    return main_domain;
}

void set_list_clock(ListClock clock) {
    list_clock = clock != nullptr ? clock : &monotonic_seconds;
}

int64_t list_clock_now() {
    return list_clock();
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
            settings.retry = file.fault == SettingsFault::Access;
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
        settings.owner_setting = owner->text();
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
