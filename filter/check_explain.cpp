// Deciding for the tool as the filter's request layer and filter_file do, from the
// same functions: the file checks of the request layer, the message reader, the
// decision, and the verdict's record and reply.
#include "check_explain.h"

#include <algorithm>

#include "address_folding.h"
#include "check_lists.h"
#include "ext_filter.h"
#include "file_stream.h"
#include "from_address.h"
#include "list_record.h"
#include "quorvel.h"

namespace {

// The decision of a message that could be read, and what is shown with it.
void decide(Explained& explained, const ListTable& table) {
    explained.decision = decide_posting(explained.message.envelope, explained.message.from, table);
    cgp::FilterResult result = filter_result(explained.decision);
    explained.verdict = explained.decision.refused ? Verdict::Refused : Verdict::Accepted;
    explained.verdict_record = cgp::verdict_log_text(cgp::effective_verdict(result));
    explained.reply = cgp::verdict_reply(explained.number, result);
    for (const std::string& address : explained.decision.lists) {
        bool listed = std::any_of(explained.lists.begin(), explained.lists.end(),
                                  [&address](const auto& list) { return list.address == address; });
        if (!listed) {
            const ListRecord& record = table.at(address);
            explained.lists.push_back({address, &record, list_warnings(record)});
        }
    }
}

}  // namespace

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

size_t Explained::warning_count() const {
    size_t count = warnings.size();
    for (const auto& list : lists) {
        count += list.warnings.size();
    }
    return count;
}

Explained explain_message(const ListTable& table, int32_t number, const std::string& path) {
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
    if (!explained.message.has_envelope) {
        explained.warnings.push_back(
            "it has no envelope, so it is not a queued message: the filter lets it through");
    }
    decide(explained, table);
    return explained;
}

Explained explain_addresses(const ListTable& table, int32_t number, const std::string& from,
                            const std::vector<std::string>& to,
                            const std::optional<std::string>& sender) {
    Explained explained;
    explained.number = number;
    QueuedMessage& message = explained.message;
    message.has_envelope = true;
    message.from = mailbox_address(from);
    // "<>", as the log's record shows it, is the null sender, as the empty address is.
    if (sender) {
        set_sender(message.envelope, *sender == "<>" ? "" : *sender);
    } else if (!message.from.empty()) {
        set_sender(message.envelope, message.from);
    }
    for (const std::string& recipient : to) {
        message.envelope.recipients.push_back(fold_lower(recipient));
    }
    decide(explained, table);
    return explained;
}

std::string record_line(const DecisionRecord& record, int32_t number) {
    return record.numbered ? "* [" + std::to_string(number) + "] " + record.text
                           : "* " + record.text;
}
