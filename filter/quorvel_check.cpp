// quorvel-check: decides queued messages with the filter's own decision
// (posting_decision.h) over the lists as the filter reads them, and shows what it
// compared: the envelope, the From address, each hosted list addressed, the records
// the filter would write and the reply it would send. It reads the filter's values,
// never its output, and writes nothing in the server's tree. Text from the tree is
// shown with control bytes escaped, so a hostile name cannot rewrite the terminal.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "address_folding.h"
#include "ext_filter.h"
#include "file_stream.h"
#include "files.h"
#include "list_record.h"
#include "list_refresh.h"
#include "load_settings.h"
#include "logging.h"
#include "posting_decision.h"
#include "quorvel.h"
#include "quorvel_version.h"
#include "token_decoding.h"

namespace {

const char usage[] =
    "Usage: quorvel-check [--base DIR] [--brief] MESSAGE...\n"
    "       quorvel-check [--base DIR] --lists\n"
    "       quorvel-check --version | --help\n"
    "\n"
    "Decides queued CommuniGate Pro message files as the quorvel filter would and\n"
    "shows what it compared: the envelope, the From address, each hosted list\n"
    "addressed, the records the filter would log, its reply, and a verdict.\n"
    "\n"
    "  --base DIR  the server's base directory (default: the current directory); a\n"
    "              relative MESSAGE is taken from the current directory, or from DIR\n"
    "              when there is no such file in the current directory\n"
    "  --brief     one line per message: path, verdict, list and reason, separated by\n"
    "              TABs, then a line with the counts\n"
    "  --lists     show the hosted mailing lists as the filter reads them\n"
    "  --version   show the version\n"
    "  --help      show this text\n"
    "\n"
    "Exit status: 0 when every message is accepted without warnings, 1 when any is\n"
    "refused, 2 for usage errors or a message that cannot be read, 3 when there are\n"
    "warnings (with --lists: 3 when any list has a warning).\n";

enum ExitStatus { Clean = 0, SomeRefused = 1, Trouble = 2, Warned = 3 };

// The server's own "Postings" values; any other string reads as subscribers.
const char* const server_postings[] = {"from owner only", "moderated", "from subscribers",
                                       "moderate guests", "from anybody"};

// Control bytes as \r, \n, \t or \xNN; the same escaping as the settings parser's
// report.
std::string shown(const std::string& text) {
    return cgp::escape_controls(text);
}

std::string shown_or_none(const std::string& text) {
    return text.empty() ? "(none)" : shown(text);
}

// A field of a --brief line: every control byte, TAB included, as \xNN.
std::string brief_field(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string field;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            field += "\\x";
            field.push_back(digits[byte >> 4]);
            field.push_back(digits[byte & 0xf]);
        } else {
            field.push_back(c);
        }
    }
    return field;
}

int fail_usage(const std::string& message) {
    std::cerr << "quorvel-check: " << message << "\n"
              << "Try 'quorvel-check --help'.\n";
    return Trouble;
}

// The records of the reading of the lists are the filter's log, not this tool's
// output: what they say is shown from the list table itself.
std::ostringstream filter_log;

// Parse reports of settings files, as the settings reader hands them over (a log
// line: "* " and the text), kept without the log marks.
std::vector<std::string> reports;
void collect_report(const std::string& line) {
    std::string report = line.rfind("* ", 0) == 0 ? line.substr(2) : line;
    while (!report.empty() && report.back() == '\n') {
        report.pop_back();
    }
    reports.push_back(report);
}

// ---- Lists -------------------------------------------------------------------

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

bool is_server_postings(const std::string& postings) {
    return std::find(std::begin(server_postings), std::end(server_postings), postings) !=
           std::end(server_postings);
}

// The policy and the "Postings" value it was taken from.
std::string policy_text(const ListRecord& list) {
    std::string text = policy_words(list.policy);
    if (list.postings) {
        return text + " (Postings \"" + shown(*list.postings) + "\")";
    }
    return text + " (no Postings: the server's default)";
}

// What an administrator should know about a list before trusting its verdicts.
std::vector<std::string> list_warnings(const ListRecord& list) {
    std::vector<std::string> warnings;
    if (!list.settings_reading.readable) {
        warnings.push_back("its settings file cannot be read: the filter does not judge this list");
    } else {
        if (list.postings && !is_server_postings(*list.postings)) {
            warnings.push_back("\"Postings\" is \"" + shown(*list.postings) +
                               "\", none of the server's values: read as subscribers with "
                               "posting rights");
        }
        if (list.policy == OwnerOnly && list.owner.empty()) {
            warnings.push_back(
                "it takes postings from its owner only and names no owner: every posting is "
                "refused");
        }
    }
    if (!list.subscribers_reading.readable) {
        warnings.push_back(
            "its subscriber file cannot be read: the filter does not judge what needs its "
            "subscribers");
    }
    return warnings;
}

// What follows a list file's path: why it cannot be read, or that it is missing.
std::string file_state(const ListFileReading& reading, bool missing) {
    if (!reading.readable) {
        return " (cannot be read: " + shown(reading.reason) + ")";
    }
    return missing ? " (missing)" : "";
}

// The parse report of a settings file that cannot be read, read once more for it.
std::vector<std::string> settings_reports(const ListRecord& list) {
    if (list.settings_reading.readable) {
        return {};
    }
    reports.clear();
    read_settings_file(list.settings_path);
    std::vector<std::string> found;
    found.swap(reports);
    return found;
}

int show_lists() {
    std::vector<std::string> addresses;
    for (const auto& entry : list_table) {
        addresses.push_back(entry.first);
    }
    std::sort(addresses.begin(), addresses.end());
    if (addresses.empty()) {
        std::cout << "No hosted lists.\n";
    }
    int status = Clean;
    for (const std::string& address : addresses) {
        if (&address != &addresses.front()) {
            std::cout << "\n";
        }
        const ListRecord& list = list_table.at(address);
        const ListFileReading& settings = list.settings_reading;
        const ListFileReading& members = list.subscribers_reading;
        std::cout << shown(address) << "\n";
        if (settings.readable) {
            std::cout << "  policy:      " << policy_text(list) << "\n"
                      << "  owner:       " << shown_or_none(list.owner) << "\n";
        } else {
            std::cout << "  policy:      not checked (the settings file cannot be read)\n"
                      << "  owner:       (not known)\n";
        }
        if (members.readable) {
            std::cout << "  subscribers: " << list.subscribers.size() << " ("
                      << list.subscribers.posting_count() << " may post)\n";
        } else {
            std::cout << "  subscribers: not known (the subscriber file cannot be read)\n";
        }
        std::cout << "  settings:    " << shown(list.settings_path)
                  << file_state(settings, !kel::file_exists(list.settings_path)) << "\n"
                  << "  members:     " << shown(list.subscribers_path) << file_state(members, false)
                  << "\n";
        for (const std::string& report : settings_reports(list)) {
            std::cout << "  report:      " << shown(report) << "\n";
        }
        for (const std::string& warning : list_warnings(list)) {
            std::cout << "  warning:     " << warning << "\n";
            status = Warned;
        }
    }
    return status;
}

// ---- Messages ----------------------------------------------------------------

enum class Verdict { Accepted, Refused, NotChecked };

const char* verdict_word(Verdict verdict) {
    switch (verdict) {
        case Verdict::Accepted:
            return "accepted";
        case Verdict::Refused:
            return "refused";
        case Verdict::NotChecked:
            break;
    }
    return "not checked";
}

// One message decided, with everything that is shown of it.
struct Explained {
    std::string path;
    int32_t number = 0;
    Verdict verdict = Verdict::NotChecked;
    // Why a message is not checked: the error text of the filter's reply.
    std::string error;
    QueuedMessage message;
    PostingDecision decision;
    std::string verdict_record;
    std::string reply;
    std::vector<std::string> warnings;
    // Each hosted list addressed, once, with its warnings.
    std::vector<std::pair<std::string, std::vector<std::string>>> lists;

    size_t warning_count() const {
        size_t count = warnings.size();
        for (const auto& list : lists) {
            count += list.second.size();
        }
        return count;
    }
};

// Decides on the message as the filter's request layer and filter_file do, from the
// same functions, over the lists read at start.
Explained explain(int32_t number, const std::string& path) {
    Explained explained;
    explained.path = path;
    explained.number = number;
    const char* error = cgp::message_file_error(path);
    if (error == nullptr) {
        kel::ifstream stream(path);
        if (stream.is_open()) {
            explained.message = read_queued_message(stream);
        } else {
            error = "unable to open file ";
        }
    }
    if (error != nullptr) {
        explained.error = std::string(error) + path;
        explained.reply = cgp::message_file_error_reply(number, error, path);
        return explained;
    }
    explained.decision =
        decide_posting(explained.message.envelope, explained.message.from, list_table);
    cgp::FilterResult result = filter_result(explained.decision);
    explained.verdict = explained.decision.refused ? Verdict::Refused : Verdict::Accepted;
    explained.verdict_record = cgp::verdict_log_text(cgp::effective_verdict(result));
    explained.reply = cgp::verdict_reply(number, result);
    if (!explained.message.has_envelope) {
        explained.warnings.push_back(
            "it has no envelope, so it is not a queued message: the filter lets it through");
    }
    for (const std::string& address : explained.decision.lists) {
        bool listed = std::any_of(explained.lists.begin(), explained.lists.end(),
                                  [&address](const auto& list) { return list.first == address; });
        if (!listed) {
            explained.lists.emplace_back(address, list_warnings(list_table.at(address)));
        }
    }
    return explained;
}

// Whether the From address is on the list, and with which right.
std::string subscription_text(const ListRecord& list, const std::string& folded_from) {
    if (!list.subscribers_reading.readable) {
        return "not known (the subscriber file cannot be read: " +
               shown(list.subscribers_reading.reason) + ")";
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

std::string record_line(const DecisionRecord& record, int32_t number) {
    return record.numbered ? "* [" + std::to_string(number) + "] " + record.text
                           : "* " + record.text;
}

void print_explained(const Explained& explained) {
    std::cout << shown(explained.path) << "\n";
    if (explained.verdict != Verdict::NotChecked) {
        const MessageEnvelope& envelope = explained.message.envelope;
        const std::string folded_from = fold_lower(explained.message.from);
        std::cout << "  sender:  " << shown_or_none(envelope.sender) << "\n";
        if (envelope.recipients.empty()) {
            std::cout << "  rcpt:    (none)\n";
        }
        for (const std::string& recipient : envelope.recipients) {
            std::cout << "  rcpt:    " << shown(recipient) << "\n";
        }
        std::cout << "  from:    " << shown_or_none(explained.message.from);
        if (!explained.message.from.empty()) {
            std::cout << " (folded: " << shown(folded_from) << ")";
        }
        std::cout << "\n";
        for (const std::string& warning : explained.warnings) {
            std::cout << "  warning: " << warning << "\n";
        }
        for (const auto& [address, warnings] : explained.lists) {
            const ListRecord& list = list_table.at(address);
            std::cout << "  list:    " << shown(address) << "\n";
            if (list.settings_reading.readable) {
                std::cout << "    policy:  " << policy_text(list) << "\n"
                          << "    owner:   " << shown_or_none(list.owner) << "\n";
            } else {
                std::cout << "    policy:  not known (the settings file cannot be read: "
                          << shown(list.settings_reading.reason) << ")\n"
                          << "    owner:   (not known)\n";
            }
            std::cout << "    from:    " << subscription_text(list, folded_from) << "\n";
            for (const std::string& warning : warnings) {
                std::cout << "    warning: " << warning << "\n";
            }
        }
        for (const DecisionRecord& record : explained.decision.records) {
            std::cout << "  " << record_line(record, explained.number) << "\n";
        }
        std::cout << "  " << record_line({true, explained.verdict_record}, explained.number)
                  << "\n";
    }
    std::cout << "  reply:   " << shown(explained.reply) << "\n"
              << "  verdict: " << verdict_word(explained.verdict);
    if (explained.verdict == Verdict::Refused) {
        std::cout << " (" << shown(explained.decision.refusal) << ")";
    } else if (explained.verdict == Verdict::NotChecked) {
        std::cout << " (" << shown(explained.error) << ")";
    }
    std::cout << "\n";
}

// path, verdict, list, reason; the warnings go to standard error, each naming the
// message, so that standard output keeps one line per message.
void print_brief(const Explained& explained) {
    std::string reason = explained.error;
    if (explained.verdict == Verdict::Refused) {
        reason = explained.decision.refusal;
    } else if (explained.verdict == Verdict::Accepted && !explained.decision.records.empty()) {
        reason = explained.decision.records.back().text;
    }
    const std::string& list = explained.decision.list;
    std::cout << brief_field(explained.path) << "\t" << verdict_word(explained.verdict) << "\t"
              << (list.empty() ? "-" : brief_field(list)) << "\t" << brief_field(reason) << "\n"
              << std::flush;
    for (const std::string& warning : explained.warnings) {
        std::cerr << "quorvel-check: " << shown(explained.path) << ": warning: " << warning << "\n";
    }
    for (const auto& [address, warnings] : explained.lists) {
        for (const std::string& warning : warnings) {
            std::cerr << "quorvel-check: " << shown(explained.path) << ": warning: list "
                      << shown(address) << ": " << warning << "\n";
        }
    }
}

int check_messages(const std::vector<std::string>& paths, bool brief) {
    size_t accepted = 0, refused = 0, not_checked = 0, warnings = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        Explained explained = explain(static_cast<int32_t>(i + 1), paths[i]);
        if (brief) {
            print_brief(explained);
        } else {
            if (i != 0) {
                std::cout << "\n";
            }
            print_explained(explained);
        }
        accepted += explained.verdict == Verdict::Accepted;
        refused += explained.verdict == Verdict::Refused;
        not_checked += explained.verdict == Verdict::NotChecked;
        warnings += explained.warning_count();
    }
    if (brief) {
        std::cout << paths.size() << " messages: " << accepted << " accepted, " << refused
                  << " refused, " << not_checked << " not checked, " << warnings << " warnings\n";
    }
    if (not_checked != 0) {
        return Trouble;
    }
    if (refused != 0) {
        return SomeRefused;
    }
    return warnings != 0 ? Warned : Clean;
}

// ---- Paths -------------------------------------------------------------------

std::string joined(const std::string& directory, const std::string& path) {
    if (path.empty() || path == ".") {
        return directory;
    }
    if (path[0] == '/') {
        return path;
    }
    return directory + (!directory.empty() && directory.back() == '/' ? "" : "/") + path;
}

bool anything_at(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

// A relative message path names a file in the current directory, else one in the
// base directory: a path copied from the server's log is relative to the base.
std::string resolved_message(const std::string& path, const std::string& start,
                             const std::string& base) {
    const std::string here = joined(start, path);
    return anything_at(here) ? here : joined(base, path);
}

}  // namespace

int main(int argc, char** argv) {
    std::string base = ".";
    bool lists = false;
    bool brief = false;
    std::vector<std::string> messages;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            std::cout << usage;
            return Clean;
        } else if (word == "--version") {
            std::cout << "quorvel-check " QUORVEL_VERSION "\n";
            return Clean;
        } else if (word == "--lists") {
            lists = true;
        } else if (word == "--brief") {
            brief = true;
        } else if (word == "--base" || word.rfind("--base=", 0) == 0) {
            if (word == "--base" && i + 1 >= argc) {
                return fail_usage("--base needs a directory");
            }
            base = word == "--base" ? argv[++i] : word.substr(7);
        } else if (word == "--") {
            messages.insert(messages.end(), argv + i + 1, argv + argc);
            break;
        } else if (word.size() > 1 && word[0] == '-') {
            return fail_usage("unknown option '" + shown(word) + "'");
        } else {
            messages.push_back(word);
        }
    }
    if (lists && !messages.empty()) {
        return fail_usage("--lists takes no message files");
    }
    if (lists && brief) {
        return fail_usage("--brief is for messages, not --lists");
    }
    if (!lists && messages.empty()) {
        return fail_usage("no message file given");
    }
    char* start = getcwd(nullptr, 0);
    const std::string start_directory = start != nullptr ? start : ".";
    free(start);
    const std::string base_directory = joined(start_directory, base);
    for (std::string& message : messages) {
        message = resolved_message(message, start_directory, base_directory);
    }
    if (!kel::is_directory(base) || chdir(base.c_str()) != 0) {
        std::cerr << "quorvel-check: cannot use '" << shown(base)
                  << "' as the server's base directory: " << std::strerror(errno ? errno : ENOTDIR)
                  << "\n";
        return Trouble;
    }
    kel::set_output(&filter_log);
    set_settings_report_sink(&collect_report);
    if (main_domain_name().empty()) {
        std::cerr << "quorvel-check: warning: no DomainName in '" << shown(base)
                  << "/Settings/Main.settings'; is this the server's base directory?\n";
    }
    walk_lists(0);
    if (lists) {
        return show_lists();
    }
    for (const std::string& report : reports) {
        std::cerr << "quorvel-check: " << shown(report) << "\n";
    }
    return check_messages(messages, brief);
}
