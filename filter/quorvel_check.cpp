// quorvel-check: decides queued messages, or a posting given by its addresses, with
// the filter's own decision over the lists as the filter reads them, and shows what
// it compared; or shows the lists. It reads the filter's values, never its output,
// and writes nothing in the server's tree. This file holds the run: the options, the
// base directory, the reading of the lists (each place with a bound, so that a hung
// mount costs seconds, not the tool; the work in a child, work_apart.h), the counts
// and the exit status.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "check_explain.h"
#include "check_json.h"
#include "check_lists.h"
#include "check_options.h"
#include "check_places.h"
#include "check_text.h"
#include "files.h"
#include "list_record.h"
#include "list_refresh.h"
#include "load_settings.h"
#include "logging.h"
#include "quorvel_version.h"
#include "work_apart.h"

namespace {

enum ExitStatus { Clean = 0, SomeRefused = 1, Trouble = 2, Warned = 3 };

// The records of the reading of the lists are the filter's log, not this tool's
// output: what they say is shown from the list table itself.
std::ostringstream filter_log;

// What makes every verdict doubtful: a tree the filter would find no lists in.
std::vector<std::string> tree_warnings(const std::string& base, const ListTable& table) {
    std::vector<std::string> warnings;
    if (!kel::file_exists("Settings/Main.settings")) {
        warnings.push_back("no '" + kel::printable(joined_path(base, "Settings/Main.settings")) +
                           "'; is this the server's base directory?");
    } else if (main_domain_name().empty()) {
        warnings.push_back("no DomainName in '" +
                           kel::printable(joined_path(base, "Settings/Main.settings")) +
                           "'; is this the server's base directory?");
    }
    if (table.empty()) {
        warnings.push_back("no hosted list found under '" + kel::printable(base) +
                           "': the filter would check nothing");
    }
    return warnings;
}

int exit_status(const CheckCounts& counts) {
    if (counts.not_checked != 0) {
        return Trouble;
    }
    if (counts.refused != 0) {
        return SomeRefused;
    }
    return counts.warnings != 0 ? Warned : Clean;
}

std::vector<Explained> decide_all(const CheckOptions& options, const ListTable& table,
                                  CheckCounts& counts) {
    std::vector<Explained> decisions;
    if (options.task == CheckOptions::Task::Addresses) {
        decisions.push_back(explain_addresses(table, 1, options.from, options.to, options.sender));
    }
    for (size_t i = 0; i < options.messages.size(); ++i) {
        decisions.push_back(
            explain_message(table, static_cast<int32_t>(i + 1), options.messages[i]));
    }
    for (const Explained& explained : decisions) {
        counts.messages += 1;
        counts.accepted += explained.verdict == Verdict::Accepted;
        counts.refused += explained.verdict == Verdict::Refused;
        counts.not_checked += explained.verdict == Verdict::NotChecked;
        counts.warnings += explained.warning_count();
    }
    return decisions;
}

int check_postings(const CheckOptions& options, const std::vector<std::string>& warnings,
                   const BoundedWalk& walk) {
    CheckCounts counts;
    counts.warnings = warnings.size();
    std::vector<Explained> decisions = decide_all(options, walk.table, counts);
    if (options.json) {
        std::cout << messages_json(decisions, counts, warnings, collected_reports(), walk.unread);
        return exit_status(counts);
    }
    for (const std::string& report : collected_reports()) {
        std::cerr << "quorvel-check: " << kel::printable(report) << "\n";
    }
    for (const std::string& warning : warnings) {
        std::cerr << "quorvel-check: warning: " << warning << "\n";
    }
    for (const Explained& explained : decisions) {
        if (options.brief) {
            print_brief(std::cout, std::cerr, explained);
            continue;
        }
        std::cout << (&explained != &decisions.front() ? "\n" : "");
        print_explained(std::cout, explained);
    }
    if (options.brief) {
        std::cout << counts.messages << " messages: " << counts.accepted << " accepted, "
                  << counts.refused << " refused, " << counts.not_checked << " not checked, "
                  << counts.warnings << " warnings\n";
    }
    return exit_status(counts);
}

int show_lists(const CheckOptions& options, const std::vector<std::string>& warnings,
               const BoundedWalk& walk) {
    const ListsReport report = report_lists(walk.table, walk.directories);
    if (options.json) {
        std::cout << lists_json(report, warnings, walk.unread);
    } else {
        for (const std::string& warning : warnings) {
            std::cerr << "quorvel-check: warning: " << warning << "\n";
        }
        print_lists(std::cout, report);
    }
    return report.warning_count() + warnings.size() != 0 ? Warned : Clean;
}

// Makes the base directory the working directory, as the filter's is, after the
// message paths have been taken from where the tool was started.
bool enter_base(CheckOptions& options) {
    char* start = getcwd(nullptr, 0);
    const std::string start_directory = start != nullptr ? start : ".";
    free(start);
    const std::string base_directory = joined_path(start_directory, options.base);
    for (std::string& message : options.messages) {
        message = resolved_message(message, start_directory, base_directory);
    }
    if (!kel::is_directory(options.base) || chdir(options.base.c_str()) != 0) {
        std::cerr << "quorvel-check: cannot use '" << kel::printable(options.base)
                  << "' as the server's base directory: " << std::strerror(errno ? errno : ENOTDIR)
                  << "\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    ParsedOptions parsed = parse_check_options(argc, argv);
    CheckOptions& options = parsed.options;
    if (!parsed.error.empty()) {
        std::cerr << "quorvel-check: " << parsed.error << "\n"
                  << "Try 'quorvel-check --help'.\n";
        return Trouble;
    }
    if (options.task == CheckOptions::Task::Help || options.task == CheckOptions::Task::Version) {
        std::cout << (options.task == CheckOptions::Task::Help ? check_usage
                                                               : "quorvel-check " QUORVEL_VERSION
                                                                 "\n");
        return Clean;
    }
    work_apart(Trouble);
    if (!enter_base(options)) {
        return Trouble;
    }
    kel::set_output(&filter_log);
    set_settings_report_sink(&collect_report);
    main_domain_name();
    const BoundedWalk walk = walk_lists_bounded(0, check_walk_bounds);
    std::vector<std::string> warnings = tree_warnings(options.base, walk.table);
    for (std::string& warning : unread_warnings(walk.unread)) {
        warnings.push_back(std::move(warning));
    }
    if (options.task == CheckOptions::Task::Lists) {
        return end_work(show_lists(options, warnings, walk), walk.abandoned);
    }
    return end_work(check_postings(options, warnings, walk), walk.abandoned);
}
