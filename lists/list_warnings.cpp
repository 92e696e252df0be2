// The warnings about a list's settings. The decision stays as it is: a "Postings"
// the server never writes still reads as open to subscribers, and "Owner" is still
// taken as a local part; the warnings only make such settings visible.
#include "list_warnings.h"

#include <algorithm>
#include <iterator>

#include "logging.h"

namespace {

// What the server writes for "Postings"; the policy table knows only some of them,
// and reads the rest as open to subscribers.
const char* const server_postings[] = {"from owner only", "moderated", "from subscribers",
                                       "moderate guests", "from anybody"};

std::string quoted(const std::string& value) {
    return "\"" + kel::printable(value) + "\"";
}

}  // namespace

bool is_server_postings(const std::string& postings) {
    return std::find(std::begin(server_postings), std::end(server_postings), postings) !=
           std::end(server_postings);
}

std::vector<std::string> settings_warnings(const ListSettings& settings) {
    std::vector<std::string> warnings;
    if (!settings.readable) {
        return warnings;
    }
    if (settings.postings && !is_server_postings(*settings.postings)) {
        warnings.push_back("\"Postings\" is " + quoted(*settings.postings) +
                           ", none of the server's values; read as \"from subscribers\"");
    }
    if (settings.policy == OwnerOnly && settings.owner.empty()) {
        warnings.push_back("posting from owner only, and the list has no owner");
    }
    // The owner is "Owner", "@" and the domain: a whole address there gives an owner
    // address with two "@" that no envelope sender matches.
    if (settings.owner_setting.find('@') != std::string::npos) {
        warnings.push_back("\"Owner\" is " + quoted(settings.owner_setting) +
                           ", which holds \"@\"; the owner's postings will not be recognised");
    }
    return warnings;
}

std::vector<std::string> settings_warning_records(const std::string& address,
                                                  const ListSettings& settings) {
    std::vector<std::string> records = settings_warnings(settings);
    for (std::string& record : records) {
        record = "List " + kel::printable(address) + ": " + record;
    }
    return records;
}
