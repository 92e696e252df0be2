// The text layouts of quorvel-check, line by line as quorvel-check(1) gives them:
// each label, with its colon, padded to the same width within a block.
#include "check_text.h"

#include "address_folding.h"
#include "files.h"
#include "printable.h"

const char given_addresses[] = "(a posting given by its addresses)";

namespace {

std::string shown_or_none(const std::string& text) {
    return text.empty() ? "(none)" : kel::printable(text);
}

// The policy and the "Postings" value it was taken from.
std::string policy_text(const ListRecord& list) {
    std::string text = policy_words(list.policy);
    if (list.postings) {
        return text + " (Postings \"" + kel::printable(*list.postings) + "\")";
    }
    return text + " (no Postings: the server's default)";
}

void print_envelope(std::ostream& out, const QueuedMessage& message) {
    const MessageEnvelope& envelope = message.envelope;
    out << "  sender:  " << shown_or_none(shown_sender(envelope)) << "\n";
    if (envelope.recipients.empty()) {
        out << "  rcpt:    (none)\n";
    }
    for (const std::string& recipient : envelope.recipients) {
        out << "  rcpt:    " << kel::printable(recipient) << "\n";
    }
    out << "  from:    " << shown_or_none(message.from);
    if (!message.from.empty()) {
        out << " (folded: " << kel::printable(fold_lower(message.from)) << ")";
    }
    out << "\n";
}

void print_list(std::ostream& out, const Explained::List& shown, const std::string& folded_from) {
    const ListRecord& list = *shown.record;
    out << "  list:    " << kel::printable(shown.address) << "\n";
    if (list.settings_reading.readable) {
        out << "    policy:  " << policy_text(list) << "\n"
            << "    owner:   " << shown_or_none(list.owner) << "\n";
    } else {
        out << "    policy:  not known (the settings file cannot be read: "
            << kel::printable(list.settings_reading.reason) << ")\n"
            << "    owner:   (not known)\n";
    }
    const std::string standing = standing_words(list, folded_from);
    out << "    from:    "
        << (standing.empty() ? "not known (the subscriber file cannot be read: " +
                                   kel::printable(list.subscribers_reading.reason) + ")"
                             : standing)
        << "\n";
    for (const std::string& warning : shown.warnings) {
        out << "    warning: " << warning << "\n";
    }
}

void print_decision(std::ostream& out, const Explained& explained) {
    print_envelope(out, explained.message);
    for (const std::string& warning : explained.warnings) {
        out << "  warning: " << warning << "\n";
    }
    const std::string folded_from = fold_lower(explained.message.from);
    for (const Explained::List& list : explained.lists) {
        print_list(out, list, folded_from);
    }
    for (const DecisionRecord& record : explained.decision.records) {
        out << "  " << record_line(record, explained.number) << "\n";
    }
    out << "  " << record_line({true, explained.verdict_record}, explained.number) << "\n";
}

// Why a list's file cannot be used, or that it is missing.
std::string file_state(const ListFileReading& reading, bool missing) {
    if (!reading.readable) {
        return " (cannot be read: " + kel::printable(reading.reason) + ")";
    }
    return missing ? " (missing)" : "";
}

void print_list_report(std::ostream& out, const ListReport& report) {
    const ListRecord& list = *report.list;
    out << kel::printable(report.address) << "\n";
    if (list.settings_reading.readable) {
        out << "  policy:      " << policy_text(list) << "\n"
            << "  owner:       " << shown_or_none(list.owner) << "\n";
    } else {
        out << "  policy:      not checked (the settings file cannot be read)\n"
            << "  owner:       (not known)\n";
    }
    if (list.subscribers_reading.readable) {
        out << "  subscribers: " << list.subscribers.size() << " ("
            << list.subscribers.posting_count() << " may post)\n";
    } else {
        out << "  subscribers: not known (the subscriber file cannot be read)\n";
    }
    out << "  settings:    " << kel::printable(list.settings_path)
        << file_state(list.settings_reading, report.settings_missing) << "\n"
        << "  members:     " << kel::printable(list.subscribers_path)
        << file_state(list.subscribers_reading, false) << "\n";
    for (const std::string& line : report.reports) {
        out << "  report:      " << kel::printable(line) << "\n";
    }
    for (const std::string& warning : report.warnings) {
        out << "  warning:     " << warning << "\n";
    }
}

}  // namespace

void print_explained(std::ostream& out, const Explained& explained) {
    out << (explained.path.empty() ? given_addresses : kel::printable(explained.path)) << "\n";
    if (explained.verdict != Verdict::NotChecked) {
        print_decision(out, explained);
    }
    out << "  reply:   " << kel::printable(explained.reply) << "\n"
        << "  verdict: " << verdict_word(explained.verdict);
    if (explained.verdict == Verdict::Refused) {
        out << " (" << kel::printable(explained.decision.refusal) << ")";
    } else if (explained.verdict == Verdict::NotChecked) {
        out << " (" << kel::printable(explained.error) << ")";
    }
    out << "\n";
}

void print_brief(std::ostream& out, std::ostream& errors, const Explained& explained) {
    std::string reason = explained.error;
    const std::vector<DecisionRecord>& records = explained.decision.records;
    if (explained.verdict == Verdict::Refused) {
        reason = explained.decision.refusal;
    } else if (explained.verdict == Verdict::Accepted && !records.empty()) {
        reason = records.back().text;
    }
    const std::string& list = explained.decision.list;
    const std::string path = explained.path.empty() ? "-" : kel::printable(explained.path);
    out << path << "\t" << verdict_word(explained.verdict) << "\t"
        << (list.empty() ? "-" : kel::printable(list)) << "\t" << kel::printable(reason) << "\n"
        << std::flush;
    const std::string named =
        explained.path.empty() ? given_addresses : kel::printable(explained.path);
    for (const std::string& warning : explained.warnings) {
        errors << "quorvel-check: " << named << ": warning: " << warning << "\n";
    }
    for (const Explained::List& list : explained.lists) {
        for (const std::string& warning : list.warnings) {
            errors << "quorvel-check: " << named << ": warning: list "
                   << kel::printable(list.address) << ": " << warning << "\n";
        }
    }
}

void print_lists(std::ostream& out, const ListsReport& report) {
    if (report.lists.empty()) {
        out << "No hosted lists.\n";
    }
    bool first = true;
    for (const ListReport& list : report.lists) {
        out << (first ? "" : "\n");
        first = false;
        print_list_report(out, list);
    }
    for (const SettingsWithoutList& settings : report.unlisted) {
        out << "\n"
            << kel::printable(settings.address) << "\n"
            << "  settings:    " << kel::printable(settings.path) << "\n"
            << "  members:     (no subscriber file)\n";
        for (const std::string& warning : settings.warnings) {
            out << "  warning:     " << warning << "\n";
        }
    }
}
