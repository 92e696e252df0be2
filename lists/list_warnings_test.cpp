// The warnings about a list's settings, from the settings as read, with the list.
#include "list_warnings.h"

#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

ListSettings settings(PostingPolicy policy, std::optional<std::string> postings,
                      const std::string& owner_setting) {
    ListSettings made;
    made.policy = policy;
    made.postings = std::move(postings);
    made.owner_setting = owner_setting;
    made.owner = owner_setting.empty() ? "" : owner_setting + "@Lists.example.net";
    return made;
}

TEST(ListWarnings, MistakesTheFilterReadsWithoutComplaint) {
    ListSettings unreadable = settings(OwnerOnly, "from friends", "");
    unreadable.readable = false;
    const std::string list = "List News@Lists.example.net: ";
    const struct {
        const char* situation;
        ListSettings settings;
        Lines records;
    } rows[] = {
        {"a list as the server writes it", settings(OwnerOnly, "from owner only", "maint"), {}},
        {"no settings at all: the server's default", settings(Subscribers, std::nullopt, ""), {}},
        {"every value the server writes", settings(Subscribers, "moderated", "m"), {}},
        {"an unknown Postings, escaped",
         settings(Subscribers, "From\x1b friends", "maint"),
         {list + "\"Postings\" is \"From\\x1b friends\", none of the server's values; read as "
                 "\"from subscribers\""}},
        {"owner only without an owner",
         settings(OwnerOnly, "from owner only", ""),
         {list + "posting from owner only, and the list has no owner"}},
        {"Owner written as a whole address, on an owner-only list",
         settings(OwnerOnly, "from owner only", "maint@lists.example.net"),
         {list + "\"Owner\" is \"maint@lists.example.net\", which holds \"@\"; the owner's "
                 "postings will not be recognised"}},
        {"settings that cannot be read: the list is not judged", unreadable, {}},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(settings_warning_records("News@Lists.example.net", row.settings), row.records)
            << row.situation;
    }
    for (const char* postings :
         {"from owner only", "moderated", "from subscribers", "moderate guests", "from anybody"}) {
        EXPECT_TRUE(is_server_postings(postings)) << postings;
    }
}

}  // namespace
