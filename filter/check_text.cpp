// The text layouts of quorvel-check, line by line as quorvel-check(1) gives them:
// each label, with its colon, padded to the same width within a block.
#include "check_text.h"

#include "address_folding.h"
#include "files.h"
#include "token_decoding.h"

const char given_addresses[] = "(a posting given by its addresses)";

std::string shown(const std::string& text) {
    return cgp::escape_controls(text);
}

namespace {

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

// The policy and the "Postings" value it was taken from.
std::string policy_text(const ListRecord& list) {
    std::string text = policy_words(list.policy);
    if (list.postings) {
        return text + " (Postings \"" + shown(*list.postings) + "\")";
    }
    return text + " (no Postings: the server's default)";
}

void print_envelope(std::ostream& out, const QueuedMessage& message) {
    const MessageEnvelope& envelope = message.envelope;
    out << "  sender:  " << shown_or_none(envelope.sender) << "\n";
    if (envelope.recipients.empty()) {
        out << "  rcpt:    (none)\n";
    }
    for (const std::string& recipient : envelope.recipients) {
        out << "  rcpt:    " << shown(recipient) << "\n";
    }
    out << "  from:    " << shown_or_none(message.from);
    if (!message.from.empty()) {
        out << " (folded: " << shown(fold_lower(message.from)) << ")";
    }
    out << "\n";
}

void print_list(std::ostream& out, const std::string& address,
                const std::vector<std::string>& warnings, const std::string& folded_from) {
    const ListRecord& list = list_table.at(address);
    out << "  list:    " << shown(address) << "\n";
    if (list.settings_reading.readable) {
        out << "    policy:  " << policy_text(list) << "\n"
            << "    owner:   " << shown_or_none(list.owner) << "\n";
    } else {
        out << "    policy:  not known (the settings file cannot be read: "
            << shown(list.settings_reading.reason) << ")\n"
            << "    owner:   (not known)\n";
    }
    const std::string standing = standing_words(list, folded_from);
    out << "    from:    "
        << (standing.empty() ? "not known (the subscriber file cannot be read: " +
                                   shown(list.subscribers_reading.reason) + ")"
                             : standing)
        << "\n";
    for (const std::string& warning : warnings) {
        out << "    warning: " << warning << "\n";
    }
}

void print_decision(std::ostream& out, const Explained& explained) {
    print_envelope(out, explained.message);
    for (const std::string& warning : explained.warnings) {
        out << "  warning: " << warning << "\n";
    }
    const std::string folded_from = fold_lower(explained.message.from);
    for (const auto& [address, warnings] : explained.lists) {
        print_list(out, address, warnings, folded_from);
    }
    for (const DecisionRecord& record : explained.decision.records) {
        out << "  " << record_line(record, explained.number) << "\n";
    }
    out << "  " << record_line({true, explained.verdict_record}, explained.number) << "\n";
}

// Why a list's file cannot be used, or that it is missing.
std::string file_state(const ListFileReading& reading, bool missing) {
    if (!reading.readable) {
        return " (cannot be read: " + shown(reading.reason) + ")";
    }
    return missing ? " (missing)" : "";
}

void print_list_report(std::ostream& out, const ListReport& report) {
    const ListRecord& list = *report.list;
    out << shown(report.address) << "\n";
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
    out << "  settings:    " << shown(list.settings_path)
        << file_state(list.settings_reading, report.settings_missing) << "\n"
        << "  members:     " << shown(list.subscribers_path)
        << file_state(list.subscribers_reading, false) << "\n";
    for (const std::string& line : report.reports) {
        out << "  report:      " << shown(line) << "\n";
    }
    for (const std::string& warning : report.warnings) {
        out << "  warning:     " << warning << "\n";
    }
}

}  // namespace

void print_explained(std::ostream& out, const Explained& explained) {
    out << (explained.path.empty() ? given_addresses : shown(explained.path)) << "\n";
    if (explained.verdict != Verdict::NotChecked) {
        print_decision(out, explained);
    }
    out << "  reply:   " << shown(explained.reply) << "\n"
        << "  verdict: " << verdict_word(explained.verdict);
    if (explained.verdict == Verdict::Refused) {
        out << " (" << shown(explained.decision.refusal) << ")";
    } else if (explained.verdict == Verdict::NotChecked) {
        out << " (" << shown(explained.error) << ")";
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
    const std::string path = explained.path.empty() ? "-" : brief_field(explained.path);
    out << path << "\t" << verdict_word(explained.verdict) << "\t"
        << (list.empty() ? "-" : brief_field(list)) << "\t" << brief_field(reason) << "\n"
        << std::flush;
    const std::string named = explained.path.empty() ? given_addresses : shown(explained.path);
    for (const std::string& warning : explained.warnings) {
        errors << "quorvel-check: " << named << ": warning: " << warning << "\n";
    }
    for (const auto& [address, warnings] : explained.lists) {
        for (const std::string& warning : warnings) {
            errors << "quorvel-check: " << named << ": warning: list " << shown(address) << ": "
                   << warning << "\n";
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
            << shown(settings.address) << "\n"
            << "  settings:    " << shown(settings.path) << "\n"
            << "  members:     (no subscriber file)\n";
        for (const std::string& warning : settings.warnings) {
            out << "  warning:     " << warning << "\n";
        }
    }
}
