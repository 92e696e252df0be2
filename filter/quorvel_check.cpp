// quorvel-check: decides queued messages exactly as the filter would, with the same
// objects, and shows why. The filter's own output (decision records, parse reports
// and the reply line) is captured and laid out for a person; nothing in the
// server's tree is written. Paths and texts from the tree are shown with control
// bytes escaped, so a hostile name cannot rewrite the terminal.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "address_folding.h"
#include "files.h"
#include "list_directory.h"
#include "load_settings.h"
#include "logging.h"
#include "quorvel.h"
#include "token_decoding.h"

namespace {

const char usage[] =
    "Usage: quorvel-check [--base DIR] MESSAGE...\n"
    "       quorvel-check [--base DIR] --lists\n"
    "\n"
    "Decides queued CommuniGate Pro message files as the quorvel filter would and\n"
    "shows the decision records, the reply line the filter would send, and a verdict.\n"
    "\n"
    "  --base DIR  the server's base directory (default: the current directory)\n"
    "  --lists     show the hosted mailing lists as the filter reads them\n"
    "  --help      show this text\n"
    "\n"
    "Exit status: 0 when every message is accepted, 1 when any is refused,\n"
    "2 for usage errors or unreadable input.\n";

enum ExitStatus { AllAccepted = 0, SomeRefused = 1, Trouble = 2 };

// Everything the filter writes, in order: log records, reports and reply lines.
std::ostringstream captured;

void capture_report(const std::string& line) {
    captured << line;
}

std::vector<std::string> take_captured_lines() {
    std::vector<std::string> lines;
    std::istringstream text(captured.str());
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    captured.str("");
    return lines;
}

// Control bytes as \r, \n, \t or \xNN, so that a hostile name cannot rewrite the
// terminal; the same escaping as the settings parser's report.
std::string shown(const std::string& text) {
    return cgp::escape_controls(text);
}

int fail_usage(const std::string& message) {
    std::cerr << "quorvel-check: " << message << "\n"
              << "Try 'quorvel-check --help'.\n";
    return Trouble;
}

bool is_log_line(const std::string& line) {
    return line.rfind("* ", 0) == 0;
}

// The quoted text of a reply such as: 3 ERROR "You are not allowed ...".
std::string quoted_text(const std::string& reply) {
    size_t open = reply.find('"');
    if (open == std::string::npos || reply.size() < open + 2) {
        return "";
    }
    return reply.substr(open + 1, reply.size() - open - 2);
}

// The filter's answer words: OK accepts, everything else holds the message back.
std::string reply_word(const std::string& reply) {
    std::istringstream words(reply);
    std::string number, word;
    words >> number >> word;
    return word;
}

int check_message(Quorvel& filter, int number, const std::string& shown_name,
                  const std::string& path) {
    filter.process_request(number, "file", path);
    std::vector<std::string> lines = take_captured_lines();
    std::string reply = lines.empty() ? "" : lines.back();
    std::cout << shown_name << "\n";
    for (size_t i = 0; i + 1 < lines.size(); ++i) {
        std::cout << "  " << shown(lines[i]) << "\n";
    }
    std::cout << "  reply:   " << shown(reply) << "\n";
    std::string word = reply_word(reply);
    std::string text = quoted_text(reply);
    if (word == "OK" && text.rfind("Error: ", 0) == 0) {
        std::cout << "  verdict: not checked (" << shown(text.substr(7)) << ")\n";
        return Trouble;
    }
    if (word == "OK") {
        std::cout << "  verdict: accepted\n";
        return AllAccepted;
    }
    std::cout << "  verdict: refused (" << shown(text) << ")\n";
    return SomeRefused;
}

const char* policy_text(PostingPolicy policy) {
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

// What follows a list file's path: why it cannot be read, or that it is missing.
std::string file_state(const ListFileReading& reading, bool missing) {
    if (!reading.readable) {
        return " (cannot be read: " + shown(reading.reason) + ")";
    }
    return missing ? " (missing)" : "";
}

int show_lists() {
    refresh_lists(0);
    // Reports and read errors follow the record of the list whose file they concern.
    std::vector<std::pair<std::string, std::string>> notes;  // address, line
    std::string current;
    const std::string reading = "* Reading list settings: ";
    for (const std::string& line : take_captured_lines()) {
        if (line.rfind(reading, 0) == 0) {
            current = line.substr(reading.size());
        } else if (line.rfind("* Reading list subscribers: ", 0) != 0) {
            notes.emplace_back(current, line);
        }
    }
    std::vector<std::string> addresses;
    for (const auto& entry : list_table) {
        addresses.push_back(entry.first);
    }
    std::sort(addresses.begin(), addresses.end());
    if (addresses.empty()) {
        std::cout << "No hosted lists.\n";
    }
    for (const std::string& address : addresses) {
        if (&address != &addresses.front()) {
            std::cout << "\n";
        }
        const ListRecord& list = list_table.at(address);
        const ListFileReading& settings = list.settings_reading;
        const ListFileReading& members = list.subscribers_reading;
        std::cout << shown(address) << "\n";
        if (settings.readable) {
            std::cout << "  policy:      " << policy_text(list.policy) << "\n"
                      << "  owner:       " << (list.owner.empty() ? "(none)" : shown(list.owner))
                      << "\n";
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
        for (const auto& [about, line] : notes) {
            if (fold_lower(about) == address) {
                std::cout << "  report:      " << shown(line.substr(2)) << "\n";
            }
        }
    }
    return AllAccepted;
}

// Message paths are taken from the directory the tool was started in, the lists'
// files from the base directory, as the filter takes them.
std::string absolute_path(const std::string& path, const std::string& start_directory) {
    return !path.empty() && path[0] == '/' ? path : start_directory + "/" + path;
}

}  // namespace

int main(int argc, char** argv) {
    std::string base = ".";
    bool lists = false;
    std::vector<std::string> messages;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            std::cout << usage;
            return AllAccepted;
        } else if (word == "--lists") {
            lists = true;
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
    if (!lists && messages.empty()) {
        return fail_usage("no message file given");
    }
    char* start = getcwd(nullptr, 0);
    std::string start_directory = start != nullptr ? start : ".";
    free(start);
    if (!kel::is_directory(base) || chdir(base.c_str()) != 0) {
        std::cerr << "quorvel-check: cannot use '" << shown(base)
                  << "' as the server's base directory: " << std::strerror(errno ? errno : ENOTDIR)
                  << "\n";
        return Trouble;
    }
    kel::set_output(&captured);
    set_settings_report_sink(&capture_report);
    if (main_domain_name().empty()) {
        std::cerr << "quorvel-check: warning: no DomainName in '" << shown(base)
                  << "/Settings/Main.settings'; is this the server's base directory?\n";
    }
    if (lists) {
        return show_lists();
    }
    Quorvel filter;
    // Lists are read once before the first message, so that each message shows only
    // the records of its own decision; the filter's refresh then finds nothing new.
    refresh_lists(0);
    for (const std::string& line : take_captured_lines()) {
        if (line.rfind("* Reading list ", 0) != 0) {
            std::cerr << "quorvel-check: " << shown(line.substr(is_log_line(line) ? 2 : 0)) << "\n";
        }
    }
    int status = AllAccepted;
    for (size_t i = 0; i < messages.size(); ++i) {
        if (i != 0) {
            std::cout << "\n";
        }
        int outcome = check_message(filter, static_cast<int>(i + 1), shown(messages[i]),
                                    absolute_path(messages[i], start_directory));
        status = std::max(status, outcome);
    }
    return status;
}
